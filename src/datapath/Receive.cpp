#include <QCheckBox>

#include "app/frmMain.h"
#include "platform/NetSocket.h"

void frmMain::Sock_DataArrival(qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    try {
        // The buffers are the window's, reused by every arrival.
        Sock->GetData(RxData);
        if (RelayActive) {
            Sniff->SendData(RxData);
            RelayThrottle();
        }
        // "Use CR/LF" shows each LF as CR LF; the pane keeps the bytes as they came.
        if (Sock->Protocol() == NetSocket::UDP)
            LogUdpPeer();
        LogIt(RxData, false, cCrLf->isChecked(), RelayActive ? LogStore::ServerToClient : LogStore::Received);
    } catch (const Failure &f) {
        // A relay ends at once, both legs, so that neither can raise a box of its own while
        // this one is up. A session stops reading for as long, then closes.
        const bool relay = RelayActive;
        if (relay)
            Sock_Close();
        else
            Sock->SetReceiving(false);
        Tk().MsgBox(QStringLiteral("DataArrival: %1\r\n").arg(f.Number) + f.Description, Toolkit::Exclamation,
                    Toolkit::OkOnly, QStringLiteral("DataArrival error..."));
        if (!relay)
            Sock->Close();
    }
}
