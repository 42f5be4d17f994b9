#include <QAccessible>
#include <QTemporaryDir>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QUdpSocket>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "Peer.h"
#include "platform/LogPane.h"

#include <sys/socket.h>

namespace
{
constexpr quint32 Blue = 0xFF0000, Black = 0x000000, Green = 0x00FF00;

void typeLine(QLineEdit *box, const QString &text)
{
    QTest::keyClicks(box, text);
    QTest::keyClick(box, Qt::Key_Return);
}
} // namespace

class tst_DataPath : public QObject
{
    Q_OBJECT
private slots:
    void logItAppendsAndColours()
    {
        Window win = loadWindow();
        // NULs in long and short strings: the caller's own string is changed too.
        QByteArray binary = QByteArray("\0z\0\0\0", 5).repeated(7);
        win->LogIt(binary, false);
        QCOMPARE(binary, QByteArray("?z???").repeated(7));
        QCOMPARE(win->txtRx->Text(), binary);
        emit win->txtRx->DoubleClicked();
        QByteArray a("a\0b\0", 4);
        win->LogIt(a, false);
        QCOMPARE(a, QByteArray("a?b?"));
        QByteArray blue("abc");
        win->LogIt(blue, true);
        QByteArray black("def");
        win->LogIt(black, false);
        QByteArray empty;
        win->LogIt(empty, true);
        QCOMPARE(win->txtRx->Text(), QByteArray("a?b?abcdef"));
        QCOMPARE(win->txtRx->ColorAt(3), Black);
        QCOMPARE(win->txtRx->ColorAt(4), Blue);
        QCOMPARE(win->txtRx->ColorAt(6), Blue);
        QCOMPARE(win->txtRx->ColorAt(7), Black);
        QCOMPARE(win->txtRx->Caret(), win->txtRx->TextLength());

        // A selection made by the user is dropped and the text still goes to the end.
        win->txtRx->SetSelection(1, 2);
        QByteArray more("!");
        win->LogIt(more, false);
        QCOMPARE(win->txtRx->Text(), QByteArray("a?b?abcdef!"));
        QCOMPARE(win->txtRx->SelLength(), 0);

        // A double-click on the pane empties it; the next text starts at 0.
        emit win->txtRx->DoubleClicked();
        QCOMPARE(win->txtRx->TextLength(), 0);
        QByteArray again("x");
        win->LogIt(again, false);
        QCOMPARE(win->txtRx->Text(), QByteArray("x"));
        QCOMPARE(win->txtRx->ColorAt(0), Black);
    }

    void sendAndReceiveOverTcp()
    {
        auto s = connectedSession();
        QVERIFY(s);
        frmMain *w = s->win.w.get();
        QCOMPARE(QApplication::focusWidget(), w->txtTx);
        typeLine(w->txtTx, QStringLiteral("hello"));
        QCOMPARE(s->peerReads(7), QByteArray("hello\r\n"));
        QCOMPARE(w->txtRx->Text(), QByteArray("hello\r\n"));
        QCOMPARE(w->txtRx->ColorAt(0), Blue);
        QVERIFY(w->txtTx->text().isEmpty());
        // Typed text goes out in UTF-8, whatever the characters; the history keeps it as typed.
        const QString typed = QStringLiteral("h\u00e9llo \u20ac\u65e5\u672c");
        w->txtTx->setText(typed);
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        QCOMPARE(s->peerReads(18), QByteArray::fromHex("68c3a96c6c6f20e282ace697a5e69cac0d0a"));
        QCOMPARE(w->SentLines.value(w->SentLines.size() - 2), typed);

        w->cCrLf->setChecked(false);
        typeLine(w->txtTx, QStringLiteral("bare"));
        QCOMPARE(s->peerReads(4), QByteArray("bare"));

        // Received data: black, LF shown as CR LF only while the box is checked, NUL as "?".
        w->txtRx->Clear();
        s->peer->write("a\nb");
        QTRY_COMPARE(w->txtRx->Text(), QByteArray("a\nb"));
        w->cCrLf->setChecked(true);
        s->peer->write(QByteArray("\r\nx\0y", 5));
        QTRY_COMPARE(w->txtRx->Text(), QByteArray("a\nb\r\r\nx?y"));
        QCOMPARE(w->txtRx->ColorAt(0), Black);
        QCOMPARE(w->txtRx->ColorAt(w->txtRx->TextLength() - 1), Black);

        // Enter with an empty box sends CR LF alone and stores nothing.
        const QStringList before = w->SentLines;
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        QCOMPARE(s->peerReads(2), QByteArray("\r\n"));
        QCOMPARE(w->SentLines, before);
    }

    // The hex view of a session: offset, bytes in hex and as characters, each
    // byte painted in the colour of its direction; back to the text at the same place.
    void hexViewOfASession()
    {
        auto s = connectedSession();
        QVERIFY(s);
        frmMain *w = s->win.w.get();
        typeLine(w->txtTx, QStringLiteral("AB"));
        QCOMPARE(s->peerReads(4), QByteArray("AB\r\n"));
        s->peer->write(QByteArray("C\0", 2));
        QTRY_COMPARE(w->txtRx->TextLength(), 6);
        LogPane *pane = w->txtRx;
        pane->SetHexView(true);
        // 16 bytes a row where they fit, 8 in the window as it starts.
        const QByteArray hex("00000000  41 42 0d 0a 43 3f");
        QCOMPARE(pane->HexRow(0), hex + QByteArray(8, ' ') + "AB..C?");
        w->resize(900, w->height());
        QTRY_COMPARE(pane->HexRow(0), hex + QByteArray(32, ' ') + "AB..C?");
        QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(pane)->textInterface();
        const QImage shot = pane->viewport()->grab().toImage();
        for (int i = 0; i < 6; ++i) {
            const QRect cell(pane->viewport()->mapFromGlobal(text->characterRect(i).topLeft()),
                             text->characterRect(i).size());
            int blue = 0, black = 0; // the pixels of the two hex digits
            for (int y = cell.top(); y <= cell.bottom(); ++y) {
                for (int x = cell.left(); x <= cell.right(); ++x) {
                    const QColor c = shot.pixelColor(x, y);
                    blue += c.blue() > 150 && c.red() < 100;
                    black += c.blue() < 100 && c.red() < 100;
                }
            }
            QVERIFY2(i < 4 ? blue > 0 && black == 0 : black > 0 && blue == 0, qPrintable(QString::number(i)));
        }
        pane->SetHexView(false);
        QCOMPARE(text->text(0, 6), QStringLiteral("AB\r\nC?"));
    }

    // "Save Log As..." writes the pane's bytes as they stand; a failure is a box and
    // leaves nothing under the chosen name.
    void saveLogAs()
    {
        Window win = loadWindow();
        QByteArray data(3 * 1024 * 1024, Qt::Uninitialized);
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i % 7 == 0 ? '\n' : (i * 131) >> 3);
        win->LogIt(data, false, true);
        QByteArray sent("sent\r\n");
        win->LogIt(sent, true);
        QTemporaryDir dir;
        win.tk->saveAs = dir.filePath(QStringLiteral("log.bin"));
        win->txtRx_SaveAs();
        QCOMPARE(win.tk->saveDialogs, QStringList{QStringLiteral("Save Log As...")});
        // The bytes held when it was chosen, even though more arrive while it is written.
        const QByteArray held = win->txtRx->Text();
        QByteArray later("later");
        win->LogIt(later, false);
        QFile saved(win.tk->saveAs);
        QTRY_VERIFY(saved.exists());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), held);
        QTest::qWait(50);
        QVERIFY(win.tk->boxes.isEmpty());

        // A file where a folder should be: the save fails and nothing is left behind.
        win.tk->saveAs = dir.filePath(QStringLiteral("log.bin/inside.bin"));
        win->txtRx_SaveAs();
        QTRY_COMPARE(win.tk->boxes.size(), 1);
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Save Log As..."));
        QVERIFY(win.tk->boxes[0].text.contains(win.tk->saveAs));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("log.bin")});

        win.tk->saveAs.clear(); // cancelled: nothing happens
        win->txtRx_SaveAs();
        QTest::qWait(50);
        QCOMPARE(win.tk->boxes.size(), 1);
    }

    void historyWalk()
    {
        auto s = connectedSession();
        QVERIFY(s);
        QLineEdit *tx = s->win->txtTx;
        for (const char *line : {"one", "two", "three"})
            typeLine(tx, QLatin1String(line));
        QCOMPARE(s->peerReads(20), QByteArray("one\r\ntwo\r\nthree\r\n"));
        auto walk = [&](Qt::Key key, const char *expected) {
            QTest::keyClick(tx, key);
            QCOMPARE(tx->text(), QLatin1String(expected));
            QCOMPARE(tx->selectedText(), QLatin1String(expected)); // all selected
        };
        walk(Qt::Key_Up, "three");
        walk(Qt::Key_Up, "two");
        walk(Qt::Key_Up, "one");
        walk(Qt::Key_Up, "one"); // nothing above the oldest
        walk(Qt::Key_Down, "two");
        walk(Qt::Key_Down, "three");
        QTest::keyClick(tx, Qt::Key_Down);
        QCOMPARE(tx->text(), QString());
        QTest::keyClick(tx, Qt::Key_Down); // nothing below the new-line slot
        QCOMPARE(tx->text(), QString());

        // A line typed but not sent comes back after walking up and down.
        QTest::keyClicks(tx, QStringLiteral("four"));
        walk(Qt::Key_Up, "three");
        walk(Qt::Key_Down, "four");

        // An edit of a recalled line is kept by the history.
        walk(Qt::Key_Up, "three");
        walk(Qt::Key_Up, "two");
        tx->end(false);
        QTest::keyClicks(tx, QStringLiteral("fold"));
        walk(Qt::Key_Up, "one");
        walk(Qt::Key_Down, "twofold");
        // A held key: the toolkit's repeated releases do not walk, the last one does.
        for (int i = 0; i < 3; ++i) {
            QKeyEvent repeated(QEvent::KeyRelease, Qt::Key_Up, Qt::NoModifier, QString(), true);
            QApplication::sendEvent(tx, &repeated);
        }
        QCOMPARE(tx->text(), QStringLiteral("twofold"));
        QTest::keyClick(tx, Qt::Key_Up, Qt::ShiftModifier); // shift walks the same way
        QCOMPARE(tx->text(), QStringLiteral("one"));

        // Sending a recalled line stores it again as the newest; the unsent slot is gone.
        QTest::keyClick(tx, Qt::Key_Return);
        QCOMPARE(s->peerReads(5), QByteArray("one\r\n"));
        QCOMPARE(s->win->SentLines, (QStringList{"one", "twofold", "three", "one", QString()}));
        QCOMPARE(s->win->HistoryPos, qint16(4));
    }

    void historyKeepsTheNewestWhenFull()
    {
        Window win = loadWindow();
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtPort->setText(QString::number(closedPort()));
        win->cmdConnect->click();
        QVERIFY(win->cmdSend->isEnabled());
        win->cCrLf->setChecked(false);
        win->SentLines.clear();
        for (int i = 0; i < 32767; ++i)
            win->SentLines << QString::number(i);
        win->SentLines << QString();
        win->txtTx->setText(QStringLiteral("newest"));
        win->cmdSend_Click();
        QCOMPARE(win->SentLines.size(), 32768);
        QCOMPARE(win->SentLines.first(), QStringLiteral("1"));
        QCOMPARE(win->SentLines[32766], QStringLiteral("newest"));
        QCOMPARE(win->HistoryPos, qint16(32767));
        QVERIFY(win.tk->boxes.isEmpty());
    }

    void enterWhileSendIsDisabledReachesTheBox()
    {
        Window win = loadWindow(QString(), true);
        QVERIFY(QTest::qWaitForWindowActive(win.w.get()));
        win->txtTx->setFocus();
        QSignalSpy edited(win->txtTx, &QLineEdit::returnPressed);
        typeLine(win->txtTx, QStringLiteral("x"));
        QCOMPARE(edited.size(), 1); // the field saw the key
        QCOMPARE(win->txtTx->text(), QStringLiteral("x"));
        QCOMPARE(win->SentLines, QStringList{QString()});
    }

    void failingSendKeepsTheLine()
    {
        auto s = connectedSession();
        QVERIFY(s);
        frmMain *w = s->win.w.get();
        // The peer resets the connection; the window's handlers do not hear of it yet.
        w->Sock->blockSignals(true);
        const linger reset{1, 0};
        ::setsockopt(int(s->peer->socketDescriptor()), SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        s->peer->abort();
        QTRY_VERIFY(w->Sock->State() != NetSocket::Connected);
        w->txtTx->setText(QStringLiteral("lost"));
        const int boxes = int(s->win.tk->boxes.size());
        w->cmdSend_Click();
        w->Sock->blockSignals(false);
        QCOMPARE(s->win.tk->boxes.size(), boxes + 1);
        QCOMPARE(s->win.tk->boxes.last().title, QStringLiteral("Connect error..."));
        QVERIFY(s->win.tk->boxes.last().text.startsWith(QStringLiteral("Connect error: ")));
        QCOMPARE(w->txtTx->text(), QStringLiteral("lost"));
        QCOMPARE(w->SentLines.at(w->SentLines.size() - 2), QStringLiteral("lost"));
        QVERIFY(!w->txtRx->Text().contains("lost"));
        QCOMPARE(w->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(w->cmdSend->isEnabled()); // the socket's own close leaves the button alone
    }

    void doubleClickOnSendBoxColoursSelectionGreen()
    {
        Window win = loadWindow(QString(), true);
        QByteArray text("0123456789");
        win->LogIt(text, false);
        win->txtRx->SetSelection(2, 3);
        QTest::mouseDClick(win->txtTx, Qt::LeftButton);
        QTRY_COMPARE(win->txtRx->ColorAt(2), Green);
        QCOMPARE(win->txtRx->ColorAt(4), Green);
        QCOMPARE(win->txtRx->ColorAt(5), Black);
    }

    void addressAndPortFields()
    {
        Window win = loadWindow(QString(), true);
        QVERIFY(QTest::qWaitForWindowActive(win.w.get()));
        // Enter in the port field connects; the field keeps its text and never sees the key.
        win->txtPort->setFocus();
        win->txtPort->setText(QStringLiteral("abc"));
        QSignalSpy returned(win->txtPort, &QLineEdit::returnPressed);
        QTest::keyClick(win->txtPort, Qt::Key_Return);
        QCOMPARE(returned.size(), 0);
        QCOMPARE(win.tk->boxes.size(), 1);
        QCOMPARE(win.tk->boxes[0].text.section(QStringLiteral("\r\n"), 0, 0),
                 QStringLiteral("The port number \"0\" is invalid."));
        QCOMPARE(win->txtPort->text(), QStringLiteral("abc"));

        // Enter in the address field, empty included, runs the connect routine once.
        win->txtIP->setFocus();
        win->txtIP->clear();
        win->txtPort->setText(QStringLiteral("7"));
        QTest::keyClick(win->txtIP, Qt::Key_Enter);
        QCOMPARE(win.tk->boxes.size(), 2);
        QCOMPARE(win.tk->boxes[1].title, QStringLiteral("Connect error..."));

        // Leaving a field selects its whole text.
        win->txtIP->setText(QStringLiteral("10.0.0.1"));
        win->txtIP->setFocus();
        win->txtIP->deselect();
        QTest::keyClick(win->txtIP, Qt::Key_Tab);
        QTRY_COMPARE(win->txtIP->selectedText(), QStringLiteral("10.0.0.1"));

        // The right button alone held over the port field opens the popup with its default item.
        QMouseEvent rightMove(QEvent::MouseMove, QPointF(5, 5), win->txtPort->mapToGlobal(QPointF(5, 5)),
                              Qt::NoButton, Qt::RightButton, Qt::NoModifier);
        QApplication::sendEvent(win->txtPort, &rightMove);
        QCOMPARE(win.tk->popups.size(), 1);
        QCOMPARE(win.tk->popups[0].menu, QStringLiteral("mnuPopup"));
        QCOMPARE(win.tk->popups[0].defaultItem, QStringLiteral("mnuPopupSniff"));
        QMouseEvent bothMove(QEvent::MouseMove, QPointF(5, 5), win->txtPort->mapToGlobal(QPointF(5, 5)),
                             Qt::NoButton, Qt::RightButton | Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(win->txtPort, &bothMove);
        QMouseEvent ipMove(QEvent::MouseMove, QPointF(5, 5), win->txtIP->mapToGlobal(QPointF(5, 5)),
                           Qt::NoButton, Qt::RightButton, Qt::NoModifier);
        QApplication::sendEvent(win->txtIP, &ipMove);
        QCOMPARE(win.tk->popups.size(), 1);
        QCOMPARE(win->txtIP->contextMenuPolicy(), Qt::NoContextMenu);
        QCOMPARE(win->txtPort->contextMenuPolicy(), Qt::NoContextMenu);
    }

    void statusLineFollowsTheSocket()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::Any, 0));
        const QString port = QString::number(server.serverPort());
        Window win = loadWindow();
        QStringList seen;
        QObject::connect(win->TimerStat, &QTimer::timeout, win.w.get(), [&] {
            if (seen.isEmpty() || seen.last() != win->LblStats->text())
                seen << win->LblStats->text();
        });
        win->txtIP->setText(QStringLiteral("localhost"));
        win->txtPort->setText(port);
        win->cmdConnect->click();
        QCOMPARE(win->StatusText(), QStringLiteral("Resolving Host..."));
        QTRY_VERIFY(seen.contains(QStringLiteral("Connected to 127.0.0.1 (localhost)")) ||
                    seen.contains(QStringLiteral("Connected to ::1 (localhost)")));

        win->txtIP->setText(QStringLiteral("127.0.0.1"));
        win->cmdConnect->click();
        QTRY_VERIFY(seen.contains(QStringLiteral("Connected to 127.0.0.1")));

        // The peer closes: the close routine runs and the line reads closed again.
        while (server.hasPendingConnections())
            delete server.nextPendingConnection();
        QTRY_COMPARE(win->LblStats->text(), QStringLiteral("Default. Closed."));

        QUdpSocket udpPeer;
        QVERIFY(udpPeer.bind(QHostAddress::LocalHost, 0));
        win->ComboType->setCurrentText(QStringLiteral("UDP"));
        win->txtPort->setText(QString::number(udpPeer.localPort()));
        win->cmdConnect->click();
        QTRY_VERIFY(win->LblStats->text().startsWith(QStringLiteral("Open. ")));
        QCOMPARE(win->LblStats->accessibleName(), win->LblStats->text());
    }
};

QTEST_MAIN(tst_DataPath)
#include "tst_datapath.moc"
