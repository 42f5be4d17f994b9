// NetSocket on its own: what the window tests cannot see (state steps, operations called from
// inside its events, descriptors of refused requests, per-turn limits, silent destruction).
#include <QHostInfo>
#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTimer>
#include <QUdpSocket>

#include "NetNamespace.h"
#include "RawPeer.h"
#include "platform/Failure.h"

// The number of the Failure that `op` raises; 0 when it raises none.
template <class F> qint32 failureNo(F op)
{
    try {
        op();
    } catch (const Failure &f) {
        return f.Number;
    }
    return 0;
}

static const QString Lo = QStringLiteral("127.0.0.1");

// The next datagram, waited for with the event loop running (a look-up may be on its way).
static QByteArray nextDatagram(QUdpSocket &s)
{
    return QTest::qWaitFor([&] { return s.hasPendingDatagrams(); }, 5000) ? s.receiveDatagram().data()
                                                                          : "<none>";
}

// A NetSocket connected to a QTcpSocket peer (owned by the server) on 127.0.0.1.
struct Pair {
    QTcpServer server;
    std::unique_ptr<NetSocket> s = std::make_unique<NetSocket>();
    QTcpSocket *peer = nullptr;
    bool connect()
    {
        server.listen(QHostAddress::LocalHost, 0);
        s->Connect(Lo, server.serverPort());
        const auto up = [&] { return server.hasPendingConnections() && s->State() == NetSocket::Connected; };
        return QTest::qWaitFor(up, 5000) && (peer = server.nextPendingConnection());
    }
};

class tst_NetSocket : public QObject
{
    Q_OBJECT
private slots:
    void connectPathAndWrongStates()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        const quint16 port = server.serverPort();
        NetSocket s;
        qint16 atConnect = -1;
        connect(&s, &NetSocket::OnConnect, [&] { atConnect = s.State(); });
        // Look-ups cut short by Close: their late results are dropped, and nothing of them
        // leaks (the sanitizer build runs this program with leak checking on).
        for (int i = 0; i < 20; ++i) {
            s.Connect(QStringLiteral("localhost"), port);
            s.Close();
        }
        // Lookups of one name finish in order: once this one is back, the dropped one was too.
        bool done = false;
        QHostInfo::lookupHost(QStringLiteral("localhost"), this, [&](const QHostInfo &) { done = true; });
        QTRY_VERIFY(done);
        QCoreApplication::processEvents();
        QVERIFY(s.State() == NetSocket::Closed && atConnect == -1);

        s.Connect(QStringLiteral("localhost"), port);
        QCOMPARE(s.State(), qint16(NetSocket::ResolvingHost));
        QTRY_COMPARE(atConnect, qint16(NetSocket::Connected));
        s.Close();

        // A refused connect: Error while the handler runs, which may start anew on the same instance.
        server.close();
        QString error;
        connect(&s, &NetSocket::OnError, [&](qint16, const QString &description) {
            error = QString::number(s.State()) + u' ' + description;
            s.Close();
            s.Listen();
        });
        s.Connect(Lo, port);
        QTRY_COMPARE(s.State(), qint16(NetSocket::Listening));
        QCOMPARE(error, QStringLiteral("9 Connection refused by 127.0.0.1 port %1.").arg(port)); // 9: Error

        QCOMPARE(failureNo([&] { s.Connect(Lo, 80); }), FailureNo::WrongState);
        QCOMPARE(failureNo([&] { s.SetProtocol(NetSocket::UDP); }), FailureNo::WrongState);
        QCOMPARE(failureNo([&] { s.SendData("x"); }), FailureNo::NotConnected);
    }

    // Connect by name, Close, and connect at once by another name: only the second look-up's
    // answer counts. The first name was looked up before, so Qt answers it from its cache on
    // the next turn, before the second (an unknown name, which Qt does not cache) is back.
    void aClosedConnectsLookupIsIgnored()
    {
        bool cached = false;
        QHostInfo::lookupHost(QStringLiteral("localhost"), this, [&](const QHostInfo &) { cached = true; });
        QTRY_VERIFY(cached);
        QTcpServer first, second; // "localhost" may be 127.0.0.1 or ::1: both are taken
        QVERIFY(first.listen(QHostAddress::Any, 0) && second.listen(QHostAddress::Any, 0));
        NetSocket s;
        QSignalSpy connected(&s, &NetSocket::OnConnect), errors(&s, &NetSocket::OnError);
        s.Connect(QStringLiteral("localhost"), first.serverPort());
        s.Close();
        s.Connect(QStringLiteral("no-such-host.invalid"), second.serverPort());
        QTRY_VERIFY_WITH_TIMEOUT(connected.size() + errors.size() > 0, 20000);
        QCoreApplication::processEvents();
        QCOMPARE(connected.size(), 0);
        QCOMPARE(errors.size(), 1);
        QCOMPARE(errors[0][1].toString(), QStringLiteral("Host not found: no-such-host.invalid."));
        QCOMPARE(s.State(), qint16(NetSocket::Error));
        QVERIFY(!first.hasPendingConnections() && !second.hasPendingConnections());
    }

    void connectionEndings()
    {
        QByteArray sent = raw::randomBytes(1 << 20, 7);
        for (qsizetype i = 0; i < sent.size(); i += 97)
            sent[i] = '\0';
        // p: bulk data then close; q: closed in DataArrival; u: never reads; r: reset; d: destroyed
        Pair p, q, u, r, d;
        QByteArray got;
        QList<qint64> atClose; // p's state and bytes received when OnClose comes
        // An arrival larger than ReadChunk spoils the comparison below.
        connect(p.s.get(), &NetSocket::DataArrival,
                [&](qint64 n) { got += n <= NetSocket::ReadChunk ? p.s->GetData() : "<too much>"; });
        connect(p.s.get(), &NetSocket::OnClose, [&] { atClose << p.s->State() << got.size(); });
        connect(q.s.get(), &NetSocket::DataArrival, [&] { q.s->Close(); });
        QSignalSpy uClosed(u.s.get(), &NetSocket::OnClose);
        QSignalSpy rClosed(r.s.get(), &NetSocket::OnClose), rErrors(r.s.get(), &NetSocket::OnError);
        QSignalSpy dClosed(d.s.get(), &NetSocket::OnClose), dErrors(d.s.get(), &NetSocket::OnError);
        QVERIFY(p.connect() && q.connect() && u.connect() && r.connect() && d.connect());
        p.peer->write(sent);
        p.peer->disconnectFromHost();
        q.peer->write("bye");
        u.peer->write(QByteArray("abc\0def", 7));
        u.peer->disconnectFromHost();
        const linger hard{1, 0}; // r's peer resets instead of closing in order
        ::setsockopt(int(r.peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        r.peer->abort();
        d.s.reset();

        QTRY_COMPARE_WITH_TIMEOUT(atClose.size(), 2, 20000);
        QCOMPARE(atClose, (QList<qint64>{NetSocket::Closing, sent.size()}));
        QVERIFY(got == sent);
        QTRY_COMPARE(q.peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(q.s->State(), qint16(NetSocket::Closed));
        QTRY_COMPARE(uClosed.size(), 1);
        QCOMPARE(u.s->GetData(), QByteArray("abc\0def", 7)); // unread data outlives the close
        QTRY_COMPARE(rClosed.size(), 1);
        QCOMPARE(rErrors.size(), 0);
        QTRY_COMPARE(d.peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(dClosed.size() + dErrors.size(), 0);
    }

    void halfOpenAndQueuedData()
    {
        const int fds = openDescriptors();
        quint16 port = 0;
        const int listener = raw::server(port);
        const QByteArray big = raw::randomBytes(16 * 1024 * 1024, 9);

        // The peer ends its sending: a half-open socket stays Connected and can still send;
        // EndSending ends ours only after everything queued.
        NetSocket s;
        s.SetHalfOpen(true);
        QSignalSpy closed(&s, &NetSocket::OnClose);
        QByteArray got;
        connect(&s, &NetSocket::DataArrival, [&] { got += s.GetData(); });
        s.Connect(QStringLiteral("::1"), port);
        auto peer = raw::accepting(listener, [](int c) {
            raw::writeAll(c, "request");
            ::shutdown(c, SHUT_WR);
            return raw::readAll(c);
        });
        QTRY_COMPARE(closed.size(), 1);
        QCOMPARE(got, QByteArray("request")); // what came before the end came first
        QVERIFY(s.State() == NetSocket::Connected && s.PeerEnded());
        s.SendData(big);
        QVERIFY(s.BytesToSend() > 0); // more than the system takes at once
        s.EndSending();
        QCOMPARE(failureNo([&] { s.SendData("late"); }), FailureNo::NotConnected);
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(peer), 20000);
        raw::Received r = peer.get();
        QVERIFY(r.ended && r.data == big);
        s.Close();

        // Close with data queued for a peer that reads only later: all of it arrives, then the end.
        NetSocket t;
        t.Connect(QStringLiteral("::1"), port);
        auto slow = raw::accepting(listener, [](int c) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1000));
            return raw::readAll(c);
        });
        QTRY_COMPARE(t.State(), qint16(NetSocket::Connected));
        t.SendData(big);
        t.Close();
        QCOMPARE(t.State(), qint16(NetSocket::Closed));
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(slow), 20000);
        r = slow.get();
        QVERIFY(r.ended && r.data == big);
        ::close(listener);
        QTRY_COMPARE(openDescriptors(), fds);
    }

    void handlersMayRunNestedLoops()
    {
        // A handler that shows a box runs an event loop of its own. The peer's end comes
        // inside it and its handler closes the socket: what the component still uses on
        // the way out of the first handler must outlive that.
        for (int round = 0; round < 20; ++round) {
            Pair p;
            QVERIFY(p.connect());
            int nested = 0;
            connect(p.s.get(), &NetSocket::DataArrival, [&] {
                p.s->GetData();
                if (nested++)
                    return;
                QEventLoop box;
                QTimer::singleShot(50, &box, &QEventLoop::quit);
                box.exec();
            });
            connect(p.s.get(), &NetSocket::OnClose, [&] { p.s->Close(); });
            p.peer->write(QByteArray(300000, 'x'));
            p.peer->disconnectFromHost();
            QTRY_COMPARE(p.s->State(), qint16(NetSocket::Closed));
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            QVERIFY(nested >= 1);
        }
    }

    void unacceptedRequestsAreClosed()
    {
        NetSocket s;
        s.Listen(); // on port 0: the system picks one, and LocalPort (and so the status line) tells it
        const quint16 port = s.BoundPort();
        QVERIFY(port > 0);
        QCOMPARE(s.LocalPort(), qint32(port));
        QTcpServer v6; // the listener takes IPv4 only, so [::1] keeps the same number free
        if (v6.listen(QHostAddress::LocalHostIPv6, 0))
            QVERIFY(QTcpServer().listen(QHostAddress::LocalHostIPv6, port));
        QList<qint16> requests; // the state in each request's handler
        bool relisten = false;
        connect(&s, &NetSocket::ConnectionRequest, [&] {
            requests << s.State();
            if (relisten) { // Close and listen again on the same port, inside the handler
                s.Close();
                s.SetLocalPort(port);
                s.Listen();
            }
        });
        QTcpSocket c[3];
        c[0].connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(c[0].state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(requests, QList<qint16>{NetSocket::ConnectionPending});
        QCOMPARE(s.State(), qint16(NetSocket::Listening));
        const int before = openDescriptors();

        // Both wait in the backlog before the listener sees any: the second belongs to the old
        // listener and is closed unannounced.
        relisten = true;
        c[1].connectToHost(QHostAddress::LocalHost, port);
        c[2].connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(c[1].waitForConnected(5000) && c[2].waitForConnected(5000));
        QTRY_VERIFY(c[1].state() == QAbstractSocket::UnconnectedState &&
                    c[2].state() == QAbstractSocket::UnconnectedState);
        QCOMPARE(requests.size(), 2);
        QCOMPARE(s.State(), qint16(NetSocket::Listening));
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QCOMPARE(openDescriptors(), before);
    }

    // Routes and addresses changed in a private network namespace: failures of a connect
    // and of an established connection come as the error event, each with its own number
    // and the peer named.
    void failuresInAPrivateNetwork()
    {
        NetNamespace ns;
        if (!ns.ok())
            QSKIP(qPrintable(ns.why));
        QVERIFY(ns.run({"route", "add", "unreachable", "10.99.0.0/16"}));
        QVERIFY(ns.run({"route", "add", "prohibit", "10.98.0.0/16"}));
        QVERIFY(ns.run({"addr", "add", "10.1.0.1/32", "dev", "lo"}));
        QVERIFY(ns.set(QStringLiteral("net/ipv4/tcp_retries2"), QStringLiteral("1"))); // give up soon

        // No route at all, a route that says unreachable, one that prohibits.
        using Row = std::tuple<QString, qint32, QString>;
        for (const auto &[host, number, description] :
             {Row{"192.0.2.1", FailureNo::NetworkUnreachable,
                  "The network of 192.0.2.1 cannot be reached (port 80)."},
              Row{"10.99.1.1", FailureNo::HostUnreachable, "Host 10.99.1.1 cannot be reached (port 80)."},
              Row{"10.98.1.1", FailureNo::AccessDenied,
                  "Connection to 10.98.1.1 port 80 is not permitted."}}) {
            NetSocket s;
            QSignalSpy errors(&s, &NetSocket::OnError);
            s.Connect(host, 80);
            QTRY_COMPARE(errors.size(), 1);
            QCOMPARE(errors[0][0].value<qint16>(), qint16(number));
            QCOMPARE(errors[0][1].toString(), description);
            QCOMPARE(s.State(), qint16(NetSocket::Error));
        }

        // The peer's address goes away while data is on its way: the connection times out.
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress(QStringLiteral("10.1.0.1")), 0));
        NetSocket s;
        QList<qint16> errorStates;
        QString error;
        QSignalSpy closed(&s, &NetSocket::OnClose);
        connect(&s, &NetSocket::OnError, [&](qint16 number, const QString &description) {
            errorStates << s.State();
            error = QString::number(number) + u' ' + description;
        });
        s.Connect(QStringLiteral("10.1.0.1"), server.serverPort());
        QTRY_VERIFY(server.hasPendingConnections() && s.State() == NetSocket::Connected);
        std::unique_ptr<QTcpSocket> peer(server.nextPendingConnection());
        QVERIFY(ns.run({"addr", "del", "10.1.0.1/32", "dev", "lo"}));
        s.SendData("lost");
        QTRY_VERIFY_WITH_TIMEOUT(errorStates.size() + closed.size() > 0, 20000);
        QCOMPARE(error, QStringLiteral("%1 Connection to 10.1.0.1 port %2 timed out.")
                            .arg(FailureNo::TimedOut)
                            .arg(server.serverPort()));
        QCOMPARE(closed.size(), 0); // not taken for the peer's close
        QCOMPARE(errorStates, QList<qint16>{NetSocket::Error});
        QCOMPARE(s.State(), qint16(NetSocket::Error));
    }

    // Link-local addresses name their interface: by name (fe80::1%lo) or by number.
    void scopedAddresses()
    {
        NetNamespace ns;
        if (!ns.ok())
            QSKIP(qPrintable(ns.why));
        QVERIFY(ns.run({"addr", "add", "fe80::1/64", "dev", "lo"}));
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::AnyIPv6, 0));
        for (const QString host : {"fe80::1%lo", "[fe80::1%lo]", "fe80::1%1"}) {
            NetSocket s;
            QSignalSpy errors(&s, &NetSocket::OnError);
            s.Connect(host, server.serverPort());
            QTRY_VERIFY2(s.State() == NetSocket::Connected || !errors.isEmpty(), qPrintable(host));
            QVERIFY2(errors.isEmpty(), qPrintable(host + u' ' + errors.value(0).value(1).toString()));
            QCOMPARE(s.RemoteHostIP(), QStringLiteral("fe80::1%lo"));
            QTRY_VERIFY(server.hasPendingConnections());
            delete server.nextPendingConnection();

            // The same address as a local one: a TCP socket holds a port there.
            NetSocket b;
            b.Bind(0, host);
            QCOMPARE(b.State(), qint16(NetSocket::Open));
            QVERIFY(b.BoundPort() > 0);
        }
    }

    // A UDP destination given by name is looked up without blocking: the socket is open at
    // once, datagrams sent meanwhile wait and go in order, an unknown name is the error
    // event, and Close drops what waits.
    void udpNamesAreLookedUpMeanwhile()
    {
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::Any, 0)); // "localhost" may be 127.0.0.1 or ::1
        NetSocket s;
        s.SetProtocol(NetSocket::UDP);
        s.SetRemoteHost(QStringLiteral("localhost"));
        s.SetRemotePort(peer.localPort());
        s.SendData("1");
        QCOMPARE(s.State(), qint16(NetSocket::Open));
        s.SendData("2");
        s.SendData(QByteArray());
        s.SendData("3");
        QVERIFY(!peer.hasPendingDatagrams()); // nothing went before the answer
        for (const QByteArray expected : {"1", "2", "", "3"})
            QCOMPARE(nextDatagram(peer), expected);
        QCOMPARE(s.RemoteHostIP().isEmpty(), false);
        s.SendData("4"); // the name is known now
        QCOMPARE(nextDatagram(peer), QByteArray("4"));

        NetSocket u;
        u.SetProtocol(NetSocket::UDP);
        u.SetRemoteHost(QStringLiteral("no-such-host.invalid"));
        u.SetRemotePort(peer.localPort());
        QList<qint16> errorStates;
        QString error;
        connect(&u, &NetSocket::OnError, [&](qint16 number, const QString &description) {
            errorStates << u.State();
            error = QString::number(number) + u' ' + description;
        });
        u.SendData("a");
        QCOMPARE(u.State(), qint16(NetSocket::Open));
        u.SendData("b");
        QTRY_COMPARE_WITH_TIMEOUT(errorStates.size(), 1, 20000);
        QCOMPARE(errorStates, QList<qint16>{NetSocket::Error});
        QCOMPARE(error,
                 QStringLiteral("%1 Host not found: no-such-host.invalid.").arg(FailureNo::HostNotFound));

        // Closed while the name is looked up: what waited is never sent, even once the answer is back.
        NetSocket c;
        c.SetProtocol(NetSocket::UDP);
        c.SetRemoteHost(QStringLiteral("localhost"));
        c.SetRemotePort(peer.localPort());
        c.SendData("dropped");
        c.Close();
        bool done = false; // look-ups of one name finish in order
        QHostInfo::lookupHost(QStringLiteral("localhost"), this, [&](const QHostInfo &) { done = true; });
        QTRY_VERIFY(done);
        QCoreApplication::processEvents();
        QCOMPARE(c.State(), qint16(NetSocket::Closed));
        c.SendData("after");
        QCOMPARE(nextDatagram(peer), QByteArray("after"));
        QVERIFY(!peer.hasPendingDatagrams());
    }

    void udpDatagrams()
    {
        QUdpSocket a, b;
        QVERIFY(a.bind(QHostAddress::LocalHost, 0) && b.bind(QHostAddress::LocalHost, 0));
        NetSocket s;
        s.SetProtocol(NetSocket::UDP);
        s.SetRemoteHost(QStringLiteral("localhost")); // names are looked up too
        s.SetRemotePort(a.localPort());
        s.SendData(QByteArray()); // opens towards the peer, and sends nothing
        QTRY_COMPARE(s.RemoteHostIP(), Lo);
        s.SendData(QByteArray()); // once open, an empty datagram goes as such
        QCOMPARE(nextDatagram(a), QByteArray());
        QVERIFY(!a.hasPendingDatagrams()); // the first put nothing on the wire
        QByteArray got;
        connect(&s, &NetSocket::DataArrival, [&] { got = s.GetData(); });
        a.writeDatagram(QByteArray("x\0y\0", 4), QHostAddress::LocalHost, s.BoundPort());
        QTRY_COMPARE(got, QByteArray("x\0y\0", 4));
        QCOMPARE(s.RemoteHostIP(), Lo); // not ::ffff:127.0.0.1

        // Opened by Bind: replies go to whoever sent last.
        NetSocket t;
        t.SetProtocol(NetSocket::UDP);
        t.Bind(0, Lo);
        QCOMPARE(failureNo([&] { t.SendData("r"); }), FailureNo::NotConnected);
        QSignalSpy arrivals(&t, &NetSocket::DataArrival);
        a.writeDatagram("from a", QHostAddress::LocalHost, t.BoundPort());
        b.writeDatagram("from b", QHostAddress::LocalHost, t.BoundPort());
        QTRY_COMPARE(arrivals.size(), 2);
        QCOMPARE(t.GetData(), QByteArray("from b")); // read after the event, still there
        t.SendData("to b");
        QCOMPARE(nextDatagram(b), QByteArray("to b"));

        // Datagrams all queued before the loop runs are handled at most 64 per turn.
        for (int i = 0; i < 130; ++i)
            a.writeDatagram("n", QHostAddress::LocalHost, t.BoundPort());
        QCoreApplication::processEvents();
        QVERIFY(arrivals.size() > 2 && arrivals.size() <= 2 + 64);
        QTRY_COMPARE(arrivals.size(), 2 + 130);
    }
};

QTEST_GUILESS_MAIN(tst_NetSocket)
#include "tst_netsocket.moc"
