#include <QComboBox>
#include <QLineEdit>

#include "app/frmMain.h"
#include "platform/NetSocket.h"
#include "platform/Numbers.h"

namespace
{
// The server connection is still being made.
bool connecting(qint16 state)
{
    return state == NetSocket::ResolvingHost || state == NetSocket::HostResolved ||
           state == NetSocket::Connecting;
}

// Back-pressure: a leg stops reading while more than this waits to be written to
// the other leg, and reads again once that has drained below half. TCP then slows
// the sender, so a slow reader on one side never fills this program's memory.
constexpr qint64 RelayBacklog = 4 * 1024 * 1024;

void throttle(NetSocket *reader, qint64 backlog)
{
    if (backlog > RelayBacklog)
        reader->SetReceiving(false);
    else if (backlog < RelayBacklog / 2)
        reader->SetReceiving(true);
}
} // namespace

void frmMain::mnuPopupSniff_Click()
{
    try {
        const QString address = txtIP->text();
        const QString port = txtPort->text();
        const QString question = QStringLiteral("Connect to this!\r\nServer: ") + address +
                                 QStringLiteral("\r\nPort: ") + port + QStringLiteral("\r\nCorrect?");
        if (Tk().MsgBox(question, Toolkit::Question, Toolkit::YesNo,
                        QStringLiteral("Packet Sniff Address?")) == Toolkit::No)
            return;
        RelayActive = true;
        Sock->Close();
        Sniff->Close();
        RelayPending.clear();
        RelayClientEnded = false;
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
        Tk().MsgBox(QStringLiteral("Socket error: \r\n") + f.Description, Toolkit::Exclamation,
                    Toolkit::OkOnly, QStringLiteral("Sniff error..."));
    }
}

void frmMain::Sniff_ConnectionRequest(qint32 requestID)
{
    Sniff->Close();
    // Each leg passes a peer's end of sending on to the other leg.
    Sniff->SetHalfOpen(true);
    Sniff->Accept(requestID);
    Sock->SetHalfOpen(true);
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
            RelayClientEnded = false;
            return;
        }
    }
}

void frmMain::Sniff_DataArrival(qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    QByteArray &data = RelayData; // kept from one arrival to the next
    Sniff->GetData(data);
    // The server gets the bytes before the log shows them: LogIt turns NUL into
    // "?" in the string it is given.
    if (connecting(Sock->State())) {
        RelayPending += data;
    } else {
        try {
            RelayFlush();
            Sock->SendData(data);
        } catch (const Failure &) {
            // The server side is gone: drop the local client as well, so the
            // failure is reported once and not for every piece it still sends.
            Sniff->Close();
            LogIt(data, true); // what the client sent is shown all the same
            throw;
        }
    }
    RelayThrottle();
    LogIt(data, true);
}

// Sends what the local client sent while the server connection was being made,
// and its end if it has ended meanwhile.
void frmMain::RelayFlush()
{
    if (!RelayPending.isEmpty()) {
        const QByteArray held = std::exchange(RelayPending, QByteArray());
        Sock->SendData(held);
    }
    if (std::exchange(RelayClientEnded, false))
        Sock->EndSending();
    RelayThrottle();
}

// Each leg reads only while the other leg's backlog is within bounds.
void frmMain::RelayThrottle()
{
    if (!RelayActive)
        return;
    throttle(Sniff, Sock->BytesToSend() + RelayPending.size());
    throttle(Sock, Sniff->BytesToSend());
}

// The local client has ended its sending, or is gone. Its end is passed on to the
// server and the relay goes on the other way; once both have ended, or the client
// is gone, the relay ends as a session does (queued data is still written).
void frmMain::Sniff_Close()
{
    if (Sniff->State() == NetSocket::Connected) { // ended its sending, still reads
        if (connecting(Sock->State())) {
            RelayClientEnded = true;
            return;
        }
        if (Sock->State() == NetSocket::Connected && !Sock->PeerEnded()) {
            Sock->EndSending();
            return;
        }
    }
    Sock_Close();
}

// The server has ended its sending. While the local client still sends, the end is
// passed on to it and the relay goes on the other way; tells whether it did so.
bool frmMain::RelayServerEnded()
{
    if (!RelayActive || Sock->State() != NetSocket::Connected || Sniff->State() != NetSocket::Connected ||
        Sniff->PeerEnded())
        return false;
    Sniff->EndSending();
    return true;
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
