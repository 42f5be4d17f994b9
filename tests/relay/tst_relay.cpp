#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <fcntl.h>
#include <sys/resource.h>

#include "Pcapng.h"
#include "RawPeer.h"
#include "platform/LogFiles.h"
#include "platform/LogPane.h"

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

// Sets up the relay towards [::1]:port in the window, answering Yes.
void startRelay(Window &win, quint16 port)
{
    win->txtIP->setText(QStringLiteral("::1"));
    win->txtPort->setText(QString::number(port));
    win->mnuPopupSniff->trigger();
}

// A listener on [::1] whose accept queue is full, so a connect to it stays pending
// until Release() lets it through.
struct StalledServer {
    quint16 port = 0;
    int fd = raw::server(port, 0);
    QTcpSocket fillers[4];

    StalledServer()
    {
        ::fcntl(fd, F_SETFL, O_NONBLOCK);
        for (QTcpSocket &f : fillers)
            f.connectToHost(QHostAddress::LocalHostIPv6, port);
        QTest::qWait(200);
    }
    ~StalledServer() { ::close(fd); }
    void Release()
    {
        for (QTcpSocket &f : fillers)
            f.abort();
        for (int i = 0; i < 8; ++i)
            if (const int f = ::accept(fd, nullptr, nullptr); f >= 0)
                ::close(f);
    }
    // The relay's connection, once it has come through, on a blocking descriptor.
    int Accept()
    {
        int c = -1;
        (void)QTest::qWaitFor([&] { return (c = ::accept(fd, nullptr, nullptr)) >= 0; }, 10000);
        if (c >= 0)
            ::fcntl(c, F_SETFL, 0);
        return c;
    }
};

// A window whose boxes run an event loop of their own for boxMs, noting both sockets'
// states each time one opens.
struct Watched {
    Window win = loadWindow();
    QList<qint16> statesAtBox;
    explicit Watched(int boxMs)
    {
        win.tk->onBox = [this, boxMs](const FakeToolkit::Box &) {
            statesAtBox << win->Sock->State() << win->Sniff->State();
            QTest::qWait(boxMs);
        };
    }
    // Every box after the confirmation came with both legs already closed.
    bool closedAtEveryFailure() const
    {
        const QList<qint16> after = statesAtBox.mid(2);
        return std::all_of(after.begin(), after.end(), [](qint16 s) { return s == NetSocket::Closed; });
    }
};

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
        StalledServer stalled;
        QVERIFY(stalled.fd >= 0);
        Window win = loadWindow();
        startRelay(win, stalled.port);
        double cpu = -1, wall = 0;
        qint16 stateDuringWait = -1;
        QElapsedTimer clock;
        QTimer::singleShot(300, this, [&] {
            // Measure one second of the relay's wait, then let the server accept, so
            // the pending connect goes through.
            stateDuringWait = win->Sock->State();
            const double c0 = cpuSeconds();
            clock.start();
            QTimer::singleShot(1000, this, [&, c0] {
                cpu = cpuSeconds() - c0;
                wall = clock.elapsed() / 1000.0;
                stalled.Release();
            });
        });
        const QByteArray early("early\0data", 10);
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, stalled.port);
        client.write(early); // sent while the relay waits for its server
        QTRY_VERIFY_WITH_TIMEOUT(cpu >= 0, 10000);
        QCOMPARE(stateDuringWait, qint16(NetSocket::Connecting));
        QVERIFY2(cpu / wall < 0.05, qPrintable(QString::number(cpu / wall)));

        // The client's data was logged while waiting, then passed on in one piece.
        QTRY_VERIFY_WITH_TIMEOUT(win->txtRx->Text().endsWith(Connected), 15000);
        QCOMPARE(win->txtRx->Text(), LocalConnected + "early?data" + Connected);
        const int server = stalled.Accept();
        QVERIFY(server >= 0);
        auto got =
            std::async(std::launch::async, [&] { return raw::readAll(server, 5000, early.size()).data; });
        QTRY_VERIFY(raw::ready(got)); // the window sends meanwhile
        QCOMPARE(got.get(), early);
        ::close(server);
    }

    // What the client sends while the server connection is being made is held, in
    // order and within the back-pressure bound, and its end follows the data.
    void clientDataHeldWhileConnectingKeepsItsOrder()
    {
        for (const bool flood : {false, true}) {
            StalledServer stalled;
            QVERIFY(stalled.fd >= 0);
            Window win = loadWindow();
            startRelay(win, stalled.port);
            const QByteArray first = "first piece\r\n", second = raw::randomBytes(flood ? 24 << 20 : 64, 7);
            auto client = raw::connecting(stalled.port, [&](int c) {
                raw::writeAll(c, first);
                std::this_thread::sleep_for(std::chrono::milliseconds(100)); // two arrivals, not one
                raw::writeAll(c, second);
                ::shutdown(c, SHUT_WR);
                return raw::readAll(c);
            });
            qint64 worst = 0;
            QElapsedTimer t;
            t.start();
            while (t.elapsed() < 1000) {
                QTest::qWait(5);
                worst = qMax(worst, win->RelayPending.size());
            }
            QCOMPARE(win->Sock->State(), qint16(NetSocket::Connecting));
            QVERIFY2(worst <= 4 * 1024 * 1024 + NetSocket::ReadChunk, qPrintable(QString::number(worst)));
            stalled.Release();
            const int server = stalled.Accept();
            QVERIFY(server >= 0);
            auto atServer = std::async(std::launch::async, [server] { return raw::readAll(server); });
            QTRY_VERIFY_WITH_TIMEOUT(raw::ready(atServer), 30000);
            const raw::Received r = atServer.get();
            QVERIFY(r.ended);
            QCOMPARE(r.data.size(), first.size() + second.size());
            QVERIFY(r.data == first + second);
            ::close(server);
            QTRY_VERIFY_WITH_TIMEOUT(raw::ready(client), 10000);
            QVERIFY(client.get().ended);
            QTRY_VERIFY(!win->RelayActive);
            QCOMPARE(win.tk->boxes.size(), 1);
            // The held bytes are in the relay's conversation, towards its server.
            QTemporaryDir dir;
            QSignalSpy finished(win->txtRx, &LogPane::SaveFinished);
            win.tk->saveAs = dir.filePath(QStringLiteral("held.pcapng"));
            win->txtRx_SaveAs();
            QVERIFY(finished.wait(10000));
            QFile capture(win.tk->saveAs);
            QVERIFY(capture.open(QIODevice::ReadOnly));
            QList<pcapng::Packet> packets;
            QVERIFY(pcapng::read(capture.readAll(), packets));
            QByteArray toServer;
            for (const pcapng::Packet &p : std::as_const(packets))
                if (p.dport == stalled.port)
                    toServer += p.payload;
            QVERIFY(toServer == first + second);
        }
    }

    // A new session while the relay still waits for its server: what the relay's client
    // sent goes nowhere, and the new peer's connection is the user's alone.
    void heldDataNeverReachesALaterSession()
    {
        StalledServer stalled;
        QVERIFY(stalled.fd >= 0);
        Window win = loadWindow();
        startRelay(win, stalled.port);
        const int client = raw::connectTo(stalled.port);
        QVERIFY(client >= 0 && raw::writeAll(client, "meant for the first server"));
        ::shutdown(client, SHUT_WR);
        QTRY_VERIFY(win->txtRx->Text().contains("meant for"));

        QTcpServer other;
        QVERIFY(other.listen(QHostAddress::LocalHost, 0));
        win->txtIP->setText(QStringLiteral("127.0.0.1"));
        win->txtPort->setText(QString::number(other.serverPort()));
        win->cmdConnect->click();
        QVERIFY(!win->RelayActive);
        QTRY_VERIFY(other.hasPendingConnections() && win->Sock->State() == NetSocket::Connected);
        std::unique_ptr<QTcpSocket> peer(other.nextPendingConnection());
        stalled.Release(); // the first server could take the old connection now
        QTest::qWait(500);
        QCOMPARE(peer->bytesAvailable(), 0);
        QCOMPARE(peer->state(), QAbstractSocket::ConnectedState); // not half-closed by the old client's end
        QVERIFY(!win->txtRx->Text().endsWith(Connected));
        QVERIFY(raw::readAll(client, 2000).ended); // the old client was let go
        ::close(client);
        QCOMPARE(win.tk->boxes.size(), 1);
        // And the user's own session works.
        win->txtTx->setText(QStringLiteral("mine"));
        win->cmdSend->click();
        QByteArray got;
        QTRY_COMPARE(got += peer->readAll(), QByteArray("mine\r\n"));
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

    // The server answers and closes; the client reads the answer and its end but keeps
    // its socket open, as interactive clients do. The relay ends once the client has
    // been quiet for a moment, as a session ends: closed, and Auto Listen listening again.
    void serverThatAnswersAndClosesEndsTheRelay()
    {
        quint16 port = 0;
        const int listener = raw::server(port);
        QVERIFY(listener >= 0);
        Window win = loadWindow();
        win->txtPort->setText(QString::number(closedPort()));
        win->mnuListenAuto->trigger(); // Auto Listen armed and listening
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Listening));
        startRelay(win, port);
        auto server = raw::accepting(listener, [](int c) {
            const QByteArray request = raw::readAll(c, 5000, 7).data;
            raw::writeAll(c, "answer to " + request);
            return request;
        });
        std::promise<void> done;
        auto client = raw::connecting(port, [&done](int c) {
            raw::writeAll(c, "request");
            const raw::Received r = raw::readAll(c);
            done.get_future().wait_for(std::chrono::seconds(10)); // still connected meanwhile
            return r;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(server), 10000);
        QCOMPARE(server.get(), QByteArray("request"));
        QTRY_VERIFY_WITH_TIMEOUT(!win->RelayActive, 5000);
        QCOMPARE(win->Sniff->State(), qint16(NetSocket::Closed));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Listening));
        QCOMPARE(win->Sock->LocalPort(), qint32(port)); // the port field now holds the relay's port
        QVERIFY(!win->cmdSend->isEnabled());
        done.set_value();
        const raw::Received atClient = client.get();
        QVERIFY(atClient.ended);
        QCOMPARE(atClient.data, QByteArray("answer to request"));
        QCOMPARE(win.tk->boxes.size(), 1);
        win->cmdClose->click();
        QTRY_COMPARE(win->LblStats->accessibleName(), QStringLiteral("Default. Closed."));
        ::close(listener);
    }

    // A server that has ended while 5 MiB are still on their way to a slow client, which
    // ends a second after it has read them: each side gets all the other sent, and its
    // end, and then the relay is over.
    void serverEndWithDataQueuedForASlowClient()
    {
        quint16 port = 0;
        const int listener = raw::server(port);
        QVERIFY(listener >= 0);
        Window win = loadWindow();
        startRelay(win, port);
        const QByteArray answer = raw::randomBytes(5 << 20, 11);
        auto server = raw::accepting(listener, [&](int c) {
            raw::writeAll(c, answer);
            ::shutdown(c, SHUT_WR);
            return raw::readAll(c, 15000);
        });
        auto client = raw::connecting(port, [](int c) {
            raw::writeAll(c, "thanks");
            const int small = 16384;
            ::setsockopt(c, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
            raw::Received r;
            char buf[16384];
            for (int i = 0; i < 4000; ++i) { // about 16 MiB/s at most: a second or so
                if (!raw::readable(c, 10000))
                    break;
                const ssize_t n = ::recv(c, buf, sizeof buf, 0);
                if (n <= 0) {
                    r.ended = true;
                    break;
                }
                r.data.append(buf, n);
                std::this_thread::sleep_for(std::chrono::microseconds(500));
            }
            std::this_thread::sleep_for(std::chrono::seconds(1));
            ::shutdown(c, SHUT_WR);
            return r;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(client) && raw::ready(server), 30000);
        const raw::Received atClient = client.get(), atServer = server.get();
        QVERIFY(atClient.ended);
        QCOMPARE(atClient.data.size(), answer.size());
        QVERIFY(atClient.data == answer);
        QVERIFY(atServer.ended);
        QCOMPARE(atServer.data, QByteArray("thanks"));
        QTRY_VERIFY(!win->RelayActive);
        QCOMPARE(win.tk->boxes.size(), 1);
        ::close(listener);
    }

    // A client that goes on sending after the server has gone: the relay ends once,
    // through the close routine, with one box, and a new relay works.
    void clientSendingAfterTheServerHasGone()
    {
        quint16 port = 0;
        const int listener = raw::server(port);
        QVERIFY(listener >= 0);
        Watched watched(300);
        Window &win = watched.win;
        startRelay(win, port);
        auto server = raw::accepting(listener, [](int) { return true; }); // closes at once
        auto client = raw::connecting(port, [](int c) {
            int sent = 0;
            for (; sent < 500 && raw::writeAll(c, "more "); ++sent)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return sent;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(client), 15000);
        QVERIFY(client.get() < 500); // the client was let go
        QTRY_VERIFY(!win->RelayActive);
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QCOMPARE(win->Sniff->State(), qint16(NetSocket::Closed));
        QVERIFY(!win->cmdSend->isEnabled());
        QVERIFY(win.tk->boxes.size() <= 2); // the confirmation and at most one failure
        QVERIFY(watched.closedAtEveryFailure());
        QTRY_COMPARE(win->LblStats->accessibleName(), QStringLiteral("Default. Closed."));

        // A new relay works.
        startRelay(win, port);
        server = raw::accepting(listener, [](int c) { return raw::writeAll(c, "again"); });
        auto second = raw::connecting(port, [](int c) { return raw::readAll(c).data; });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(second), 10000);
        QCOMPARE(second.get(), QByteArray("again"));
        ::close(listener);
    }

    // The client ends its sending and then resets while the server floods it: one box
    // at most, shown only once both legs are closed, and the server is let go at once.
    void clientResetAfterItsEndWhileTheServerSends()
    {
        quint16 port = 0;
        const int listener = raw::server(port);
        QVERIFY(listener >= 0);
        Watched watched(1000);
        Window &win = watched.win;
        startRelay(win, port);
        auto server = raw::accepting(listener, [](int c) {
            const QByteArray chunk(65536, 'x');
            for (int i = 0; i < 20000 && raw::writeAll(c, chunk); ++i) {
            }
            return true;
        });
        auto client = raw::connecting(port, [](int c) {
            ::shutdown(c, SHUT_WR);
            raw::readAll(c, 5000, 1 << 20);
            const linger hard{1, 0};
            ::setsockopt(c, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
            return true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(client) && raw::ready(server), 20000);
        QTRY_VERIFY(!win->RelayActive);
        QVERIFY(win.tk->boxes.size() <= 2);
        QVERIFY(watched.closedAtEveryFailure());
        ::close(listener);
    }

    // After the client's end has been passed on, Send says why nothing can go to the
    // server, and the server's answer still reaches the client.
    void sendAfterTheClientHasEnded()
    {
        quint16 port = 0;
        const int listener = raw::server(port);
        QVERIFY(listener >= 0);
        Window win = loadWindow();
        startRelay(win, port);
        std::promise<void> answer;
        auto server = raw::accepting(listener, [&answer](int c) {
            const raw::Received r = raw::readAll(c);
            answer.get_future().wait_for(std::chrono::seconds(10));
            raw::writeAll(c, "the answer");
            return r;
        });
        auto client = raw::connecting(port, [](int c) {
            raw::writeAll(c, "question");
            ::shutdown(c, SHUT_WR);
            return raw::readAll(c);
        });
        QTRY_VERIFY(win->RelayClientEnded && win->cmdSend->isEnabled());
        win->txtTx->setText(QStringLiteral("typed"));
        win->cmdSend->click();
        QCOMPARE(win.tk->boxes.size(), 2);
        QVERIFY2(win.tk->boxes[1].text.contains(QStringLiteral("ended its sending")),
                 qPrintable(win.tk->boxes[1].text));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Connected));
        QCOMPARE(win->txtTx->text(), QStringLiteral("typed")); // kept for later
        answer.set_value();
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(client) && raw::ready(server), 10000);
        QCOMPARE(server.get().data, QByteArray("question"));
        QCOMPARE(client.get().data, QByteArray("the answer"));
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
