#include "platform/NetSocket.h"

#include <QCoreApplication>
#include <QHash>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QPointer>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QTimer>
#include <QUdpSocket>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "platform/Failure.h"
#include "platform/Numbers.h"

namespace
{

// Datagrams handled per event-loop turn, so timers and the window keep their turn.
constexpr int DatagramsPerTurn = 64;

// Pending connection requests of every listener: handle -> the listener that took it.
// A request may be accepted by any instance, so the registry is shared.
QHash<qintptr, NetSocket *> &pendingRequests()
{
    static QHash<qintptr, NetSocket *> requests;
    return requests;
}

void closeHandle(qintptr handle)
{
    ::close(int(handle));
}

// Internal objects are never deleted while any notification of the component is
// on the stack: a handler may run a nested event loop (a message box) in which
// the object that called it would otherwise be deleted. Retired objects wait in
// the graveyard until the outermost notification has returned.
int entryDepth = 0;
QList<QObject *> &graveyard()
{
    static QList<QObject *> dead;
    return dead;
}

// Deletes an object on a later turn of the event loop. One whose deletion the event loop never got to run
// (the program ending right after a Close) is deleted when the application goes.
void deleteSoon(QObject *object)
{
    static QList<QPointer<QObject>> pending;
    static const bool cleanup = [] {
        qAddPostRoutine([] {
            for (const QPointer<QObject> &o : std::exchange(pending, {}))
                delete o.data();
        });
        return true;
    }();
    Q_UNUSED(cleanup);
    if (pending.size() >= 64)
        pending.removeIf([](const QPointer<QObject> &o) { return o.isNull(); });
    pending.append(object);
    object->deleteLater();
}

void bury(QObject *object)
{
    if (entryDepth == 0)
        deleteSoon(object);
    else
        graveyard().append(object);
}

// A peer address as people write it: IPv4-mapped IPv6 addresses as plain IPv4.
QString shown(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    return isV4 ? QHostAddress(v4).toString() : address.toString();
}

// A host as typed, without the brackets of "[::1]".
QString bareHost(const QString &host)
{
    QString h = host.trimmed();
    if (h.size() > 2 && h.startsWith(u'[') && h.endsWith(u']'))
        h = h.mid(1, h.size() - 2);
    return h;
}

QString portText(double port)
{
    return QString::number(port, 'g', 15);
}

socklen_t toSockaddr(const QHostAddress &address, quint16 port, sockaddr_storage &out)
{
    std::memset(&out, 0, sizeof out);
    if (address.protocol() == QAbstractSocket::IPv6Protocol) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&out);
        a->sin6_family = AF_INET6;
        a->sin6_port = htons(port);
        const Q_IPV6ADDR v6 = address.toIPv6Address();
        std::memcpy(&a->sin6_addr, &v6, sizeof v6);
        a->sin6_scope_id = address.scopeId().toUInt();
        return sizeof(sockaddr_in6);
    }
    auto *a = reinterpret_cast<sockaddr_in *>(&out);
    a->sin_family = AF_INET;
    a->sin_port = htons(port);
    a->sin_addr.s_addr = htonl(address.toIPv4Address());
    return sizeof(sockaddr_in);
}

// The address and port of a descriptor's peer (or of its own end).
QHostAddress endpoint(int fd, bool peer, quint16 *port = nullptr)
{
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    const int r = peer ? ::getpeername(fd, reinterpret_cast<sockaddr *>(&a), &len)
                       : ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    if (r != 0)
        return {};
    QHostAddress address(reinterpret_cast<sockaddr *>(&a));
    if (port)
        *port = a.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port)
                                        : ntohs(reinterpret_cast<sockaddr_in *>(&a)->sin_port);
    return address;
}

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// A failure to take a local port, with the port and address named.
Failure bindFailure(int error, qint32 port, const QString &address)
{
    switch (error) {
    case EADDRINUSE:
        return Failure(FailureNo::AddressInUse,
                       QStringLiteral("Port %1 is already in use on %2.").arg(port).arg(address));
    case EACCES:
    case EPERM:
        if (port > 0 && port < 1024)
            return Failure(FailureNo::AccessDenied,
                           QStringLiteral("Port %1 on %2 was refused: ports below 1024 need "
                                          "administrator (root) privileges.")
                               .arg(port)
                               .arg(address));
        return Failure(FailureNo::AccessDenied,
                       QStringLiteral("Access to port %1 on %2 was denied.").arg(port).arg(address));
    case EADDRNOTAVAIL:
    case EAFNOSUPPORT:
        return Failure(FailureNo::AddressNotAvailable,
                       QStringLiteral("Cannot use port %1 on %2: it is not an address of this machine.")
                           .arg(port)
                           .arg(address));
    default:
        return Failure(
            FailureNo::Unexpected,
            QStringLiteral("Port %1 on %2 cannot be opened: %3.").arg(port).arg(address, systemText(error)));
    }
}

Failure bindFailure(QAbstractSocket::SocketError error, qint32 port, const QString &address)
{
    switch (error) {
    case QAbstractSocket::AddressInUseError: return bindFailure(EADDRINUSE, port, address);
    case QAbstractSocket::SocketAccessError: return bindFailure(EACCES, port, address);
    case QAbstractSocket::SocketAddressNotAvailableError:
    case QAbstractSocket::UnsupportedSocketOperationError: return bindFailure(EADDRNOTAVAIL, port, address);
    default: return bindFailure(EIO, port, address);
    }
}

// A new non-blocking TCP descriptor bound to address:port; -1 with errno set on failure.
int boundDescriptor(const QHostAddress &address, quint16 port, bool reuse)
{
    const int family = address.protocol() == QAbstractSocket::IPv6Protocol ? AF_INET6 : AF_INET;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int one = 1;
    if (reuse)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage a;
    const socklen_t len = toSockaddr(address, port, a);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0) {
        const int error = errno;
        ::close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

// Marks an entry into the component from the event loop (a notifier, a queued
// call, a look-up result); see bury().
struct NetSocket::Entry {
    Entry() { ++entryDepth; }
    ~Entry()
    {
        if (--entryDepth == 0)
            for (QObject *o : std::exchange(graveyard(), {}))
                deleteSoon(o);
    }
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;
};

// One TCP connection on a non-blocking descriptor, with its queue of outgoing
// data. While an instance owns it, notifications go to the owner; after Close
// it lingers on its own until the queue is written (or the peer stops reading),
// then ends the connection in order.
class NetSocket::Stream : public QObject
{
public:
    Stream(int fd, NetSocket *owner)
        : fd(fd), owner(owner), reader(fd, QSocketNotifier::Read, this),
          writer(fd, QSocketNotifier::Write, this)
    {
        reader.setEnabled(false);
        writer.setEnabled(false);
        route(reader, &NetSocket::streamReadable, &Stream::lingerRead);
        route(writer, &NetSocket::streamWritable, &Stream::lingerWrite);
        stall.setSingleShot(true);
        connect(&stall, &QTimer::timeout, this, [this] { finish(); });
    }
    ~Stream() override
    {
        lingering().removeOne(this);
        if (fd >= 0)
            ::close(fd);
    }

    // A notification goes to the owner; after Close, to the stream's own lingering.
    void route(QSocketNotifier &notifier, void (NetSocket::*owned)(), void (Stream::*alone)())
    {
        connect(&notifier, &QSocketNotifier::activated, this, [this, owned, alone] {
            Entry entry;
            if (owner)
                (owner->*owned)();
            else
                (this->*alone)();
        });
    }

    qint64 pending() const { return out.size() - outPos; }

    // Queues data and writes what the system takes now. Returns 0, or the errno
    // of a peer that is gone.
    int send(const char *data, qint64 size)
    {
        if (pending() == 0 && !connecting) {
            while (size > 0) {
                const ssize_t n = ::send(fd, data, size_t(size), MSG_NOSIGNAL);
                if (n > 0) {
                    data += n;
                    size -= n;
                } else if (n < 0 && errno == EINTR) {
                    continue;
                } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                    break;
                } else {
                    return errno;
                }
            }
        }
        if (size > 0) {
            out.append(data, size);
            writer.setEnabled(true);
        }
        return 0;
    }

    // Writes queued data; returns 0 or the errno of a peer that is gone.
    // `written` tells how much went out.
    int flush(qint64 &written)
    {
        written = 0;
        while (outPos < out.size()) {
            const ssize_t n = ::send(fd, out.constData() + outPos, size_t(out.size() - outPos), MSG_NOSIGNAL);
            if (n > 0) {
                outPos += n;
                written += n;
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                break;
            } else {
                return errno;
            }
        }
        if (outPos == out.size()) {
            out.truncate(0); // keeps its capacity for the next burst
            outPos = 0;
            writer.setEnabled(false);
            if (shutdownWanted && !shutdownDone) {
                ::shutdown(fd, SHUT_WR);
                shutdownDone = true;
            }
        } else if (outPos > out.size() / 2) {
            out.remove(0, outPos);
            outPos = 0;
        }
        return 0;
    }

    void endSending()
    {
        shutdownWanted = true;
        if (pending() == 0 && !connecting && !shutdownDone) {
            ::shutdown(fd, SHUT_WR);
            shutdownDone = true;
        }
    }

    // Detaches from the owner. With data queued the stream writes it out, ends its
    // sending, and waits briefly for the peer's end before it closes; otherwise it
    // closes now.
    void retire(bool flush)
    {
        owner = nullptr;
        if (!flush || connecting || pending() == 0) {
            finish();
            return;
        }
        shutdownWanted = true;
        lingering().append(this);
        reader.setEnabled(!peerDone);
        writer.setEnabled(true);
        stall.start(LingerStallMs);
    }

    void lingerWrite()
    {
        qint64 written = 0;
        if (flush(written) != 0)
            return finish();
        if (pending() == 0 && peerDone)
            return finish();
        if (pending() == 0)
            stall.start(EndWaitMs);
        else if (written > 0)
            stall.start(LingerStallMs);
    }

    // What the peer still sends after Close is read and dropped: a descriptor closed
    // with unread data resets the connection, and the peer could lose what it was sent.
    void lingerRead()
    {
        char sink[16384];
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)))
            return;
        if (n < 0)
            return finish(); // reset: nothing more can reach the peer
        peerDone = true;
        reader.setEnabled(false);
        if (pending() == 0)
            finish();
    }

    void finish()
    {
        reader.setEnabled(false);
        writer.setEnabled(false);
        stall.stop();
        lingering().removeOne(this);
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
        bury(this);
    }

    // Streams still writing after Close; whatever is left when the program ends is freed then.
    static QList<Stream *> &lingering()
    {
        static QList<Stream *> streams;
        static const bool cleanup = [] {
            qAddPostRoutine([] { qDeleteAll(std::exchange(lingering(), {})); });
            return true;
        }();
        Q_UNUSED(cleanup);
        return streams;
    }

    // How long a closed connection whose queue is written waits for the peer's end.
    static constexpr int EndWaitMs = 2000;

    int fd;
    NetSocket *owner;
    QSocketNotifier reader, writer;
    QTimer stall;
    QByteArray out;
    qsizetype outPos = 0;
    bool connecting = false;
    bool peerDone = false; // the peer has ended its sending
    bool shutdownWanted = false;
    bool shutdownDone = false;
};

NetSocket::NetSocket(QObject *parent) : QObject(parent) {}

NetSocket::~NetSocket()
{
    releaseAll();
    auto &requests = pendingRequests();
    for (auto it = requests.begin(); it != requests.end();) {
        if (it.value() == this) {
            closeHandle(it.key());
            it = requests.erase(it);
        } else {
            ++it;
        }
    }
}

// ---------------------------------------------------------------- properties

void NetSocket::SetProtocol(qint32 protocol)
{
    requireClosed(QStringLiteral("change the protocol"));
    if (protocol != TCP && protocol != UDP)
        throw Failure(FailureNo::InvalidArgument,
                      QStringLiteral("Protocol %1 is not valid; use 0 for TCP or 1 for UDP.").arg(protocol));
    m_protocol = protocol;
}

void NetSocket::SetRemoteHost(const QString &host)
{
    m_remoteHost = host;
}

void NetSocket::SetRemotePort(qint32 port)
{
    if (port < 0 || port > 65535)
        throw Failure(FailureNo::InvalidArgument,
                      QStringLiteral("Remote port %1 is not valid; use 1 to 65535.").arg(port));
    m_remotePort = port;
}

void NetSocket::SetLocalPort(qint32 port)
{
    requireClosed(QStringLiteral("change the local port to %1").arg(port));
    if (port < 0 || port > 65535)
        throw Failure(FailureNo::InvalidArgument,
                      QStringLiteral("Local port %1 is not valid; use 0 to 65535.").arg(port));
    m_localPort = port;
}

quint16 NetSocket::BoundPort() const
{
    quint16 port = 0;
    if (m_listenFd >= 0)
        endpoint(m_listenFd, false, &port);
    else if (m_udp)
        port = m_udp->localPort();
    else if (m_stream)
        endpoint(m_stream->fd, false, &port);
    else if (m_boundFd >= 0)
        endpoint(m_boundFd, false, &port);
    return port;
}

QHostAddress NetSocket::LocalAddress() const
{
    return m_stream ? endpoint(m_stream->fd, false) : m_udp ? m_udp->localAddress() : QHostAddress();
}

qint64 NetSocket::BytesToSend() const
{
    return m_stream ? m_stream->pending() : 0;
}

void NetSocket::SetReceiving(bool on)
{
    m_receiving = on;
    if (m_stream && !m_stream->connecting && !m_peerEnded)
        m_stream->reader.setEnabled(on && m_in.size() < ReadChunk);
}

void NetSocket::EndSending()
{
    if (m_state != Connected || !m_stream)
        throw Failure(FailureNo::NotConnected,
                      QStringLiteral("Cannot end sending to %1: the socket is not connected (it is %2).")
                          .arg(m_remoteHostIP, stateText()));
    m_stream->endSending();
}

// ---------------------------------------------------------------- common

QString NetSocket::stateText() const
{
    switch (m_state) {
    case Closed: return QStringLiteral("closed");
    case Open: return QStringLiteral("open on port %1").arg(BoundPort());
    case Listening: return QStringLiteral("listening on port %1").arg(BoundPort());
    case ConnectionPending:
        return QStringLiteral("listening on port %1 with a connection request pending").arg(BoundPort());
    case ResolvingHost: return QStringLiteral("looking up %1").arg(m_remoteHost);
    case HostResolved:
    case Connecting: return QStringLiteral("connecting to %1 port %2").arg(m_remoteHost).arg(m_remotePort);
    case Connected: return QStringLiteral("connected to %1 port %2").arg(m_remoteHostIP).arg(m_peerPort);
    case Closing: return QStringLiteral("still open after the peer closed the connection");
    default: return QStringLiteral("in error after a failed operation");
    }
}

void NetSocket::requireClosed(const QString &operation) const
{
    if (m_state != Closed)
        throw Failure(
            FailureNo::WrongState,
            QStringLiteral("Cannot %1: the socket is %2; close it first.").arg(operation, stateText()));
}

// Ends whatever the instance holds, without events; the properties stay. Queued
// outgoing data of a connection is still written out.
void NetSocket::releaseAll()
{
    ++m_generation; // a look-up still under way is left to finish; its result is dropped
    m_addresses.clear();
    dropStream(true);
    if (m_listenNotifier) {
        m_listenNotifier->setEnabled(false);
        bury(m_listenNotifier);
        m_listenNotifier = nullptr;
    }
    if (m_listenFd >= 0) {
        ::close(m_listenFd);
        m_listenFd = -1;
    }
    if (m_boundFd >= 0) {
        ::close(m_boundFd);
        m_boundFd = -1;
    }
    if (m_udp) {
        disconnect(m_udp, nullptr, this, nullptr);
        m_udp->close();
        bury(m_udp);
        m_udp = nullptr;
    }
    m_in.clear();
    m_remoteHostIP.clear();
    m_peerPort = 0;
    m_peerEnded = false;
    m_receiving = true;
    m_udpFromBind = false;
    m_hasDatagram = false;
    m_lastSender.clear();
    m_lastSenderPort = 0;
}

void NetSocket::dropStream(bool flush)
{
    if (Stream *stream = std::exchange(m_stream, nullptr))
        stream->retire(flush);
}

void NetSocket::raiseError(qint32 number, const QString &description)
{
    releaseAll();
    setState(Error);
    bool cancelDisplay = false;
    const qint32 scode = qint32(0x800A0000u | quint32(number & 0xFFFF));
    emit OnError(qint16(number), description, scode, QStringLiteral("NetSocket"), QString(), 0,
                 &cancelDisplay);
}

void NetSocket::Close()
{
    releaseAll();
    m_halfOpen = false;
    setState(Closed);
}

// ---------------------------------------------------------------- TCP connect

void NetSocket::Connect()
{
    Connect(m_remoteHost, m_remotePort);
}

void NetSocket::Connect(const QString &host, double port)
{
    requireClosed(QStringLiteral("connect to %1 port %2").arg(host, portText(port)));
    if (m_protocol != TCP)
        throw Failure(FailureNo::InvalidArgument,
                      QStringLiteral("Cannot connect to %1 port %2: UDP sockets do not connect; set "
                                     "RemoteHost and RemotePort and send data.")
                          .arg(host, portText(port)));
    const QString name = bareHost(host);
    if (name.isEmpty())
        throw Failure(
            FailureNo::InvalidArgument,
            QStringLiteral("Cannot connect to port %1: no remote host is given.").arg(portText(port)));
    const double rounded = std::isfinite(port) ? std::nearbyint(port) : -1.0; // halves go to even
    if (rounded < 1 || rounded > 65535)
        throw Failure(FailureNo::InvalidArgument,
                      QStringLiteral("Port %1 is not valid for connecting to %2; use 1 to 65535.")
                          .arg(portText(port), host));
    m_remoteHost = host;
    m_remotePort = qint32(rounded);

    const quint64 generation = ++m_generation;
    QHostAddress literal;
    if (literal.setAddress(name)) {
        // A numeric address needs no lookup.
        m_addresses = {literal};
        setState(HostResolved);
        QMetaObject::invokeMethod(
            this, [this, generation] { connectNext(generation); }, Qt::QueuedConnection);
        return;
    }
    setState(ResolvingHost);
    // Never aborted: Close only makes the result stale (an aborted look-up leaks in Qt).
    QHostInfo::lookupHost(name, this, [this, generation](const QHostInfo &info) {
        lookupDone(generation, info.addresses(), info.error() != QHostInfo::NoError);
    });
}

void NetSocket::lookupDone(quint64 generation, const QList<QHostAddress> &addresses, bool failed)
{
    Entry entry;
    if (generation != m_generation || m_state != ResolvingHost)
        return; // closed meanwhile
    if (failed || addresses.isEmpty()) {
        raiseError(FailureNo::HostNotFound,
                   QStringLiteral("Host not found: %1.").arg(bareHost(m_remoteHost)));
        return;
    }
    m_addresses = addresses;
    setState(HostResolved);
    // Connect on the next turn, so HostResolved is a state one can see.
    QMetaObject::invokeMethod(
        this, [this, generation] { connectNext(generation); }, Qt::QueuedConnection);
}

void NetSocket::connectNext(quint64 generation)
{
    Entry entry;
    if (generation != m_generation || (m_state != HostResolved && m_state != Connecting) ||
        m_addresses.isEmpty())
        return;
    m_tryingAddress = m_addresses.takeFirst();
    setState(Connecting);
    const int family = m_tryingAddress.protocol() == QAbstractSocket::IPv6Protocol ? AF_INET6 : AF_INET;
    const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return connectFailed(errno);
    m_stream = new Stream(fd, this);
    m_stream->connecting = true;
    sockaddr_storage a;
    const socklen_t len = toSockaddr(m_tryingAddress, quint16(m_remotePort), a);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 && errno != EINPROGRESS)
        return connectFailed(errno);
    // The outcome is told by the descriptor becoming writable, on a later turn.
    m_stream->writer.setEnabled(true);
}

void NetSocket::connectFailed(int error)
{
    dropStream(false);
    if (!m_addresses.isEmpty()) {
        // Try the next address of the host on the next turn.
        const quint64 generation = m_generation;
        QMetaObject::invokeMethod(
            this, [this, generation] { connectNext(generation); }, Qt::QueuedConnection);
        return;
    }
    const QString address = shown(m_tryingAddress);
    const QString port = QString::number(m_remotePort);
    switch (error) {
    case ECONNREFUSED:
        return raiseError(FailureNo::ConnectionRefused,
                          QStringLiteral("Connection refused by %1 port %2.").arg(address, port));
    case ETIMEDOUT:
        return raiseError(FailureNo::TimedOut,
                          QStringLiteral("Connection to %1 port %2 timed out.").arg(address, port));
    case EHOSTUNREACH:
        return raiseError(FailureNo::HostUnreachable,
                          QStringLiteral("Host %1 cannot be reached (port %2).").arg(address, port));
    case ENETUNREACH:
    case EAFNOSUPPORT:
        return raiseError(
            FailureNo::NetworkUnreachable,
            QStringLiteral("The network of %1 cannot be reached (port %2).").arg(address, port));
    case EACCES:
    case EPERM:
        return raiseError(FailureNo::AccessDenied,
                          QStringLiteral("Connection to %1 port %2 is not permitted.").arg(address, port));
    default:
        return raiseError(
            FailureNo::Unexpected,
            QStringLiteral("Connection to %1 port %2 failed: %3.").arg(address, port, systemText(error)));
    }
}

void NetSocket::streamConnected()
{
    int error = 0;
    socklen_t len = sizeof error;
    if (::getsockopt(m_stream->fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0)
        error = errno;
    if (error != 0)
        return connectFailed(error);
    m_stream->connecting = false;
    m_stream->writer.setEnabled(m_stream->pending() > 0);
    m_stream->reader.setEnabled(m_receiving);
    const int one = 1;
    ::setsockopt(m_stream->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_addresses.clear();
    m_remoteHostIP = shown(endpoint(m_stream->fd, true, &m_peerPort));
    setState(Connected);
    emit OnConnect();
}

// Reads what has arrived, at most ReadChunk held at a time: a handler that does not
// fetch stops the reading until it does, and the peer is slowed by TCP itself.
void NetSocket::streamReadable()
{
    if (!m_receiving || m_in.size() >= ReadChunk || m_peerEnded) {
        m_stream->reader.setEnabled(false);
        return;
    }
    const qsizetype held = m_in.size();
    m_in.resize(ReadChunk);
    const ssize_t n = ::recv(m_stream->fd, m_in.data() + held, size_t(ReadChunk - held), 0);
    m_in.resize(held + (n > 0 ? n : 0));
    if (n > 0) {
        emit DataArrival(m_in.size());
        return;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR))
        return;
    if (n == 0)
        peerEnded();
    else
        peerGone();
}

void NetSocket::streamWritable()
{
    if (m_stream->connecting)
        return streamConnected();
    qint64 written = 0;
    if (m_stream->flush(written) != 0)
        return peerGone();
    if (written > 0)
        emit SendProgress(written, m_stream->pending());
}

// The peer has ended its sending side. Whatever it sent before is fetched first:
// the reading stops at the end, so the close event comes after the last arrival.
void NetSocket::peerEnded()
{
    m_peerEnded = true;
    m_stream->peerDone = true;
    m_stream->reader.setEnabled(false);
    if (m_halfOpen && !m_stream->shutdownDone) {
        emit OnClose(); // still Connected: the peer may go on reading
        return;
    }
    dropStream(true);
    setState(Closing);
    emit OnClose();
}

// The peer is gone (reset, or a send failed): nothing more can be written. Reported
// as the peer's close, like an orderly end.
void NetSocket::peerGone()
{
    m_peerEnded = true;
    dropStream(false);
    setState(Closing);
    emit OnClose();
}

// ---------------------------------------------------------------- listening

void NetSocket::Listen()
{
    requireClosed(QStringLiteral("listen on port %1").arg(m_localPort));
    if (m_protocol != TCP)
        throw Failure(FailureNo::InvalidArgument,
                      QStringLiteral("Cannot listen on port %1: UDP sockets do not listen; use Bind.")
                          .arg(m_localPort));
    const int fd = boundDescriptor(QHostAddress(QHostAddress::AnyIPv4), quint16(m_localPort), true);
    if (fd < 0 || ::listen(fd, 50) != 0) {
        const Failure failure = bindFailure(errno, m_localPort, QStringLiteral("0.0.0.0"));
        if (fd >= 0)
            ::close(fd);
        throw failure;
    }
    ++m_generation;
    m_listenFd = fd;
    quint16 bound = 0; // port 0 asks the system for one: this is the one it gave
    endpoint(fd, false, &bound);
    m_localPort = bound;
    m_listenNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(m_listenNotifier, &QSocketNotifier::activated, this, [this] {
        Entry entry;
        incoming();
    });
    setState(Listening);
}

// Connections have come in. Each is announced from a queued call, never from inside
// the listener's notification, because the handler closes this very listener.
void NetSocket::incoming()
{
    for (int i = 0; i < 64 && m_listenFd >= 0; ++i) {
        const int handle = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (handle < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED || errno == EINTR)
                return;
            const int error = errno;
            return raiseError(FailureNo::Unexpected, QStringLiteral("Port %1 cannot take connections: %2.")
                                                         .arg(BoundPort())
                                                         .arg(systemText(error)));
        }
        pendingRequests().insert(handle, this);
        if (m_state == Listening)
            setState(ConnectionPending);
        const quint64 generation = m_generation;
        QMetaObject::invokeMethod(
            this, [this, handle, generation] { dispatchRequest(handle, generation); }, Qt::QueuedConnection);
    }
}

void NetSocket::dispatchRequest(qintptr handle, quint64 generation)
{
    Entry entry;
    auto &requests = pendingRequests();
    if (requests.value(handle) != this)
        return; // accepted meanwhile
    if (generation != m_generation || (m_state != Listening && m_state != ConnectionPending)) {
        requests.remove(handle);
        closeHandle(handle);
        return;
    }
    QPointer<NetSocket> self(this);
    {
        // A request not accepted by the time the handler returns (or throws) is refused.
        const auto refuse = qScopeGuard([handle] {
            if (pendingRequests().remove(handle))
                closeHandle(handle);
        });
        emit ConnectionRequest(qint32(handle));
    }
    if (!self || generation != m_generation || m_state != ConnectionPending)
        return;
    for (NetSocket *owner : std::as_const(requests))
        if (owner == this)
            return; // more requests are waiting
    setState(Listening);
}

void NetSocket::Accept(qint32 requestID)
{
    requireClosed(QStringLiteral("accept connection request %1").arg(requestID));
    if (m_protocol != TCP)
        throw Failure(
            FailureNo::InvalidArgument,
            QStringLiteral("Cannot accept connection request %1: the socket is set to UDP.").arg(requestID));
    if (!pendingRequests().remove(requestID))
        throw Failure(FailureNo::InvalidArgument,
                      QStringLiteral("There is no pending connection request %1 to accept.").arg(requestID));
    ++m_generation;
    m_stream = new Stream(requestID, this);
    m_stream->reader.setEnabled(m_receiving);
    const int one = 1;
    ::setsockopt(requestID, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    m_tryingAddress = endpoint(requestID, true, &m_peerPort);
    m_remoteHostIP = shown(m_tryingAddress);
    setState(Connected);
}

// ---------------------------------------------------------------- binding and UDP

void NetSocket::Bind(qint32 localPort, const QString &localIP)
{
    const QString ip = bareHost(localIP);
    const QString where = ip.isEmpty() ? QStringLiteral("0.0.0.0") : ip;
    requireClosed(QStringLiteral("bind port %1 on %2").arg(localPort).arg(where));
    if (localPort < 0 || localPort > 65535)
        throw Failure(FailureNo::InvalidArgument,
                      QStringLiteral("Port %1 is not valid for binding on %2; use 0 to 65535.")
                          .arg(localPort)
                          .arg(where));
    QHostAddress address(QHostAddress::AnyIPv4);
    if (!ip.isEmpty() && !address.setAddress(ip))
        throw Failure(FailureNo::AddressNotAvailable,
                      QStringLiteral("Cannot bind port %1 on \"%2\": it is not an address of this machine.")
                          .arg(localPort)
                          .arg(ip));
    if (m_protocol == UDP) {
        openUdp(address, quint16(localPort), true);
    } else {
        // A TCP socket that holds the port on that address; no other bind can take it.
        const int fd = boundDescriptor(address, quint16(localPort), false);
        if (fd < 0)
            throw bindFailure(errno, localPort, where);
        ++m_generation;
        m_boundFd = fd;
        setState(Open);
    }
    m_localPort = localPort;
}

void NetSocket::Bind(const QString &localPort, const QString &localIP)
{
    Bind(WholeNumber(localPort), localIP);
}

void NetSocket::openUdp(const QHostAddress &address, quint16 port, bool fromBind)
{
    auto *socket = new QUdpSocket;
    if (!socket->bind(address, port, QAbstractSocket::DontShareAddress)) {
        const QString where = address == QHostAddress::Any ? QStringLiteral("all addresses") : shown(address);
        const Failure failure = bindFailure(socket->error(), port, where);
        delete socket;
        throw failure;
    }
    connect(socket, &QUdpSocket::readyRead, this, &NetSocket::udpReadyRead);
    ++m_generation;
    m_udp = socket;
    m_udpFromBind = fromBind;
    setState(Open);
}

void NetSocket::udpReadyRead()
{
    Entry entry;
    const quint64 generation = m_generation;
    QPointer<NetSocket> self(this);
    // A bounded number per turn; the socket notifies again for the rest.
    for (int i = 0; i < DatagramsPerTurn && m_udp && m_udp->hasPendingDatagrams(); ++i) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram();
        if (!datagram.isValid())
            break;
        m_in = datagram.data();
        m_hasDatagram = true;
        m_datagramSender = datagram.senderAddress();
        m_lastSender = datagram.senderAddress();
        m_lastSenderPort = quint16(datagram.senderPort());
        m_remoteHostIP = shown(m_datagramSender);
        emit DataArrival(m_in.size());
        if (!self || generation != m_generation)
            return;
    }
}

// Where a datagram goes: the last sender for a socket opened by Bind, else RemoteHost:RemotePort.
void NetSocket::udpDestination(QHostAddress &address, quint16 &port)
{
    if (m_udpFromBind && !m_lastSender.isNull()) {
        address = m_lastSender;
        port = m_lastSenderPort;
        return;
    }
    const QString name = bareHost(m_remoteHost);
    if (name.isEmpty() || m_remotePort <= 0) {
        if (!m_udp)
            throw Failure(FailureNo::NotConnected,
                          QStringLiteral("Cannot send: set RemoteHost and RemotePort first."));
        throw Failure(FailureNo::NotConnected,
                      QStringLiteral("Cannot send from port %1: there is no peer yet; no datagram has "
                                     "arrived and RemoteHost and RemotePort are not set.")
                          .arg(BoundPort()));
    }
    port = quint16(m_remotePort);
    if (address.setAddress(name))
        return;
    if (name == m_destHost) {
        address = m_destAddress;
        return;
    }
    const QList<QHostAddress> found = QHostInfo::fromName(name).addresses();
    if (found.isEmpty())
        throw Failure(FailureNo::HostNotFound, QStringLiteral("Host not found: %1.").arg(name));
    // A socket bound to IPv4 can only reach IPv4 addresses.
    address = found.first();
    if (m_udp && m_udp->localAddress().protocol() == QAbstractSocket::IPv4Protocol)
        for (const QHostAddress &a : found)
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                address = a;
                break;
            }
    m_destHost = name;
    m_destAddress = address;
}

// ---------------------------------------------------------------- data

void NetSocket::SendData(const QByteArray &data)
{
    if (m_protocol == UDP) {
        QHostAddress address;
        quint16 port = 0;
        if (m_state == Closed) {
            udpDestination(address, port); // fails before anything is opened
            // Both IPv4 and IPv6 destinations are reachable from the dual-stack wildcard.
            openUdp(QHostAddress::Any, 0, false);
        } else if (m_state == Open && m_udp) {
            udpDestination(address, port);
        } else {
            throw Failure(FailureNo::WrongState,
                          QStringLiteral("Cannot send to %1 port %2: the socket is %3.")
                              .arg(m_remoteHost)
                              .arg(m_remotePort)
                              .arg(stateText()));
        }
        // The peer is whoever the datagram goes to.
        m_remoteHostIP = shown(address);
        // An empty datagram is sent as such.
        if (m_udp->writeDatagram(data, address, port) < 0)
            throw Failure(FailureNo::Unexpected,
                          QStringLiteral("The datagram of %1 bytes to %2 port %3 was not sent: %4.")
                              .arg(data.size())
                              .arg(shown(address))
                              .arg(port)
                              .arg(m_udp->errorString()));
        return;
    }
    if (m_state != Connected || !m_stream || m_stream->shutdownWanted)
        throw Failure(FailureNo::NotConnected,
                      QStringLiteral("Cannot send to %1 port %2: the socket is not connected (it is %3).")
                          .arg(m_remoteHost)
                          .arg(m_remotePort)
                          .arg(stateText()));
    if (data.isEmpty())
        return;
    if (const int error = m_stream->send(data.constData(), data.size())) {
        const QString peer = m_remoteHostIP;
        const quint16 peerPort = m_peerPort;
        m_peerEnded = true;
        dropStream(false);
        setState(Error);
        throw Failure(FailureNo::ConnectionReset,
                      QStringLiteral("Sending to %1 port %2 failed: the peer has gone (%3).")
                          .arg(peer)
                          .arg(peerPort)
                          .arg(systemText(error)));
    }
}

QByteArray NetSocket::GetData()
{
    QByteArray data;
    GetData(data);
    return data;
}

// The caller's buffer and the component's are swapped, so a caller that keeps
// one buffer for every arrival makes the receive path allocate nothing.
void NetSocket::GetData(QByteArray &data)
{
    data.swap(m_in);
    m_in.truncate(0);
    if (m_protocol == UDP) {
        if (!std::exchange(m_hasDatagram, false))
            data.truncate(0);
        else
            m_remoteHostIP = shown(m_datagramSender);
        return;
    }
    // Reading stopped while the buffer was full; it goes on now.
    if (m_stream && m_receiving && !m_peerEnded && !m_stream->connecting)
        m_stream->reader.setEnabled(true);
}
