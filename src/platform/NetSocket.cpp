#include "platform/NetSocket.h"

#include <QHash>
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <cmath>
#include <unistd.h>
#include <utility>

#include "platform/Failure.h"
#include "platform/Numbers.h"

namespace
{

// Datagrams handled per event-loop turn, so timers and the window keep their turn.
constexpr int DatagramsPerTurn = 64;
// How long a closed connection may take to hand its queued outgoing data to the system.
constexpr int FlushOnCloseMs = 10000;

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

// A failure to take a local port, with the port and address named.
Failure bindFailure(QAbstractSocket::SocketError error, const QString &why, qint32 port,
                    const QString &address)
{
    switch (error) {
    case QAbstractSocket::AddressInUseError:
        return Failure(FailureNo::AddressInUse,
                       QStringLiteral("Port %1 is already in use on %2.").arg(port).arg(address));
    case QAbstractSocket::SocketAccessError:
        if (port > 0 && port < 1024)
            return Failure(FailureNo::AccessDenied,
                           QStringLiteral("Port %1 on %2 was refused: ports below 1024 need "
                                          "administrator (root) privileges.")
                               .arg(port)
                               .arg(address));
        return Failure(FailureNo::AccessDenied,
                       QStringLiteral("Access to port %1 on %2 was denied.").arg(port).arg(address));
    case QAbstractSocket::SocketAddressNotAvailableError:
    case QAbstractSocket::UnsupportedSocketOperationError:
        return Failure(FailureNo::AddressNotAvailable,
                       QStringLiteral("Cannot use port %1 on %2: it is not an address of this machine.")
                           .arg(port)
                           .arg(address));
    default:
        return Failure(FailureNo::Unexpected,
                       QStringLiteral("Port %1 on %2 cannot be opened: %3.").arg(port).arg(address, why));
    }
}

// The failure number of an asynchronous socket error.
qint32 errorNumber(QAbstractSocket::SocketError error, const QString &why)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return FailureNo::ConnectionRefused;
    case QAbstractSocket::HostNotFoundError: return FailureNo::HostNotFound;
    case QAbstractSocket::SocketTimeoutError: return FailureNo::TimedOut;
    case QAbstractSocket::NetworkError:
        // Qt reports timeouts and both unreachable cases as NetworkError; its text tells them apart.
        if (why.contains(QLatin1String("timed out"), Qt::CaseInsensitive))
            return FailureNo::TimedOut;
        if (why.contains(QLatin1String("host unreachable"), Qt::CaseInsensitive))
            return FailureNo::HostUnreachable;
        if (why.contains(QLatin1String("unreachable"), Qt::CaseInsensitive))
            return FailureNo::NetworkUnreachable;
        return FailureNo::Unexpected;
    case QAbstractSocket::RemoteHostClosedError: return FailureNo::ConnectionReset;
    case QAbstractSocket::SocketAccessError: return FailureNo::AccessDenied;
    case QAbstractSocket::AddressInUseError: return FailureNo::AddressInUse;
    case QAbstractSocket::SocketAddressNotAvailableError: return FailureNo::AddressNotAvailable;
    default: return FailureNo::Unexpected;
    }
}

} // namespace

// The listening server: every accepted connection goes to the owner as a pending request.
class NetSocket::Listener : public QTcpServer
{
public:
    explicit Listener(NetSocket *owner) : owner(owner) {}
    NetSocket *owner;

protected:
    void incomingConnection(qintptr handle) override
    {
        if (owner)
            owner->incoming(handle);
        else
            closeHandle(handle);
    }
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
    if (m_server)
        return m_server->serverPort();
    if (m_udp)
        return m_udp->localPort();
    if (m_tcp)
        return m_tcp->localPort();
    return 0;
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
    case Connected:
        return QStringLiteral("connected to %1 port %2")
            .arg(m_remoteHostIP)
            .arg(m_tcp ? m_tcp->peerPort() : m_remotePort);
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

// Ends whatever the instance holds, without events; the properties stay.
void NetSocket::releaseAll()
{
    ++m_generation;
    if (m_lookupId != -1) {
        QHostInfo::abortHostLookup(m_lookupId);
        m_lookupId = -1;
    }
    m_addresses.clear();
    retireTcp();
    if (m_server) {
        // Never deleted at once: Close may run inside one of its notifications.
        m_server->owner = nullptr;
        m_server->close();
        m_server->deleteLater();
        m_server = nullptr;
    }
    if (m_udp) {
        disconnect(m_udp, nullptr, this, nullptr);
        m_udp->close();
        m_udp->deleteLater();
        m_udp = nullptr;
    }
    m_leftover.clear();
    m_announced = 0;
    m_udpFromBind = false;
    m_datagram.clear();
    m_hasDatagram = false;
    m_lastSender.clear();
    m_lastSenderPort = 0;
}

// Lets go of the TCP socket. Outgoing data still queued is given a while to leave;
// the object itself goes with deleteLater, since this may run inside its own signal.
void NetSocket::retireTcp()
{
    QTcpSocket *socket = std::exchange(m_tcp, nullptr);
    if (!socket)
        return;
    disconnect(socket, nullptr, this, nullptr);
    if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesToWrite() > 0) {
        connect(socket, &QAbstractSocket::disconnected, socket, &QObject::deleteLater);
        QTimer::singleShot(FlushOnCloseMs, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        socket->disconnectFromHost();
        if (socket->state() == QAbstractSocket::UnconnectedState)
            socket->deleteLater();
    } else {
        socket->abort();
        socket->deleteLater();
    }
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
    m_lookupId = QHostInfo::lookupHost(name, this, [this, generation](const QHostInfo &info) {
        lookupDone(generation, info.addresses(), info.error() != QHostInfo::NoError);
    });
}

void NetSocket::lookupDone(quint64 generation, const QList<QHostAddress> &addresses, bool failed)
{
    if (generation != m_generation || m_state != ResolvingHost)
        return; // closed meanwhile
    m_lookupId = -1;
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
    if (generation != m_generation || (m_state != HostResolved && m_state != Connecting) ||
        m_addresses.isEmpty())
        return;
    m_tryingAddress = m_addresses.takeFirst();
    auto *socket = new QTcpSocket;
    attachTcp(socket);
    setState(Connecting);
    // Qt may report the outcome before this returns; nothing below may touch the state.
    socket->connectToHost(m_tryingAddress, quint16(m_remotePort));
}

void NetSocket::attachTcp(QTcpSocket *socket)
{
    m_tcp = socket;
    m_announced = 0;
    socket->setReadBufferSize(ReadChunk);
    connect(socket, &QAbstractSocket::connected, this, &NetSocket::tcpConnected);
    connect(socket, &QIODevice::readyRead, this, &NetSocket::tcpReadyRead);
    connect(socket, &QAbstractSocket::errorOccurred, this,
            [this](QAbstractSocket::SocketError error) { tcpError(error); });
    connect(socket, &QAbstractSocket::disconnected, this, &NetSocket::peerClosed);
}

void NetSocket::tcpConnected()
{
    if (m_state != Connecting || !m_tcp)
        return;
    m_addresses.clear();
    m_remoteHostIP = shown(m_tcp->peerAddress());
    setState(Connected);
    emit OnConnect();
}

void NetSocket::tcpReadyRead()
{
    if (m_state != Connected || !m_tcp)
        return;
    const qint64 available = m_tcp->bytesAvailable();
    if (available <= 0)
        return;
    // What the handler leaves unread stays announced; GetData takes it all.
    m_announced = available;
    emit DataArrival(available);
}

void NetSocket::tcpError(qint32 socketError)
{
    if (!m_tcp)
        return;
    const auto error = QAbstractSocket::SocketError(socketError);
    if (error == QAbstractSocket::RemoteHostClosedError) {
        // Qt reports a reset by the peer the same way as its orderly close: both end in Closing.
        peerClosed();
        return;
    }
    const QString why = m_tcp->errorString();
    const qint32 number = errorNumber(error, why);
    const QString address = shown(m_tryingAddress);
    if (m_state == Connecting) {
        if (!m_addresses.isEmpty()) {
            // Try the next address of the host on the next turn.
            retireTcp();
            const quint64 generation = m_generation;
            QMetaObject::invokeMethod(
                this, [this, generation] { connectNext(generation); }, Qt::QueuedConnection);
            return;
        }
        const QString port = QString::number(m_remotePort);
        QString description;
        switch (number) {
        case FailureNo::ConnectionRefused:
            description = QStringLiteral("Connection refused by %1 port %2.").arg(address, port);
            break;
        case FailureNo::TimedOut:
            description = QStringLiteral("Connection to %1 port %2 timed out.").arg(address, port);
            break;
        case FailureNo::HostUnreachable:
            description = QStringLiteral("Host %1 cannot be reached (port %2).").arg(address, port);
            break;
        case FailureNo::NetworkUnreachable:
            description = QStringLiteral("The network of %1 cannot be reached (port %2).").arg(address, port);
            break;
        default: description = QStringLiteral("Connection to %1 port %2 failed: %3.").arg(address, port, why);
        }
        raiseError(number, description);
    } else if (m_state == Connected) {
        raiseError(number, QStringLiteral("Connection to %1 port %2 was lost: %3.")
                               .arg(m_remoteHostIP)
                               .arg(m_tcp->peerPort())
                               .arg(why));
    }
}

// The peer has closed (or reset) the connection: whatever is still buffered and not
// yet announced is announced first, then the instance waits in Closing for Close.
void NetSocket::peerClosed()
{
    if (m_state != Connected || !m_tcp)
        return;
    const quint64 generation = m_generation;
    QPointer<NetSocket> self(this);
    if (m_tcp->bytesAvailable() > m_announced) {
        emit DataArrival(m_tcp->bytesAvailable());
        if (!self || generation != m_generation || m_state != Connected || !m_tcp)
            return;
    }
    m_leftover += m_tcp->readAll();
    retireTcp();
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
    auto *server = new Listener(this);
    if (!server->listen(QHostAddress::AnyIPv4, quint16(m_localPort))) {
        const Failure failure =
            bindFailure(server->serverError(), server->errorString(), m_localPort, QStringLiteral("0.0.0.0"));
        delete server;
        throw failure;
    }
    connect(server, &QTcpServer::acceptError, this, [this](QAbstractSocket::SocketError) {
        if (!m_server)
            return;
        raiseError(FailureNo::Unexpected, QStringLiteral("Port %1 cannot take connections: %2.")
                                              .arg(m_server->serverPort())
                                              .arg(m_server->errorString()));
    });
    ++m_generation;
    m_server = server;
    setState(Listening);
}

// A connection has come in. It is announced from a queued call, never from inside
// the server's notification, because the handler closes this very listener.
void NetSocket::incoming(qintptr handle)
{
    pendingRequests().insert(handle, this);
    if (m_state == Listening)
        setState(ConnectionPending);
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this, [this, handle, generation] { dispatchRequest(handle, generation); }, Qt::QueuedConnection);
}

void NetSocket::dispatchRequest(qintptr handle, quint64 generation)
{
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
    auto *socket = new QTcpSocket;
    if (!socket->setSocketDescriptor(requestID)) {
        const QString why = socket->errorString();
        delete socket;
        closeHandle(requestID);
        throw Failure(FailureNo::Unexpected,
                      QStringLiteral("Connection request %1 cannot be taken: %2.").arg(requestID).arg(why));
    }
    ++m_generation;
    attachTcp(socket);
    m_tryingAddress = socket->peerAddress();
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
        auto *socket = new QTcpSocket;
        if (!socket->bind(address, quint16(localPort), QAbstractSocket::DontShareAddress)) {
            const Failure failure = bindFailure(socket->error(), socket->errorString(), localPort, where);
            delete socket;
            throw failure;
        }
        ++m_generation;
        m_tcp = socket;
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
        const Failure failure = bindFailure(socket->error(), socket->errorString(), port, where);
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
    const quint64 generation = m_generation;
    QPointer<NetSocket> self(this);
    // A bounded number per turn; the socket notifies again for the rest.
    for (int i = 0; i < DatagramsPerTurn && m_udp && m_udp->hasPendingDatagrams(); ++i) {
        const QNetworkDatagram datagram = m_udp->receiveDatagram();
        if (!datagram.isValid())
            break;
        m_datagram = datagram.data();
        m_hasDatagram = true;
        m_datagramSender = datagram.senderAddress();
        m_lastSender = datagram.senderAddress();
        m_lastSenderPort = quint16(datagram.senderPort());
        m_remoteHostIP = shown(m_datagramSender);
        emit DataArrival(m_datagram.size());
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
        // An empty datagram is sent as such.
        if (m_udp->writeDatagram(data, address, port) < 0)
            throw Failure(errorNumber(m_udp->error(), m_udp->errorString()),
                          QStringLiteral("The datagram of %1 bytes to %2 port %3 was not sent: %4.")
                              .arg(data.size())
                              .arg(shown(address))
                              .arg(port)
                              .arg(m_udp->errorString()));
        return;
    }
    if (m_state != Connected || !m_tcp)
        throw Failure(FailureNo::NotConnected,
                      QStringLiteral("Cannot send to %1 port %2: the socket is not connected (it is %3).")
                          .arg(m_remoteHost)
                          .arg(m_remotePort)
                          .arg(stateText()));
    if (data.isEmpty())
        return;
    if (m_tcp->write(data) != data.size())
        throw Failure(FailureNo::NotConnected, QStringLiteral("Sending to %1 port %2 failed: %3.")
                                                   .arg(m_remoteHostIP)
                                                   .arg(m_tcp->peerPort())
                                                   .arg(m_tcp->errorString()));
}

QByteArray NetSocket::GetData()
{
    if (m_protocol == UDP) {
        if (!m_hasDatagram)
            return {};
        m_hasDatagram = false;
        m_remoteHostIP = shown(m_datagramSender);
        return std::exchange(m_datagram, {});
    }
    QByteArray data = std::exchange(m_leftover, {});
    if (m_tcp && m_state == Connected)
        data += m_tcp->readAll();
    m_announced = 0;
    return data;
}
