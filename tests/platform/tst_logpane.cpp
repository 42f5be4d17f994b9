#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <algorithm>
#include <array>
#include <random>

#include "platform/Failure.h"
#include "platform/LogPane.h"

static constexpr quint32 Blue = 0xFF0000, Black = 0x000000, Green = 0x00FF00;
using Range = std::pair<qint64, qint64>;

// The model's layout of the line [s, e) of text: where each of its rows starts.
// Text (TABs, and UTF-8 as Qt decodes it inside one colour) is laid out by
// characters: wide ones take two cells, a TAB reaches the next multiple of 8.
// Anything else, plain ASCII, lines with bytes that are not UTF-8 and over-long
// lines, takes one cell per byte.
static std::vector<qint64> modelRows(const QByteArray &text, const QByteArray &colors, qint64 s, qint64 e,
                                     int cols)
{
    const auto wide = [](char32_t c) {
        return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
               (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
               (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) ||
               (c >= 0x1F300 && c <= 0x1F64F) || (c >= 0x1F900 && c <= 0x1F9FF) ||
               (c >= 0x20000 && c <= 0x3FFFD);
    };
    std::vector<qint64> starts{s};
    bool chars = false, bytes = e - s > LogStore::LongLine;
    int col = 0;
    for (qint64 i = s; i < e && !bytes;) {
        int len = 1, width = 1;
        if (quint8(text[i]) >= 0x80) {
            len = 0;
            for (int n = 2; n <= 4 && i + n <= e && colors[i + n - 1] == colors[i]; ++n) {
                const QByteArray seq = text.mid(i, n);
                const QString str = QString::fromUtf8(seq);
                if (str.toUcs4().size() == 1 && str.toUtf8() == seq) {
                    len = n;
                    width = wide(str.toUcs4()[0]) ? 2 : 1;
                    break;
                }
            }
            bytes = len == 0;
            chars = true;
        }
        if (text[i] == '\t') {
            chars = true;
            if (col >= cols) {
                starts.push_back(i);
                col = 0;
            }
            width = std::max(1, std::min(8 - col % 8, cols - col));
        } else if (col > 0 && col + width > cols) {
            starts.push_back(i);
            col = 0;
        }
        col += width;
        i += std::max(len, 1);
    }
    if (chars && !bytes)
        return starts;
    starts.resize(1);
    for (qint64 at = s + cols; at < e; at += cols)
        starts.push_back(at);
    return starts;
}

static void Log(LogPane &pane, quint32 color, const QByteArray &text)
{
    pane.SetCaret(pane.TextLength());
    pane.SetSelColor(color);
    pane.InsertAtCaret(text);
}

class TestLogPane : public QObject
{
    Q_OBJECT
private slots:
    // Append-only text and recolouring, also as the accessible text interface reports them.
    void appendOnlyOverlaysAndAccessibleText()
    {
        LogPane pane;
        Log(pane, Blue, "0123456789");
        Log(pane, Black, QByteArray("abcd\0fghij", 10));
        pane.SetCaret(5); // only the end takes text; a refused insert leaves the text as it was
        QVERIFY_THROWS_EXCEPTION(Failure, pane.InsertAtCaret("x"));
        QCOMPARE(pane.Text(), QByteArray("0123456789abcd\0fghij", 20));

        // Recolouring a selection inside an earlier one splits it; the insert colour stays.
        pane.SetSelection(5, 10);
        pane.SetSelColor(Green);
        pane.SetSelection(8, 2);
        pane.SetSelColor(Blue);
        QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(&pane)->textInterface();
        QCOMPARE(text->text(7, 11), QString("789a"));
        const std::tuple<qint64, qint64, quint32, const char *> runs[] = {
            {5, 8, Green, "0,255,0"}, {8, 10, Blue, "0,0,255"}, {10, 15, Green, "0,255,0"}};
        for (auto [start, end, color, rgb] : runs) {
            qint64 s = -1, e = -1;
            QCOMPARE(pane.RunAt((start + end) / 2, &s, &e), color);
            QCOMPARE(Range(s, e), Range(start, end));
            int as = -1, ae = -1;
            QCOMPARE(text->attributes(int(start), &as, &ae), QString("color:rgb(%1);").arg(rgb));
            QCOMPARE(Range(as, ae), Range(start, end));
        }
        // A selection that ends at the end is collapsed, not replaced.
        pane.SetSelection(12, 8);
        pane.InsertAtCaret("tail");
        QCOMPARE(pane.Text().right(8), QByteArray("ghijtail"));
        QCOMPARE(pane.ColorAt(22), Black);

        pane.Clear();
        pane.InsertAtCaret(QByteArray(20, 'n'));            // at 0, in the insert colour
        QCOMPARE(pane.ColorAt(6) | pane.ColorAt(9), Black); // no recolouring left over
    }

    // Offsets of the accessible text count UTF-16 units, as Qt's interface does:
    // UTF-8 of two to four bytes, wide characters, one beyond the BMP (two units),
    // binary bytes and NULs (one each), in two colours. A sequence cut by a colour
    // change shows as its bytes.
    void accessibleOffsetsCountUtf16()
    {
        LogPane pane;
        pane.resize(900, 300);
        pane.show();
        struct Piece {
            quint32 color;
            QByteArray bytes;
            QString shown;
            unsigned conversion = LogStore::AsIs;
        };
        const QString emoji = QStringLiteral("\U0001F600");
        const Piece pieces[] = {
            {Black, "sent ascii\n", "sent ascii\n"},
            {Blue, "caf\xc3\xa9 \xe2\x82\xac 5\n", QStringLiteral("caf\u00e9 \u20ac 5\n")},
            {Black, "\xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x98\x80 wide\n",
             QStringLiteral("\u65e5\u672c ") + emoji + " wide\n"},
            {Blue, QByteArray("bin \xff\xfe\x80\0 end\n", 13),
             QStringLiteral("bin \u00ff\u00fe\u0080") + QChar(0) + " end\n"},
            {Black, "\xc3", QStringLiteral("\u00c3")},
            {Blue, "\xa9 cut \xf0\x9f\x98\x80!\n", QStringLiteral("\u00a9 cut ") + emoji + "!\n"},
            {Black, QByteArray("r\xc3\xa9\0x\n", 6), QStringLiteral("r\u00e9?x\r\n"),
             LogStore::NulToQuestion | LogStore::LfToCrLf},
        };
        QString all;
        std::vector<Range> units, bytes; // of each piece
        for (const Piece &p : pieces) {
            pane.SetCaret(pane.TextLength());
            pane.SetSelColor(p.color);
            QByteArray given = p.bytes;
            const qint64 before = pane.TextLength();
            pane.InsertAtCaret(given, p.conversion);
            bytes.push_back({before, pane.TextLength()});
            units.push_back({all.size(), all.size() + p.shown.size()});
            all += p.shown;
        }
        QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(&pane)->textInterface();
        QCOMPARE(text->characterCount(), all.size());
        QCOMPARE(text->text(0, -1), all);
        for (int a = 0; a <= all.size(); ++a) // from every offset, halves of a surrogate pair too
            QCOMPARE(text->text(a, all.size()), all.mid(a));

        for (size_t k = 0; k < std::size(pieces); ++k) {
            const auto [s, e] = units[k];
            const QColor c = LogPane::ToQColor(pieces[k].color);
            QCOMPARE(text->text(int(s), int(e)), pieces[k].shown);
            int as = -1, ae = -1;
            QCOMPARE(text->attributes(int(e) - 1, &as, &ae),
                     QString("color:rgb(%1,%2,%3);").arg(c.red()).arg(c.green()).arg(c.blue()));
            QCOMPARE(Range(as, ae), Range(s, e));
            // The caret and the selection, set either way, in units here and bytes there.
            pane.SetCaret(bytes[k].first);
            QCOMPARE(text->cursorPosition(), int(s));
            text->setCursorPosition(int(e));
            QCOMPARE(pane.Caret(), bytes[k].second);
            pane.SetSelection(bytes[k].first, bytes[k].second - bytes[k].first);
            int ss = -1, se = -1;
            text->selection(0, &ss, &se);
            QCOMPARE(Range(ss, se), Range(s, e));
            pane.SetCaret(0);
            text->setSelection(0, int(s), int(e));
            QCOMPARE(Range(pane.SelStart(), pane.SelStart() + pane.SelLength()), bytes[k]);
            text->selection(0, &ss, &se);
            QCOMPARE(Range(ss, se), Range(s, e));
        }

        // Lines, characters and cells around the emoji of the third line.
        const int smile = int(all.indexOf(emoji));
        int ls = -1, le = -1;
        QCOMPARE(text->textAtOffset(smile + 3, QAccessible::LineBoundary, &ls, &le), pieces[2].shown);
        QCOMPARE(Range(ls, le), units[2]);
        QCOMPARE(text->textAtOffset(smile, QAccessible::CharBoundary, &ls, &le), emoji);
        QCOMPARE(Range(ls, le), Range(smile, smile + 2));
        QCOMPARE(text->textAfterOffset(smile, QAccessible::LineBoundary, &ls, &le), pieces[3].shown);
        QCOMPARE(Range(ls, le), units[3]);
        const QRect face = text->characterRect(smile), after = text->characterRect(smile + 3);
        QCOMPARE(after.x() - face.x(), face.width() + face.width() / 2); // two cells, then a space
        QCOMPARE(text->offsetAtPoint(after.center()), smile + 3);
        QCOMPARE(text->offsetAtPoint(face.topLeft() + QPoint(1, 1)), smile);
        text->setSelection(0, smile + 1, smile + 2); // half a pair selects all of it
        QCOMPARE(pane.SelectedText(), QByteArray("\xf0\x9f\x98\x80"));
    }

    // The units stay right while the ring drops its oldest segments, cutting
    // sequences at its new start, and while sequences straddle segments or arrive
    // in two parts.
    void accessibleUnitsAcrossSegmentsAndDrops()
    {
        LogPane pane;
        pane.SetCapacity(LogPane::MinCapacity);
        QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(&pane)->textInterface();
        // The kept bytes as shown: continuation bytes whose start was dropped each
        // show on their own, the rest is whole UTF-8.
        const auto shown = [](const QByteArray &b) {
            qsizetype orphans = 0;
            while (orphans < b.size() && (quint8(b[orphans]) & 0xC0) == 0x80)
                ++orphans;
            return QString::fromLatin1(b.left(orphans)) + QString::fromUtf8(b.mid(orphans));
        };
        static const char *const chars[] = {"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80", "x", "\t"};
        std::mt19937 rng(3);
        bool dropped = false;
        for (int i = 0; i < 400; ++i) {
            QByteArray line;
            for (int n = int(rng() % 300); n > 0; --n)
                line += chars[rng() % 5];
            line += '\n';
            const quint32 color = i % 2 ? Blue : Black;
            if (rng() % 4 == 0) { // in two parts of one colour, cut inside a sequence
                const qsizetype cut = line.indexOf('\xf0');
                if (cut >= 0) {
                    Log(pane, color, line.left(cut + 2));
                    QCOMPARE(text->characterCount(), shown(pane.Text()).size());
                    line = line.mid(cut + 2);
                }
            }
            Log(pane, color, line);
            const QByteArray kept = pane.Text();
            dropped = dropped || (quint8(kept[0]) & 0xC0) == 0x80;
            const QString all = shown(kept);
            QCOMPARE(text->characterCount(), all.size());
            QCOMPARE(text->text(all.size() - 20, all.size()), all.right(20));
            // A character start somewhere in the kept text, as caret and line start.
            qint64 at = qint64(rng() % kept.size());
            while ((quint8(kept[at]) & 0xC0) == 0x80 && at + 1 < kept.size())
                ++at;
            const int unit = int(shown(kept.left(at)).size());
            pane.SetCaret(at);
            QCOMPARE(text->cursorPosition(), unit);
            QCOMPARE(text->text(unit, unit + 10), all.mid(unit, 10));
        }
        QVERIFY(dropped); // the ring did cut a sequence at its start
    }

    // Full, the pane keeps the newest text in the same memory; a recolouring that falls
    // out of the ring leaves nothing behind.
    void capacityRing()
    {
        LogPane pane;
        pane.SetCapacity(1000); // raised to the minimum
        QByteArray all;
        qint64 fullMemory = -1;
        for (int i = 0; i < 20000; ++i) {
            const QByteArray line = QByteArray::number(i).rightJustified(7, '0') + "\n";
            Log(pane, Black, line);
            all += line;
            if (i == 10000) { // full by now
                fullMemory = pane.MemoryUse();
                pane.SetSelection(0, 100);
                pane.SetSelColor(Green);
            }
        }
        QCOMPARE(pane.MemoryUse(), fullMemory);
        const qint64 kept = pane.TextLength();
        QVERIFY2(kept > LogPane::MinCapacity * 7 / 8, qPrintable(QString::number(kept)));
        QCOMPARE(pane.Text(), all.right(kept));
        qint64 start = -1, end = -1;
        QCOMPARE(pane.RunAt(0, &start, &end), Black);
        QCOMPARE(end, kept);
    }

    // UTF-8 shows as characters in the cells they take; whatever is not a valid
    // sequence inside one colour shows byte by byte. Copy and screen readers get
    // the characters.
    void utf8AndTabsInCells()
    {
        LogPane pane;
        pane.resize(1600, 300);
        pane.show();
        QVERIFY(pane.Columns() > 140);
        QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(&pane)->textInterface();
        const auto col = [&](int offset) {
            const int cell = text->characterRect(1).x() - text->characterRect(0).x();
            return (text->characterRect(offset).x() - text->characterRect(0).x()) / cell;
        };
        const QString hello = QStringLiteral("h\u00e9llo \u20ac\u65e5\u672c|");
        QByteArray bytes = hello.toUtf8();
        Log(pane, Black, bytes.left(2)); // a sequence split across two arrivals of one colour
        Log(pane, Black, bytes.mid(2) + "\r\n");
        QCOMPARE(text->text(0, text->characterCount()), hello + "\r\n");
        QCOMPARE(col(2), 2);                   // "l" after the one-cell "é"
        QCOMPARE(col(hello.indexOf('|')), 11); // after two wide characters
        QTest::keyClick(&pane, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), hello + "\r\n");

        // A colour change inside a sequence, every high byte value, and TABs.
        pane.Clear();
        Log(pane, Black, "\xc3");
        Log(pane, Blue, "\xa9\n");
        QCOMPARE(text->text(0, 3), QStringLiteral("\u00c3\u00a9\n"));
        QCOMPARE(col(1), 1);
        QByteArray high;
        for (int b = 0x80; b < 0x100; ++b)
            high += char(b);
        Log(pane, Black, high + "\n");
        QCOMPARE(col(3 + 127), 127); // none of them starts a valid sequence: one cell each
        Log(pane, Black, "a\tb\tcdefghij\tk");
        const int tabs = 3 + 129;
        QCOMPARE(col(tabs + 2), 8);
        QCOMPARE(col(tabs + 4), 16);
        QCOMPARE(col(tabs + 13), 32);
    }

    // Switching to the hex view and back keeps the place in the text.
    void hexViewKeepsThePlace()
    {
        LogPane pane;
        pane.resize(700, 300);
        pane.show();
        QByteArray lines;
        for (int i = 0; i < 3000; ++i)
            lines += "line " + QByteArray::number(i) + "\n";
        pane.InsertAtCaret(lines);
        QScrollBar *sb = pane.verticalScrollBar();
        QTRY_VERIFY(sb->maximum() > 2000);
        sb->setValue(1234);
        pane.SetHexView(true);
        QVERIFY(sb->value() > 0 && sb->value() < sb->maximum());
        const qint64 rowBytes = pane.HexRow(1).left(8).toLongLong(nullptr, 16); // 16, or 8 at this width
        QVERIFY(rowBytes == 8 || rowBytes == 16);
        QCOMPARE(pane.HexRow(sb->value()).left(8),
                 QByteArray::number(sb->value() * rowBytes, 16).rightJustified(8, '0'));
        pane.SetHexView(false);
        QCOMPARE(sb->value(), 1234);
    }

    // Appended text is announced to assistive technology a few times a second at
    // most, however many pieces arrive, and each announcement is what came since.
    void newTextIsAnnounced()
    {
        LogPane pane;
        pane.show();
        QList<QPair<int, QString>> inserted;
        connect(&pane, &LogPane::Announced, [&](int at, const QString &text) {
            inserted.append({at, text});
        });
        QElapsedTimer clock;
        clock.start();
        int pieces = 0;
        while (clock.elapsed() < 600) {
            pane.InsertAtCaret(QByteArray::number(pieces++) + '\n');
            QTest::qWait(2);
        }
        QTRY_VERIFY(!inserted.isEmpty() &&
                    inserted.last().first + inserted.last().second.size() == pane.TextLength());
        QVERIFY2(inserted.size() <= 4 && pieces > 20,
                 qPrintable(QStringLiteral("%1 events for %2 pieces").arg(inserted.size()).arg(pieces)));
        QString all;
        for (const auto &[at, text] : inserted) {
            QCOMPARE(at, all.size()); // each one starts where the last ended
            all += text;
        }
        QCOMPARE(all, QString::fromLatin1(pane.Text()));
        // A flood is told by its newest part only.
        pane.InsertAtCaret(QByteArray(100000, 'f') + "end");
        QTRY_COMPARE(inserted.last().first + inserted.last().second.size(), pane.TextLength());
        QVERIFY(inserted.last().second.size() <= 4096 &&
                inserted.last().second.endsWith(QStringLiteral("fend")));
    }

    // A line whose binary start the ring has dropped is laid out by what is kept:
    // here wide characters, two cells each.
    void lineLosingItsBinaryStart()
    {
        LogStore store;
        store.SetCapacity(LogPane::MinCapacity);
        store.SetColumns(10);
        store.Append(QByteArray(4096, '\xff').constData(), 4096, Black);
        const QByteArray wide = QByteArray("\xf0\x9f\x98\x80").repeated(20000);
        store.Append(wide.constData(), wide.size(), Black);
        store.Append("\n", 1, Black);
        const qint64 kept = store.Size() - 1; // whole characters: segments hold 4 KiB
        QVERIFY(kept < wide.size() && kept % 4 == 0);
        QCOMPARE(store.RowCount(), (kept / 4 + 4) / 5 + 1); // and the empty last line
    }

    // Random appends, widths, capacities and clears against a plain model: the
    // kept text, colours, row count and row-to-line mapping must agree, and so
    // must the wire bytes behind the text, their offsets and the arrivals.
    void storeMatchesModel()
    {
        std::mt19937 rng(7);
        for (int round = 0; round < 40; ++round) {
            LogStore store;
            QByteArray all, colors, text; // as stored, their colours, as the text view reads them
            QByteArray viewOnly;          // 1 for each CR stored for the text view only
            std::vector<LogStore::Arrival> arrivals;
            std::vector<qint64> wireBefore{0}; // wire bytes before each of all's
            qint64 clock = 1'700'000'000'000'000;
            for (int op = 0; op < 40; ++op) {
                const int kind = int(rng() % 12);
                if (kind == 0) {
                    store.SetColumns(1 + int(rng() % 100));
                } else if (kind == 1) {
                    store.SetCapacity(LogPane::MinCapacity << (rng() % 3));
                } else if (kind == 2 && rng() % 4 == 0) {
                    store.Clear();
                    all.clear();
                    colors.clear();
                    text.clear();
                    viewOnly.clear();
                    arrivals.clear();
                    wireBefore.assign(1, 0);
                } else {
                    // Some runs hold no LF across whole segments, as binary data does;
                    // some are clean text, so a line can lose its binary start to the ring.
                    const bool noLf = rng() % 4 == 0, clean = rng() % 3 == 0;
                    QByteArray b(noLf             ? int(rng() % 80000)
                                 : rng() % 4 == 0 ? int(rng() % 30000)
                                                  : int(rng() % 300),
                                 'x');
                    for (char &c : b) {
                        const int r = int(rng() % 100);
                        c = r < 5              ? '\n'
                            : r < 8            ? '\r'
                            : r < 20 && !clean ? char(rng() % 256)
                                               : char('a' + r % 26);
                        if (noLf && c == '\n')
                            c = 'y';
                    }
                    // Characters of two, three (one of them wide) and four bytes, and TABs.
                    static const char *const samples[] = {"\xc3\xa9", "\xe2\x82\xac", "\xe6\x97\xa5",
                                                          "\xf0\x9f\x98\x80", "\t"};
                    for (int k = int(rng() % 40); k > 0; --k)
                        b.insert(int(rng() % (b.size() + 1)), samples[rng() % 5]);
                    const quint32 color = rng() % 3;
                    // Half the time each LF shows as CR LF, and each NUL as "?"; the
                    // bytes are kept as given, with a CR stored before each LF for the view.
                    const unsigned conversion = rng() % 4;
                    const auto dir = LogStore::Direction(rng() % 5);
                    clock += 3;
                    const qint64 micros = clock - qint64(rng() % 5);
                    const QByteArray given(b.constData(), b.size());
                    store.Append(given.constData(), given.size(), color, conversion, dir, micros);
                    QCOMPARE(given, b); // never changed
                    if (!b.isEmpty())
                        arrivals.push_back({all.size(), 0, micros, dir, conversion});
                    for (const char c : std::as_const(b)) {
                        if (c == '\n' && (conversion & LogStore::LfToCrLf)) {
                            all.append('\r');
                            viewOnly.append('\1');
                            text.append('\r');
                            wireBefore.push_back(wireBefore.back());
                        }
                        all.append(c);
                        viewOnly.append('\0');
                        text.append(c == 0 && (conversion & LogStore::NulToQuestion) ? '?' : c);
                        wireBefore.push_back(wireBefore.back() + 1);
                    }
                    if (!b.isEmpty())
                        arrivals.back().End = all.size();
                    colors += QByteArray(all.size() - colors.size(), char(color));
                }
                const qint64 size = store.Size(), first = all.size() - size;
                QVERIFY(size <= store.Capacity());
                QByteArray kept(size, Qt::Uninitialized);
                store.Read(store.Begin(), size, kept.data());
                QCOMPARE(kept, all.right(size));
                QCOMPARE(store.TextBytes(store.Begin(), store.End()), text.right(size));
                for (qint64 i = 0; i < size; i += 1 + rng() % 97)
                    QCOMPARE(store.ColorAt(store.Begin() + i), quint32(colors[first + i]));
                // The wire bytes: what was given, without the CRs stored for the view
                // (all of them every few steps). Wire offsets count them from the
                // start; positions are all's indexes.
                if (op % 4 == 3) {
                    QByteArray wire;
                    std::vector<qint64> wirePos;
                    for (qint64 i = first; i < all.size(); ++i)
                        if (!viewOnly[i]) {
                            wire += all[i];
                            wirePos.push_back(i);
                        }
                    QByteArray got;
                    std::vector<qint64> gotPos;
                    store.WireBytes(store.Begin(), store.End(), got, &gotPos);
                    QCOMPARE(got, wire);
                    QVERIFY(gotPos == wirePos);
                }
                QCOMPARE(store.WireBegin(), wireBefore[size_t(first)]);
                QCOMPARE(store.WireEnd(), wireBefore.back());
                for (int q = 0; q < 20 && size > 0; ++q) {
                    const qint64 i = first + qint64(rng() % size);
                    QCOMPARE(store.IsShownOnly(i), viewOnly[i] != 0);
                    const qint64 w = wireBefore[size_t(i)];
                    QCOMPARE(store.WireOf(i), w);
                    if (!viewOnly[i])
                        QCOMPARE(store.PosOfWire(w), i);
                }
                // The arrivals holding kept bytes, the oldest cut at the ring's start.
                std::vector<LogStore::Arrival> keptArrivals;
                for (LogStore::Arrival a : arrivals)
                    if (a.End > first) {
                        a.Start = std::max(a.Start, first);
                        keptArrivals.push_back(a);
                    }
                std::vector<LogStore::Arrival> seen;
                store.ForEachArrival(store.Begin(), store.End(), [&](const LogStore::Arrival &a) {
                    seen.push_back(a);
                    return true;
                });
                QCOMPARE(seen.size(), keptArrivals.size());
                for (size_t k = 0; k < seen.size(); ++k) {
                    const LogStore::Arrival &a = seen[k], &m = keptArrivals[k];
                    QCOMPARE((std::array{a.Start, a.End, qint64(a.Dir), qint64(a.Conversion)}),
                             (std::array{m.Start, m.End, qint64(m.Dir), qint64(m.Conversion)}));
                    // Times as given, except that they never go back.
                    QVERIFY(a.Micros >= m.Micros && (k == 0 || a.Micros >= seen[k - 1].Micros));
                    QVERIFY(a.Micros - m.Micros < 5);
                }
                // UTF-16 units, counted ahead in the segments, against the decoded text
                // (every few steps: the counts kept meanwhile must follow drops and clears).
                if (op % 8 == 7 && size > 0) {
                    const QString shown = store.Decoded(store.Begin(), store.End());
                    QCOMPARE(store.Units(), shown.size());
                    const qint64 at = store.CharStart(store.Begin() + qint64(rng() % size));
                    const qint64 unit = shown.size() - store.Decoded(at, store.End()).size();
                    QCOMPARE(store.UnitOf(at), unit);
                    QCOMPARE(store.PosOfUnit(unit), at);
                }

                // The model's rows: (line start, shown end, row inside the line, row start).
                std::vector<std::array<qint64, 4>> rows;
                const int cols = store.Columns();
                for (qint64 s = 0, i = 0; i <= size; ++i) {
                    if (i < size && kept[i] != '\n')
                        continue;
                    qint64 e = i; // up to two CRs before an LF end the line with it
                    while (i < size && e > s && i - e < 2 && kept[e - 1] == '\r')
                        --e;
                    const std::vector<qint64> starts = modelRows(kept, colors.right(size), s, e, cols);
                    for (size_t r = 0; r < starts.size(); ++r)
                        rows.push_back(
                            {store.Begin() + s, store.Begin() + e, qint64(r), store.Begin() + starts[r]});
                    s = i + 1;
                }
                QCOMPARE(store.RowCount(), qint64(rows.size()));
                for (int q = 0; q < 10; ++q) {
                    const qint64 row = qint64(rng() % rows.size());
                    qint64 inLine = -1;
                    const LogStore::Line line = store.LineAtRow(row, &inLine);
                    qint64 start = 0, end = 0;
                    store.RowBounds(line, inLine, &start, &end);
                    QCOMPARE((std::array{line.Start, line.ContentEnd, inLine, start}), rows[size_t(row)]);
                    QCOMPARE(store.RowOf(start), row);
                }
            }
        }
        // CRs in one segment hide with their LF at offset 0 or 1 of the next.
        LogStore store;
        const int seg = store.SegmentSize();
        const QByteArray text = QByteArray(seg - 2, 'a') + "\r\r\n" + QByteArray(seg - 2, 'b') + "\r\r\nc";
        store.Append(text.constData(), text.size(), 0);
        QCOMPARE(store.LineAt(0).ContentEnd, seg - 2);
        QCOMPARE(store.LineAt(seg + 1).ContentEnd, 2 * seg - 1);
        store.SetColumns(2); // the two long lines fill their rows exactly
        QCOMPARE(store.RowCount(), seg - 1);

        // A converted LF whose CR ends a segment: the LF opens the next one.
        LogStore converted;
        const QByteArray lines = QByteArray(seg - 1, 'a') + "\n" + "b\n";
        converted.Append(lines.constData(), lines.size(), 0, LogStore::LfToCrLf);
        QByteArray back(converted.Size(), Qt::Uninitialized);
        converted.Read(converted.Begin(), converted.Size(), back.data());
        QCOMPARE(back, QByteArray(seg - 1, 'a') + "\r\nb\r\n");
        QCOMPARE(converted.LineAt(0).ContentEnd, seg - 1);
        QCOMPARE(converted.LineAt(seg + 1).Start, seg + 1);
    }

    // Binary bytes and an 8 MiB line paint at any size; the view follows the end in the text's colour.
    void paintHugeAndBinary()
    {
        LogPane pane;
        pane.show();
        QByteArray binary(64 * 256, 0);
        for (int i = 0; i < binary.size(); ++i)
            binary[i] = char(i);
        Log(pane, Blue, binary + QByteArray(8 * 1024 * 1024, 'L'));
        for (QSize size : {QSize(2000, 1500), QSize(0, 0), QSize(400, 300)}) {
            pane.resize(size);
            pane.grab();
        }
        QScrollBar *sb = pane.verticalScrollBar();
        QTRY_COMPARE(sb->maximum(), int(pane.RowCount()) - sb->pageStep());
        QCOMPARE(sb->value(), sb->maximum());
        const QImage img = pane.viewport()->grab().toImage().convertToFormat(QImage::Format_RGB32);
        const QRgb *px = reinterpret_cast<const QRgb *>(img.constBits());
        QVERIFY(std::any_of(px, px + img.sizeInBytes() / 4,
                            [](QRgb c) { return qBlue(c) > 128 && qRed(c) < 100; }));
    }

    void mouseCopyAndDoubleClick()
    {
        LogPane pane;
        pane.resize(400, 300);
        pane.show();
        Log(pane, Black, "abc\xe9\x01xyz\n");
        Log(pane, Blue, "second line\n");
        const int cw = pane.fontMetrics().horizontalAdvance('M'), lh = pane.fontMetrics().height();
        QWidget *vp = pane.viewport();
        QSignalSpy spy(&pane, &LogPane::DoubleClicked);
        QTest::mouseDClick(vp, Qt::LeftButton, {}, QPoint(5, 5));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(pane.SelLength(), 0); // no word selection
        // Drag from the 2nd cell of row 0 to the 4th cell of row 1, then copy.
        QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(cw + 1, lh / 2));
        QTest::mouseMove(vp, QPoint(4 * cw + 1, lh + lh / 2));
        QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(4 * cw + 1, lh + lh / 2));
        QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromLatin1("bc\xe9\x01xyz\nseco"));

        // The same made right to left, by a drag and by a Shift+click: the same text.
        const QString utf8 = QStringLiteral("\u00e9t\u00e9 \u65e5\u672c x");
        Log(pane, Black, utf8.toUtf8() + "\n");
        const QString expected = QStringLiteral("ond line\n\u00e9t\u00e9 \u65e5\u672c");
        QGuiApplication::clipboard()->clear();
        QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(7 * cw + 1, 2 * lh + lh / 2));
        QTest::mouseMove(vp, QPoint(3 * cw + 1, lh + lh / 2));
        QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(3 * cw + 1, lh + lh / 2));
        QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), expected);
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(vp, Qt::LeftButton, {}, QPoint(7 * cw + 1, 2 * lh + lh / 2));
        QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, QPoint(3 * cw + 1, lh + lh / 2));
        QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QGuiApplication::clipboard()->text(), expected);
    }

    // The hex view at 40 to 80 columns: every row it paints fits in the viewport,
    // whole, with the characters of all its bytes.
    void hexRowsFitTheWidth()
    {
        LogPane pane;
        pane.resize(800, 200);
        pane.show();
        QByteArray data;
        for (int i = 0; i < 200; ++i)
            data += char('A' + i % 26);
        Log(pane, Black, data);
        pane.SetHexView(true);
        QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(&pane)->textInterface();
        const int cell = text->characterRect(0).width(); // one character of a row
        QVERIFY(cell > 0);
        QWidget *vp = pane.viewport();
        for (int cols = 40; cols <= 80; ++cols) {
            pane.resize(pane.width() + cols * cell + cell / 2 - vp->width(), pane.height());
            QCOMPARE(vp->width() / cell, cols);
            pane.grab(); // painted at this width
            const QByteArray row = pane.HexRow(0);
            int bytes = 0;
            for (int n : {4, 8, 16})
                bytes = row.endsWith(data.left(n)) ? n : bytes;
            QVERIFY2(bytes > 0 && qsizetype(row.size()) * cell <= vp->width(),
                     qPrintable(QStringLiteral("%1 columns: %2").arg(cols).arg(QString::fromLatin1(row))));
            for (qint64 r = 1; r * bytes < data.size(); ++r) // the last one padded
                QCOMPARE(pane.HexRow(r).size(), row.size());
        }
    }
};

QTEST_MAIN(TestLogPane)
#include "tst_logpane.moc"
