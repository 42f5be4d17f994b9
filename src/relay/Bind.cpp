#include <QLineEdit>

#include "app/frmMain.h"
#include "platform/NetSocket.h"

namespace
{
constexpr qint32 BindPort = 82;
}

void frmMain::mnuPopupBind_Click()
{
    try {
        const QString address = txtIP->text();
        const QString question =
            QStringLiteral("Bind to IP?\r\nIP: ") + address + QStringLiteral("\r\nCorrect?");
        if (Tk().MsgBox(question, Toolkit::Question, Toolkit::YesNo, QStringLiteral("Bind to IP?")) ==
            Toolkit::No)
            return;
        Sock->Close();
        Sock->Bind(BindPort, address);
    } catch (const Failure &f) {
        Tk().MsgBox(QStringLiteral("Error on binding: \r\n") + f.Description, Toolkit::Exclamation,
                    Toolkit::OkOnly, QStringLiteral("Bind error..."));
    }
}
