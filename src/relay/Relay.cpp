#include <QComboBox>
#include <QLineEdit>

#include "app/frmMain.h"
#include "platform/NetSocket.h"
#include "platform/Numbers.h"

namespace {
// The server connection is still being made.
bool connecting(qint16 state)
{
    return state == NetSocket::ResolvingHost || state == NetSocket::HostResolved || state == NetSocket::Connecting;
}
} // namespace

void frmMain::mnuPopupSniff_Click()
{
    try {
        const QString address = txtIP->text();
        const QString port = txtPort->text();
        const QString question = QStringLiteral("Connect to this!\r\nServer: ") + address +
                                 QStringLiteral("\r\nPort: ") + port + QStringLiteral("\r\nCorrect?");
        if (Tk().MsgBox(question, Toolkit::Question, Toolkit::YesNo, QStringLiteral("Packet Sniff Address?")) ==
            Toolkit::No)
            return;
        RelayActive = true;
        Sock->Close();
        Sniff->Close();
        RelayPending.clear();
        Sock->SetRemoteHost(address);
        const qint32 relayPort = RoundToInt32(LeadingNumber(port));
        Sock->SetRemotePort(relayPort);
        if (ComboType->currentText() == QLatin1String("TCP")) {
            Sock->SetProtocol(NetSocket::TCP);
            Sniff->SetProtocol(NetSocket::TCP);
        }
        if (ComboType->currentText() == QLatin1String("UDP")) {
            Sock->SetProtocol(NetSocket::UDP);
            Sniff->SetProtocol(NetSocket::UDP);
        }
        Sniff->SetLocalPort(relayPort);
        Sniff->Listen();
    } catch (const Failure &f) {
        RelayActive = false;
        Sock->Close();
        Sniff->Close();
        Tk().MsgBox(QStringLiteral("Socket error: \r\n") + f.Description, Toolkit::Exclamation, Toolkit::OkOnly,
                    QStringLiteral("Sniff error..."));
    }
}

void frmMain::Sniff_ConnectionRequest(qint32 requestID)
{
    Sniff->Close();
    Sniff->Accept(requestID);
    Sock->Connect();
    QByteArray notice = "Local Connected. Connecting to remote...\r\n";
    LogIt(notice, false);
    // Wait for the server connection while the window keeps handling events.
    // Each pass blocks until an event arrives, so a slow server costs no CPU.
    for (;;) {
        if (Sock->State() == NetSocket::Connected) {
            QByteArray connected = "Connected.\r\n";
            LogIt(connected, false);
            RelayFlush();
            return;
        }
        Tk().DoEvents();
        const qint16 state = Sock->State();
        if (!connecting(state) && state != NetSocket::Connected) {
            // Closed, or taken over by another session: the held data goes with the client.
            RelayPending.clear();
            return;
        }
    }
}

void frmMain::Sniff_DataArrival(qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    const QByteArray data = Sniff->GetData();
    QByteArray shown = data; // the log shows NUL as "?", the server gets the bytes unchanged
    LogIt(shown, true);
    if (connecting(Sock->State())) {
        RelayPending += data;
        return;
    }
    try {
        RelayFlush();
        Sock->SendData(data);
    } catch (const Failure &) {
        // The server side is gone: drop the local client as well, so the
        // failure is reported once and not for every piece it still sends.
        Sniff->Close();
        throw;
    }
}

// Sends what the local client sent while the server connection was being made.
void frmMain::RelayFlush()
{
    if (RelayPending.isEmpty())
        return;
    const QByteArray held = std::exchange(RelayPending, QByteArray());
    Sock->SendData(held);
}

void frmMain::Sniff_Error(qint16 Number, const QString &Description, qint32 Scode, const QString &Source,
                          const QString &HelpFile, qint32 HelpContext, bool &CancelDisplay)
{
    Q_UNUSED(Number);
    Q_UNUSED(Description);
    Q_UNUSED(Scode);
    Q_UNUSED(Source);
    Q_UNUSED(HelpFile);
    Q_UNUSED(HelpContext);
    Q_UNUSED(CancelDisplay);
    Sock->Close();
    Sniff->Close();
}
