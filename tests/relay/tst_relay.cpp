#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <fcntl.h>
#include <atomic>
#include <cerrno>

#include "Peer.h"
#include "RawPeer.h"
#include "platform/LogPane.h"
#include "platform/NetSocket.h"

namespace
{
const QByteArray LocalConnected = "Local Connected. Connecting to remote...\r\n";
const QByteArray Connected = "Connected.\r\n";

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A port free on both 127.0.0.1 and ::1, for a relay and its IPv6-only server.
quint16 relayPort(QTcpServer &server)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const quint16 p = closedPort();
        if (server.listen(QHostAddress::LocalHostIPv6, p))
            return p;
    }
    return 0;
}

// Sets up the relay towards [::1]:port in the window, answering Yes.
void startRelay(Window &win, quint16 port)
{
    win->txtIP->setText(QStringLiteral("::1"));
    win->txtPort->setText(QString::number(port));
    win->mnuPopupSniff->trigger();
}

// A relay with its local client on 127.0.0.1 and its server on [::1], both legs up.
struct Relayed {
    QTcpServer server;
    Window win = loadWindow();
    QTcpSocket client;
    QTcpSocket *srv = nullptr;
};

std::unique_ptr<Relayed> connectedRelay()
{
    auto r = std::make_unique<Relayed>();
    const quint16 port = relayPort(r->server);
    if (!port)
        return nullptr;
    startRelay(r->win, port);
    r->client.connectToHost(QHostAddress::LocalHost, port);
    QElapsedTimer t;
    t.start();
    while (!r->win->txtRx->Text().endsWith(Connected) && t.elapsed() < 5000)
        QTest::qWait(5);
    r->srv = r->server.nextPendingConnection();
    return r->srv ? std::move(r) : nullptr;
}

// A plain listener on [::1] at a port that is free on 127.0.0.1 too, for the relay.
int rawServer(quint16 &port)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int fd = raw::listenOn(true, closedPort());
        if (fd >= 0) {
            port = raw::portOf(fd);
            return fd;
        }
    }
    return -1;
}

// A window whose message boxes run an event loop of their own, as real ones do: a box
// shown from inside a socket notification then handles the other sockets' events.
Window windowWithLiveBoxes()
{
    Window win = loadWindow();
    win.tk->onBox = [](const FakeToolkit::Box &) { QTest::qWait(200); };
    return win;
}
} // namespace

class tst_Relay : public QObject
{
    Q_OBJECT
private slots:
    void setUpAsksFirst()
    {
        Window win = loadWindow();
        win->txtIP->setText(QStringLiteral("example.org"));
        win->txtPort->setText(QStringLiteral("80abc"));
        win.tk->answers = {Toolkit::No};
        win->mnuPopupSniff->trigger();
        QCOMPARE(win.tk->boxes.size(), 1);
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Packet Sniff Address?"));
        QCOMPARE(win.tk->boxes[0].text,
                 QStringLiteral("Connect to this!\r\nServer: example.org\r\nPort: 80abc\r\nCorrect?"));
        QCOMPARE(win.tk->boxes[0].icon, Toolkit::Question);
        QCOMPARE(win.tk->boxes[0].buttons, Toolkit::YesNo);
        QVERIFY(!win->RelayActive);
        QCOMPARE(win->Sniff->State(), qint16(NetSocket::Closed));

        // Yes: the relay port is the number the text begins with, halves to even.
        const quint16 free = closedPort();
        for (const QString &suffix : {QStringLiteral("abc"), QStringLiteral(".5")}) {
            win->txtPort->setText(QString::number(free) + suffix);
            win->mnuPopupSniff->trigger();
            QVERIFY(win->RelayActive);
            QCOMPARE(win->Sniff->State(), qint16(NetSocket::Listening));
            const bool half = suffix == QLatin1String(".5");
            QCOMPARE(win->Sniff->LocalPort(), qint32(half && free % 2 ? free + 1 : free));
            QCOMPARE(win->Sock->RemotePort(), win->Sniff->LocalPort());
            QCOMPARE(win->Sock->RemoteHost(), QStringLiteral("example.org"));
            QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
            QCOMPARE(win->StatusText(), QStringLiteral("Default. Closed."));
        }
        QCOMPARE(win->txtRx->TextLength(), 0); // nothing logged by the set-up
    }

    void setUpFailures()
    {
        Window win = loadWindow();
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtPort->setText(QString::number(closedPort()));
        win->mnuPopupSniff->trigger();
        QCOMPARE(win.tk->boxes.size(), 2);
        QCOMPARE(win.tk->boxes[1].title, QStringLiteral("Sniff error..."));
        QCOMPARE(win.tk->boxes[1].icon, Toolkit::Exclamation);
        QVERIFY(win.tk->boxes[1].text.startsWith(QStringLiteral("Socket error: \r\n")));
        QVERIFY(win.tk->boxes[1].text.contains(QStringLiteral("UDP")));
        QVERIFY(!win->RelayActive);
        QCOMPARE(win->Sniff->State(), qint16(NetSocket::Closed));
        QCOMPARE(win->Sniff->Protocol(), qint32(NetSocket::UDP));

        win->txtPort->setText(QStringLiteral("1e10")); // does not fit 32 bits
        win->mnuPopupSniff->trigger();
        QCOMPARE(win.tk->boxes.last().title, QStringLiteral("Sniff error..."));
        QVERIFY(!win->RelayActive);
    }

    void logShowsBothSidesInTheirColours()
    {
        auto r = connectedRelay();
        QVERIFY(r);
        Window &win = r->win;
        QTcpSocket &client = r->client;
        QTcpSocket *srv = r->srv;
        const qint64 start = win->txtRx->TextLength();
        client.write(QByteArray("GET\0\n", 5));
        QTRY_COMPARE(srv->bytesAvailable(), qint64(5));
        QCOMPARE(srv->readAll(), QByteArray("GET\0\n", 5));
        srv->write(QByteArray("OK\0\n", 4));
        QTRY_COMPARE(client.bytesAvailable(), qint64(4));
        QCOMPARE(client.readAll(), QByteArray("OK\0\n", 4)); // unchanged, line ends included
        QTRY_COMPARE(win->txtRx->Text(start), QByteArray("GET?\nOK?\r\n"));
        QCOMPARE(win->txtRx->ColorAt(start), quint32(0xFF0000));
        QCOMPARE(win->txtRx->ColorAt(start + 5), quint32(0));
    }

    void clientDataAfterTheServerHasGoneIsReportedOnce()
    {
        auto r = connectedRelay();
        QVERIFY(r);
        Window &win = r->win;
        QTcpSocket &client = r->client;
        win->Sock->Close(); // the server leg ends without the close routine
        client.write("late");
        QTRY_COMPARE(win.tk->boxes.size(), 2);
        QCOMPARE(win.tk->boxes[1].title, QStringLiteral("Wirebench"));
        QVERIFY(win.tk->boxes[1].text.contains(QStringLiteral("10057")));
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QVERIFY(win->txtRx->Text().endsWith("late"));
        QCOMPARE(win->txtRx->ColorAt(win->txtRx->TextLength() - 1), quint32(0xFF0000));
        win->cmdAbout->click(); // the window carries on
        QCOMPARE(win.tk->boxes.size(), 3);
    }

    void serverDataAfterTheClientHasGoneIsReportedOnce()
    {
        auto r = connectedRelay();
        QVERIFY(r);
        Window &win = r->win;
        win.tk->onBox = [](const FakeToolkit::Box &) { QTest::qWait(300); }; // a box runs its own loop
        QTcpSocket *srv = r->srv;
        win->Sniff->Close(); // the client leg ends without the close routine
        QTimer more;
        connect(&more, &QTimer::timeout, srv, [srv] { srv->write("more"); });
        srv->write("first");
        more.start(20);
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        more.stop();
        QTest::qWait(100);
        QCOMPARE(win.tk->boxes.size(), 2); // the confirmation and one "DataArrival error..."
        QCOMPARE(win.tk->boxes[1].title, QStringLiteral("DataArrival error..."));
    }

    void unreachableServer()
    {
        const int fds = openDescriptors();
        {
            const quint16 port = closedPort(); // nothing on [::1] at this port
            Window win = loadWindow();
            startRelay(win, port);
            QTcpSocket client;
            client.connectToHost(QHostAddress::LocalHost, port);
            QVERIFY(client.waitForConnected(5000));
            QTRY_COMPARE(win.tk->boxes.size(), 2);
            QCOMPARE(win.tk->boxes[1].title, QStringLiteral("Error in Connection"));
            QCOMPARE(win->txtRx->Text(), LocalConnected);
            QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
            QCOMPARE(win->Sniff->State(), qint16(NetSocket::Closed));
            QVERIFY(!win->RelayActive);
        }
        QCOMPARE(openDescriptors(), fds);
    }

    void waitingForASlowServerCostsNoCpuAndHoldsClientData()
    {
        // A listener whose accept queue is full: a connect to it stays pending.
        const int fd = ::socket(AF_INET6, SOCK_STREAM, 0);
        QVERIFY(fd >= 0);
        int one = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        QVERIFY(::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0);
        QVERIFY(::listen(fd, 0) == 0);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        const quint16 port = ntohs(a.sin6_port);
        QList<QTcpSocket *> fillers;
        for (int i = 0; i < 4; ++i) {
            fillers << new QTcpSocket(this);
            fillers.last()->connectToHost(QHostAddress::LocalHostIPv6, port);
        }
        QTest::qWait(200);

        Window win = loadWindow();
        startRelay(win, port);
        QTcpSocket client;
        double cpu = -1, wall = 0;
        qint16 stateDuringWait = -1;
        QElapsedTimer clock;
        QTimer::singleShot(300, this, [&] {
            // Runs inside the relay's wait: measure one second of it, then let
            // the server accept, so the pending connect goes through.
            stateDuringWait = win->Sock->State();
            const double c0 = cpuSeconds();
            clock.start();
            QTimer::singleShot(1000, this, [&, c0] {
                cpu = cpuSeconds() - c0;
                wall = clock.elapsed() / 1000.0;
                qDeleteAll(fillers);
                fillers.clear();
                for (int i = 0; i < 8; ++i) {
                    const int f = ::accept(fd, nullptr, nullptr);
                    if (f >= 0)
                        ::close(f);
                }
            });
        });
        const QByteArray early("early\0data", 10);
        client.connectToHost(QHostAddress::LocalHost, port);
        client.write(early); // sent while the relay waits for its server
        QTRY_VERIFY_WITH_TIMEOUT(cpu >= 0, 10000);
        QCOMPARE(stateDuringWait, qint16(NetSocket::Connecting));
        qInfo("relay wait: %.1f%% of a core over %.2f s", 100 * cpu / wall, wall);
        QVERIFY2(cpu / wall < 0.05, qPrintable(QString::number(cpu / wall)));

        // The client's data was logged while waiting, then passed on in one piece.
        QTRY_VERIFY_WITH_TIMEOUT(win->txtRx->Text().endsWith(Connected), 15000);
        QCOMPARE(win->txtRx->Text(), LocalConnected + "early?data" + Connected);
        QCOMPARE(win->txtRx->ColorAt(LocalConnected.size()), quint32(0xFF0000));
        int server = -1;
        QElapsedTimer accepting;
        accepting.start();
        while ((server = ::accept(fd, nullptr, nullptr)) < 0 && accepting.elapsed() < 5000)
            QTest::qWait(5);
        QVERIFY(server >= 0);
        QByteArray got;
        QElapsedTimer reading;
        reading.start();
        while (got.size() < early.size() && reading.elapsed() < 5000) {
            QTest::qWait(5); // lets the window send
            char buf[64];
            const ssize_t n = ::recv(server, buf, sizeof buf, MSG_DONTWAIT);
            if (n > 0)
                got.append(buf, int(n));
        }
        QCOMPARE(got, early);
        ::close(server);
        ::close(fd);
    }

    void halfCloseIsPassedThrough()
    {
        // The client sends its request and ends its sending, as `printf ... | ncat` does;
        // the server answers once it has seen that end.
        quint16 port = 0;
        const int listener = rawServer(port);
        QVERIFY(listener >= 0);
        Window win = windowWithLiveBoxes();
        startRelay(win, port);
        const QByteArray request = "GET / HTTP/1.0\r\n\r\n";
        const QByteArray response = raw::randomBytes(256 * 1024, 3);
        auto server = std::async(std::launch::async, [&] {
            const int c = raw::acceptOne(listener);
            const raw::Received r = raw::readAll(c);
            raw::writeAll(c, response);
            ::close(c);
            return r;
        });
        auto client = std::async(std::launch::async, [&] {
            const int c = raw::connectTo(port);
            raw::writeAll(c, request);
            ::shutdown(c, SHUT_WR);
            const raw::Received r = raw::readAll(c);
            ::close(c);
            return r;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(server) && raw::ready(client), 20000);
        const raw::Received atServer = server.get(), atClient = client.get();
        QCOMPARE(atServer.data, request);
        QVERIFY(atServer.ended);
        QVERIFY(atClient.ended);
        QCOMPARE(atClient.data.size(), response.size());
        QVERIFY(atClient.data == response);
        QCOMPARE(win.tk->boxes.size(), 1); // the confirmation only
        QTRY_VERIFY(!win->RelayActive);    // both have ended: the relay is over
        QCOMPARE(win->Sniff->State(), qint16(NetSocket::Closed));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(win->txtRx->Text().startsWith(LocalConnected));

        // The other way round: the server ends first, the client goes on sending.
        win->mnuPopupSniff->trigger();
        auto server2 = std::async(std::launch::async, [&] {
            const int c = raw::acceptOne(listener);
            raw::writeAll(c, "hello");
            ::shutdown(c, SHUT_WR);
            const raw::Received r = raw::readAll(c);
            ::close(c);
            return r;
        });
        auto client2 = std::async(std::launch::async, [&] {
            const int c = raw::connectTo(port);
            raw::Received r = raw::readAll(c); // "hello" and the server's end
            r.ended = r.ended && raw::writeAll(c, "still here");
            ::close(c);
            return r;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(server2) && raw::ready(client2), 20000);
        const raw::Received second = client2.get(), atServer2 = server2.get();
        QCOMPARE(second.data, QByteArray("hello"));
        QVERIFY(second.ended);
        QCOMPARE(atServer2.data, QByteArray("still here"));
        QVERIFY(atServer2.ended);
        QCOMPARE(win.tk->boxes.size(), 2);
        QTRY_VERIFY(!win->RelayActive);
        ::close(listener);
    }

    void clientThatLeavesIsPassedOn()
    {
        quint16 port = 0;
        const int listener = rawServer(port);
        QVERIFY(listener >= 0);
        Window win = windowWithLiveBoxes();
        for (const bool reset : {false, true}) {
            win->txtRx_DblClick();
            startRelay(win, port);
            auto server = std::async(std::launch::async, [&] {
                const int c = raw::acceptOne(listener);
                const raw::Received r = raw::readAll(c, 5000);
                ::close(c);
                return r;
            });
            const int c = raw::connectTo(port);
            QVERIFY(c >= 0);
            QVERIFY(raw::writeAll(c, "bye"));
            QTRY_VERIFY(win->txtRx->Text().contains("bye") && win->Sock->State() == NetSocket::Connected);
            if (reset) {
                const linger hard{1, 0};
                ::setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            ::close(c);
            QTRY_VERIFY_WITH_TIMEOUT(raw::ready(server), 10000);
            const raw::Received r = server.get();
            QCOMPARE(r.data, QByteArray("bye"));
            QVERIFY(r.ended);
            QVERIFY2(r.endMs < 1000, qPrintable(QString::number(r.endMs)));
            QTRY_VERIFY(!win->RelayActive);
            QCOMPARE(win.tk->boxes.size(), reset ? 2 : 1); // the confirmations only
        }
        ::close(listener);
    }

    void slowReadersHoldBackTheSenders()
    {
        // Both peers send 24 MiB while neither reads: each leg stops reading once the
        // other has 4 MiB waiting, so nothing piles up here; then both read it all.
        quint16 port = 0;
        const int listener = rawServer(port);
        QVERIFY(listener >= 0);
        Window win = loadWindow();
        startRelay(win, port);
        const qsizetype size = 24 * 1024 * 1024;
        const QByteArray up = raw::randomBytes(size, 5), down = raw::randomBytes(size, 6);
        std::atomic<bool> go{false};
        const auto peer = [&](int fd, const QByteArray &out) {
            auto writer = std::async(std::launch::async, [&, fd] { return raw::writeAll(fd, out); });
            for (int i = 0; i < 2000 && !go; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            QByteArray got;
            char buf[65536];
            while (got.size() < size && raw::readable(fd, 10000)) {
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                got.append(buf, n);
            }
            writer.wait();
            ::close(fd);
            return got;
        };
        auto server = std::async(std::launch::async, [&] { return peer(raw::acceptOne(listener), down); });
        auto client = std::async(std::launch::async, [&] { return peer(raw::connectTo(port), up); });
        qint64 worst = 0;
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < 1500) {
            QTest::qWait(5);
            worst = qMax(
                worst, qMax(win->Sock->BytesToSend() + win->RelayPending.size(), win->Sniff->BytesToSend()));
        }
        QVERIFY2(worst <= 4 * 1024 * 1024 + NetSocket::ReadChunk, qPrintable(QString::number(worst)));
        QVERIFY(worst > 1024 * 1024); // the queues did fill up to the bound
        go = true;
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(server) && raw::ready(client), 60000);
        QVERIFY(server.get() == up);
        QVERIFY(client.get() == down);
        QCOMPARE(win.tk->boxes.size(), 1);
        ::close(listener);
    }

    void sniffAgainRestartsTheRelay()
    {
        auto r = connectedRelay();
        QVERIFY(r);
        Window &win = r->win;
        QTcpSocket &client = r->client;
        QCOMPARE(win->Sniff->State(), qint16(NetSocket::Connected));

        win.tk->answers = {Toolkit::No};
        win->mnuPopupSniff->trigger();
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Connected));
        QCOMPARE(win->Sniff->State(), qint16(NetSocket::Connected));

        win->mnuPopupSniff->trigger();
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(win->Sniff->State(), qint16(NetSocket::Listening));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(win->RelayActive);
    }

    void bindToIp()
    {
        if (geteuid() != 0)
            QSKIP("binding port 82 needs root; the unprivileged case is tested separately");
        Window win = loadWindow();
        win->txtIP->setText(QStringLiteral("127.0.0.3"));
        win->txtPort->setText(QStringLiteral("nonsense")); // plays no part
        win->mnuPopupBind->trigger();
        QCOMPARE(win.tk->boxes.size(), 1);
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Bind to IP?"));
        QCOMPARE(win.tk->boxes[0].text, QStringLiteral("Bind to IP?\r\nIP: 127.0.0.3\r\nCorrect?"));
        QCOMPARE(win.tk->boxes[0].icon, Toolkit::Question);
        const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(82);
        a.sin_addr.s_addr = htonl(0x7f000003);
        QCOMPARE(::bind(probe, reinterpret_cast<sockaddr *>(&a), sizeof a), -1);
        QCOMPARE(errno, EADDRINUSE);
        ::close(probe);

        win->txtIP->setText(QStringLiteral("203.0.113.77")); // not an address of this machine
        win->mnuPopupBind->trigger();
        QCOMPARE(win.tk->boxes.size(), 3);
        QCOMPARE(win.tk->boxes[2].title, QStringLiteral("Bind error..."));
        QVERIFY(win.tk->boxes[2].text.startsWith(QStringLiteral("Error on binding: \r\n")));
        QVERIFY(win.tk->boxes[2].text.contains(QStringLiteral("203.0.113.77")));
    }

    void bindAnsweredNoKeepsTheSession()
    {
        auto s = connectedSession(false);
        QVERIFY(s);
        Window &win = s->win;
        win.tk->answers = {Toolkit::No};
        win->mnuPopupBind->trigger();
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Connected));
        QVERIFY(win->cmdSend->isEnabled());
    }

    void privilegedPortsAreExplained()
    {
        if (geteuid() == 0)
            QSKIP("runs as an ordinary user only");
        Window win = loadWindow();
        win->txtIP->setText(QStringLiteral("127.0.0.1"));
        win->mnuPopupBind->trigger();
        QCOMPARE(win.tk->boxes.size(), 2);
        QCOMPARE(win.tk->boxes[1].title, QStringLiteral("Bind error..."));
        QVERIFY2(win.tk->boxes[1].text.contains(QStringLiteral("1024")), qPrintable(win.tk->boxes[1].text));
        win->txtPort->setText(QStringLiteral("81"));
        win->cmdListen->click();
        QCOMPARE(win.tk->boxes.last().title, QStringLiteral("Listen error..."));
        QVERIFY2(win.tk->boxes.last().text.contains(QStringLiteral("1024")),
                 qPrintable(win.tk->boxes.last().text));
    }
};

QTEST_MAIN(tst_Relay)
#include "tst_relay.moc"
