#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QSignalSpy>
#include <QTemporaryDir>

#include "Fixture.h"
#include "Pcapng.h"
#include "platform/LogPane.h"

namespace
{
constexpr quint32 Blue = 0xFF0000, Black = 0x000000;

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
        // NULs in 16-byte blocks and in the rest show as "?"; the caller's bytes stay as they are.
        const QByteArray given = QByteArray("\0z\0\0\0", 5).repeated(7);
        QByteArray binary = given;
        win->LogIt(binary, false);
        QCOMPARE(binary, given);
        QCOMPARE(win->txtRx->Text(), QByteArray("?z???").repeated(7));

        emit win->txtRx->DoubleClicked(); // empties the pane
        QByteArray blue("abc"), black("def"), more("!");
        win->LogIt(blue, true);
        win->LogIt(black, false);
        win->txtRx->SetSelection(3, 2); // a selection made by the user is dropped, not recoloured
        win->LogIt(more, true);
        QCOMPARE(win->txtRx->Text(), QByteArray("abcdef!"));
        QVERIFY(win->txtRx->ColorAt(2) == Blue && win->txtRx->ColorAt(6) == Blue);
        QCOMPARE(win->txtRx->ColorAt(3) | win->txtRx->ColorAt(4), Black);
        QCOMPARE(win->txtRx->SelLength(), 0);
    }

    void sendAndReceiveOverTcp()
    {
        auto s = connectedSession();
        QVERIFY(s);
        frmMain *w = s->win.w.get();
        QCOMPARE(QApplication::focusWidget(), w->txtTx);
        typeLine(w->txtTx, QStringLiteral("hello"));
        QCOMPARE(s->peerReads(7), QByteArray("hello\r\n"));
        QVERIFY(w->txtRx->ColorAt(0) == Blue && w->txtTx->text().isEmpty());
        // Typed text goes out in UTF-8, whatever the characters; the history keeps it as typed.
        const QString typed = QStringLiteral("h\u00e9llo \u20ac\u65e5\u672c");
        w->txtTx->setText(typed);
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        QCOMPARE(s->peerReads(18), QByteArray::fromHex("68c3a96c6c6f20e282ace697a5e69cac0d0a"));
        QCOMPARE(w->SentLines.value(w->SentLines.size() - 2), typed);
        w->cCrLf->setChecked(false);
        typeLine(w->txtTx, QStringLiteral("bare"));
        QCOMPARE(s->peerReads(4), QByteArray("bare"));
        w->cCrLf->setChecked(true);
        QTest::keyClick(w->txtTx, Qt::Key_Return); // an empty box sends the line end alone, stores nothing
        QCOMPARE(s->peerReads(2), QByteArray("\r\n"));
        QCOMPARE(w->SentLines.size(), 4);

        // A pasted megabyte goes out whole, not cut at the line edit's usual limit.
        const QString big(1 << 20, u'p');
        QApplication::clipboard()->setText(big);
        w->txtTx->paste();
        QTest::keyClick(w->txtTx, Qt::Key_Return);
        const QByteArray got = s->peerReads(big.size() + 2);
        QCOMPARE(got.size(), big.size() + 2);
        QVERIFY(got == big.toLatin1() + "\r\n");

        // Received data: black, LF shown as CR LF only while the box is checked, NUL as "?".
        w->txtRx->Clear();
        w->cCrLf->setChecked(false);
        s->peer->write("a\nb");
        QTRY_COMPARE(w->txtRx->Text(), QByteArray("a\nb"));
        w->cCrLf->setChecked(true);
        s->peer->write(QByteArray("\r\nx\0y", 5));
        QTRY_COMPARE(w->txtRx->Text(), QByteArray("a\nb\r\r\nx?y"));
        QCOMPARE(w->txtRx->ColorAt(0) | w->txtRx->ColorAt(8), Black);
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
        // 16 bytes a row where they fit, 8 in the window as it starts; the NUL
        // is the wire's. Every row is as wide as a full one.
        const QByteArray hex("00000000  41 42 0d 0a 43 00");
        QCOMPARE(pane->HexRow(0), hex + QByteArray(8, ' ') + "AB..C." + QByteArray(2, ' '));
        w->resize(900, w->height());
        QTRY_COMPARE(pane->HexRow(0), hex + QByteArray(32, ' ') + "AB..C." + QByteArray(10, ' '));
        // The accessible text is the rows as shown; each byte's two digits in its colour.
        QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(pane)->textInterface();
        QCOMPARE(text->text(0, text->characterCount()), QString::fromLatin1(pane->HexRow(0) + '\n'));
        const QImage shot = pane->viewport()->grab().toImage();
        for (int i = 0; i < 6; ++i) {
            const int at = LogHexRows::HexFirst + 3 * i;
            const QRect cell(pane->viewport()->mapFromGlobal(text->characterRect(at).topLeft()),
                             text->characterRect(at).size() + QSize(text->characterRect(at).width(), 0));
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

    // A session whose peer sends CR LF, a bare LF, a NUL and bytes that are not
    // UTF-8, with "Use CR/LF" checked and not: the text view as always, the hex
    // view and the three saved forms with the bytes as they went over the wire,
    // the capture between the two real ends of the connection.
    void wireBytesOfASession_data()
    {
        QTest::addColumn<bool>("crlf");
        QTest::newRow("CR/LF") << true;
        QTest::newRow("as is") << false;
    }
    void wireBytesOfASession()
    {
        QFETCH(bool, crlf);
        auto s = connectedSession();
        QVERIFY(s);
        frmMain *w = s->win.w.get();
        LogPane *pane = w->txtRx;
        w->cCrLf->setChecked(crlf);
        typeLine(w->txtTx, QStringLiteral("HELO me"));
        const QByteArray sent = crlf ? "HELO me\r\n" : "HELO me";
        QCOMPARE(s->peerReads(sent.size()), sent);
        const QByteArray got("250 ok\r\nbare\nnul\0end\n\xff\xfe", 23);
        s->peer->write(got);
        const QByteArray shown = crlf ? QByteArray("250 ok\r\r\nbare\r\nnul?end\r\n\xff\xfe")
                                      : QByteArray("250 ok\r\nbare\nnul?end\n\xff\xfe");
        QTRY_COMPARE(pane->Text(), sent + shown);

        pane->SetHexView(true);
        QByteArray hex;
        const qsizetype bytes = (pane->HexRow(0).size() - LogHexRows::HexFirst - 1) / 4; // a row's
        for (qint64 r = 0; !pane->HexRow(r).isEmpty(); ++r)
            hex += pane->HexRow(r).mid(LogHexRows::HexFirst, 3 * bytes).replace(' ', "");
        QCOMPARE(QByteArray::fromHex(hex), sent + got);

        QTemporaryDir dir;
        QSignalSpy finished(pane, &LogPane::SaveFinished);
        QMap<QString, QByteArray> saved;
        for (const char *name : {"s.txt", "s.pcapng", "s.bin"}) {
            s->win.tk->saveAs = dir.filePath(QLatin1String(name));
            w->txtRx_SaveAs();
            QVERIFY(finished.wait(10000));
            QFile f(s->win.tk->saveAs);
            QVERIFY(f.open(QIODevice::ReadOnly));
            saved[QLatin1String(name)] = f.readAll();
        }
        QVERIFY(s->win.tk->boxes.isEmpty());
        QCOMPARE(saved["s.bin"], sent + got);
        const QByteArray escaped = crlf ? "  HELO me\\r\\n\n" : "  HELO me\n";
        QVERIFY2(saved["s.txt"].contains(" sent 9 bytes\n" + escaped) || !crlf, saved["s.txt"].constData());
        QVERIFY2(saved["s.txt"].contains(escaped), saved["s.txt"].constData());
        QVERIFY2(saved["s.txt"].contains("  250 ok\\r\\n\n  bare\\n\n  nul\\0end\\n\n  \\xff\\xfe\n"),
                 saved["s.txt"].constData());
        QList<pcapng::Packet> packets;
        QVERIFY(pcapng::read(saved["s.pcapng"], packets));
        QVERIFY(!packets.isEmpty());
        QCOMPARE(packets[0].flags, pcapng::Syn);
        QCOMPARE(packets[0].src.toString(), QStringLiteral("127.0.0.1"));
        QCOMPARE(packets[0].sport, s->peer->peerPort()); // the window's own end
        QCOMPARE(packets[0].dport, s->server.serverPort());
        QByteArray fromClient, fromServer;
        for (const pcapng::Packet &p : std::as_const(packets))
            (p.sport == s->server.serverPort() ? fromServer : fromClient) += p.payload;
        QCOMPARE(fromClient, sent);
        QCOMPARE(fromServer, got);
    }

    // "Save Log As..." writes the pane's bytes as they stand; a failure is a box and
    // leaves nothing under the chosen name.
    void saveLogAs()
    {
        Window win = loadWindow();
        QTemporaryDir dir;
        QSignalSpy finished(win->txtRx, &LogPane::SaveFinished);
        // The dialog cancelled: no save starts, no box, no file, here or in the current folder.
        const QString cwd = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QByteArray first("first\n");
        win->LogIt(first, false);
        win.tk->saveAs.clear();
        emit win->txtRx->SaveAsRequested();
        // A save chosen next is the only one that ends.
        win.tk->saveAs = dir.filePath(QStringLiteral("chosen.log"));
        emit win->txtRx->SaveAsRequested();
        QVERIFY(finished.wait(5000));
        QDir::setCurrent(cwd);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished[0][0].toString(), win.tk->saveAs);
        QVERIFY(win.tk->boxes.isEmpty());
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("chosen.log")});
        QVERIFY(QFile::remove(win.tk->saveAs));
        win->txtRx->Clear();

        QByteArray data(3 * 1024 * 1024, Qt::Uninitialized);
        for (int i = 0; i < data.size(); ++i)
            data[i] = char(i % 7 == 0 ? '\n' : (i * 131) >> 3);
        win->LogIt(data, false, true);
        QByteArray sent("sent\r\n");
        win->LogIt(sent, true);
        win.tk->saveAs = dir.filePath(QStringLiteral("log.bin"));
        win->txtRx_SaveAs();
        // The bytes held when it was chosen, even though more arrive while it is
        // written: as they went over the wire, not as the text view shows them.
        const QByteArray held = data + sent;
        QByteArray later("later");
        win->LogIt(later, false);
        QFile saved(win.tk->saveAs);
        QTRY_VERIFY(saved.exists());
        QVERIFY(saved.open(QIODevice::ReadOnly));
        QCOMPARE(saved.readAll(), held);
        QTRY_COMPARE(finished.count(), 2); // the window's handler has run by then
        QVERIFY(win.tk->boxes.isEmpty());

        // A file where a folder should be: the save fails and nothing is left behind.
        win.tk->saveAs = dir.filePath(QStringLiteral("log.bin/inside.bin"));
        win->txtRx_SaveAs();
        QTRY_COMPARE(win.tk->boxes.size(), 1);
        QVERIFY(win.tk->boxes[0].text.contains(win.tk->saveAs));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("log.bin")});
    }

    void historyWalk()
    {
        auto s = connectedSession();
        QVERIFY(s);
        QLineEdit *tx = s->win->txtTx;
        for (const char *line : {"one", "two", "three"})
            typeLine(tx, QLatin1String(line));
        QCOMPARE(s->peerReads(16), QByteArray("one\r\ntwo\r\nthree\r\n"));
        const auto walk = [&](const char *keys) { // the lines shown for u(p) and d(own), all selected
            QStringList seen;
            for (const char *k = keys; *k; ++k) {
                QTest::keyClick(tx, *k == 'u' ? Qt::Key_Up : Qt::Key_Down);
                seen << (tx->selectedText() == tx->text() ? tx->text() : QStringLiteral("<not selected>"));
            }
            return seen.join(u' ');
        };
        QCOMPARE(walk("uuuudddd"), QStringLiteral("three two one one two three  ")); // stops at both ends
        QTest::keyClicks(tx, QStringLiteral("four")); // typed, not sent: kept while walking
        QCOMPARE(walk("ud"), QStringLiteral("three four"));
        QCOMPARE(walk("uu"), QStringLiteral("three two"));
        tx->end(false);
        QTest::keyClicks(tx, QStringLiteral("fold")); // an edit of a recalled line is kept too
        QCOMPARE(walk("ud"), QStringLiteral("one twofold"));
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

        // Full, it drops the oldest line; the position (16 bits) stays in range.
        s->win->SentLines.clear();
        for (int i = 0; i < 32768; ++i)
            s->win->SentLines << QString::number(i);
        typeLine(tx, QStringLiteral("newest"));
        QCOMPARE(s->win->SentLines.size(), 32768);
        QCOMPARE(s->win->SentLines.first(), QStringLiteral("1"));
        QCOMPARE(s->win->HistoryPos, qint16(32767));
    }

    void addressAndPortFields()
    {
        Window win = loadWindow(QString(), true);
        QVERIFY(QTest::qWaitForWindowActive(win.w.get()));
        // Enter in either field connects; the port field keeps its text and never sees the key.
        QSignalSpy returned(win->txtPort, &QLineEdit::returnPressed);
        win->txtPort->setText(QStringLiteral("abc"));
        QTest::keyClick(win->txtPort, Qt::Key_Return);
        win->txtIP->clear();
        QTest::keyClick(win->txtIP, Qt::Key_Enter);
        QVERIFY(win.tk->boxes.size() == 2 && returned.isEmpty());
        QCOMPARE(win->txtPort->text(), QStringLiteral("abc"));

        // The right button alone held over the port field opens the popup with its default item.
        const auto move = [](QLineEdit *field, Qt::MouseButtons held) {
            QMouseEvent e(QEvent::MouseMove, QPointF(5, 5), field->mapToGlobal(QPointF(5, 5)), Qt::NoButton,
                          held, Qt::NoModifier);
            QApplication::sendEvent(field, &e);
        };
        move(win->txtPort, Qt::RightButton);
        move(win->txtPort, Qt::RightButton | Qt::LeftButton);
        move(win->txtIP, Qt::RightButton);
        QCOMPARE(win.tk->popups.size(), 1);
        QCOMPARE(win.tk->popups[0].defaultItem, QStringLiteral("mnuPopupSniff"));
    }
};

QTEST_MAIN(tst_DataPath)
#include "tst_datapath.moc"
