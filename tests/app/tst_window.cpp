#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QMessageBox>
#include <QProcess>
#include <QScreen>
#include <QTimer>

#include "Fixture.h"
#include "platform/LogPane.h"
#include "platform/Twips.h"

using Twips::Rect;

class tst_Window : public QObject
{
    Q_OBJECT
private slots:
    // Start-up: the tab order, the address field focused and selected, access keys and
    // the buttons' menus.
    void startUp()
    {
        Window win = loadWindow(QString(), true);
        frmMain *w = win.w.get();
        QVERIFY(QTest::qWaitForWindowActive(w));
        const QList<QWidget *> order{w->txtIP,    w->txtPort,   w->ComboType, w->cmdConnect,
                                     w->cmdClose, w->cmdListen, w->cmdAbout,  w->txtRx,
                                     w->txtTx,    w->cmdSend,   w->cCrLf};
        for (qsizetype i = 1; i < order.size(); ++i) { // skipping the children of composite controls
            QWidget *next = order[i - 1]->nextInFocusChain();
            while (next && next->parentWidget() != w)
                next = next->nextInFocusChain();
            QCOMPARE(next, order[i]);
        }
        QCOMPARE(QApplication::focusWidget(), w->txtIP);
        QCOMPARE(w->txtIP->selectedText(), QStringLiteral("127.0.0.1"));
        QCOMPARE(w->txtPort->selectedText(), QStringLiteral("80"));
        QCOMPARE(w->Sock->State(), qint16(NetSocket::Closed));
        QTest::keyClick(w, Qt::Key_B, Qt::AltModifier);
        QTRY_COMPARE(win.tk->boxes.size(), 1); // the button animates its click first
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("About Wirebench (1.2.62)..."));
        QTest::mouseClick(w->cmdConnect, Qt::RightButton);
        QTest::mouseClick(w->cmdListen, Qt::RightButton);
        QCOMPARE(win.tk->popups.size(), 2);
        QVERIFY(win.tk->popups[0].menu == "mnuPopup" && win.tk->popups[1].menu == "mnuListen");
        QCOMPARE(win.tk->boxes.size(), 1); // and no click
    }

    void commandLineForms_data()
    {
        QTest::addColumn<QString>("command");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("box"); // first line of the box the connect routine shows, if any
        const auto row = [](const char *name, const QString &command, const char *address, const char *port,
                            const char *box = "") {
            QTest::newRow(name) << command << address << port << box;
        };
        row("address alone", "127.0.0.2", "127.0.0.2", "80");
        row("colon and port", ":23", "", "23", "Connect error: ");
        row("colon at end", "127.0.0.2:", "127.0.0.2", "", "The port number \"0\" is invalid.");
        row("first colon splits", "a:b:c", "a", "b:c", "The port number \"0\" is invalid.");
        row("one character", "x", "127.0.0.1", "80");
        row("one emoji", QStringLiteral("\U0001F600"), "127.0.0.1", "80");
        row("bracketed IPv6 and port", "[::1]:8080", "::1", "8080");
        row("bracketed IPv6 alone", " [::1] ", "::1", "80");
        row("tabs around both", "\t 127.0.0.2\t:\t80 \t", "127.0.0.2", "80");
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
        QCOMPARE(win.tk->boxes.size(), box.isEmpty() ? 0 : 1);
        if (!box.isEmpty())
            QVERIFY2(win.tk->boxes[0].text.startsWith(box), qPrintable(win.tk->boxes[0].text));
        // An ignored argument, or one that failed, leaves the socket closed.
        QCOMPARE(win->Sock->State() == NetSocket::Closed, !box.isEmpty() || address == "127.0.0.1");
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

    // A line too long for the screen is shortened in its middle; the real box stays inside
    // the screen and keeps the full text in its details.
    void longLinesAreShortenedInTheMiddle()
    {
        const QString text =
            "Error #: 11001\r\nHost not found: " + QString(32000, u'a') + "z.example.\r\nshort";
        const QFontMetrics metrics(QApplication::font());
        const QStringList lines = ElideLongLines(text, metrics, 300).split("\r\n");
        QVERIFY(lines.size() == 3 && lines[2] == "short");
        QVERIFY(lines[1].startsWith("Host not found: aa") && lines[1].endsWith("az.example."));
        QVERIFY(metrics.horizontalAdvance(lines[1]) <= 300);

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
        QtToolkit().MsgBox(text, Toolkit::Critical, Toolkit::OkOnly, QStringLiteral("Wirebench"));
        QCOMPARE(details, QString(text).replace("\r\n", "\n"));
        QVERIFY(boxWidth > 0 && boxWidth <= QGuiApplication::primaryScreen()->availableGeometry().width());
    }

    // The controls follow the window's size; too small, it snaps back to its minimum;
    // minimized, nothing moves.
    void layout()
    {
        Window win = loadWindow(QString(), true);
        frmMain *w = win.w.get();
        w->txtIP->setSelection(2, 3);
        w->resize(600, 400); // 9000 by 6000 twips
        QTRY_COMPARE(Rect(w->txtRx).size(), QSizeF(9000 - 180, 6000 - 1155));
        for (QWidget *c : std::initializer_list<QWidget *>{w->cmdSend, w->cCrLf, w->cmdAbout})
            QCOMPARE(Rect(c).left() + Rect(c).width(), 9000.0 - 90);
        QCOMPARE(w->txtTx->geometry().right() + 1, w->cmdSend->geometry().left());
        QCOMPARE(w->txtIP->selectedText(), QStringLiteral("7.0")); // the same characters stay selected

        w->resize(100, 50);
        QTRY_VERIFY(w->frameGeometry().width() * 15 >= 7100 && w->frameGeometry().height() * 15 >= 2400);
        QVERIFY((w->frameGeometry().width() - 1) * 15 < 7100 &&
                (w->frameGeometry().height() - 1) * 15 < 2400);
        QTRY_COMPARE(Rect(w->txtRx).width(), w->width() * 15.0 - 180);
        const double snapped = Rect(w->txtRx).width();
        w->setWindowState(Qt::WindowMinimized);
        QTest::qWait(20);
        QCOMPARE(Rect(w->txtRx).width(), snapped);
        w->setWindowState(Qt::WindowNoState);
        w->resize(700, 450);
        QTRY_COMPARE(Rect(w->txtRx).width(), 10500.0 - 180);
    }

    void uncaughtFailureIsShownAndWindowGoesOn()
    {
        Window win = loadWindow();
        const int fds = openDescriptors();
        emit win->Sock->ConnectionRequest(987654); // no such request: Accept refuses
        QCOMPARE(win.tk->boxes.size(), 1);
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Wirebench"));
        QVERIFY(win.tk->boxes[0].text.contains(QStringLiteral("987654")));
        QCOMPARE(openDescriptors(), fds);
        win->cmdAbout->click(); // still working
        QCOMPARE(win.tk->boxes.size(), 2);
    }

    void closingTheWindowClosesTheSession()
    {
        auto s = connectedSession();
        QVERIFY(s);
        s->win->close();
        QTRY_COMPARE(s->peer->state(), QAbstractSocket::UnconnectedState);
    }
};

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
