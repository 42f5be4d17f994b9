#pragma once
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <optional>

#include "platform/Failure.h"

class QHostInfo;
class QSocketNotifier;
class QUdpSocket;

class NetSocket : public QObject
{
    Q_OBJECT
public:
    // TLS is TCP with TLS on top: it connects, listens and accepts as TCP does.
    enum Protocols : qint32 { TCP = 0, UDP = 1, TLS = 2 };
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
    // The current peer's numeric address, or empty when there is none.
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
    void SendData(const QByteArray &data); // UDP: nothing sent on a closed socket opens it, sends nothing
    QByteArray GetData();                  // everything waiting (UDP: the next datagram)
    void GetData(QByteArray &data);        // the same, into the caller's buffer
    void Close(); // harmless in any state; queued data still goes out (see LingerStallMs)

    // TCP half-close. While HalfOpen is set, a peer that ends its sending side
    // leaves the socket Connected (it can still be sent to) with PeerEnded()
    // true, and raises the close event; otherwise the socket goes to Closing.
    // A reset always ends in Closing. Close clears HalfOpen.
    void SetHalfOpen(bool on) { m_halfOpen = on; }
    bool PeerEnded() const { return m_peerEnded; }
    // Ends this side's sending once everything queued has been written.
    void EndSending();

    // TLS. A Connect with TLS runs the client's handshake after the TCP connect (the
    // state stays Connecting meanwhile), an Accept with TLS the server's with the
    // program's own certificate (Connected, with data sent meanwhile held). StartTls
    // runs it on a TCP connection that is up: as the client when it connected out,
    // as the server when it was accepted. The connect event tells that TLS is up; a
    // certificate that does not check out is first put to CertificateProblem.
    void StartTls();
    bool Handshaking() const;
    QString TlsVersion() const; // "TLSv1.3" once TLS is up, else empty
    QString TlsSummary() const; // version, cipher and the certificate, for the log
    // How long a handshake may take before it fails.
    static constexpr int HandshakeMs = 10000;

    // TLS for a relay. A server side set to hold its client's hello pauses there
    // (ClientHello tells the name asked for and the protocols offered, in ALPN's wire
    // form) until ResumeHello names the protocol agreed on beyond (empty: none). A
    // client side offers the given protocols under the given name (SNI and the name
    // checked; empty: RemoteHost). Close clears all three.
    void SetHoldHello(bool on) { m_holdHello = on; }
    void ResumeHello(const QByteArray &alpn);
    void SetServerName(const QString &name) { m_serverName = name; }
    void SetAlpn(const QByteArray &protocols) { m_alpnOffer = protocols; }
    QByteArray Alpn() const; // the protocol agreed on, empty for none

    // Flow control: bytes accepted by SendData and not yet taken by the system,
    // and whether arriving data is read at all (when not, the peer's sending
    // is slowed by TCP itself). Close resumes receiving.
    qint64 BytesToSend() const;
    void SetReceiving(bool on);

    // Upper bound of bytes buffered per arrival, so each event stays short.
    static constexpr qint64 ReadChunk = 256 * 1024;
    // A closed connection keeps writing its queued data while the peer reads;
    // it gives up when the peer has taken nothing for this long.
    static constexpr int LingerStallMs = 30000;

signals:
    void OnConnect(); // a TCP connection is up
    void OnClose();   // the peer has closed (State is Closing)
    void ConnectionRequest(qint32 requestID);
    void DataArrival(qint64 bytesTotal);
    void SendProgress(qint64 bytesSent, qint64 bytesRemaining); // queued data was written
    // The server's certificate failed a check: `problems` in words, `details` its subject,
    // issuer, validity and fingerprint. Left false, the connection ends quietly (a
    // close event follows); set true, it goes on. Nothing is read meanwhile.
    void ClientHello(const QString &serverName, const QByteArray &alpn);
    void CertificateProblem(const QString &host, const QString &problems, const QString &details,
                            bool *accept);
    void OnError(qint16 number, const QString &description, qint32 scode, const QString &source,
                 const QString &helpFile, qint32 helpContext, bool *cancelDisplay);

private:
    class Stream;
    struct Entry;

    void setState(qint16 s) { m_state = s; }
    void requireClosed(const QString &operation) const;
    QString stateText() const;
    void raiseError(qint32 number, const QString &description);
    void releaseAll();
    void dropStream(bool flush);

    // TCP connect: lookup, then one address after another.
    void lookupDone(quint64 generation, const QList<QHostAddress> &addresses, bool failed);
    void connectNext(quint64 generation);
    void connectFailed(int error);
    void streamConnected();
    void streamReadable();
    void streamWritable();
    void peerEnded();
    void streamFailed(int error);
    void peerGone();
    void startTls(bool server, bool plainUntilHello = false);
    void armHandshakeTimer();
    void tlsStep();
    void tlsEstablished();
    void readAgainIfBuffered();

    // Listening and pending requests.
    void incoming();
    void dispatchRequest(qintptr handle, quint64 generation);

    // UDP.
    void openUdp(const QHostAddress &address, quint16 port, bool fromBind);
    void udpReadyRead();
    struct Datagram {
        QByteArray data;
        QString host; // a name to look up, while address is null
        QHostAddress address;
        quint16 port = 0;
        bool opensOnly = false; // opens the socket and names its peer; nothing is sent
    };
    Datagram udpDestination() const;
    std::optional<Failure> udpWrite(const Datagram &d);
    void udpLookup();
    void udpLookupDone(quint64 generation, const QString &name, const QHostInfo &info);

    qint32 m_protocol = TCP;
    QString m_remoteHost;
    qint32 m_remotePort = 0;
    qint32 m_localPort = 0;
    qint16 m_state = Closed;
    QString m_remoteHostIP;
    bool m_halfOpen = false;
    bool m_peerEnded = false;
    bool m_receiving = true;
    bool m_accepted = false; // the connection came in through Accept
    bool m_holdHello = false;
    QString m_serverName;
    QByteArray m_alpnOffer;
    quint64 m_handshakeRound = 0; // only the newest handshake timer counts

    // Bumped by every Close: queued calls and lookups of an older generation are dropped.
    quint64 m_generation = 0;
    QList<QHostAddress> m_addresses; // addresses still to try while connecting
    QHostAddress m_tryingAddress;
    quint16 m_peerPort = 0;
    Stream *m_stream = nullptr; // the TCP connection (or connection attempt)
    int m_listenFd = -1;        // the TCP listener
    QSocketNotifier *m_listenNotifier = nullptr;
    int m_boundFd = -1; // a TCP socket that only holds a local address
    QUdpSocket *m_udp = nullptr;
    QByteArray m_in; // received and not yet fetched, at most ReadChunk

    bool m_udpFromBind = false;
    bool m_hasDatagram = false;
    QHostAddress m_datagramSender;
    QHostAddress m_lastSender; // sender of the last datagram received
    quint16 m_lastSenderPort = 0;
    QString m_destHost; // cache of the last resolved UDP destination
    QHostAddress m_destAddress;
    QList<Datagram> m_udpWaiting; // datagrams waiting for a look-up, in order
};
