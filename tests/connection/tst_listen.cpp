#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>

#include "Fixture.h"
#include "platform/LogPane.h"
#include "platform/NetSocket.h"

class tst_Listen : public QObject
{
    Q_OBJECT
private slots:
    void tcpListenServesOnePeer()
    {
        Window win = loadWindow(QString(), true);
        QVERIFY(QTest::qWaitForWindowActive(win.w.get()));
        const quint16 port = closedPort();
        win->txtPort->setText(QString::number(port));
        win->cmdListen->click();
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Listening));
        QCOMPARE(win->StatusText(), QStringLiteral("Listening on port %1...").arg(port));
        QVERIFY(!win->cmdSend->isEnabled());
        QVERIFY(!win->AutoListenArmed);

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, port);
        QVERIFY(client.waitForConnected(5000));
        QTRY_VERIFY(win->cmdSend->isEnabled());
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Connected));
        QTRY_COMPARE(QApplication::focusWidget(), win->txtTx);
        QTest::keyClicks(win->txtTx, QStringLiteral("hi"));
        QTest::keyClick(win->txtTx, Qt::Key_Return);
        QTRY_COMPARE(client.bytesAvailable(), qint64(4));
        QCOMPARE(client.readAll(), QByteArray("hi\r\n"));
        client.write("back");
        QTRY_COMPARE(win->txtRx->Text(), QByteArray("hi\r\nback"));

        // One peer per listen: a second client is not served.
        QTcpSocket second;
        second.connectToHost(QHostAddress::LocalHost, port);
        QTRY_COMPARE(second.state(), QAbstractSocket::UnconnectedState); // refused: nobody listens
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Connected));

        client.disconnectFromHost();
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(!win->cmdSend->isEnabled());
        QVERIFY(win.tk->boxes.isEmpty());
    }

    void autoListenListensAgainOnTheCurrentPort()
    {
        Window win = loadWindow();
        const quint16 first = closedPort();
        win->txtPort->setText(QString::number(first));
        win->mnuListenAuto->trigger(); // checks the item and listens at once
        QVERIFY(win->mnuListenAuto->isChecked());
        QVERIFY(win->AutoListenArmed);
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Listening));

        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, first);
        QVERIFY(client.waitForConnected(5000));
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Connected));
        const quint16 second = closedPort();
        win->txtPort->setText(QString::number(second)); // changed during the session
        client.disconnectFromHost();
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Listening));
        QCOMPARE(win->Sock->LocalPort(), qint32(second));
        QTcpSocket again;
        again.connectToHost(QHostAddress::LocalHost, second);
        QVERIFY(again.waitForConnected(5000));
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Connected));

        // Unchecked during a session: the socket stays closed after the peer leaves.
        win->mnuListenAuto->trigger();
        QVERIFY(!win->mnuListenAuto->isChecked());
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Connected));
        again.disconnectFromHost();
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QTest::qWait(150);
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(win.tk->boxes.isEmpty());
    }

    void listenFailures_data()
    {
        QTest::addColumn<bool>("occupy");
        QTest::addColumn<QString>("text");
        QTest::newRow("letters") << false << "abc";
        QTest::newRow("empty") << false << "";
        QTest::newRow("too large") << false << "70000";
        QTest::newRow("in use") << true << "";
    }
    void listenFailures()
    {
        QFETCH(bool, occupy);
        QFETCH(QString, text);
        QTcpServer other;
        if (occupy) {
            QVERIFY(other.listen(QHostAddress::Any, 0));
            text = QString::number(other.serverPort());
        }
        Window win = loadWindow();
        win->mnuListenAuto->setChecked(true);
        win->txtPort->setText(text);
        win->cmdListen->click();
        QCOMPARE(win.tk->boxes.size(), 1); // no retry loop
        const FakeToolkit::Box box = win.tk->boxes[0];
        QCOMPARE(box.title, QStringLiteral("Listen error..."));
        QCOMPARE(box.icon, Toolkit::Exclamation);
        QVERIFY(box.text.startsWith(QStringLiteral("Listen error:\r\n")));
        QVERIFY(box.text.size() > 20);
        if (occupy)
            QVERIFY2(box.text.contains(text), qPrintable(box.text));
        QVERIFY(!win->mnuListenAuto->isChecked());
        QVERIFY(!win->AutoListenArmed);
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
    }

    void nestedListenStopsAfterOneLevel()
    {
        Window win = loadWindow();
        win->txtPort->setText(QString::number(closedPort()));
        win->mnuListenAuto->trigger();
        QVERIFY(win->AutoListenArmed);
        // Connect now re-listens from its close routine on a port that cannot be read.
        win->txtPort->setText(QStringLiteral("abc"));
        win->cmdConnect->click();
        QCOMPARE(win.tk->boxes.size(), 2);
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Listen error..."));
        QCOMPARE(win.tk->boxes[1].text.section(QStringLiteral("\r\n"), 0, 0),
                 QStringLiteral("The port number \"0\" is invalid."));
        QVERIFY(!win->mnuListenAuto->isChecked());
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
    }

    void udpListenAnswersTheSender()
    {
        Window win = loadWindow(QString(), true);
        const quint16 port = closedPort();
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtPort->setText(QString::number(port));
        win->cmdListen->click();
        QVERIFY(win.tk->boxes.isEmpty());
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Open));
        QVERIFY(win->cmdSend->isEnabled()); // at once

        QUdpSocket peer;
        QVERIFY(peer.bind(QHostAddress::LocalHost, 0));
        peer.writeDatagram("question\n", QHostAddress::LocalHost, port);
        QTRY_COMPARE(win->txtRx->Text(), QByteArray("question\r\n"));
        win->txtTx->setText(QStringLiteral("answer"));
        win->cmdSend->click();
        QTRY_VERIFY(peer.hasPendingDatagrams());
        QByteArray d(int(peer.pendingDatagramSize()), 0);
        peer.readDatagram(d.data(), d.size());
        QCOMPARE(d, QByteArray("answer\r\n"));
    }

    void protocolSwitchWhileAutoListening()
    {
        Window win = loadWindow();
        win->txtPort->setText(QString::number(closedPort()));
        win->mnuListenAuto->trigger();
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Listening));
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        QCOMPARE(win->Sock->Protocol(), qint32(NetSocket::UDP));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Open)); // bound again over UDP
        QVERIFY(win->cmdSend->isEnabled());
    }

    void buttonPopups()
    {
        Window win = loadWindow(QString(), true);
        QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
        QTest::mouseClick(win->cmdConnect, Qt::RightButton);
        QTest::mouseClick(win->cmdListen, Qt::RightButton);
        QCOMPARE(win.tk->popups.size(), 2);
        QCOMPARE(win.tk->popups[0].menu, QStringLiteral("mnuPopup"));
        QCOMPARE(win.tk->popups[0].defaultItem, QString());
        QCOMPARE(win.tk->popups[1].menu, QStringLiteral("mnuListen"));
        win->txtPort->setText(QStringLiteral("abc")); // a left click connects and opens no menu
        QTest::mouseClick(win->cmdConnect, Qt::LeftButton);
        QCOMPARE(win.tk->popups.size(), 2);
        QCOMPARE(win.tk->boxes.size(), 1);
    }
};

QTEST_MAIN(tst_Listen)
#include "tst_listen.moc"
