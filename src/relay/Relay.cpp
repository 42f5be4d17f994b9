#include <QComboBox>
#include <QLineEdit>
#include <QTimer>

#include "app/frmMain.h"
#include "platform/NetSocket.h"
#include "platform/Numbers.h"

namespace
{
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
        RelayForget();
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
        // TLS on both legs: the relay terminates it on each side and shows the plain text.
        if (ComboType->currentText() == QLatin1String("TLS")) {
            Sock->SetProtocol(NetSocket::TLS);
            Sniff->SetProtocol(NetSocket::TLS);
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
    // Over TLS the client's hello is held until the server has answered, so that both
    // agree on the same protocol (ALPN) and the server hears the name the client asked for.
    const bool tls = Sniff->Protocol() == NetSocket::TLS;
    Sniff->SetHoldHello(tls);
    Sniff->Accept(requestID);
    Sock->SetHalfOpen(true);
    // The wait for the server goes on in Sock_Connect, or ends with the close routine.
    RelayConnecting = true;
    LogRelaySession(false);
    QByteArray notice = "Local Connected. Connecting to remote...\r\n";
    LogIt(notice, false, false, LogStore::Notice);
    if (!tls)
        RelayConnect();
}

// The client's TLS hello has come: the server is connected under the name the client
// asked for (else the host typed), offered the protocols the client offered.
void frmMain::Sniff_ClientHello(const QString &ServerName, const QByteArray &Alpn)
{
    if (!RelayConnecting)
        return;
    Sock->SetServerName(ServerName);
    Sock->SetAlpn(Alpn);
    RelayConnect();
}

void frmMain::RelayConnect()
{
    try {
        Sock->Connect();
    } catch (const Failure &) {
        Sock_Close(); // the client is not kept waiting for a server that will never come
        throw;
    }
}

// The client's TLS handshake is done too: what was agreed on each side, in one notice.
void frmMain::Sniff_Connect()
{
    if (RelayActive && Sniff->Protocol() == NetSocket::TLS)
        LogNotice(QStringLiteral("TLS with the client: ") + Sniff->TlsSummary() +
                  QStringLiteral(" | with the server: ") + Sock->TlsSummary());
}

// The server connection is up: logged, then what the client sent meanwhile goes on.
void frmMain::RelayConnected()
{
    RelayConnecting = false;
    LogRelaySession(true);
    QByteArray connected = "Connected.\r\n";
    LogIt(connected, false, false, LogStore::Notice);
    if (Sniff->Protocol() == NetSocket::TLS)
        Sniff->ResumeHello(Sock->Alpn()); // the client's handshake goes on
    RelayFlush();
}

void frmMain::Sniff_DataArrival(qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    QByteArray &data = RelayData; // kept from one arrival to the next
    Sniff->GetData(data);
    // The server gets the bytes before the log shows them.
    if (RelayConnecting) {
        RelayPending += data;
    } else {
        try {
            Sock->SendData(data);
        } catch (const Failure &) {
            LogIt(data, true, false, LogStore::ClientToServer); // what the client sent is shown all the same
            Sock_Close();                                       // both legs end before the failure is shown
            throw;
        }
    }
    RelayThrottle();
    LogIt(data, true, false, LogStore::ClientToServer);
}

// Sends what the local client sent while the server connection was being made,
// then its end if it has ended: the end always comes after the data.
void frmMain::RelayFlush()
{
    try {
        if (!RelayPending.isEmpty()) {
            const QByteArray held = std::exchange(RelayPending, QByteArray());
            Sock->SendData(held);
        }
        if (RelayClientEnded)
            Sock->EndSending();
    } catch (const Failure &) {
        Sock_Close();
        throw;
    }
    RelayThrottle();
}

// Drops whatever the relay holds for its server, so that nothing a client sent can
// reach the peer of a later session.
void frmMain::RelayForget()
{
    RelayConnecting = false;
    RelayClientEnded = false;
    RelayPending.clear();
    TimerRelayEnd->stop();
}

// Each leg reads only while the other leg's backlog is within bounds.
void frmMain::RelayThrottle()
{
    if (!RelayActive)
        return;
    throttle(Sniff, Sock->BytesToSend() + RelayPending.size());
    throttle(Sock, Sniff->BytesToSend());
    RelayQuietCheck();
}

// The local client has ended its sending, or is gone. Its end is passed on to the
// server (after anything still held for it) and the relay goes on the other way;
// once both have ended, or the client is gone, the relay ends as a session does
// (queued data is still written).
void frmMain::Sniff_Close()
{
    if (Sniff->State() == NetSocket::Connected) { // ended its sending, still reads
        if (RelayConnecting) {
            RelayClientEnded = true;
            return;
        }
        if (Sock->State() == NetSocket::Connected && !Sock->PeerEnded()) {
            RelayClientEnded = true;
            RelayFlush();
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
    RelayQuietCheck();
    return true;
}

// Once the server's end has reached the client (everything queued for it written),
// the relay waits for the client's own end, but only while the client keeps
// talking: each piece it sends, and each piece written, restarts the wait. Many
// clients never end their side after the server's end.
void frmMain::RelayQuietCheck()
{
    if (Sock->State() == NetSocket::Connected && Sock->PeerEnded() &&
        Sniff->State() == NetSocket::Connected && Sniff->BytesToSend() == 0)
        TimerRelayEnd->start();
}

void frmMain::TimerRelayEnd_Timer()
{
    if (RelayActive)
        Sock_Close();
}

// A failure on the client's leg ends the relay as one on the server's leg does:
// both legs closed through the close routine, then one box.
void frmMain::Sniff_Error(qint16 Number, const QString &Description, qint32 Scode, const QString &Source,
                          const QString &HelpFile, qint32 HelpContext, bool &CancelDisplay)
{
    Sock_Error(Number, Description, Scode, Source, HelpFile, HelpContext, CancelDisplay);
}
