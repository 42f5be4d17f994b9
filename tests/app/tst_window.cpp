#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QFile>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QRegularExpression>
#include <QScreen>
#include <QTemporaryDir>
#include <QTimer>

#include "Fixture.h"
#include "app/CommandLine.h"
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

    // What the command line asks for: the peer as the window reads it, help, version, or
    // a refusal; the toolkit's own options are neither refused nor taken for the peer.
    void commandLineArguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("action");
        QTest::addColumn<QString>("command");
        QTest::addColumn<bool>("tls");
        const auto row = [](const char *name, const QStringList &args, CommandLine::Action action,
                            const QString &command = QString(), bool tls = false) {
            QTest::newRow(name) << args << int(action) << command << tls;
        };
        row("nothing", {}, CommandLine::Run);
        row("address:port", {"127.0.0.1:23"}, CommandLine::Run, "127.0.0.1:23");
        row("host port", {"127.0.0.1", "8025"}, CommandLine::Run, "127.0.0.1:8025");
        row("IPv6 host port", {"::1", "8025"}, CommandLine::Run, "[::1]:8025");
        row("bracketed host port", {"[::1]", "8025"}, CommandLine::Run, "[::1]:8025");
        row("second word not a number", {"a", "b8"}, CommandLine::Run, "a b8");
        row("three words", {"127.0.0.1", ":", "23"}, CommandLine::Run, "127.0.0.1 : 23");
        row("toolkit options", {"-platform", "offscreen", "-reverse", "--style", "Fusion", "127.0.0.1", "7"},
            CommandLine::Run, "127.0.0.1:7");
        row("-- ends the options", {"--", "-x"}, CommandLine::Run, "-x");
        row("--tls", {"--tls", "127.0.0.1", "443"}, CommandLine::Run, "127.0.0.1:443", true);
        row("-h", {"-h"}, CommandLine::Help);
        row("--help after an address", {"127.0.0.1:1", "--help"}, CommandLine::Help);
        row("-v", {"-v"}, CommandLine::Version);
        row("--version", {"--version"}, CommandLine::Version);
        row("unknown short option", {"-x", "127.0.0.1"}, CommandLine::Error);
        row("unknown long option", {"--bogus"}, CommandLine::Error);
        row("letters run together", {"-hv"}, CommandLine::Error);
        row("option without its value", {"127.0.0.1", "-platform"}, CommandLine::Error);
    }
    void commandLineArguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, action);
        QFETCH(QString, command);
        QFETCH(bool, tls);
        const CommandLine cl = ParseCommandLine(arguments);
        QCOMPARE(int(cl.action), action);
        QCOMPARE(cl.command, command);
        QCOMPARE(cl.tls, tls);
        if (action == CommandLine::Error)
            QVERIFY2(cl.error.contains(QLatin1String("--help")), qPrintable(cl.error));
    }

    // HOST PORT and the one-word forms fill the fields and connect, over IPv4 and IPv6; a
    // port out of range is said so and nothing connects.
    void commandLineConnects()
    {
        QTcpServer v4, v6;
        QVERIFY(v4.listen(QHostAddress::LocalHost, 0));
        QVERIFY(v6.listen(QHostAddress::LocalHostIPv6, 0));
        const QString p4 = QString::number(v4.serverPort()), p6 = QString::number(v6.serverPort());
        struct Case {
            QStringList args;
            QString address, port;
            QTcpServer *server;
        };
        for (const Case &c :
             {Case{{"127.0.0.1", p4}, "127.0.0.1", p4, &v4}, Case{{"::1", p6}, "::1", p6, &v6},
              Case{{"[::1]:" + p6}, "::1", p6, &v6}, Case{{"127.0.0.1:" + p4}, "127.0.0.1", p4, &v4}}) {
            Window win = loadWindow(ParseCommandLine(c.args).command);
            QCOMPARE(win->txtIP->text(), c.address);
            QCOMPARE(win->txtPort->text(), c.port);
            QTRY_VERIFY2(c.server->hasPendingConnections(), qPrintable(c.args.join(u' ')));
            delete c.server->nextPendingConnection();
            QVERIFY(win.tk->boxes.isEmpty());
        }
        Window win = loadWindow(ParseCommandLine({"127.0.0.1", "99999"}).command);
        QCOMPARE(win->txtPort->text(), QStringLiteral("99999"));
        QCOMPARE(win.tk->boxes.size(), 1);
        QVERIFY(win.tk->boxes[0].text.startsWith(QLatin1String("The port number \"99999\" is invalid.")));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(!v4.hasPendingConnections() && !v6.hasPendingConnections());
    }

    // --tls: "TLS" is chosen before the connect routine runs, which then connects.
    void tlsIsChosenBeforeConnecting()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        auto *tk = new FakeToolkit;
        tk->command = ParseCommandLine({"--tls", "127.0.0.1", QString::number(server.serverPort())}).command;
        frmMain w{std::unique_ptr<Toolkit>(tk)};
        if (w.ComboType->findText(QStringLiteral("TLS")) < 0)
            w.ComboType->addItem(QStringLiteral("TLS")); // where TLS is not built in, a stand-in item
        QList<qint16> statesWhenChosen;
        connect(w.ComboType, &QComboBox::currentTextChanged, &w, [&](const QString &text) {
            if (text == QLatin1String("TLS"))
                statesWhenChosen << w.Sock->State();
        });
        w.ConnectWithTls = true;
        w.Guard([&] { w.Form_Load(); });
        QCOMPARE(w.ComboType->currentText(), QStringLiteral("TLS"));
        QCOMPARE(statesWhenChosen, QList<qint16>{qint16(NetSocket::Closed)});
        QTRY_VERIFY(server.hasPendingConnections());
    }

    // The real program: help, version and refusals need no display; without one it says so
    // in one line and exits 1.
    void theProgram_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QStringList>("environment"); // set on top of one with no display at all
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("out"); // what stdout starts with
        QTest::addColumn<QString>("err"); // the one line on stderr, as a pattern; empty: nothing
        const auto row = [](const char *name, const QStringList &args, const QStringList &env, int code,
                            const char *out, const char *err) {
            QTest::newRow(name) << args << env << code << QString::fromUtf8(out) << QString::fromUtf8(err);
        };
        const QString noDisplay = "^wirebench: cannot open a display: ";
        row("--help", {"--help"}, {}, 0,
            "Usage: wirebench [--tls] [address[:port] | [ipv6-address]:port | host port]\n", "");
        row("-h", {"-h", "127.0.0.1:1"}, {}, 0, "Usage: wirebench", "");
        row("--version", {"--version"}, {"QT_QPA_PLATFORM=xcb"}, 0, "wirebench 1.2.62\n", "");
        row("-v", {"-v"}, {}, 0, "wirebench 1.2.62\n", "");
        row("unknown option", {"--bogus", "127.0.0.1:1"}, {"QT_QPA_PLATFORM=offscreen"}, 2, "",
            R"(^wirebench: Unknown option 'bogus'\. Try 'wirebench --help'\.\n$)");
        row("missing value", {"-style"}, {}, 2, "",
            R"(^wirebench: Missing value after '-style'\..*--help.*\n$)");
        row("no display", {"127.0.0.1:1"}, {}, 1, "",
            "^wirebench: cannot open a display: neither DISPLAY nor WAYLAND_DISPLAY is set, and "
            "QT_QPA_PLATFORM is unset\n$");
        row("xcb without DISPLAY", {}, {"QT_QPA_PLATFORM=xcb"}, 1, "",
            "^wirebench: cannot open a display: QT_QPA_PLATFORM=xcb needs DISPLAY, which is not set\n$");
        row("-platform wayland without a compositor", {"-platform", "wayland"},
            {"XDG_RUNTIME_DIR=/nonexistent"}, 1, "",
            "^wirebench: cannot open a display: -platform wayland needs WAYLAND_DISPLAY, which is not "
            "set\n$");
        // A display that is set but not there: the toolkit's own reason, in our one line.
        row("display not there", {}, {"DISPLAY=:4242", "QT_QPA_PLATFORM=xcb"}, 1, "",
            "^wirebench: cannot open a display: .*DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM.*\n$");
        Q_UNUSED(noDisplay);
    }
    void theProgram()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QStringList, environment);
        QFETCH(int, exitCode);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const QString exe = QCoreApplication::applicationDirPath() + QStringLiteral("/wirebench");
        if (!QFile::exists(exe))
            QSKIP("the program is not built next to the tests");
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
            env.remove(QString::fromLatin1(name));
        for (const QString &setting : environment)
            env.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(exe, arguments);
        QVERIFY(p.waitForFinished(20000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        const QString stdErr = QString::fromLocal8Bit(p.readAllStandardError());
        const QString stdOut = QString::fromLocal8Bit(p.readAllStandardOutput());
        QCOMPARE(p.exitCode(), exitCode);
        QVERIFY2(out.isEmpty() ? stdOut.isEmpty() : stdOut.startsWith(out), qPrintable(stdOut));
        if (err.isEmpty())
            QVERIFY2(stdErr.isEmpty(), qPrintable(stdErr));
        else
            QVERIFY2(QRegularExpression(err).match(stdErr).hasMatch(), qPrintable(stdErr));
    }

    // The Menu key and Shift+F10 open the menu the right button opens, at the control; the
    // log pane's menu shows the keys it answers, and an item chosen in it acts.
    void menuKeysOpenTheMenus()
    {
        Window win = loadWindow(QString(), true);
        frmMain *w = win.w.get();
        QVERIFY(QTest::qWaitForWindowActive(w));
        QByteArray log("one\ntwo\n");
        w->LogIt(log, false);
        const struct {
            QWidget *control;
            const char *menu, *defaultItem;
        } cases[] = {{w->cmdConnect, "mnuPopup", ""},
                     {w->cmdListen, "mnuListen", ""},
                     {w->txtPort, "mnuPopup", "mnuPopupSniff"},
                     {w->txtRx, "mnuLog", ""}};
        for (const auto &c : cases) {
            c.control->setFocus();
            QTRY_VERIFY(c.control->hasFocus());
            win.tk->popups.clear();
            QTest::keyClick(c.control, Qt::Key_Menu);
            QTest::keyClick(c.control, Qt::Key_F10, Qt::ShiftModifier);
            QTest::keyClick(c.control, Qt::Key_F10); // F10 alone: nothing
            QTest::keyClick(c.control, Qt::Key_F10, Qt::ControlModifier | Qt::ShiftModifier); // nor this
            QCOMPARE(win.tk->popups.size(), 2);
            for (const FakeToolkit::Popup &p : std::as_const(win.tk->popups)) {
                QCOMPARE(p.menu, QString::fromLatin1(c.menu));
                QCOMPARE(p.defaultItem, QString::fromLatin1(c.defaultItem));
                QCOMPARE(p.control, c.control->objectName());
            }
        }
        QCOMPARE(w->txtPort->text(), QStringLiteral("80")); // the keys typed nothing
        // The address field has no menu.
        win.tk->popups.clear();
        QTest::keyClick(w->txtIP, Qt::Key_Menu);
        QVERIFY(win.tk->popups.isEmpty());

        // A platform's own keyboard context menu event opens it once; a mouse one is the
        // right button's business.
        for (auto reason : {QContextMenuEvent::Keyboard, QContextMenuEvent::Mouse}) {
            QContextMenuEvent e(reason, QPoint(2, 2), w->cmdListen->mapToGlobal(QPoint(2, 2)));
            QApplication::sendEvent(w->cmdListen, &e);
        }
        QCOMPARE(win.tk->popups.size(), 1);
        QCOMPARE(win.tk->popups[0].control, QStringLiteral("cmdListen"));

        // The log pane's menu, by the right button here, with its keys shown.
        win.tk->popups.clear();
        QContextMenuEvent right(QContextMenuEvent::Mouse, QPoint(5, 5),
                                w->txtRx->viewport()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(w->txtRx->viewport(), &right);
        QCOMPARE(win.tk->popups.size(), 1);
        QCOMPARE(win.tk->popups[0].control, QString()); // at the mouse pointer
        QCOMPARE(win.tk->popups[0].items, QStringList({"&Copy\tCtrl+C", "Select &All\tCtrl+A", "Show as &Hex",
                                                       "Show &Times", "Save Log &As...", "C&lear"}));
        // Chosen from the keyboard: Select All, then Copy from a second showing.
        win.tk->onPopup = [](QMenu *menu) { menu->actions().at(1)->trigger(); };
        QTest::keyClick(w->txtRx, Qt::Key_Menu);
        QCOMPARE(w->txtRx->SelLength(), w->txtRx->TextLength());
        win.tk->onPopup = [](QMenu *menu) { menu->actions().at(0)->trigger(); };
        QApplication::clipboard()->clear();
        QTest::keyClick(w->txtRx, Qt::Key_F10, Qt::ShiftModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("one\ntwo\n"));
    }

    // The log pane shows that it has the keyboard focus, the way the style does, and stops
    // showing it when the focus leaves.
    void logPaneShowsItsFocus()
    {
        Window win = loadWindow(QString(), true);
        frmMain *w = win.w.get();
        QVERIFY(QTest::qWaitForWindowActive(w));
        const auto image = [w] { return w->txtRx->viewport()->grab().toImage(); };
        const QImage without = image();
        w->cmdAbout->setFocus();
        QTest::keyClick(w->cmdAbout, Qt::Key_Tab);
        QTRY_VERIFY(w->txtRx->hasFocus());
        const QImage with = image();
        QVERIFY(with != without);
        // Only near the edge: the text area itself is the same.
        const QRect inner = with.rect().adjusted(4, 4, -4, -4);
        QCOMPARE(with.copy(inner), without.copy(inner));
        QTest::keyClick(w->txtRx, Qt::Key_Tab);
        QTRY_VERIFY(w->txtTx->hasFocus());
        QCOMPARE(image(), without);
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
