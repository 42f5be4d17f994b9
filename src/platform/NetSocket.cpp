#include "platform/NetSocket.h"

#include <QCoreApplication>
#include <QHash>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QPointer>
#include <QScopeGuard>
#include <QStringList>
#include <QSocketNotifier>
#include <QTimer>
#include <QUdpSocket>
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <net/if.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

#include "platform/Failure.h"
#include "platform/NetStream.h"
#include "platform/Numbers.h"
#include "platform/TlsCertificate.h"
#include "platform/TlsContext.h"

#include <openssl/ssl.h>

using NetDetail::bury;

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

// The interface of a scoped IPv6 address ("fe80::1%eth0" or "fe80::1%2"), by number.
quint32 scopeIndex(const QString &scope)
{
    bool isNumber = false;
    const quint32 index = scope.toUInt(&isNumber);
    return isNumber || scope.isEmpty() ? index : ::if_nametoindex(scope.toLocal8Bit().constData());
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
        a->sin6_scope_id = scopeIndex(address.scopeId());
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
    // A link-local peer is named with its interface, as it would be typed.
    if (a.ss_family == AF_INET6)
        if (const quint32 scope = reinterpret_cast<sockaddr_in6 *>(&a)->sin6_scope_id) {
            char name[IF_NAMESIZE] = {};
            address.setScopeId(::if_indextoname(scope, name) ? QString::fromLocal8Bit(name)
                                                             : QString::number(scope));
        }
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

// A failed connection (or connection attempt) to address:port, by its errno.
Failure connectionFailure(int error, const QString &address, qint32 peerPort)
{
    const QString port = QString::number(peerPort);
    switch (error) {
    case ECONNREFUSED:
        return Failure(FailureNo::ConnectionRefused,
                       QStringLiteral("Connection refused by %1 port %2.").arg(address, port));
    case ETIMEDOUT:
        return Failure(FailureNo::TimedOut,
                       QStringLiteral("Connection to %1 port %2 timed out.").arg(address, port));
    case EHOSTUNREACH:
        return Failure(FailureNo::HostUnreachable,
                       QStringLiteral("Host %1 cannot be reached (port %2).").arg(address, port));
    case ENETUNREACH:
    case EAFNOSUPPORT:
        return Failure(FailureNo::NetworkUnreachable,
                       QStringLiteral("The network of %1 cannot be reached (port %2).").arg(address, port));
    case EACCES:
    case EPERM:
        return Failure(FailureNo::AccessDenied,
                       QStringLiteral("Connection to %1 port %2 is not permitted.").arg(address, port));
    default:
        return Failure(
            FailureNo::Unexpected,
            QStringLiteral("Connection to %1 port %2 failed: %3.").arg(address, port, systemText(error)));
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
    if (protocol != TCP && protocol != UDP && protocol != TLS)
        throw Failure(
            FailureNo::InvalidArgument,
            QStringLiteral("Protocol %1 is not valid; use 0 for TCP, 1 for UDP or 2 for TLS.").arg(protocol));
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

qint64 NetSocket::BytesToSend() const
{
    return m_stream ? m_stream->pending() : 0;
}

void NetSocket::SetReceiving(bool on)
{
    m_receiving = on;
    if (m_stream && !m_stream->connecting && !m_stream->handshaking && !m_peerEnded) {
        m_stream->reader.setEnabled(on && m_in.size() < ReadChunk);
        readAgainIfBuffered();
    }
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
    m_accepted = false;
    m_udpFromBind = false;
    m_hasDatagram = false;
    m_lastSender.clear();
    m_lastSenderPort = 0;
    m_udpWaiting.clear();
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
    m_holdHello = false;
    m_serverName.clear();
    m_alpnOffer.clear();
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
    if (m_protocol == UDP)
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
    const Failure failure = connectionFailure(error, shown(m_tryingAddress), m_remotePort);
    raiseError(failure.Number, failure.Description);
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
    if (m_protocol == TLS)
        return startTls(false); // Connected once the handshake is done
    setState(Connected);
    emit OnConnect();
}

// Reads what has arrived, at most ReadChunk held at a time: a handler that does not
// fetch stops the reading until it does, and the peer is slowed by TCP itself.
void NetSocket::streamReadable()
{
    // A client that leaves while its hello is held is passed on as it is once connected:
    // the peer's close.
    if (m_stream->handshaking && m_stream->helloPaused())
        return m_stream->clientLeft() ? peerGone() : void();
    if (m_stream->handshaking)
        return tlsStep();
    if (std::exchange(m_stream->writeWantsRead, false))
        streamWritable();
    if (!m_stream || !m_receiving || m_in.size() >= ReadChunk || m_peerEnded) {
        if (m_stream)
            m_stream->reader.setEnabled(false);
        return;
    }
    const qsizetype held = m_in.size();
    m_in.resize(ReadChunk);
    const Stream::Read r = m_stream->read(m_in.data() + held, ReadChunk - held);
    m_in.resize(held + r.bytes);
    if (r.bytes > 0) {
        emit DataArrival(m_in.size());
        return;
    }
    if (r.ended)
        peerEnded();
    else if (r.error)
        streamFailed(r.error);
}

void NetSocket::streamWritable()
{
    if (m_stream->connecting)
        return streamConnected();
    if (m_stream->handshaking)
        return tlsStep();
    if (std::exchange(m_stream->readWantsWrite, false)) {
        streamReadable();
        if (!m_stream)
            return;
    }
    qint64 written = 0;
    if (const int error = m_stream->flush(written))
        return streamFailed(error);
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

// An established connection has failed. A reset (or a write after one) is the peer's
// close, like an orderly end; anything else (a time-out, an unreachable host or
// network) is the error event, named as a failed connect is.
void NetSocket::streamFailed(int error)
{
    if (error == ECONNRESET || error == EPIPE)
        return peerGone();
    const Failure failure = connectionFailure(error, m_remoteHostIP, m_peerPort);
    raiseError(failure.Number, failure.Description);
}

// The peer is gone (reset): nothing more can be written. Reported as the peer's
// close, like an orderly end.
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
    if (m_protocol == UDP)
        throw Failure(FailureNo::InvalidArgument,
                      QStringLiteral("Cannot listen on port %1: UDP sockets do not listen; use Bind.")
                          .arg(m_localPort));
    if (m_protocol == TLS) {
        Tls::SessionState state; // the program's certificate is ready, or the failure names its file
        SSL_free(Tls::ServerSession(&state));
    }
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
    if (m_protocol == UDP)
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
    m_accepted = true;
    setState(Connected);
    if (m_protocol == TLS) {
        try {
            startTls(true);
        } catch (const Failure &) {
            Close();
            throw;
        }
    }
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

// Where a datagram goes: the last sender for a socket opened by Bind, else
// RemoteHost:RemotePort. Fails when there is no destination. `address` is left null
// when the host is a name that is not looked up yet.
NetSocket::Datagram NetSocket::udpDestination() const
{
    Datagram d;
    if (m_udpFromBind && !m_lastSender.isNull()) {
        d.address = m_lastSender;
        d.port = m_lastSenderPort;
        return d;
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
    d.port = quint16(m_remotePort);
    if (!d.address.setAddress(name)) {
        d.host = name;
        if (name == m_destHost)
            d.address = m_destAddress;
    }
    return d;
}

// Sends one datagram whose address is known; returns the failure, if any.
std::optional<Failure> NetSocket::udpWrite(const Datagram &d)
{
    // The peer is whoever the datagram goes to.
    m_remoteHostIP = shown(d.address);
    // An empty datagram is sent as such, unless it only opened the socket.
    if (d.opensOnly || m_udp->writeDatagram(d.data, d.address, d.port) >= 0)
        return std::nullopt;
    return Failure(FailureNo::Unexpected,
                   QStringLiteral("The datagram of %1 bytes to %2 port %3 was not sent: %4.")
                       .arg(d.data.size())
                       .arg(shown(d.address))
                       .arg(d.port)
                       .arg(m_udp->errorString()));
}

// Looks up the host of the first waiting datagram. The window's thread never waits for
// the resolver: the datagrams wait, in order, until the answer comes.
void NetSocket::udpLookup()
{
    const quint64 generation = m_generation;
    const QString name = m_udpWaiting.first().host;
    // Never aborted: Close only makes the result stale (an aborted look-up leaks in Qt).
    QHostInfo::lookupHost(name, this, [this, generation, name](const QHostInfo &info) {
        udpLookupDone(generation, name, info);
    });
}

void NetSocket::udpLookupDone(quint64 generation, const QString &name, const QHostInfo &info)
{
    Entry entry;
    if (generation != m_generation || !m_udp || m_udpWaiting.isEmpty())
        return; // closed meanwhile
    const QList<QHostAddress> found =
        info.error() == QHostInfo::NoError ? info.addresses() : QList<QHostAddress>();
    if (found.isEmpty())
        return raiseError(FailureNo::HostNotFound, QStringLiteral("Host not found: %1.").arg(name));
    // A socket bound to IPv4 can only reach IPv4 addresses.
    QHostAddress address = found.first();
    if (m_udp->localAddress().protocol() == QAbstractSocket::IPv4Protocol)
        for (const QHostAddress &a : found)
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                address = a;
                break;
            }
    m_destHost = name;
    m_destAddress = address;
    // Everything waiting for this name goes now, up to one for another name not known yet.
    while (!m_udpWaiting.isEmpty()) {
        Datagram &d = m_udpWaiting.first();
        if (d.address.isNull() && d.host == m_destHost)
            d.address = m_destAddress;
        if (d.address.isNull())
            return udpLookup();
        if (const auto failure = udpWrite(m_udpWaiting.takeFirst()))
            return raiseError(failure->Number, failure->Description);
    }
}

// ---------------------------------------------------------------- data

void NetSocket::SendData(const QByteArray &data)
{
    if (m_protocol == UDP) {
        Datagram d;
        if (m_state == Closed) {
            d = udpDestination(); // fails before anything is opened
            // Both IPv4 and IPv6 destinations are reachable from the dual-stack wildcard.
            openUdp(QHostAddress::Any, 0, false);
            // Nothing sent opens the socket towards its peer and puts nothing on the wire:
            // no peer gets a datagram it never asked for.
            d.opensOnly = data.isEmpty();
        } else if (m_state == Open && m_udp) {
            d = udpDestination();
        } else {
            throw Failure(FailureNo::WrongState,
                          QStringLiteral("Cannot send to %1 port %2: the socket is %3.")
                              .arg(m_remoteHost)
                              .arg(m_remotePort)
                              .arg(stateText()));
        }
        d.data = data;
        // Behind datagrams that wait for a look-up, or for a name not known yet: it waits too.
        if (!m_udpWaiting.isEmpty() || d.address.isNull()) {
            m_udpWaiting.append(d);
            if (m_udpWaiting.size() == 1)
                udpLookup();
            return;
        }
        if (const auto failure = udpWrite(d))
            throw *failure;
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
    if (m_stream && m_receiving && !m_peerEnded && !m_stream->connecting && !m_stream->handshaking) {
        m_stream->reader.setEnabled(true);
        readAgainIfBuffered();
    }
}

// ---------------------------------------------------------------- TLS

bool NetSocket::Handshaking() const
{
    return m_stream && m_stream->handshaking;
}

QString NetSocket::TlsVersion() const
{
    return m_stream && m_stream->tls() && !m_stream->handshaking ? Tls::Version(m_stream->ssl) : QString();
}

QString NetSocket::TlsSummary() const
{
    return m_stream && m_stream->tls() && !m_stream->handshaking ? Tls::Summary(m_stream->ssl, m_accepted)
                                                                 : QString();
}

void NetSocket::StartTls()
{
    if (m_state != Connected || !m_stream || m_peerEnded || m_stream->shutdownWanted)
        throw Failure(
            FailureNo::NotConnected,
            QStringLiteral("Cannot start TLS: the socket is not connected (it is %1).").arg(stateText()));
    if (m_stream->tls())
        throw Failure(FailureNo::WrongState,
                      QStringLiteral("TLS is already running on the connection to %1 port %2.")
                          .arg(m_remoteHostIP)
                          .arg(m_peerPort));
    startTls(m_accepted, true);
}

// Puts TLS on the connection and starts the handshake (a server waits for its
// client's hello). It must be done within HandshakeMs.
void NetSocket::startTls(bool server, bool plainUntilHello)
{
    Tls::SessionState *state = &m_stream->tlsState;
    state->holdHello = server && m_holdHello;
    SSL *ssl =
        server ? Tls::ServerSession(state)
               : Tls::ClientSession(m_serverName.isEmpty() ? m_remoteHost : m_serverName, m_alpnOffer, state);
    m_stream->startTls(ssl, server, plainUntilHello);
    m_stream->writer.setEnabled(false);
    m_stream->reader.setEnabled(true);
    armHandshakeTimer();
    if (!server)
        tlsStep();
}

// The handshake must be done within HandshakeMs of its start, or of its going on
// after a pause at the client's hello.
void NetSocket::armHandshakeTimer()
{
    const quint64 generation = m_generation, round = ++m_handshakeRound;
    QTimer::singleShot(HandshakeMs, this, [this, generation, round] {
        Entry entry;
        if (generation == m_generation && round == m_handshakeRound && m_stream && m_stream->handshaking &&
            m_stream->holdsData() && !(m_stream->tlsState.helloHeld && !m_stream->tlsState.helloAnswered))
            raiseError(FailureNo::TimedOut, QStringLiteral("The TLS handshake with %1 port %2 timed out.")
                                                .arg(m_remoteHostIP)
                                                .arg(m_peerPort));
    });
}

void NetSocket::ResumeHello(const QByteArray &alpn)
{
    if (!m_stream || !m_stream->handshaking || !m_stream->tlsState.helloHeld ||
        m_stream->tlsState.helloAnswered)
        return;
    m_stream->tlsState.alpnChoice = alpn;
    m_stream->tlsState.helloAnswered = true;
    armHandshakeTimer();
    tlsStep();
}

QByteArray NetSocket::Alpn() const
{
    return m_stream && m_stream->tls() && !m_stream->handshaking ? Tls::Alpn(m_stream->ssl) : QByteArray();
}

void NetSocket::tlsStep()
{
    const int r = m_stream->handshake();
    if (r == 0)
        return;
    if (r == 2)
        return emit ClientHello(m_stream->tlsState.helloName, m_stream->tlsState.helloAlpn);
    if (r < 0)
        return raiseError(
            FailureNo::TlsFailure,
            QStringLiteral("%1 port %2 %3.").arg(m_remoteHostIP).arg(m_peerPort).arg(m_stream->tlsFailure));
    tlsEstablished();
}

// The handshake is done: a certificate with problems is put to the user first, with
// nothing read meanwhile; then the connection is up.
void NetSocket::tlsEstablished()
{
    m_stream->reader.setEnabled(false);
    m_stream->writer.setEnabled(false);
    if (!m_accepted && !m_stream->tlsState.problems.empty()) {
        QStringList problems;
        for (const int error : m_stream->tlsState.problems)
            problems << Tls::ProblemText(error);
        const quint64 generation = m_generation;
        bool accept = false;
        emit CertificateProblem(bareHost(m_remoteHost), problems.join(QStringLiteral("; ")),
                                Tls::PeerDetails(m_stream->ssl), &accept);
        if (generation != m_generation)
            return; // closed meanwhile
        if (!accept) {
            Close();
            emit OnClose();
            return;
        }
    }
    m_stream->writer.setEnabled(m_stream->pending() > 0);
    m_stream->reader.setEnabled(m_receiving && !m_peerEnded && m_in.size() < ReadChunk);
    setState(Connected);
    emit OnConnect();
}

// TLS may hold decrypted bytes that the descriptor's notifier knows nothing of: they
// are read on the next turn.
void NetSocket::readAgainIfBuffered()
{
    if (!m_stream || !m_stream->buffered())
        return;
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation] {
            Entry entry;
            if (generation == m_generation && m_stream && m_stream->reader.isEnabled())
                streamReadable();
        },
        Qt::QueuedConnection);
}
