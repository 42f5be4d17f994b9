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
        // "Use CR/LF" shows each LF as CR LF; the pane converts as it copies.
        LogIt(RxData, false, cCrLf->isChecked());
    } catch (const Failure &f) {
        // Nothing more is read while the box is up, so later data cannot raise a box of its own.
        Sock->SetReceiving(false);
        Tk().MsgBox(QStringLiteral("DataArrival: %1\r\n").arg(f.Number) + f.Description, Toolkit::Exclamation,
                    Toolkit::OkOnly, QStringLiteral("DataArrival error..."));
        Sock->Close();
    }
}
