#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>

#include <random>

#include "platform/Failure.h"
#include "platform/LogPane.h"

namespace
{
constexpr quint32 Blue = 0xFF0000;
constexpr quint32 Black = 0x000000;
constexpr quint32 Green = 0x00FF00;

void Log(LogPane &pane, quint32 color, const QByteArray &text)
{
    pane.SetCaret(pane.TextLength());
    pane.SetSelColor(color);
    pane.InsertAtCaret(text);
}

bool HasInk(const QImage &image)
{
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != qRgb(255, 255, 255))
                return true;
    return false;
}
} // namespace

class TestLogPane : public QObject
{
    Q_OBJECT
private slots:
    void appendsReadBack();
    void colourRuns();
    void recolouredSelection();
    void insertAwayFromEndFails();
    void clearLarge();
    void capacityRing();
    void wrapping();
    void storeMatchesModel();
    void hugeLineAndBinaryPaint();
    void followsTheEnd();
    void mouseSelectionAndCopy();
    void doubleClick();
    void accessibleText();
};

void TestLogPane::appendsReadBack()
{
    LogPane pane;
    QSignalSpy changed(&pane, &LogPane::Changed);
    Log(pane, Black, "hello ");
    Log(pane, Black, QByteArray("w\0rld\r\n", 7));
    pane.InsertAtCaret(QByteArray());
    QCOMPARE(pane.TextLength(), 13);
    QCOMPARE(pane.Text(), QByteArray("hello w\0rld\r\n", 13));
    QCOMPARE(pane.Text(6, 3), QByteArray("w\0r", 3));
    QCOMPARE(pane.Text(10, 100), QByteArray("d\r\n"));
    QCOMPARE(pane.Text(50, 3), QByteArray());
    QCOMPARE(pane.Caret(), 13);
    QCOMPARE(changed.count(), 2); // the empty insert is no change

    pane.SetCaret(-5);
    QCOMPARE(pane.Caret(), 0);
    pane.SetCaret(1000);
    QCOMPARE(pane.Caret(), 13);
    pane.SetSelection(8, 3);
    QCOMPARE(pane.SelStart(), 8);
    QCOMPARE(pane.SelectedText(), QByteArray("rld"));
    QCOMPARE(pane.Caret(), 11);
}

void TestLogPane::colourRuns()
{
    LogPane pane;
    Log(pane, Blue, "sent\n");
    Log(pane, Blue, QByteArray()); // must not start a run of its own
    Log(pane, Black, "got");
    Log(pane, Black, "more");
    QCOMPARE(pane.ColorAt(0), Blue);
    QCOMPARE(pane.ColorAt(4), Blue);
    QCOMPARE(pane.ColorAt(5), Black);
    QCOMPARE(pane.ColorAt(11), Black);
    qint64 s, e;
    QCOMPARE(pane.RunAt(2, &s, &e), Blue);
    QCOMPARE(s, 0);
    QCOMPARE(e, 5);
    QCOMPARE(pane.RunAt(9, &s, &e), Black);
    QCOMPARE(s, 5);
    QCOMPARE(e, 12);
}

void TestLogPane::recolouredSelection()
{
    LogPane pane;
    Log(pane, Blue, "0123456789");
    Log(pane, Black, "abcdefghij");
    pane.SetSelection(5, 10);
    pane.SetSelColor(Green);
    QCOMPARE(pane.CurrentColor(), Black); // the insert colour is untouched
    QCOMPARE(pane.ColorAt(4), Blue);
    QCOMPARE(pane.ColorAt(5), Green);
    QCOMPARE(pane.ColorAt(14), Green);
    QCOMPARE(pane.ColorAt(15), Black);
    // A second recolouring inside the first splits it.
    pane.SetSelection(8, 2);
    pane.SetSelColor(Blue);
    qint64 s, e;
    QCOMPARE(pane.RunAt(6, &s, &e), Green);
    QCOMPARE(s, 5);
    QCOMPARE(e, 8);
    QCOMPARE(pane.RunAt(9, &s, &e), Blue);
    QCOMPARE(s, 8);
    QCOMPARE(e, 10);
    QCOMPARE(pane.RunAt(17, &s, &e), Black);
    QCOMPARE(s, 15);
    QCOMPARE(e, 20);

    pane.SetCaret(pane.TextLength());
    pane.InsertAtCaret("tail");
    QCOMPARE(pane.ColorAt(21), Black);
    QCOMPARE(pane.Text(), QByteArray("0123456789abcdefghijtail"));
}

void TestLogPane::insertAwayFromEndFails()
{
    LogPane pane;
    Log(pane, Black, "abcdef");
    for (qint64 caret : {0, 3, 5}) {
        pane.SetCaret(caret);
        try {
            pane.InsertAtCaret("x");
            QFAIL("an insert before the end was taken");
        } catch (const Failure &f) {
            QCOMPARE(f.Number, FailureNo::LogFailure);
            QVERIFY(!f.Description.isEmpty());
        }
    }
    QCOMPARE(pane.Text(), QByteArray("abcdef"));
    // A selection that ends at the end is collapsed, not replaced.
    pane.SetSelection(2, 4);
    pane.InsertAtCaret("g");
    QCOMPARE(pane.Text(), QByteArray("abcdefg"));
    QCOMPARE(pane.SelLength(), 0);
    QCOMPARE(pane.Caret(), 7);
}

void TestLogPane::clearLarge()
{
    LogPane pane;
    const QByteArray chunk(1024 * 1024, 'x');
    pane.SetSelColor(Blue);
    for (int i = 0; i < 128; ++i)
        pane.InsertAtCaret(chunk);
    QCOMPARE(pane.TextLength(), LogPane::DefaultCapacity);
    pane.SetSelection(10, 100);
    pane.SetSelColor(Green);
    QSignalSpy changed(&pane, &LogPane::Changed);
    QElapsedTimer t;
    t.start();
    pane.Clear();
    QVERIFY2(t.elapsed() < 100, qPrintable(QString::number(t.elapsed())));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(pane.TextLength(), 0);
    QCOMPARE(pane.Caret(), 0);
    QCOMPARE(pane.SelLength(), 0);
    QCOMPARE(pane.CurrentColor(), Blue);
    pane.InsertAtCaret("again");
    QCOMPARE(pane.Text(), QByteArray("again"));
    QCOMPARE(pane.ColorAt(2), Blue); // no recolouring left over
}

void TestLogPane::capacityRing()
{
    LogPane pane;
    pane.SetCapacity(1000); // raised to the minimum
    QCOMPARE(pane.Capacity(), LogPane::MinCapacity);
    const qint64 cap = pane.Capacity();

    QByteArray all;
    QList<quint32> colors; // one per byte of `all`
    qint64 flatMemory = -1;
    for (int i = 0; i < 20000; ++i) {
        const QByteArray line = QByteArray::number(i).rightJustified(7, '0') + (i % 3 ? "\r\n" : "\n");
        const quint32 c = i % 2 ? Blue : Black;
        Log(pane, c, line);
        all += line;
        colors.append(QList<quint32>(line.size(), c));
        if (i == 10000) { // full by now
            flatMemory = pane.MemoryUse();
            pane.SetSelection(0, 100); // a recolouring that falls out of the ring
            pane.SetSelColor(Green);
        }
        QVERIFY(pane.TextLength() <= cap);
    }
    QCOMPARE(pane.MemoryUse(), flatMemory);
    const qint64 kept = pane.TextLength();
    QVERIFY2(kept > cap * 7 / 8, qPrintable(QString::number(kept)));
    QCOMPARE(pane.Text(), all.right(kept));
    const qint64 first = all.size() - kept;
    for (qint64 i = 0; i < kept; i += 7)
        QCOMPARE(pane.ColorAt(i), colors[first + i]);

    // Another segment size keeps the newest text and its colours.
    pane.SetCapacity(cap * 4);
    QCOMPARE(pane.Text(), all.right(kept));
    QCOMPARE(pane.ColorAt(kept - 1), colors.last());
    Log(pane, Green, QByteArray(cap * 2, 'g'));
    pane.SetCapacity(cap);
    QVERIFY(pane.TextLength() <= cap);
    QCOMPARE(pane.Text().right(10), QByteArray(10, 'g'));
    QCOMPARE(pane.ColorAt(pane.TextLength() - 1), Green);
}

void TestLogPane::wrapping()
{
    LogPane pane;
    pane.resize(400, 300);
    pane.show();
    const int cols = pane.Columns();
    QVERIFY(cols > 4);
    // Lines: empty, exactly one row, one cell more than a row, a CR LF line
    // whose CR does not count, then an unterminated tail with a lone CR.
    QByteArray text = "\n" + QByteArray(cols, 'a') + "\n" + QByteArray(cols + 1, 'b') + "\n" +
                      QByteArray(cols, 'c') + "\r\n" + "x\ry";
    Log(pane, Black, text);
    QCOMPARE(pane.RowCount(), 1 + 1 + 2 + 1 + 1);
    Log(pane, Black, QByteArray(3 * cols, 'z'));
    QCOMPARE(pane.RowCount(), 1 + 1 + 2 + 1 + 4);
    // Half the width: every line re-wraps at the new column count.
    pane.resize(pane.width() - pane.viewport()->width() / 2, 300);
    const int half = pane.Columns();
    QVERIFY(half < cols);
    auto rows = [&](qint64 len) { return len == 0 ? 1 : (len + half - 1) / half; };
    QCOMPARE(pane.RowCount(), 1 + rows(cols) + rows(cols + 1) + rows(cols) + rows(3 + 3 * cols));
}

// Random appends, widths, capacities and clears against a plain model: the
// kept text, colours, row count and row-to-line mapping must agree.
void TestLogPane::storeMatchesModel()
{
    std::mt19937 rng(7);
    for (int round = 0; round < 40; ++round) {
        LogStore store;
        QByteArray all;
        std::vector<quint32> colors;
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
            } else {
                QByteArray b(rng() % 4 == 0 ? int(rng() % 30000) : int(rng() % 300), 'x');
                for (char &c : b) {
                    const int r = int(rng() % 100);
                    c = r < 5 ? '\n' : r < 8 ? '\r' : r < 20 ? char(rng() % 256) : char('a' + r % 26);
                }
                const quint32 color = rng() % 3;
                store.Append(b.constData(), b.size(), color);
                all += b;
                colors.insert(colors.end(), size_t(b.size()), color);
            }
            const qint64 size = store.Size();
            QVERIFY(size <= store.Capacity());
            QByteArray kept(size, Qt::Uninitialized);
            store.Read(store.Begin(), size, kept.data());
            QCOMPARE(kept, all.right(size));
            const qint64 first = all.size() - size;
            for (qint64 i = 0; i < size; i += 1 + rng() % 97)
                QCOMPARE(store.ColorAt(store.Begin() + i), colors[size_t(first + i)]);

            // The model's rows: (line start, shown end, row inside the line).
            struct Row {
                qint64 start, end, inLine;
            };
            std::vector<Row> rows;
            const int cols = store.Columns();
            for (qint64 s = 0, i = 0; i <= size; ++i) {
                if (i < size && kept[i] != '\n')
                    continue;
                qint64 e = i; // up to two CRs before an LF end the line with it
                while (i < size && e > s && i - e < 2 && kept[e - 1] == '\r')
                    --e;
                for (qint64 r = 0; r < std::max<qint64>(1, (e - s + cols - 1) / cols); ++r)
                    rows.push_back({store.Begin() + s, store.Begin() + e, r});
                s = i + 1;
            }
            QCOMPARE(store.RowCount(), qint64(rows.size()));
            for (int q = 0; q < 10; ++q) {
                const qint64 row = qint64(rng() % rows.size());
                qint64 inLine = -1;
                const LogStore::Line line = store.LineAtRow(row, &inLine);
                QCOMPARE(line.Start, rows[size_t(row)].start);
                QCOMPARE(line.ContentEnd, rows[size_t(row)].end);
                QCOMPARE(inLine, rows[size_t(row)].inLine);
                QCOMPARE(store.RowOf(line.Start + inLine * cols), row);
            }
        }
    }
}

void TestLogPane::hugeLineAndBinaryPaint()
{
    LogPane pane;
    pane.setFont(QFont("Courier", 10, QFont::Bold));
    pane.show();
    QByteArray binary;
    for (int round = 0; round < 64; ++round)
        for (int b = 0; b < 256; ++b)
            binary.append(char(b));
    Log(pane, Black, binary);
    Log(pane, Blue, QByteArray(8 * 1024 * 1024, 'L'));
    QCOMPARE(pane.TextLength(), binary.size() + 8 * 1024 * 1024);
    QCOMPARE(pane.Text(0, 256), binary.left(256));

    for (QSize size : {QSize(2000, 1500), QSize(30, 30), QSize(0, 0), QSize(400, 300)}) {
        pane.resize(size);
        const QImage image = pane.grab().toImage();
        if (size.width() >= 400)
            QVERIFY(HasInk(pane.viewport()->grab().toImage()));
    }
    // At the bottom the blue line shows; at the top the binary shows.
    pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->maximum());
    QImage bottom = pane.viewport()->grab().toImage();
    bool blue = false;
    for (int y = 0; y < bottom.height() && !blue; ++y)
        for (int x = 0; x < bottom.width() && !blue; ++x)
            blue = qBlue(bottom.pixel(x, y)) > 128 && qRed(bottom.pixel(x, y)) < 100;
    QVERIFY(blue);
    const qint64 last = pane.RowCount();
    QVERIFY(last >= 8 * 1024 * 1024 / pane.Columns());
}

void TestLogPane::followsTheEnd()
{
    LogPane pane;
    pane.resize(400, 200);
    pane.show();
    QScrollBar *sb = pane.verticalScrollBar();
    QByteArray all;
    for (int i = 0; i < 500; ++i) {
        all += "line " + QByteArray::number(i) + "\n";
        Log(pane, Black, "line " + QByteArray::number(i) + "\n");
    }
    QTRY_VERIFY(sb->maximum() > 400);
    QCOMPARE(sb->value(), sb->maximum());
    Log(pane, Black, QByteArray(50, '\n'));
    QTRY_COMPARE(sb->maximum(), int(pane.RowCount()) - sb->pageStep());
    QCOMPARE(sb->value(), sb->maximum());

    // Scrolled up, the view stays on the same text while more arrives.
    sb->setValue(10);
    const int max = sb->maximum();
    Log(pane, Black, QByteArray(50, '\n'));
    QTRY_VERIFY(sb->maximum() > max);
    QCOMPARE(sb->value(), 10);
    QTest::keyClick(&pane, Qt::Key_End, Qt::ControlModifier);
    QCOMPARE(sb->value(), sb->maximum());
    QTest::keyClick(&pane, Qt::Key_PageUp);
    QCOMPARE(sb->value(), sb->maximum() - sb->pageStep());
    QTest::keyClick(&pane, Qt::Key_A); // typing changes nothing
    QCOMPARE(pane.Text(), all + QByteArray(100, '\n'));
}

void TestLogPane::mouseSelectionAndCopy()
{
    LogPane pane;
    pane.resize(400, 300);
    pane.show();
    QVERIFY(QTest::qWaitForWindowExposed(&pane));
    const QByteArray first("abc\xe9\x01xyz\n", 9);
    Log(pane, Black, first);
    Log(pane, Blue, "second line\n");
    const QFontMetrics fm(pane.font());
    const int cw = fm.horizontalAdvance(QLatin1Char('M')), lh = fm.height();
    QWidget *vp = pane.viewport();
    // Press before the 2nd cell of row 0, drag to the 4th cell of row 1.
    QTest::mousePress(vp, Qt::LeftButton, {}, QPoint(cw + 1, lh / 2));
    QTest::mouseMove(vp, QPoint(4 * cw + 1, lh + lh / 2));
    QTest::mouseRelease(vp, Qt::LeftButton, {}, QPoint(4 * cw + 1, lh + lh / 2));
    QCOMPARE(pane.SelStart(), 1);
    QCOMPARE(pane.SelectedText(), QByteArray("bc\xe9\x01xyz\nseco"));
    // Shift+click extends from the same anchor.
    QTest::mouseClick(vp, Qt::LeftButton, Qt::ShiftModifier, QPoint(2 * cw + 1, lh / 2));
    QCOMPARE(pane.SelectedText(), QByteArray("b"));

    pane.SetSelection(2, 5);
    QTest::keyClick(&pane, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QGuiApplication::clipboard()->text(), QString::fromLatin1(first.mid(2, 5)));
    QTest::keyClick(&pane, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(pane.SelLength(), pane.TextLength());
}

void TestLogPane::doubleClick()
{
    LogPane pane;
    pane.resize(200, 100);
    Log(pane, Black, "word other\n");
    QSignalSpy spy(&pane, &LogPane::DoubleClicked);
    QTest::mouseDClick(pane.viewport(), Qt::LeftButton, {}, QPoint(5, 5));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(pane.SelLength(), 0); // no word selection
}

void TestLogPane::accessibleText()
{
    LogPane pane;
    pane.setAccessibleName("Log");
    Log(pane, Blue, "sent\r\n");
    Log(pane, Black, "got it");
    QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&pane);
    QVERIFY(iface);
    QCOMPARE(iface->text(QAccessible::Name), QString("Log"));
    QAccessibleTextInterface *text = iface->textInterface();
    QVERIFY(text);
    QCOMPARE(text->characterCount(), 12);
    QCOMPARE(text->text(6, 9), QString("got"));
    QCOMPARE(text->cursorPosition(), 12);
    pane.SetSelection(1, 3);
    QCOMPARE(text->selectionCount(), 1);
    int s = -1, e = -1;
    text->selection(0, &s, &e);
    QCOMPARE(s, 1);
    QCOMPARE(e, 4);
    QCOMPARE(text->attributes(2, &s, &e), QString("color:rgb(0,0,255);"));
    QCOMPARE(s, 0);
    QCOMPARE(e, 6);
    QCOMPARE(text->attributes(7, &s, &e), QString("color:rgb(0,0,0);"));
    QCOMPARE(s, 6);
    QCOMPARE(e, 12);
    QCOMPARE(text->textAtOffset(2, QAccessible::LineBoundary, &s, &e), QString("sent\r\n"));
    QCOMPARE(text->textAtOffset(8, QAccessible::WordBoundary, &s, &e), QString("got"));
    QCOMPARE(text->textAfterOffset(2, QAccessible::LineBoundary, &s, &e), QString("got it"));
    text->setCursorPosition(3);
    QCOMPARE(pane.Caret(), 3);
}

QTEST_MAIN(TestLogPane)
#include "tst_logpane.moc"
