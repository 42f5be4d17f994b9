#include <QComboBox>

#include "app/frmMain.h"
#include "platform/NetSocket.h"

void frmMain::ComboType_Click()
{
    const QString chosen = ComboType->currentText();
    if (Sock->Protocol() != NetSocket::TCP && chosen == QLatin1String("TCP")) {
        Sock->Close();
        Sock->SetProtocol(NetSocket::TCP);
        Sock_Close();
    } else if (Sock->Protocol() != NetSocket::UDP && chosen == QLatin1String("UDP")) {
        Sock->Close();
        Sock->SetProtocol(NetSocket::UDP);
        Sock_Close();
    } else if (Sock->Protocol() != NetSocket::TLS && chosen == QLatin1String("TLS")) {
        Sock->Close();
        Sock->SetProtocol(NetSocket::TLS);
        Sock_Close();
    }
}
