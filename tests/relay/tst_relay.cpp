#include <QAction>
#include <QComboBox>
#include <QTimer>

#include <atomic>
#include <fcntl.h>
#include <sys/resource.h>

#include "RawPeer.h"
#include "platform/LogPane.h"

namespace
{
const QByteArray LocalConnected = "Local Connected. Connecting to remote...\r\n";
const QByteArray Connected = "Connected.\r\n";
constexpr quint32 Blue = 0xFF0000;

double cpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
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
    quint16 port = 0;
    for (int attempt = 0; attempt < 20 && !port; ++attempt)
        if (r->server.listen(QHostAddress::LocalHostIPv6, closedPort()))
            port = r->server.serverPort();
    startRelay(r->win, port);
    r->client.connectToHost(QHostAddress::LocalHost, port);
    (void)QTest::qWaitFor([&] { return r->win->txtRx->Text().endsWith(Connected); }, 5000);
    r->srv = r->server.nextPendingConnection();
    return r->srv ? std::move(r) : nullptr;
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
    void setUp()
    {
        Window win = loadWindow();
        win->txtIP->setText(QStringLiteral("example.org"));
        win.tk->answers = {Toolkit::No};
        win->mnuPopupSniff->trigger(); // asks first: No starts nothing
        QCOMPARE(win.tk->boxes.size(), 1);
        QVERIFY(!win->RelayActive && win->Sniff->State() == NetSocket::Closed);

        // Yes: the relay port is the number the text begins with, halves to even.
        const quint16 free = closedPort();
        win->txtPort->setText(QString::number(free) + QStringLiteral(".5abc"));
        win->mnuPopupSniff->trigger();
        QVERIFY(win->RelayActive && win->Sniff->State() == NetSocket::Listening);
        QCOMPARE(win->Sniff->LocalPort(), qint32(free % 2 ? free + 1 : free));
        QCOMPARE(win->Sock->RemotePort(), win->Sniff->LocalPort());
        QCOMPARE(win->Sock->RemoteHost(), QStringLiteral("example.org"));
        QCOMPARE(win->txtRx->TextLength(), 0); // nothing logged by the set-up

        // A UDP socket cannot listen: a box, and nothing is left open.
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->mnuPopupSniff->trigger();
        QCOMPARE(win.tk->boxes.last().title, QStringLiteral("Sniff error..."));
        QVERIFY(!win->RelayActive && win->Sniff->State() == NetSocket::Closed);
    }

    // One leg ends without the close routine while the other still sends: one box, and both
    // legs end, even while boxes run event loops of their own.
    void dataForALegThatHasGoneIsReportedOnce()
    {
        for (const bool serverGone : {true, false}) {
            auto r = connectedRelay();
            QVERIFY(r);
            Window &win = r->win;
            win.tk->onBox = [](const FakeToolkit::Box &) { QTest::qWait(300); };
            (serverGone ? win->Sock : win->Sniff)->Close();
            QTcpSocket *sender = serverGone ? &r->client : r->srv;
            QTimer more;
            connect(&more, &QTimer::timeout, sender, [sender] { sender->write("more"); });
            more.start(20);
            QTRY_VERIFY(win->Sock->State() == NetSocket::Closed && win->Sniff->State() == NetSocket::Closed);
            more.stop();
            QTest::qWait(100);
            QCOMPARE(win.tk->boxes.size(), 2); // the confirmation and one error
            QCOMPARE(win.tk->boxes[1].title, QString(serverGone ? "Wirebench" : "DataArrival error..."));
            QCOMPARE(win->txtRx->ColorAt(win->txtRx->TextLength() - 1), serverGone ? Blue : 0);
        }
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
            QTRY_COMPARE(win.tk->boxes.size(), 2);
            QCOMPARE(win.tk->boxes[1].title, QStringLiteral("Error in Connection"));
            QCOMPARE(win->txtRx->Text(), LocalConnected);
            QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(win->Sniff->State(), qint16(NetSocket::Closed));
            QVERIFY(!win->RelayActive);
        }
        QCOMPARE(openDescriptors(), fds);
    }

    void waitingForASlowServerCostsNoCpuAndHoldsClientData()
    {
        // A listener whose accept queue is full: a connect to it stays pending.
        quint16 port = 0;
        const int fd = raw::server(port, 0);
        QVERIFY(fd >= 0);
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        QTcpSocket fillers[4];
        for (QTcpSocket &f : fillers)
            f.connectToHost(QHostAddress::LocalHostIPv6, port);
        QTest::qWait(200);

        Window win = loadWindow();
        startRelay(win, port);
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
                for (QTcpSocket &f : fillers)
                    f.abort();
                for (int i = 0; i < 8; ++i)
                    if (const int f = ::accept(fd, nullptr, nullptr); f >= 0)
                        ::close(f);
            });
        });
        const QByteArray early("early\0data", 10);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        client.write(early); // sent while the relay waits for its server
        QTRY_VERIFY_WITH_TIMEOUT(cpu >= 0, 10000);
        QCOMPARE(stateDuringWait, qint16(NetSocket::Connecting));
        QVERIFY2(cpu / wall < 0.05, qPrintable(QString::number(cpu / wall)));

        // The client's data was logged while waiting, then passed on in one piece.
        QTRY_VERIFY_WITH_TIMEOUT(win->txtRx->Text().endsWith(Connected), 15000);
        QCOMPARE(win->txtRx->Text(), LocalConnected + "early?data" + Connected);
        const int server = ::accept(fd, nullptr, nullptr);
        QVERIFY(server >= 0);
        ::fcntl(server, F_SETFL, 0);
        auto got =
            std::async(std::launch::async, [&] { return raw::readAll(server, 5000, early.size()).data; });
        QTRY_VERIFY(raw::ready(got)); // the window sends meanwhile
        QCOMPARE(got.get(), early);
        ::close(server);
        ::close(fd);
    }

    void halfCloseIsPassedThrough()
    {
        quint16 port = 0;
        const int listener = raw::server(port);
        QVERIFY(listener >= 0);
        Window win = windowWithLiveBoxes();
        // The client sends its request and ends its sending, as `printf ... | ncat` does;
        // the server answers once it has seen that end.
        startRelay(win, port);
        const QByteArray request = "GET / HTTP/1.0\r\n\r\n";
        const QByteArray response = raw::randomBytes(256 * 1024, 3);
        auto server = raw::accepting(listener, [&](int c) {
            const raw::Received r = raw::readAll(c);
            raw::writeAll(c, response);
            return r;
        });
        auto client = raw::connecting(port, [&](int c) {
            raw::writeAll(c, request);
            ::shutdown(c, SHUT_WR);
            return raw::readAll(c);
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(server) && raw::ready(client), 20000);
        const raw::Received atServer = server.get(), atClient = client.get();
        QVERIFY(atServer.ended && atServer.data == request);
        QVERIFY(atClient.ended && atClient.data == response);
        QCOMPARE(win.tk->boxes.size(), 1); // the confirmation only
        QTRY_VERIFY(!win->RelayActive);    // both have ended: the relay is over
        QCOMPARE(win->Sniff->State(), qint16(NetSocket::Closed));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));

        // The other way round: the server ends first, the client goes on sending.
        win->mnuPopupSniff->trigger();
        server = raw::accepting(listener, [](int c) {
            raw::writeAll(c, "hello");
            ::shutdown(c, SHUT_WR);
            return raw::readAll(c);
        });
        client = raw::connecting(port, [](int c) {
            raw::Received r = raw::readAll(c); // "hello" and the server's end
            r.ended = r.ended && raw::writeAll(c, "still here");
            return r;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(server) && raw::ready(client), 20000);
        const raw::Received second = client.get(), atServer2 = server.get();
        QVERIFY(second.ended && second.data == "hello");
        QVERIFY(atServer2.ended && atServer2.data == "still here");
        QCOMPARE(win.tk->boxes.size(), 2);
        QTRY_VERIFY(!win->RelayActive);
        ::close(listener);
    }

    void clientThatLeavesIsPassedOn()
    {
        quint16 port = 0;
        const int listener = raw::server(port);
        QVERIFY(listener >= 0);
        Window win = windowWithLiveBoxes();
        for (const bool reset : {false, true}) {
            win->txtRx_DblClick();
            startRelay(win, port);
            auto server = raw::accepting(listener, [](int c) { return raw::readAll(c, 5000); });
            const int c = raw::connectTo(port);
            QVERIFY(c >= 0 && raw::writeAll(c, "bye"));
            QTRY_VERIFY(win->txtRx->Text().contains("bye") && win->Sock->State() == NetSocket::Connected);
            if (reset) {
                const linger hard{1, 0};
                ::setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            }
            ::close(c);
            QTRY_VERIFY_WITH_TIMEOUT(raw::ready(server), 10000);
            const raw::Received r = server.get();
            QVERIFY(r.ended && r.data == "bye");
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
        const int listener = raw::server(port);
        QVERIFY(listener >= 0);
        Window win = loadWindow();
        startRelay(win, port);
        const qsizetype size = 24 * 1024 * 1024;
        const QByteArray up = raw::randomBytes(size, 5), down = raw::randomBytes(size, 6);
        std::atomic<bool> go{false};
        const auto peer = [&go, size](const QByteArray &out) {
            return [&go, &out, size](int fd) {
                auto writer = std::async(std::launch::async, [&, fd] { return raw::writeAll(fd, out); });
                for (int i = 0; i < 2000 && !go; ++i)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                const QByteArray got = raw::readAll(fd, 10000, size).data;
                writer.wait();
                return got;
            };
        };
        auto server = raw::accepting(listener, peer(down));
        auto client = raw::connecting(port, peer(up));
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

    void privilegedPortsAreExplained()
    {
        if (geteuid() == 0)
            QSKIP("runs as an ordinary user only");
        Window win = loadWindow();
        win->mnuPopupBind->trigger();
        win->txtPort->setText(QStringLiteral("81"));
        win->cmdListen->click();
        QCOMPARE(win.tk->boxes.size(), 3);
        for (int i : {1, 2})
            QVERIFY2(win.tk->boxes[i].text.contains(QStringLiteral("1024")),
                     qPrintable(win.tk->boxes[i].text));
        QCOMPARE(win.tk->boxes[1].title, QStringLiteral("Bind error..."));
        QCOMPARE(win.tk->boxes[2].title, QStringLiteral("Listen error..."));
    }
};

QTEST_MAIN(tst_Relay)
#include "tst_relay.moc"
