#pragma once
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>

class QTcpSocket;
class QTcpServer;
class QUdpSocket;
class QAbstractSocket;

// The event-driven socket component. One instance carries one TCP connection,
// one TCP listener or one UDP socket at a time. Every operation that cannot
// work raises a Failure at once; asynchronous failures arrive as `error`.
// All events are delivered on the owning thread, one at a time; a handler may
// call any operation (Close included) on the instance that raised the event.
class NetSocket : public QObject
{
    Q_OBJECT
public:
    enum Protocols : qint32 { TCP = 0, UDP = 1 };
    enum States : qint16 {
        Closed = 0,
        Open = 1,
        Listening = 2,
        ConnectionPending = 3,
        ResolvingHost = 4,
        HostResolved = 5,
        Connecting = 6,
        Connected = 7,
        Closing = 8,
        Error = 9,
    };

    explicit NetSocket(QObject *parent = nullptr);
    ~NetSocket() override;

    // Properties. Protocol and LocalPort can only be set while Closed.
    qint32 Protocol() const { return m_protocol; }
    void SetProtocol(qint32 protocol);
    QString RemoteHost() const { return m_remoteHost; }
    void SetRemoteHost(const QString &host);
    qint32 RemotePort() const { return m_remotePort; }
    void SetRemotePort(qint32 port);
    qint32 LocalPort() const { return m_localPort; }
    void SetLocalPort(qint32 port);
    qint16 State() const { return m_state; }
    QString RemoteHostIP() const { return m_remoteHostIP; }
    // The port actually bound locally (listening, open or connected), 0 if none.
    quint16 BoundPort() const;

    // Operations.
    void Connect();                                 // uses RemoteHost and RemotePort
    void Connect(const QString &host, double port); // fractional ports round half to even
    void Listen();                                  // TCP only, on LocalPort
    void Accept(qint32 requestID);                  // only while Closed, inside ConnectionRequest
    void Bind(qint32 localPort, const QString &localIP = QString());
    void Bind(const QString &localPort, const QString &localIP = QString());
    void SendData(const QByteArray &data);
    QByteArray GetData(); // everything waiting (UDP: the next datagram)
    void Close();         // harmless in any state

    // Upper bound of bytes buffered per arrival, so each event stays short.
    static constexpr qint64 ReadChunk = 256 * 1024;

signals:
    void OnConnect(); // a TCP connection is up
    void OnClose();   // the peer has closed (State is Closing)
    void ConnectionRequest(qint32 requestID);
    void DataArrival(qint64 bytesTotal);
    void OnError(qint16 number, const QString &description, qint32 scode, const QString &source,
                 const QString &helpFile, qint32 helpContext, bool *cancelDisplay);

private:
    class Listener;

    void setState(qint16 s) { m_state = s; }
    void requireClosed(const QString &operation) const;
    QString stateText() const;
    void raiseError(qint32 number, const QString &description);
    void releaseAll();
    void retireTcp();

    // TCP connect: lookup, then one address after another.
    void lookupDone(quint64 generation, const QList<QHostAddress> &addresses, bool failed);
    void connectNext(quint64 generation);
    void attachTcp(QTcpSocket *socket);
    void tcpConnected();
    void tcpReadyRead();
    void tcpError(qint32 socketError);
    void peerClosed();

    // Listening and pending requests.
    void incoming(qintptr handle);
    void dispatchRequest(qintptr handle, quint64 generation);

    // UDP.
    void openUdp(const QHostAddress &address, quint16 port, bool fromBind);
    void udpReadyRead();
    void udpDestination(QHostAddress &address, quint16 &port);

    qint32 m_protocol = TCP;
    QString m_remoteHost;
    qint32 m_remotePort = 0;
    qint32 m_localPort = 0;
    qint16 m_state = Closed;
    QString m_remoteHostIP;

    // Bumped by every Close: queued calls and lookups of an older generation are dropped.
    quint64 m_generation = 0;
    int m_lookupId = -1;
    QList<QHostAddress> m_addresses; // addresses still to try while connecting
    QHostAddress m_tryingAddress;
    QTcpSocket *m_tcp = nullptr;
    Listener *m_server = nullptr;
    QUdpSocket *m_udp = nullptr;
    QByteArray m_leftover;  // data still buffered when the peer closed
    qint64 m_announced = 0; // buffered bytes already announced by DataArrival

    bool m_udpFromBind = false;
    QByteArray m_datagram; // the datagram last announced by DataArrival
    bool m_hasDatagram = false;
    QHostAddress m_datagramSender;
    QHostAddress m_lastSender; // sender of the last datagram received
    quint16 m_lastSenderPort = 0;
    QString m_destHost; // cache of the last resolved UDP destination
    QHostAddress m_destAddress;
};
