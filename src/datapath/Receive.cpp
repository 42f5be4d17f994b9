#include <QCheckBox>

#include "app/frmMain.h"
#include "platform/NetSocket.h"

void frmMain::Sock_DataArrival(qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    try {
        QByteArray data = Sock->GetData();
        if (RelayActive)
            Sniff->SendData(data);
        if (cCrLf->isChecked())
            data.replace("\n", "\r\n");
        LogIt(data, false);
    } catch (const Failure &f) {
        Tk().MsgBox(QStringLiteral("DataArrival: %1\r\n").arg(f.Number) + f.Description, Toolkit::Exclamation,
                    Toolkit::OkOnly, QStringLiteral("DataArrival error..."));
        Sock->Close();
    }
}
