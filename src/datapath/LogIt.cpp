#include <QHostAddress>

#include "app/frmMain.h"
#include "platform/LogPane.h"
#include "platform/NetSocket.h"

// The pane keeps the bytes as they are; it shows NUL as "?", and with CrLf each
// LF as CR LF. Dir is who they came from: the saved log and the hex view's
// times tell it.
void frmMain::LogIt(QByteArray &Text, bool Highlight, bool CrLf, LogStore::Direction Dir)
{
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Bgr::Blue);
    const unsigned conversion = LogStore::NulToQuestion | (CrLf ? LogStore::LfToCrLf : LogStore::AsIs);
    txtRx->InsertAtCaret(Text, conversion, Dir);
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Bgr::Black);
}

// The program's own notices (what TLS agreed on, say) go in as one line of their
// own, in grey.
void frmMain::LogNotice(const QString &Text)
{
    QByteArray line = Text.toUtf8() + "\r\n";
    txtRx->SetCaret(txtRx->TextLength());
    txtRx->SetSelColor(Bgr::Grey);
    txtRx->InsertAtCaret(line, LogStore::NulToQuestion, LogStore::Notice);
    txtRx->SetCaret(txtRx->TextLength());
    txtRx->SetSelColor(Bgr::Black);
}

// A session of Sock starts: its two ends are noted in the log, for a capture.
// The client is the end that opened it.
void frmMain::LogSession(bool LocalIsClient)
{
    LogStore::Session s;
    s.Udp = Sock->Protocol() == NetSocket::UDP;
    s.LocalIsClient = LocalIsClient;
    const QHostAddress local = Sock->LocalAddress();
    QString peer = Sock->RemoteHostIP();
    quint16 peerPort = Sock->PeerPort();
    if (s.Udp && LocalIsClient && peerPort == 0) { // sends first: to the address typed
        peer = QHostAddress(Sock->RemoteHost()).toString();
        peerPort = quint16(Sock->RemotePort());
    }
    (LocalIsClient ? s.ClientAddress : s.ServerAddress) = local.toString();
    (LocalIsClient ? s.ClientPort : s.ServerPort) = Sock->BoundPort();
    (LocalIsClient ? s.ServerAddress : s.ClientAddress) = peer;
    (LocalIsClient ? s.ServerPort : s.ClientPort) = peerPort;
    txtRx->BeginSession(s);
}

// A datagram from a peer the log has not noted for this socket starts a session
// with that peer.
void frmMain::LogUdpPeer()
{
    const std::deque<LogStore::Session> &sessions = txtRx->Sessions();
    if (!sessions.empty()) {
        const LogStore::Session &s = sessions.back();
        const bool same = s.LocalIsClient
                              ? s.ServerPort == Sock->PeerPort() && s.ServerAddress == Sock->RemoteHostIP()
                              : s.ClientPort == Sock->PeerPort() && s.ClientAddress == Sock->RemoteHostIP();
        if (same && s.Udp)
            return;
    }
    LogSession(!sessions.empty() && sessions.back().Udp && sessions.back().LocalIsClient);
}

// The relay's session: its local client and the server. It begins when the client
// is accepted (what it sends meanwhile is held, and logged); the server's address
// is known for sure once its connection is up.
void frmMain::LogRelaySession(bool Connected)
{
    LogStore::Session s;
    s.ClientAddress = Sniff->RemoteHostIP();
    s.ClientPort = Sniff->PeerPort();
    s.ServerAddress = Connected ? Sock->RemoteHostIP() : QHostAddress(Sock->RemoteHost()).toString();
    s.ServerPort = Connected ? Sock->PeerPort() : quint16(Sock->RemotePort());
    txtRx->BeginSession(s, Connected);
}

void frmMain::txtRx_Change() {}

void frmMain::txtRx_DblClick()
{
    txtRx->Clear();
}

// "Save Log As..." in the pane's menu: by the name's extension, a transcript
// (.txt), a packet capture (.pcapng) or the bytes as they went over the wire.
void frmMain::txtRx_SaveAs()
{
    const QString path = Tk().SaveFileName(QStringLiteral("Save Log As..."));
    if (!path.isEmpty())
        txtRx->SaveAs(path);
}

// The pane's own menu, opened by the right button or from the keyboard.
void frmMain::txtRx_Menu(QMenu *menu, bool byKeyboard)
{
    Tk().PopupMenu(menu, nullptr, byKeyboard ? txtRx : nullptr);
}

// The save has ended; a failure is told, and nothing was left under the name.
void frmMain::txtRx_SaveFinished(const QString &path, const QString &error)
{
    if (!error.isEmpty())
        Tk().MsgBox(QStringLiteral("The log could not be saved to %1:\r\n%2").arg(path, error),
                    Toolkit::Exclamation, Toolkit::OkOnly, QStringLiteral("Save Log As..."));
}
