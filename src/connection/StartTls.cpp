#include <QMenu>

#include "app/frmMain.h"
#include "platform/NetSocket.h"

// "Start TLS" runs the handshake on the TCP session that is up, for the STARTTLS of
// mail and the like: as the client on a connection made with Connect, as the server
// (with the program's own certificate) on one accepted with Listen.
void frmMain::mnuPopupStartTls_Click()
{
    try {
        Sock->StartTls();
    } catch (const Failure &f) {
        Tk().MsgBox(QStringLiteral("Start TLS: %1\r\n").arg(f.Number) + f.Description, Toolkit::Exclamation,
                    Toolkit::OkOnly, QStringLiteral("Start TLS error..."));
    }
}

// The popup offers "Start TLS" only while a plain TCP session is up.
void frmMain::mnuPopup_Show()
{
    mnuPopupStartTls->setEnabled(Sock->Protocol() == NetSocket::TCP &&
                                 Sock->State() == NetSocket::Connected && !Sock->Handshaking() &&
                                 Sock->TlsVersion().isEmpty() && !RelayActive);
}
