#include <QFile>
#include <QProcess>
#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include "Fixture.h"
#include "platform/LogPane.h"
#include "platform/NetSocket.h"
#include "platform/Twips.h"

using Twips::Rect;

class tst_Window : public QObject
{
    Q_OBJECT
private slots:
    // What a user finds at start: texts, defaults, the tab order, menus and the
    // names assistive technology reads. Geometry is checked by layoutFigures.
    void controlsAtCreation()
    {
        Window win = loadWindow();
        frmMain *w = win.w.get();
        QCOMPARE(w->windowTitle(), QStringLiteral("Wirebench"));
        const QList<QWidget *> order{w->txtIP,    w->txtPort,   w->ComboType, w->cmdConnect,
                                     w->cmdClose, w->cmdListen, w->cmdAbout,  w->txtRx,
                                     w->txtTx,    w->cmdSend,   w->cCrLf};
        const QStringList captions{"127.0.0.1", "80", "TCP", "&Connect", "C&lose",   "L&isten",
                                   "A&bout",    "",   "",    "&Send",    "Use CR/LF"};
        for (qsizetype i = 0; i < order.size(); ++i) {
            QString caption;
            if (auto *b = qobject_cast<QAbstractButton *>(order[i]))
                caption = b->text();
            else if (auto *l = qobject_cast<QLineEdit *>(order[i]))
                caption = l->text();
            else if (auto *c = qobject_cast<QComboBox *>(order[i]))
                caption = c->currentText();
            QCOMPARE(caption, captions[i]);
            if (i > 0) { // tab order, skipping the inner parts of composite controls
                QWidget *next = order[i - 1]->nextInFocusChain();
                while (next && next->parentWidget() != w)
                    next = next->nextInFocusChain();
                QCOMPARE(next, order[i]);
            }
        }
        QCOMPARE(w->ComboType->itemText(1), QStringLiteral("UDP"));
        QVERIFY(!w->cmdSend->isEnabled() && w->cCrLf->isChecked());
        QCOMPARE(w->LblStats->text(), QStringLiteral("Default. Closed."));
        QCOMPARE(w->mnuPopup->actions(), (QList<QAction *>{w->mnuPopupSniff, w->mnuPopupBind}));
        QCOMPARE(w->mnuPopupSniff->text(), QStringLiteral("Sniffer..."));
        QCOMPARE(w->mnuPopupBind->text(), QStringLiteral("Bind to IP..."));
        QCOMPARE(w->mnuListenAuto->text(), QStringLiteral("Auto Listen"));
        QVERIFY(w->mnuListenAuto->isCheckable() && !w->mnuListenAuto->isChecked());
        QCOMPARE(w->txtIP->accessibleName(), QStringLiteral("Address"));
        QCOMPARE(w->txtPort->accessibleName(), QStringLiteral("Port"));
        QCOMPARE(w->txtTx->accessibleName(), QStringLiteral("Text to send"));
        QCOMPARE(w->txtRx->accessibleName(), QStringLiteral("Log"));
        QCOMPARE(w->LblStats->accessibleDescription(), QStringLiteral("Connection status"));
        QVERIFY(win.tk->boxes.isEmpty());
    }

    void startUpSelectsAndFocusesAddress()
    {
        Window win = loadWindow(QString(), true);
        QVERIFY(QTest::qWaitForWindowActive(win.w.get()));
        QCOMPARE(QApplication::focusWidget(), win->txtIP);
        QCOMPARE(win->txtIP->selectedText(), QStringLiteral("127.0.0.1"));
        QCOMPARE(win->txtPort->selectedText(), QStringLiteral("80"));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
    }

    void accessKeysPressButtons()
    {
        Window win = loadWindow(QString(), true);
        QVERIFY(QTest::qWaitForWindowActive(win.w.get()));
        QTest::keyClick(win.w.get(), Qt::Key_B, Qt::AltModifier);
        QTRY_COMPARE(win.tk->boxes.size(), 1); // the button animates its click first
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("About Wirebench (1.2.62)..."));
    }

    void commandLineConnectsBeforeShowing()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress(QStringLiteral("127.0.0.2")), 0));
        const QString port = QString::number(server.serverPort());
        for (const QString &command : {QStringLiteral("127.0.0.2:") + port,
                                       QStringLiteral(" 127.0.0.2 : ") + port + QStringLiteral(" ")}) {
            Window win = loadWindow(command);
            QVERIFY(!win->isVisible());
            QCOMPARE(win->txtIP->text(), QStringLiteral("127.0.0.2"));
            QCOMPARE(win->txtPort->text(), port);
            QVERIFY(win->Sock->State() != NetSocket::Closed); // the connection has started
            win->show();
            QVERIFY(QTest::qWaitForWindowActive(win.w.get()));
            QTRY_VERIFY(server.hasPendingConnections());
            QTRY_VERIFY(win->cmdSend->isEnabled());
            QTRY_COMPARE(QApplication::focusWidget(), win->txtTx);
            delete server.nextPendingConnection();
            QVERIFY(win.tk->boxes.isEmpty());
        }
    }

    void commandLineForms_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("box"); // first line of the box the connect routine shows, if any
        QTest::newRow("address alone") << "127.0.0.2"
                                       << "127.0.0.2"
                                       << "80"
                                       << "";
        QTest::newRow("colon and port") << ":23"
                                        << ""
                                        << "23"
                                        << "Connect error: ";
        QTest::newRow("colon at end") << "127.0.0.2:"
                                      << "127.0.0.2"
                                      << ""
                                      << "The port number \"0\" is invalid.";
        QTest::newRow("first colon splits") << "a:b:c"
                                            << "a"
                                            << "b:c"
                                            << "The port number \"0\" is invalid.";
        QTest::newRow("one character") << "x"
                                       << "127.0.0.1"
                                       << "80"
                                       << "";
        QTest::newRow("one emoji") << QStringLiteral("\U0001F600") << "127.0.0.1"
                                   << "80"
                                   << "";
        QTest::newRow("bracketed IPv6 and port") << "[::1]:8080"
                                                 << "::1"
                                                 << "8080"
                                                 << "";
        QTest::newRow("bracketed IPv6 alone") << " [::1] "
                                              << "::1"
                                              << "80"
                                              << "";
        QTest::newRow("tabs around both") << "\t 127.0.0.2\t:\t80 \t"
                                          << "127.0.0.2"
                                          << "80"
                                          << "";
    }
    void commandLineForms()
    {
        QFETCH(QString, command);
        QFETCH(QString, address);
        QFETCH(QString, port);
        QFETCH(QString, box);
        Window win = loadWindow(command);
        QCOMPARE(win->txtIP->text(), address);
        QCOMPARE(win->txtPort->text(), port);
        if (box.isEmpty()) {
            QVERIFY(win.tk->boxes.isEmpty());
        } else {
            QCOMPARE(win.tk->boxes.size(), 1);
            QVERIFY2(win.tk->boxes[0].text.startsWith(box), qPrintable(win.tk->boxes[0].text));
            QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        }
        if (command == QLatin1String("127.0.0.2"))
            QVERIFY(win->Sock->State() != NetSocket::Closed); // connecting to port 80
        // An ignored argument starts nothing.
        if (address == QLatin1String("127.0.0.1"))
            QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
    }

    // --help and --version answer without a display and exit 0; anything else is
    // an address.
    void helpAndVersion()
    {
        const QString exe = QCoreApplication::applicationDirPath() + QStringLiteral("/wirebench");
        if (!QFile::exists(exe))
            QSKIP("the program is not built next to the tests");
        for (const auto &[arg, start] :
             {std::pair{"--help", "Usage: wirebench"}, {"--version", "wirebench 1.2.62\n"}}) {
            QProcess p;
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            env.remove(QStringLiteral("DISPLAY"));
            env.insert(QStringLiteral("QT_QPA_PLATFORM"),
                       QStringLiteral("xcb")); // no display: only these two work
            p.setProcessEnvironment(env);
            p.start(exe, {QString::fromLatin1(arg)});
            QVERIFY(p.waitForFinished(10000));
            QCOMPARE(p.exitStatus(), QProcess::NormalExit);
            QCOMPARE(p.exitCode(), 0);
            QVERIFY2(p.readAllStandardOutput().startsWith(start), arg);
        }
    }

    void longStatusIsShortenedInTheLabel()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Window win = loadWindow(QString(), true);
        QVERIFY(QTest::qWaitForWindowExposed(win.w.get()));
        const QString host = QString(32000 - 9, u' ') + QStringLiteral("127.0.0.1");
        win->txtIP->setText(host);
        win->txtPort->setText(QString::number(server.serverPort()));
        win->cmdConnect->click();
        const QString full = QStringLiteral("Connected to 127.0.0.1 (") + host + QStringLiteral(")");
        qsizetype shownBefore = 0;
        for (int width : {600, 1200}) { // the label follows the window as it grows
            win->resize(width, 400);
            QTRY_COMPARE(win->LblStats->accessibleName(), full);
            QTRY_VERIFY(win->LblStats->text().size() > shownBefore);
            const QString shown = win->LblStats->text();
            shownBefore = shown.size();
            QVERIFY(win->LblStats->geometry().right() < win->cCrLf->geometry().left());
            QVERIFY(shown.startsWith(QStringLiteral("Connected to 127.0.0.1 (  ")) &&
                    shown.endsWith(QStringLiteral("  127.0.0.1)")));
        }
        QCOMPARE(win->LblStats->toolTip(), QStringLiteral("The connection status."));
    }

    void longLinesAreShortenedInTheMiddle()
    {
        const QFontMetrics metrics(QApplication::font());
        const QString text = QStringLiteral("Error #: 11001\r\nHost not found: ") + QString(32000, u'a') +
                             QStringLiteral("z.example.\r\nshort");
        const QStringList lines = ElideLongLines(text, metrics, 300).split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines[0], QStringLiteral("Error #: 11001"));
        QCOMPARE(lines[2], QStringLiteral("short"));
        QVERIFY(lines[1].startsWith(QStringLiteral("Host not found: aa")) &&
                lines[1].endsWith(QStringLiteral("az.example.")));
        QVERIFY(metrics.horizontalAdvance(lines[1]) <= 300);

        // The real box stays inside the screen and keeps the full text in its details.
        QtToolkit tk;
        QString details;
        int boxWidth = 0;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                details = box->detailedText();
                boxWidth = box->width();
                box->done(QMessageBox::Ok);
            }
        });
        poll.start(10);
        tk.MsgBox(text, Toolkit::Critical, Toolkit::OkOnly, QStringLiteral("Wirebench"));
        QCOMPARE(details, QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
        QVERIFY(boxWidth > 0 && boxWidth <= QGuiApplication::primaryScreen()->availableGeometry().width());
    }

    void layoutFigures()
    {
        Window win = loadWindow(QString(), true);
        frmMain *w = win.w.get();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        w->LayoutControls(7005, 4200); // the creation size, whatever this platform's frame
        QCOMPARE(Rect(w->LblStats).top(), 3945.0);
        QCOMPARE(Rect(w->cCrLf).topLeft(), QPointF(5805, 3945));
        QCOMPARE(Rect(w->txtRx).size(), QSizeF(6825, 3045));
        QCOMPARE(Rect(w->txtTx).top(), 3555.0);
        QCOMPARE(Rect(w->txtTx).width(), 6125.0);
        QCOMPARE(Rect(w->cmdSend).topLeft(), QPointF(6215, 3555));
        QCOMPARE(Rect(w->cmdAbout).left(), 6060.0);
        QCOMPARE(Rect(w->cmdListen).left(), 5085.0);
        QCOMPARE(Rect(w->cmdClose).left(), 4245.0);
        QCOMPARE(Rect(w->cmdConnect).left(), 3405.0);
        QCOMPARE(Rect(w->ComboType).left(), 2565.0);
        QCOMPARE(Rect(w->txtPort).left(), 1905.0);
        QCOMPARE(Rect(w->txtIP).width(), 1185.0);
        // The send box ends where Send begins, in pixels too.
        QCOMPARE(w->txtTx->geometry().right() + 1, w->cmdSend->geometry().left());

        w->txtIP->setSelection(2, 3);
        w->resize(9000 / 15, 6000 / 15);
        QTRY_COMPARE(w->width() * 15, 9000);
        QCOMPARE(Rect(w->txtIP).width(), 3180.0);
        QCOMPARE(Rect(w->txtRx).size(), QSizeF(8820, 4845));
        QCOMPARE(Rect(w->cmdAbout).left(), 8055.0);
        QCOMPARE(Rect(w->cmdSend).left(), 8210.0);
        QCOMPARE(Rect(w->LblStats).top(), 5745.0);
        QCOMPARE(Rect(w->cCrLf).top(), 5745.0);
        for (QWidget *c : {static_cast<QWidget *>(w->txtRx), static_cast<QWidget *>(w->cmdSend),
                           static_cast<QWidget *>(w->cCrLf), static_cast<QWidget *>(w->cmdAbout)})
            QCOMPARE(Rect(c).left() + Rect(c).width(), 9000.0 - 90);
        QCOMPARE(w->txtIP->selectionStart(), 2); // the same characters stay selected
        QCOMPARE(w->txtIP->selectedText(), QStringLiteral("7.0"));

        // Too small: snaps back to the minimum outer size and lays out there.
        w->resize(100, 50);
        QTRY_VERIFY(w->frameGeometry().width() * 15 >= 7100 && w->frameGeometry().height() * 15 >= 2400);
        QVERIFY((w->frameGeometry().width() - 1) * 15 < 7100);
        QVERIFY((w->frameGeometry().height() - 1) * 15 < 2400);
        const float cw = w->width() * 15.f, ch = w->height() * 15.f;
        QTRY_COMPARE(Rect(w->txtRx).width(), double(cw - 180));
        QCOMPARE(Rect(w->txtRx).height(), double(ch - 1155));
        QVERIFY(Rect(w->txtIP).width() > 0 && Rect(w->txtRx).height() > 0);

        // Minimized: nothing moves; restored: laid out for the restored size.
        w->resize(600, 400);
        QTRY_COMPARE(Rect(w->txtRx).width(), 9000.0 - 180);
        w->setWindowState(Qt::WindowMinimized);
        QTest::qWait(20);
        QCOMPARE(Rect(w->txtRx).width(), 9000.0 - 180);
        w->setWindowState(Qt::WindowNoState);
        w->resize(700, 450);
        QTRY_COMPARE(Rect(w->txtRx).width(), 10500.0 - 180);
        QCOMPARE(Rect(w->txtRx).height(), 6750.0 - 1155);
    }

    void aboutBox()
    {
        Window win = loadWindow();
        QTest::mouseClick(win->cmdAbout, Qt::LeftButton);
        QCOMPARE(win.tk->boxes.size(), 1);
        const FakeToolkit::Box box = win.tk->boxes[0];
        QCOMPARE(box.title, QStringLiteral("About Wirebench (1.2.62)..."));
        QCOMPARE(box.icon, Toolkit::Information);
        QCOMPARE(box.buttons, Toolkit::OkOnly);
        const QStringList lines = box.text.split(QStringLiteral("\r\n"));
        QCOMPARE(lines.size(), 7);
        QVERIFY(lines[0].contains(QStringLiteral("Wirebench")));
        QCOMPARE(lines[2], QStringLiteral("Bugs, comments, questions?"));
        QCOMPARE(lines[4], QStringLiteral("---"));
        QVERIFY(lines[3].contains(QStringLiteral("@example.org")));
        QVERIFY(lines[5].contains(QStringLiteral("example.org")));
        QVERIFY(!box.text.endsWith(QLatin1Char('\n')));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QCOMPARE(win->txtRx->TextLength(), 0);
    }

    void uncaughtFailureIsShownAndWindowGoesOn()
    {
        Window win = loadWindow();
        const int fds = openDescriptors();
        emit win->Sock->ConnectionRequest(987654); // no such request: Accept refuses
        QCOMPARE(win.tk->boxes.size(), 1);
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Wirebench"));
        QCOMPARE(win.tk->boxes[0].icon, Toolkit::Exclamation);
        QVERIFY(win.tk->boxes[0].text.contains(QStringLiteral("987654")));
        QVERIFY(!win->cmdSend->isEnabled());
        QCOMPARE(openDescriptors(), fds);
        win->cmdAbout->click(); // still working
        QCOMPARE(win.tk->boxes.size(), 2);
    }

    void closingTheWindowClosesTheSession()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        Window win = loadWindow(QStringLiteral("127.0.0.1:") + QString::number(server.serverPort()), true);
        QTRY_VERIFY(server.hasPendingConnections());
        QTcpSocket *peer = server.nextPendingConnection();
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Connected));
        win->close();
        QTRY_COMPARE(peer->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(win->txtRx->TextLength(), 0);
    }
};

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
