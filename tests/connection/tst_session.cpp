// Sessions as the window runs them: connect, listen, auto listen, UDP and the status line.
#include <QAction>
#include <QComboBox>
#include <QHostInfo>
#include <QLabel>
#include <QNetworkDatagram>
#include <QUdpSocket>

#include "Fixture.h"
#include "platform/LogPane.h"

class tst_Session : public QObject
{
    Q_OBJECT
private slots:
    void portOutOfRange()
    {
        // Pairs of what is typed and what the box shows.
        const QStringList cases{"65536", "65536", "",    "0",   "abc", "0",
                                "-5",    "-5",    "0.5", "0.5", "1e9", "1000000000"};
        for (qsizetype i = 0; i < cases.size(); i += 2) {
            for (const char *protocol : {"TCP", "UDP"}) {
                Window win = loadWindow();
                win->ComboType->setCurrentText(protocol);
                win->txtPort->setText(cases[i]);
                win->cmdConnect->click();
                QCOMPARE(win.tk->boxes.size(), 1);
                QCOMPARE(win.tk->boxes[0].text, QStringLiteral("The port number \"%1\" is invalid.\r\n"
                                                               "Port range must be between 1 and 65,535")
                                                    .arg(cases[i + 1]));
                QVERIFY(win->Sock->State() == NetSocket::Closed && !win->cmdSend->isEnabled());
            }
        }
    }

    // Failures the connect and listen routines meet themselves: one box, and the socket stays closed.
    void immediateFailures()
    {
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::Any, 0));
        const QString inUse = QString::number(taken.serverPort());
        // Protocol, address, port, listen (or connect), the start of the box.
        using Row = std::tuple<QString, QString, QString, bool, QString>;
        for (const auto &[protocol, address, port, listen, box] :
             {Row{"TCP", "", "80", false, "Connect error: 10022\r\n"},
              Row{"UDP", "127.0.0.1", "80abc", false, "Connect error: 13\r\n"}, // passes the range check only
              Row{"TCP", "", "abc", true, "Listen error:\r\n"},
              Row{"TCP", "", inUse, true, "Listen error:\r\n"}}) {
            Window win = loadWindow();
            win->mnuListenAuto->setChecked(true); // a failed listen unchecks it, with no retry loop
            win->ComboType->setCurrentText(protocol);
            win->txtIP->setText(address);
            win->txtPort->setText(port);
            (listen ? win->cmdListen : win->cmdConnect)->click();
            QCOMPARE(win.tk->boxes.size(), 1);
            const QString text = win.tk->boxes[0].text;
            QVERIFY2(text.startsWith(box) && (port != inUse || text.contains(inUse)), qPrintable(text));
            QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
            QVERIFY(!win->cmdSend->isEnabled());
            QCOMPARE(win->mnuListenAuto->isChecked(), !listen);
        }
    }

    // A refused connection and an unknown host: closed before the box, and nothing left open.
    void asynchronousFailuresCloseThenReport()
    {
        // The first asynchronous lookup starts the resolver's thread, which keeps an eventfd open.
        bool warmedUp = false;
        QHostInfo::lookupHost(QStringLiteral("warm-up.invalid"), this,
                              [&](const QHostInfo &) { warmedUp = true; });
        QTRY_VERIFY(warmedUp);
        const int fds = openDescriptors();
        for (const auto &[host, number] : {std::pair{"127.0.0.1", 10061}, {"nosuch.invalid", 11001}}) {
            Window win = loadWindow();
            win->txtIP->setText(host);
            win->txtPort->setText(QString::number(closedPort()));
            qint16 stateWhenShown = -1;
            win.tk->onBox = [&](const FakeToolkit::Box &) { stateWhenShown = win->Sock->State(); };
            win->cmdConnect->click();
            QTRY_COMPARE_WITH_TIMEOUT(win.tk->boxes.size(), 1, 20000);
            const QString text = win.tk->boxes[0].text;
            QVERIFY2(text.startsWith(QStringLiteral("Error #: %1\r\n").arg(number)) && text.contains(host),
                     qPrintable(text));
            QCOMPARE(stateWhenShown, qint16(NetSocket::Closed));
        }
        QCOMPARE(openDescriptors(), fds);
    }

    // Connect during a session closes it first, then connects anew (trailing letters in the
    // port are ignored over TCP); a change of protocol closes it.
    void connectOrProtocolChangeDuringASession()
    {
        auto s = connectedSession(false);
        QVERIFY(s);
        Window &win = s->win;
        win->ComboType_Click(); // the protocol in force: nothing changes
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Connected));
        win->txtPort->setText(QString::number(s->server.serverPort()) + QStringLiteral("abc"));
        win->cmdConnect->click();
        QVERIFY(!win->cmdSend->isEnabled());
        QTRY_COMPARE(s->peer->state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(s->server.hasPendingConnections() && win->cmdSend->isEnabled());
        s->peer.reset(s->server.nextPendingConnection());
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        QVERIFY(!win->cmdSend->isEnabled() && win->Sock->State() == NetSocket::Closed);
        QTRY_COMPARE(s->peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(win->Sniff->Protocol(), qint32(NetSocket::TCP)); // the relay socket is not touched

        win->ComboType->setCurrentText(QStringLiteral("TCP"));
        win->txtPort->setText(QStringLiteral("65535")); // the top of the range is a port
        win->cmdConnect->click();
        QVERIFY(win.tk->boxes.isEmpty() && win->Sock->State() != NetSocket::Closed);
    }

    void listenServesOnePeerAtATime()
    {
        Window win = loadWindow(QString(), true);
        QVERIFY(QTest::qWaitForWindowActive(win.w.get()));
        const quint16 port = closedPort(), next = closedPort();
        win->txtPort->setText(QString::number(port));
        win->mnuListenAuto->trigger(); // checks the item and listens at once
        QCOMPARE(win->StatusText(), QStringLiteral("Listening on port %1...").arg(port));
        QTcpSocket client, second;
        client.connectToHost(QHostAddress::LocalHost, port);
        QTRY_VERIFY(win->cmdSend->isEnabled() && QApplication::focusWidget() == win->txtTx);
        second.connectToHost(QHostAddress::LocalHost, port); // one peer per listen: refused
        QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState);
        // The peer leaves: listening again, on the port the field holds now.
        win->txtPort->setText(QString::number(next));
        client.disconnectFromHost();
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Listening));
        QCOMPARE(win->Sock->LocalPort(), qint32(next));
        QVERIFY(!win->cmdSend->isEnabled());

        // Unchecked during a session: the socket stays closed after the peer leaves.
        QTcpSocket again;
        again.connectToHost(QHostAddress::LocalHost, next);
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Connected));
        win->mnuListenAuto->trigger();
        again.disconnectFromHost();
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QTest::qWait(150);
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(win.tk->boxes.isEmpty());
    }

    void nestedListenStopsAfterOneLevel()
    {
        Window win = loadWindow();
        win->txtPort->setText(QString::number(closedPort()));
        win->mnuListenAuto->trigger();
        // Connect now re-listens from its close routine on a port that cannot be read.
        win->txtPort->setText(QStringLiteral("abc"));
        win->cmdConnect->click();
        QCOMPARE(win.tk->boxes.size(), 2);
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Listen error..."));
        QCOMPARE(win.tk->boxes[1].title, QStringLiteral("Connect error..."));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
    }

    // Over UDP, Connect opens the socket and puts nothing on the wire; switched to UDP while
    // auto listening, the window is bound again and answers whoever sent.
    void udpConnectAndListen()
    {
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        Window win = loadWindow();
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtPort->setText(QString::number(peer.localPort()));
        win->cmdConnect->click();
        QVERIFY(win->cmdSend->isEnabled() && win->Sock->State() == NetSocket::Open);
        QVERIFY(!peer.waitForReadyRead(300)); // no datagram the peer never asked for
        win->txtTx->setText(QStringLiteral("first"));
        win->cmdSend->click();
        QVERIFY(peer.waitForReadyRead(5000));
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("first\r\n"));

        win->ComboType->setCurrentText(QStringLiteral("TCP"));
        win->txtPort->setText(QString::number(closedPort()));
        win->mnuListenAuto->trigger();
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        QVERIFY(win->cmdSend->isEnabled() && win->Sock->State() == NetSocket::Open);
        win->txtRx->Clear();
        peer.writeDatagram("question\n", QHostAddress::LocalHost, quint16(win->Sock->LocalPort()));
        QTRY_COMPARE(win->txtRx->Text(), QByteArray("question\r\n"));
        win->txtTx->setText(QStringLiteral("answer"));
        win->cmdSend->click();
        QVERIFY(peer.waitForReadyRead(5000));
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("answer\r\n"));
    }

    // Over UDP an unknown name does not hold the window: Connect returns at once with the
    // socket open, and the failure comes later as the error box.
    void udpUnknownHostIsReportedLater()
    {
        Window win = loadWindow();
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtIP->setText(QStringLiteral("no-such-host.invalid"));
        win->txtPort->setText(QString::number(closedPort()));
        qint16 stateWhenShown = -1;
        win.tk->onBox = [&](const FakeToolkit::Box &) { stateWhenShown = win->Sock->State(); };
        win->cmdConnect->click();
        QVERIFY(win.tk->boxes.isEmpty() && win->cmdSend->isEnabled());
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Open));
        QTRY_COMPARE_WITH_TIMEOUT(win.tk->boxes.size(), 1, 20000);
        QCOMPARE(win.tk->boxes[0].text,
                 QStringLiteral("Error #: 11001\r\nHost not found: no-such-host.invalid."));
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Error in Connection"));
        QCOMPARE(stateWhenShown, qint16(NetSocket::Closed));
        QVERIFY(!win->cmdSend->isEnabled());
    }

    // The peer's address is the far end's, whichever side connected: 127.0.0.2 talks
    // from 127.0.0.1's neighbour, so this end's own address would show as 127.0.0.1.
    void peerIsTheFarEnd()
    {
        const QHostAddress other(QStringLiteral("127.0.0.2"));
        QTcpServer server;
        if (!server.listen(other, 0))
            QSKIP("127.0.0.2 is not usable here");
        Window win = loadWindow();
        win->txtIP->setText(other.toString());
        win->txtPort->setText(QString::number(server.serverPort()));
        win->cmdConnect->click();
        QTRY_VERIFY(win->Sock->State() == NetSocket::Connected && server.hasPendingConnections());
        QCOMPARE(win->Sock->RemoteHostIP(), other.toString());
        QCOMPARE(win->StatusText(), QStringLiteral("Connected to 127.0.0.2"));
        QTRY_COMPARE(win->LblStats->text(), QStringLiteral("Connected to 127.0.0.2"));

        // Listening: a client that talks from 127.0.0.2.
        Window listener = loadWindow();
        listener->txtPort->setText(QString::number(closedPort()));
        listener->cmdListen->click();
        QTcpSocket client;
        QVERIFY(client.bind(other, 0));
        client.connectToHost(QHostAddress::LocalHost, quint16(listener->Sock->LocalPort()));
        QTRY_COMPARE(listener->Sock->State(), qint16(NetSocket::Connected));
        QCOMPARE(listener->Sock->RemoteHostIP(), other.toString());
        QTRY_COMPARE(listener->LblStats->text(), QStringLiteral("Connected to 127.0.0.2"));
    }

    // "80." in the port field is port 80 for Connect (TCP and UDP) and for Listen alike.
    void portWithATrailingPoint()
    {
        QTcpServer server;
        QUdpSocket peer;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0) && peer.bind(QHostAddress::LocalHost, 0));
        Window win = loadWindow();
        win->txtIP->setText(QStringLiteral("127.0.0.1"));
        win->txtPort->setText(QString::number(server.serverPort()) + u'.');
        win->cmdConnect->click();
        QTRY_VERIFY(server.hasPendingConnections() && win->Sock->State() == NetSocket::Connected);

        const quint16 port = closedPort();
        win->txtPort->setText(QString::number(port) + u'.');
        win->cmdListen->click();
        QCOMPARE(win->StatusText(), QStringLiteral("Listening on port %1...").arg(port));

        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtPort->setText(QString::number(peer.localPort()) + u'.');
        win->cmdConnect->click();
        QCOMPARE(win->Sock->RemotePort(), qint32(peer.localPort()));
        win->txtTx->setText(QStringLiteral("x"));
        win->cmdSend->click();
        QVERIFY(QTest::qWaitFor([&] { return peer.hasPendingDatagrams(); }, 5000));
        QCOMPARE(peer.receiveDatagram().data(), QByteArray("x\r\n"));
        QVERIFY(win.tk->boxes.isEmpty());
    }

    void statusLine()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::Any, 0));
        Window win = loadWindow();
        QStringList seen; // what the status tick has shown
        connect(win->TimerStat, &QTimer::timeout, win.w.get(), [&] { seen << win->LblStats->text(); });
        win->txtIP->setText(QStringLiteral("localhost"));
        win->txtPort->setText(QString::number(server.serverPort()));
        win->cmdConnect->click();
        QCOMPARE(win->StatusText(), QStringLiteral("Resolving Host..."));
        QTRY_VERIFY(seen.contains(QStringLiteral("Connected to 127.0.0.1 (localhost)")) ||
                    seen.contains(QStringLiteral("Connected to ::1 (localhost)")));
        win->txtIP->setText(QStringLiteral("127.0.0.1"));
        win->cmdConnect->click();
        QTRY_VERIFY(seen.contains(QStringLiteral("Connected to 127.0.0.1")));
        while (server.hasPendingConnections()) // the peer closes: the line reads closed again
            delete server.nextPendingConnection();
        QTRY_COMPARE(win->LblStats->text(), QStringLiteral("Default. Closed."));

        // Over UDP the line names the peer datagrams go to, and never an earlier one.
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtPort->setText(QString::number(closedPort()));
        win->cmdListen->click(); // bound, no peer yet
        QCOMPARE(win->StatusText(), QStringLiteral("Open. "));
        win->txtIP->setText(QStringLiteral("127.0.0.2"));
        win->cmdConnect->click();
        QTRY_COMPARE(win->LblStats->text(), QStringLiteral("Open. 127.0.0.2"));
        QCOMPARE(win->LblStats->accessibleName(), win->LblStats->text());
    }
};

QTEST_MAIN(tst_Session)
#include "tst_session.moc"
