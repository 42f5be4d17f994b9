#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <QHostInfo>
#include <QNetworkDatagram>

#include "Peer.h"
#include "platform/LogPane.h"
#include "platform/NetSocket.h"

namespace
{
const QString CrLf = QStringLiteral("\r\n");

QString portBox(const QString &p)
{
    return QStringLiteral("The port number \"") + p + QStringLiteral("\" is invalid.") + CrLf +
           QStringLiteral("Port range must be between 1 and 65,535");
}
} // namespace

class tst_Session : public QObject
{
    Q_OBJECT
private slots:
    void portOutOfRange_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("shown");
        QTest::newRow("65536") << "65536"
                               << "65536";
        QTest::newRow("0") << "0"
                           << "0";
        QTest::newRow("empty") << ""
                               << "0";
        QTest::newRow("abc") << "abc"
                             << "0";
        QTest::newRow("-5") << "-5"
                            << "-5";
        QTest::newRow("0.5") << "0.5"
                             << "0.5";
        QTest::newRow("70000") << "70000"
                               << "70000";
        QTest::newRow("1e20") << "1e20"
                              << "1E+20";
    }
    void portOutOfRange()
    {
        QFETCH(QString, text);
        QFETCH(QString, shown);
        for (const QString &protocol : {QStringLiteral("TCP"), QStringLiteral("UDP")}) {
            Window win = loadWindow();
            win->ComboType->setCurrentText(protocol);
            win->txtPort->setText(text);
            win->cmdConnect->click();
            QCOMPARE(win.tk->boxes.size(), 1);
            QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Connect error..."));
            QCOMPARE(win.tk->boxes[0].icon, Toolkit::Critical);
            QCOMPARE(win.tk->boxes[0].text, portBox(shown));
            QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
            QVERIFY(!win->cmdSend->isEnabled());
        }
    }

    void tcpConnectReachesListener()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        // Trailing letters are ignored over TCP; 65535 passes the range check.
        for (const QString &suffix : {QString(), QStringLiteral("abc")}) {
            Window win = loadWindow();
            win->txtPort->setText(QString::number(server.serverPort()) + suffix);
            win->cmdConnect->click();
            QVERIFY(!win->cmdSend->isEnabled()); // only once the connection is up
            QTRY_VERIFY(win->cmdSend->isEnabled() && server.hasPendingConnections());
            QCOMPARE(win->Sock->RemotePort(), qint32(server.serverPort()));
            delete server.nextPendingConnection();
            win->txtPort->setText(QStringLiteral("65535"));
            win->cmdConnect->click();
            QVERIFY(win.tk->boxes.isEmpty());
        }
    }

    void asynchronousFailuresCloseThenReport_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("named"); // what the description must name
        QTest::addColumn<QString>("number");
        QTest::newRow("refused") << "127.0.0.1"
                                 << "127.0.0.1"
                                 << "10061";
        QTest::newRow("unknown host") << "nosuch.invalid"
                                      << "nosuch.invalid"
                                      << "11001";
    }
    void asynchronousFailuresCloseThenReport()
    {
        QFETCH(QString, host);
        QFETCH(QString, named);
        QFETCH(QString, number);
        // The first asynchronous lookup starts the resolver's thread, which keeps an eventfd open.
        bool warmedUp = false;
        QHostInfo::lookupHost(QStringLiteral("warm-up.invalid"), this,
                              [&](const QHostInfo &) { warmedUp = true; });
        QTRY_VERIFY(warmedUp);
        const int fds = openDescriptors();
        {
            Window win = loadWindow();
            win->txtIP->setText(host);
            win->txtPort->setText(QString::number(closedPort()));
            qint16 stateWhenShown = -1;
            win.tk->onBox = [&](const FakeToolkit::Box &) { stateWhenShown = win->Sock->State(); };
            win->cmdConnect->click();
            QTRY_COMPARE_WITH_TIMEOUT(win.tk->boxes.size(), 1, 20000);
            const FakeToolkit::Box box = win.tk->boxes[0];
            QCOMPARE(box.title, QStringLiteral("Error in Connection"));
            QCOMPARE(box.icon, Toolkit::Critical);
            QVERIFY2(box.text.startsWith(QStringLiteral("Error #: ") + number + CrLf), qPrintable(box.text));
            QVERIFY(box.text.contains(named));
            QCOMPARE(stateWhenShown, qint16(NetSocket::Closed)); // closed before the box
            QVERIFY(!win->cmdSend->isEnabled());
        }
        QCOMPARE(openDescriptors(), fds);
    }

    void emptyAddressFailsOnTheConnectPath()
    {
        Window win = loadWindow();
        win->txtIP->clear();
        win->cmdConnect->click();
        QCOMPARE(win.tk->boxes.size(), 1);
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Connect error..."));
        QCOMPARE(win.tk->boxes[0].icon, Toolkit::Exclamation);
        QVERIFY(win.tk->boxes[0].text.startsWith(QStringLiteral("Connect error: 10022") + CrLf));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
    }

    void peerClosingEndsTheSession()
    {
        auto s = connectedSession(false);
        QVERIFY(s);
        QVERIFY(s->win->cmdSend->isEnabled());
        s->peer->disconnectFromHost();
        QTRY_VERIFY(!s->win->cmdSend->isEnabled());
        QCOMPARE(s->win->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(s->win.tk->boxes.isEmpty());
    }

    void connectDuringSessionClosesItFirst()
    {
        auto s = connectedSession(false);
        QVERIFY(s);
        s->win->cmdConnect->click();
        QVERIFY(!s->win->cmdSend->isEnabled());
        QTRY_COMPARE(s->peer->state(), QAbstractSocket::UnconnectedState);
        QTRY_VERIFY(s->server.hasPendingConnections());
        QTRY_VERIFY(s->win->cmdSend->isEnabled());
    }

    void closeButtonUnchecksAutoListen()
    {
        Window win = loadWindow();
        win->mnuListenAuto->setChecked(true);
        win->AutoListenArmed = true;
        win->cmdClose->click();
        QVERIFY(!win->mnuListenAuto->isChecked());
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
    }

    void udpSessionCarriesDatagrams()
    {
        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        Window win = loadWindow();
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtPort->setText(QString::number(peer.localPort()));
        win->cmdConnect->click();
        QVERIFY(win.tk->boxes.isEmpty());
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Open));
        QVERIFY(win->cmdSend->isEnabled());
        QCOMPARE(win->Sock->RemotePort(), qint32(peer.localPort()));

        win->Sock->SendData(QByteArray("ping\0pong", 9));
        auto next = [&] {
            QNetworkDatagram d;
            for (int i = 0; i < 500 && !(d = peer.receiveDatagram()).isValid(); ++i)
                QTest::qWait(10);
            return d;
        };
        QCOMPARE(next().data(), QByteArray()); // the empty datagram that opened the socket
        const QNetworkDatagram got = next();
        QCOMPARE(got.data(), QByteArray("ping\0pong", 9));

        QSignalSpy arrivals(win->Sock, &NetSocket::DataArrival);
        peer.writeDatagram(got.makeReply(QByteArray("x\0y", 3)));
        QTRY_COMPARE(win->txtRx->Text(), QByteArray("x?y"));
        QCOMPARE(arrivals.size(), 1);
        QCOMPARE(arrivals[0][0].toLongLong(), 3);
    }

    void statusNamesOnlyTheCurrentPeer()
    {
        // After a TCP session the old peer's address must not linger in the status line.
        auto s = connectedSession(false);
        QVERIFY(s);
        Window &win = s->win;
        QCOMPARE(win->StatusText(), QStringLiteral("Connected to 127.0.0.1"));
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtPort->setText(QString::number(closedPort()));
        win->cmdListen->click(); // bound, no peer yet
        QCOMPARE(win->StatusText(), QStringLiteral("Open. "));
        win->txtIP->setText(QStringLiteral("127.0.0.2"));
        win->cmdConnect->click(); // datagrams go to 127.0.0.2
        QCOMPARE(win->StatusText(), QStringLiteral("Open. 127.0.0.2"));
        win->cmdClose->click();
        QCOMPARE(win->Sock->RemoteHostIP(), QString());
    }

    void udpPortReadings()
    {
        Window win = loadWindow();
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtPort->setText(QStringLiteral("1.5"));
        win->cmdConnect->click();
        QVERIFY(win.tk->boxes.isEmpty());
        QCOMPARE(win->Sock->RemotePort(), 2);

        win->txtPort->setText(QStringLiteral("80abc")); // passes the range check, not the strict reading
        win->cmdConnect->click();
        QCOMPARE(win.tk->boxes.size(), 1);
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Connect error..."));
        QCOMPARE(win.tk->boxes[0].icon, Toolkit::Exclamation);
        QVERIFY(win.tk->boxes[0].text.startsWith(QStringLiteral("Connect error: 13") + CrLf));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(!win->cmdSend->isEnabled());
    }

    void protocolChoice()
    {
        auto s = connectedSession(false);
        QVERIFY(s);
        frmMain *w = s->win.w.get();
        QCOMPARE(w->ComboType->currentText(), QStringLiteral("TCP"));
        w->ComboType_Click(); // the protocol in force: nothing changes
        QCOMPARE(w->Sock->State(), qint16(NetSocket::Connected));
        QVERIFY(w->cmdSend->isEnabled());

        w->ComboType->setCurrentText(QStringLiteral("UDP"));
        QCOMPARE(w->Sock->Protocol(), qint32(NetSocket::UDP));
        QCOMPARE(w->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(!w->cmdSend->isEnabled());
        QTRY_COMPARE(s->peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(w->Sniff->Protocol(), qint32(NetSocket::TCP)); // the relay socket is not touched
    }
};

QTEST_MAIN(tst_Session)
#include "tst_session.moc"
