#include <QDir>
#include <QHostInfo>
#include <QNetworkInterface>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Failure.h"
#include "platform/NetSocket.h"

namespace
{

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// A TCP port on 127.0.0.1 that nothing listens on.
quint16 closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// The failure an operation raises; number 0 when it raises none.
template <class F> Failure failureOf(F &&operation)
{
    try {
        operation();
    } catch (const Failure &f) {
        return f;
    }
    return Failure(0, QStringLiteral("no failure"));
}

#define EXPECT_FAILURE(op, number, text)                                                                     \
    do {                                                                                                     \
        const Failure f_ = failureOf([&] { op; });                                                           \
        QCOMPARE(f_.Number, qint32(number));                                                                 \
        QVERIFY2(f_.Description.contains(text), qPrintable(f_.Description));                                 \
    } while (false)

// Whether a plain bind (no address sharing) of another TCP socket to 127.0.0.1:port works.
bool plainBindWorks(quint16 port)
{
    QTcpSocket t;
    return t.bind(QHostAddress::LocalHost, port, QAbstractSocket::DontShareAddress);
}

QByteArray nextDatagram(QUdpSocket &s, QHostAddress *from = nullptr, quint16 *fromPort = nullptr)
{
    if (!s.hasPendingDatagrams() && !s.waitForReadyRead(5000))
        return QByteArray("<none>");
    QByteArray d(qsizetype(s.pendingDatagramSize()), '\0');
    s.readDatagram(d.data(), d.size(), from, fromPort);
    return d;
}

// A NetSocket connected to a QTcpSocket peer on 127.0.0.1.
struct Pair {
    QTcpServer server;
    NetSocket s;
    std::unique_ptr<QTcpSocket> peer;
    bool connect()
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        s.Connect(QStringLiteral("127.0.0.1"), server.serverPort());
        QDeadlineTimer deadline(5000);
        while (!server.hasPendingConnections() || s.State() != NetSocket::Connected) {
            if (deadline.hasExpired())
                return false;
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        }
        peer.reset(server.nextPendingConnection());
        peer->setParent(nullptr);
        return true;
    }
};

} // namespace

class tst_NetSocket : public QObject
{
    Q_OBJECT
private slots:
    void connectByNameWalksTheStates()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        NetSocket s;
        QSignalSpy connects(&s, &NetSocket::OnConnect);
        s.Connect(QStringLiteral("localhost"), server.serverPort());
        s.Close(); // the lookup's late result must be dropped
        // Lookups of one name finish in order: once this one is back, the dropped one was too.
        bool done = false;
        QHostInfo::lookupHost(QStringLiteral("localhost"), this, [&](const QHostInfo &) { done = true; });
        QTRY_VERIFY(done);
        QCoreApplication::processEvents();
        QCOMPARE(s.State(), qint16(NetSocket::Closed));
        QCOMPARE(connects.size(), 0);

        QList<qint16> seen;
        QTimer poll;
        poll.setInterval(0);
        connect(&poll, &QTimer::timeout, [&] {
            if (seen.isEmpty() || seen.last() != s.State())
                seen << s.State();
        });
        qint16 atConnect = -1;
        connect(&s, &NetSocket::OnConnect, [&] { atConnect = s.State(); });
        s.Connect(QStringLiteral("localhost"), server.serverPort());
        seen << s.State();
        poll.start();
        QTRY_COMPARE(atConnect, qint16(NetSocket::Connected));
        QTRY_COMPARE(seen.last(), qint16(NetSocket::Connected));
        QCOMPARE(seen.first(), qint16(NetSocket::ResolvingHost));
        for (qsizetype i = 1; i < seen.size(); ++i) // never backwards, never outside the path
            QVERIFY2(seen[i] > seen[i - 1] && seen[i] <= NetSocket::Connected,
                     qPrintable(QString::number(seen[i])));
        QCOMPARE(s.RemoteHost(), QStringLiteral("localhost"));
        QCOMPARE(s.RemotePort(), qint32(server.serverPort()));
        QCOMPARE(s.RemoteHostIP(), QStringLiteral("127.0.0.1"));
        s.Close();
        QCOMPARE(s.State(), qint16(NetSocket::Closed));
        QCOMPARE(s.RemoteHost(), QStringLiteral("localhost")); // properties survive Close

        QTcpServer v6;
        if (!v6.listen(QHostAddress::LocalHostIPv6, 0))
            QSKIP("no IPv6 loopback");
        s.Connect(QStringLiteral("::1"), v6.serverPort());
        QTRY_COMPARE(s.State(), qint16(NetSocket::Connected));
        QCOMPARE(s.RemoteHostIP(), QStringLiteral("::1"));
    }

    void connectFailuresArriveAsErrors()
    {
        NetSocket s;
        const quint16 port = closedPort();
        QList<qint16> numbers;
        QStringList texts;
        qint16 stateInHandler = -1;
        bool reopen = false;
        connect(&s, &NetSocket::OnError,
                [&](qint16 number, const QString &text, qint32, const QString &, const QString &, qint32,
                    bool *cancel) {
                    QVERIFY(cancel);
                    numbers << number;
                    texts << text;
                    stateInHandler = s.State();
                    if (reopen) { // the handler may start something new on the same instance
                        s.Close();
                        s.SetLocalPort(0);
                        s.Listen();
                    }
                });
        s.Connect(QStringLiteral("127.0.0.1"), port);
        QTRY_COMPARE(numbers.size(), 1);
        QCOMPARE(numbers[0], qint16(FailureNo::ConnectionRefused));
        QCOMPARE(texts[0], QStringLiteral("Connection refused by 127.0.0.1 port %1.").arg(port));
        QCOMPARE(stateInHandler, qint16(NetSocket::Error));
        QCOMPARE(s.State(), qint16(NetSocket::Error)); // until Close
        EXPECT_FAILURE(s.Connect(), FailureNo::WrongState, "close it first");
        s.Close();

        reopen = true;
        s.Connect(QStringLiteral("127.0.0.1"), port);
        QTRY_COMPARE(numbers.size(), 2);
        QCOMPARE(s.State(), qint16(NetSocket::Listening));
        s.Close();

        reopen = false;
        s.Connect(QStringLiteral("nosuch.invalid"), 80);
        QCOMPARE(s.State(), qint16(NetSocket::ResolvingHost));
        QTRY_COMPARE_WITH_TIMEOUT(numbers.size(), 3, 20000);
        QCOMPARE(numbers[2], qint16(FailureNo::HostNotFound));
        QVERIFY2(texts[2].contains(QLatin1String("nosuch.invalid")), qPrintable(texts[2]));
        QCOMPARE(stateInHandler, qint16(NetSocket::Error));
    }

    void bulkDataThenPeerClose()
    {
        QByteArray sent(1024 * 1024, '\0');
        QRandomGenerator rng(7);
        for (qsizetype i = 0; i < sent.size(); ++i)
            sent[i] = i % 97 == 0 ? '\0' : char(rng.generate());
        Pair p;
        QByteArray got;
        QString order;
        qint64 largest = 0;
        qint16 stateAtClose = -1;
        connect(&p.s, &NetSocket::DataArrival, [&](qint64 n) {
            largest = qMax(largest, n);
            order += u'D';
            got += p.s.GetData();
        });
        connect(&p.s, &NetSocket::OnClose, [&] {
            order += u'C';
            stateAtClose = p.s.State();
        });
        QVERIFY(p.connect());
        p.peer->write(sent);
        p.peer->disconnectFromHost();
        QTRY_VERIFY_WITH_TIMEOUT(order.endsWith(u'C'), 20000);
        QVERIFY(got == sent);
        QCOMPARE(order.count(u'C'), 1);
        QVERIFY(largest <= NetSocket::ReadChunk);
        QCOMPARE(stateAtClose, qint16(NetSocket::Closing));
        QCOMPARE(p.s.State(), qint16(NetSocket::Closing));
        EXPECT_FAILURE(p.s.SendData("x"), FailureNo::NotConnected, "not connected");
        p.s.Close();
        QCOMPARE(p.s.State(), qint16(NetSocket::Closed));
    }

    void unreadDataOutlivesPeerClose()
    {
        Pair p;
        QString order;
        connect(&p.s, &NetSocket::DataArrival, [&] { order += u'D'; }); // never reads
        connect(&p.s, &NetSocket::OnClose, [&] { order += u'C'; });
        QVERIFY(p.connect());
        p.peer->write(QByteArray("abc\0def", 7));
        p.peer->disconnectFromHost();
        QTRY_VERIFY(order.endsWith(u'C'));
        QVERIFY(order.startsWith(u'D'));
        QCOMPARE(p.s.GetData(), QByteArray("abc\0def", 7));
        QCOMPARE(p.s.GetData(), QByteArray());
    }

    void resetCountsAsPeerClose()
    {
        Pair p;
        QSignalSpy closes(&p.s, &NetSocket::OnClose);
        QSignalSpy errors(&p.s, &NetSocket::OnError);
        QVERIFY(p.connect());
        const linger hard{1, 0}; // close with a reset instead of an orderly close
        ::setsockopt(int(p.peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        p.peer->abort();
        QTRY_COMPARE(closes.size(), 1);
        QCOMPARE(errors.size(), 0);
        QCOMPARE(p.s.State(), qint16(NetSocket::Closing));
    }

    void destructionIsSilent()
    {
        auto p = std::make_unique<Pair>();
        int events = 0;
        connect(&p->s, &NetSocket::OnClose, [&] { ++events; });
        connect(&p->s, &NetSocket::OnError, [&] { ++events; });
        QVERIFY(p->connect());
        std::unique_ptr<QTcpSocket> peer = std::move(p->peer);
        p.reset();
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(events, 0);
    }

    void acceptedRequestCarriesData()
    {
        NetSocket s;
        s.Listen();
        const quint16 port = s.BoundPort();
        QVERIFY(port != 0);
        QCOMPARE(s.State(), qint16(NetSocket::Listening));
        QTcpServer v6; // the listener takes IPv4 only, so [::1] keeps the same number free
        if (v6.listen(QHostAddress::LocalHostIPv6, 0))
            QVERIFY(QTcpServer().listen(QHostAddress::LocalHostIPv6, port));
        qint16 stateInHandler = -1;
        connect(&s, &NetSocket::ConnectionRequest, [&](qint32 id) {
            stateInHandler = s.State();
            s.Close();
            s.Accept(id);
        });
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(s.State(), qint16(NetSocket::Connected));
        QCOMPARE(stateInHandler, qint16(NetSocket::ConnectionPending));
        QCOMPARE(s.RemoteHostIP(), QStringLiteral("127.0.0.1"));

        QByteArray got;
        connect(&s, &NetSocket::DataArrival, [&] { got += s.GetData(); });
        client.write(QByteArray("hello\0", 6));
        QTRY_COMPARE(got, QByteArray("hello\0", 6));
        s.SendData(QByteArray("world\0", 6));
        QByteArray back;
        QTRY_COMPARE(back += client.readAll(), QByteArray("world\0", 6));

        disconnect(&s, &NetSocket::DataArrival, nullptr, nullptr);
        connect(&s, &NetSocket::DataArrival, [&] { s.Close(); }); // Close inside the event
        client.write("bye");
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(s.State(), qint16(NetSocket::Closed));

        QTcpSocket late; // Close in the handler ended listening
        late.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(late.error(), QAbstractSocket::ConnectionRefusedError);
    }

    void unacceptedRequestsAreClosed()
    {
        NetSocket s;
        s.Listen();
        const quint16 port = s.BoundPort();
        int requests = 0;
        enum { Ignore, CloseAndListen, CloseOnly } mode = Ignore;
        connect(&s, &NetSocket::ConnectionRequest, [&] {
            ++requests;
            if (mode != Ignore)
                s.Close();
            if (mode == CloseAndListen) {
                s.SetLocalPort(port);
                s.Listen();
            }
        });
        // n clients, all waiting in the backlog before the listener sees any; each must be dropped
        auto requestAndWait = [&](int n) {
            std::vector<std::unique_ptr<QTcpSocket>> c(n);
            for (auto &x : c) {
                x = std::make_unique<QTcpSocket>();
                x->connectToHost(QHostAddress::LocalHost, port);
            }
            for (auto &x : c)
                QVERIFY(x->waitForConnected(5000));
            for (auto &x : c)
                QTRY_COMPARE(x->state(), QAbstractSocket::UnconnectedState);
        };
        requestAndWait(1);
        QCOMPARE(requests, 1);
        QCOMPARE(s.State(), qint16(NetSocket::Listening));
        const int before = openDescriptors();

        mode = CloseAndListen; // the second request belongs to the old listener: closed unannounced
        requestAndWait(2);
        QCOMPARE(requests, 2);
        QCOMPARE(s.State(), qint16(NetSocket::Listening));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(openDescriptors(), before);

        mode = CloseOnly;
        requestAndWait(1);
        QCOMPARE(requests, 3);
        QCOMPARE(s.State(), qint16(NetSocket::Closed));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(openDescriptors(), before - 1); // the listener itself is gone too
    }

    void synchronousFailures()
    {
        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::AnyIPv4, 0));
        const QString busy = QString::number(other.serverPort());
        NetSocket s;
        s.SetLocalPort(other.serverPort());
        EXPECT_FAILURE(s.Listen(), FailureNo::AddressInUse,
                       busy + QLatin1String(" is already in use on 0.0.0.0"));
        QCOMPARE(s.State(), qint16(NetSocket::Closed));

        s.SetLocalPort(0);
        s.Listen();
        EXPECT_FAILURE(s.Connect(QStringLiteral("127.0.0.1"), 80), FailureNo::WrongState, "listening");
        EXPECT_FAILURE(s.Listen(), FailureNo::WrongState, "close it first");
        EXPECT_FAILURE(s.Bind(0), FailureNo::WrongState, "close it first");
        EXPECT_FAILURE(s.Accept(12345), FailureNo::WrongState, "close it first");
        EXPECT_FAILURE(s.SetProtocol(NetSocket::UDP), FailureNo::WrongState, "protocol");
        EXPECT_FAILURE(s.SetLocalPort(5), FailureNo::WrongState, "local port");
        EXPECT_FAILURE(s.SendData("x"), FailureNo::NotConnected, "not connected");
        s.Close();
        s.Close(); // harmless twice

        EXPECT_FAILURE(s.Accept(12345), FailureNo::InvalidArgument, "12345");
        EXPECT_FAILURE(s.Connect(QString(), 80), FailureNo::InvalidArgument, "no remote host");
        EXPECT_FAILURE(s.Connect(QStringLiteral("127.0.0.1"), 0.4), FailureNo::InvalidArgument, "0.4");
        EXPECT_FAILURE(s.Connect(QStringLiteral("127.0.0.1"), 65535.6), FailureNo::InvalidArgument,
                       "65535.6");
        EXPECT_FAILURE(s.SetLocalPort(70000), FailureNo::InvalidArgument, "70000");
        EXPECT_FAILURE(s.Bind(-1), FailureNo::InvalidArgument, "-1");
        EXPECT_FAILURE(s.Bind(QStringLiteral("8x")), FailureNo::TypeMismatch, "8x");
        EXPECT_FAILURE(s.SetProtocol(2), FailureNo::InvalidArgument, "2");
        s.Connect(QStringLiteral("127.0.0.1"), 1.5); // halves round to even
        QCOMPARE(s.RemotePort(), 2);
        s.Close();
        s.Connect(QStringLiteral("127.0.0.1"), 80.5);
        QCOMPARE(s.RemotePort(), 80);
        s.Close();
        s.SetRemoteHost(QString());
        QCOMPARE(s.State(), qint16(NetSocket::Closed));

        s.SetProtocol(NetSocket::UDP);
        EXPECT_FAILURE(s.Listen(), FailureNo::InvalidArgument, "use Bind");
        EXPECT_FAILURE(s.SendData("x"), FailureNo::NotConnected, "RemoteHost");
        QUdpSocket taken;
        QVERIFY(taken.bind(QHostAddress::AnyIPv4, 0));
        EXPECT_FAILURE(s.Bind(taken.localPort()), FailureNo::AddressInUse,
                       QString::number(taken.localPort()));
        if (::geteuid() != 0)
            EXPECT_FAILURE(s.Bind(81), FailureNo::AccessDenied, "administrator (root)");
        QCOMPARE(s.State(), qint16(NetSocket::Closed));
    }

    void tcpBindHoldsThePort()
    {
        NetSocket s;
        s.Bind(QStringLiteral(" 0 "), QStringLiteral("127.0.0.1"));
        QCOMPARE(s.State(), qint16(NetSocket::Open));
        const quint16 port = s.BoundPort();
        QVERIFY(port != 0);
        QVERIFY(!plainBindWorks(port));
        EXPECT_FAILURE(s.Connect(QStringLiteral("127.0.0.1"), 80), FailureNo::WrongState, "open on port");
        s.Close();
        QVERIFY(plainBindWorks(port));

        const QString foreign = QStringLiteral("203.0.113.77");
        if (QNetworkInterface::allAddresses().contains(QHostAddress(foreign)))
            QSKIP("the documentation address is on this machine");
        EXPECT_FAILURE(s.Bind(0, foreign), FailureNo::AddressNotAvailable, foreign);
        EXPECT_FAILURE(s.Bind(0, QStringLiteral("no-such-address")), FailureNo::AddressNotAvailable,
                       "no-such-address");
        s.SetProtocol(NetSocket::UDP);
        EXPECT_FAILURE(s.Bind(0, foreign), FailureNo::AddressNotAvailable, foreign);
        QCOMPARE(s.State(), qint16(NetSocket::Closed));
    }

    void udpSendOpensAndReceives()
    {
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        NetSocket s;
        s.SetProtocol(NetSocket::UDP);
        s.SetRemoteHost(QStringLiteral("127.0.0.1"));
        s.SetRemotePort(peer.localPort());
        s.SendData(QByteArray()); // opens, and goes as an empty datagram
        QCOMPARE(s.State(), qint16(NetSocket::Open));
        QVERIFY(s.BoundPort() != 0);
        QCOMPARE(nextDatagram(peer), QByteArray());

        QHostAddress from;
        quint16 fromPort = 0;
        s.SendData(QByteArray("a\0b\0c", 5));
        QCOMPARE(nextDatagram(peer, &from, &fromPort), QByteArray("a\0b\0c", 5));
        QCOMPARE(fromPort, s.BoundPort());

        QList<QByteArray> got;
        QList<qint64> totals;
        connect(&s, &NetSocket::DataArrival, [&](qint64 n) {
            totals << n;
            got << s.GetData();
        });
        peer.writeDatagram(QByteArray("x\0y\0", 4), from, fromPort);
        peer.writeDatagram(QByteArray("z", 1), from, fromPort);
        QTRY_COMPARE(got.size(), 2);
        QCOMPARE(got, (QList<QByteArray>{QByteArray("x\0y\0", 4), "z"}));
        QCOMPARE(totals, (QList<qint64>{4, 1}));
        QCOMPARE(s.RemoteHostIP(), QStringLiteral("127.0.0.1"));

        s.SetRemoteHost(QStringLiteral("localhost")); // names work too
        s.SendData("by name");
        QCOMPARE(nextDatagram(peer), QByteArray("by name"));
    }

    void udpBindRepliesToLastSender()
    {
        NetSocket s;
        s.SetProtocol(NetSocket::UDP);
        s.Bind(0, QStringLiteral("127.0.0.1"));
        QCOMPARE(s.State(), qint16(NetSocket::Open));
        const quint16 port = s.BoundPort();
        EXPECT_FAILURE(s.SendData("r"), FailureNo::NotConnected, "no peer yet");
        QUdpSocket a, b;
        QVERIFY(a.bind(QHostAddress::LocalHost, 0) && b.bind(QHostAddress::LocalHost, 0));
        QSignalSpy arrivals(&s, &NetSocket::DataArrival);
        a.writeDatagram("from a", QHostAddress::LocalHost, port);
        QTRY_COMPARE(arrivals.size(), 1);
        s.SendData("to a");
        QCOMPARE(nextDatagram(a), QByteArray("to a"));
        b.writeDatagram("from b", QHostAddress::LocalHost, port);
        QTRY_COMPARE(arrivals.size(), 2);
        QCOMPARE(s.GetData(), QByteArray("from b")); // read after the event, still there
        s.SendData("to b");
        QCOMPARE(nextDatagram(b), QByteArray("to b"));
        QVERIFY(!a.hasPendingDatagrams());
    }

    void udpArrivalsLeaveTimersTheirTurn()
    {
        NetSocket s;
        s.SetProtocol(NetSocket::UDP);
        s.Bind(0, QStringLiteral("127.0.0.1"));
        QUdpSocket sender;
        const int count = 130;
        for (int i = 0; i < count; ++i) // all queued before the loop runs
            sender.writeDatagram(QByteArray("n\0", 2) + QByteArray::number(i), QHostAddress::LocalHost,
                                 s.BoundPort());
        int ticks = 0;
        QTimer timer;
        timer.setInterval(0);
        connect(&timer, &QTimer::timeout, [&] { ++ticks; });
        QMap<int, int> perTick;
        QList<QByteArray> got;
        connect(&s, &NetSocket::DataArrival, [&] {
            ++perTick[ticks];
            got << s.GetData();
        });
        timer.start();
        QTRY_COMPARE(got.size(), count);
        for (int i = 0; i < count; ++i)
            QCOMPARE(got[i], QByteArray("n\0", 2) + QByteArray::number(i));
        for (int n : std::as_const(perTick))
            QVERIFY2(n <= 64, qPrintable(QString::number(n)));
    }
};

QTEST_GUILESS_MAIN(tst_NetSocket)
#include "tst_netsocket.moc"
