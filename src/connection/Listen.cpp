#include <QAction>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "app/frmMain.h"
#include "platform/NetSocket.h"
#include "platform/Numbers.h"

void frmMain::cmdListen_Click()
{
    try {
        AutoListenArmed = false;
        Sock_Close();
        if (Sock->Protocol() == NetSocket::TCP || Sock->Protocol() == NetSocket::TLS) {
            Sock->SetLocalPort(WholeNumber(txtPort->text()));
            Sock->Listen();
        } else if (Sock->Protocol() == NetSocket::UDP) {
            Sock->SetLocalPort(WholeNumber(txtPort->text()));
            Sock->Bind(txtPort->text());
            LogSession(false);
            cmdSend->setEnabled(true);
        }
        AutoListenArmed = mnuListenAuto->isChecked();
    } catch (const Failure &f) {
        mnuListenAuto->setChecked(false);
        Sock_Close();
        Tk().MsgBox(QStringLiteral("Listen error:\r\n") + f.Description, Toolkit::Exclamation,
                    Toolkit::OkOnly, QStringLiteral("Listen error..."));
    }
}

void frmMain::Sock_ConnectionRequest(qint32 requestID)
{
    Sock->Close();
    Sock->Accept(requestID);
    LogSession(false);
    txtTx->setFocus();
    cmdSend->setEnabled(true);
}

void frmMain::mnuListenAuto_Click()
{
    mnuListenAuto->setChecked(!mnuListenAuto->isChecked());
    if (mnuListenAuto->isChecked())
        cmdListen_Click();
}

void frmMain::cmdConnect_MouseUp(qint16 Button, qint16 Shift, float X, float Y)
{
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    if (Button == Code::RightButton)
        Tk().PopupMenu(mnuPopup);
}

void frmMain::cmdListen_MouseUp(qint16 Button, qint16 Shift, float X, float Y)
{
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    if (Button == Code::RightButton)
        Tk().PopupMenu(mnuListen);
}
