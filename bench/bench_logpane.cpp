// Interaction benchmark for the log pane: fills it with 64 MiB of 80-column
// lines, then times what a user does with a full log, and measures raw append
// throughput against a memcpy floor taken in the same run. Prints figures only.
#include <QApplication>
#include <QClipboard>
#include <QElapsedTimer>
#include <QFile>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/LogPane.h"

namespace
{

constexpr quint32 Blue = 0xFF0000;
constexpr quint32 Black = 0x000000;
constexpr qint64 MiB = 1024 * 1024;

qint64 RssBytes()
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong() * 1024;
    return -1;
}

// A block of 80-column lines (80 visible characters, then CR LF).
// Lines of about 80 columns; with utf8, UTF-8 text with wide characters and TABs.
QByteArray Lines(qint64 size, bool utf8 = false)
{
    QByteArray out;
    out.reserve(size);
    const QByteArray word = QStringLiteral("\tGr\u00fc\u00dfe \u65e5\u672c ").toUtf8();
    for (int n = 0; out.size() < size; ++n) {
        QByteArray line = QByteArray::number(n).rightJustified(8, '0') + ' ';
        while (line.size() < 80)
            line += utf8 && (line.size() + n) % 20 == 0 ? word
                                                        : QByteArray(1, char('a' + (line.size() + n) % 26));
        out += line + "\r\n";
    }
    out.truncate(size);
    return out;
}

void Log(LogPane &pane, quint32 color, const QByteArray &text)
{
    pane.SetCaret(pane.TextLength());
    pane.SetSelColor(color);
    pane.InsertAtCaret(text);
}

double Ms(const QElapsedTimer &t)
{
    return t.nsecsElapsed() / 1e6;
}

void Settle()
{
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

struct Throughput {
    double mibPerSec;
    double longestInsertMs;
    double longestLoopPassMs;
};

// Appends `total` bytes in chunks, colours alternating per chunk, letting the
// event loop run between chunks as a socket reader would.
Throughput Append(LogPane &pane, const QByteArray &chunk, qint64 total)
{
    QElapsedTimer all, one;
    double longestInsert = 0, longestLoop = 0;
    all.start();
    qint64 done = 0;
    for (int i = 0; done < total; ++i) {
        one.start();
        Log(pane, i % 2 ? Blue : Black, chunk);
        longestInsert = std::max(longestInsert, Ms(one));
        done += chunk.size();
        if (i % 16 == 0) {
            one.start();
            QCoreApplication::processEvents();
            longestLoop = std::max(longestLoop, Ms(one));
        }
    }
    const double secs = all.nsecsElapsed() / 1e9;
    return {done / double(MiB) / secs, longestInsert, longestLoop};
}

// The floor: the same bytes copied into a preallocated buffer, wrapping around.
double MemcpyMiBPerSec(const QByteArray &chunk, qint64 total)
{
    std::vector<char> ring(size_t(128 * MiB));
    QElapsedTimer t;
    t.start();
    size_t at = 0;
    for (qint64 done = 0; done < total; done += chunk.size()) {
        if (at + size_t(chunk.size()) > ring.size())
            at = 0;
        std::memcpy(ring.data() + at, chunk.constData(), size_t(chunk.size()));
        at += size_t(chunk.size());
    }
    const double secs = t.nsecsElapsed() / 1e9;
    volatile char sink = ring[at / 2];
    (void)sink;
    return total / double(MiB) / secs;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // The pane sits in a plain window so resizing it is synchronous.
    QWidget window;
    window.resize(1000, 800);
    auto *pane = new LogPane(&window);
    pane->setFont(QFont("Courier", 9.75, QFont::Bold));
    pane->setGeometry(0, 0, 900, 700);
    window.show();
    Settle();

    std::printf("Log pane benchmark (%d columns, font %s)\n", pane->Columns(),
                qPrintable(QFontInfo(pane->font()).family()));

    // Fill with 64 MiB.
    const QByteArray block = Lines(64 * 1024);
    const qint64 rssBefore = RssBytes();
    QElapsedTimer t;
    t.start();
    Append(*pane, block, 64 * MiB);
    const double fillMs = Ms(t);
    Settle();
    const qint64 rssAfter = RssBytes();
    const qint64 kept = pane->TextLength();
    std::printf("fill 64 MiB in 64 KiB chunks: %.0f ms, %lld rows\n", fillMs, pane->RowCount());
    std::printf("memory: VmRSS +%.1f MiB for %.1f MiB kept = %.3f bytes per byte (store's own count %.3f)\n",
                (rssAfter - rssBefore) / double(MiB), kept / double(MiB), double(rssAfter - rssBefore) / kept,
                double(pane->MemoryUse()) / kept);

    QScrollBar *sb = pane->verticalScrollBar();
    sb->setValue(0);
    Settle();
    t.start();
    sb->setValue(sb->maximum());
    pane->viewport()->repaint();
    std::printf("scroll to the end + repaint: %.2f ms (target < 16)\n", Ms(t));

    sb->setValue(sb->maximum() / 2);
    Settle();
    t.start();
    pane->viewport()->repaint();
    std::printf("repaint of a full page: %.2f ms\n", Ms(t));

    pane->SetSelection(kept / 2, MiB);
    t.start();
    QKeyEvent copy(QEvent::KeyPress, Qt::Key_C, Qt::ControlModifier, QStringLiteral("c"));
    QApplication::sendEvent(pane, &copy);
    const double copyMs = Ms(t);
    std::printf("copy of 1 MiB (Ctrl+C): %.2f ms (target < 50), %lld characters on the clipboard\n", copyMs,
                qint64(QGuiApplication::clipboard()->text().size()));
    QGuiApplication::clipboard()->clear();

    t.start();
    pane->setGeometry(0, 0, 610, 700);
    pane->viewport()->repaint();
    std::printf("width change, re-wrap + repaint (%d columns): %.2f ms (target < 50)\n", pane->Columns(),
                Ms(t));
    t.start();
    pane->setGeometry(0, 0, 300, 700);
    pane->viewport()->repaint();
    std::printf("width change, re-wrap + repaint (%d columns, every line wraps): %.2f ms (target < 50)\n",
                pane->Columns(), Ms(t));
    pane->setGeometry(0, 0, 900, 700);
    Settle();

    {
        QTemporaryDir dir;
        QString error = QStringLiteral("no answer");
        QObject::connect(pane, &LogPane::SaveFinished, [&](const QString &, const QString &e) { error = e; });
        t.start();
        pane->SaveAs(dir.filePath(QStringLiteral("log")));
        const double held = Ms(t); // the window is busy only while the copy is taken
        while (error == QStringLiteral("no answer") && t.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        std::printf("Save Log As of %.0f MiB: %.0f ms in all, the window held for %.0f ms%s\n",
                    kept / double(MiB), Ms(t), held,
                    error.isEmpty() ? "" : qPrintable(QStringLiteral(" FAILED: ") + error));
    }

    // The same full pane in the hex view, and back.
    sb->setValue(sb->maximum() / 2);
    Settle();
    t.start();
    pane->SetHexView(true);
    pane->viewport()->repaint();
    std::printf("hex view: switch + repaint: %.2f ms", Ms(t));
    t.start();
    sb->setValue(sb->maximum());
    pane->viewport()->repaint();
    std::printf(", scroll to the end + repaint: %.2f ms", Ms(t));
    t.start();
    pane->SetHexView(false);
    pane->viewport()->repaint();
    std::printf(", back to text + repaint: %.2f ms\n", Ms(t));

    t.start();
    pane->Clear();
    std::printf("Clear of %.0f MiB: %.3f ms\n", kept / double(MiB), Ms(t));
    Settle();

    // UTF-8 text with wide characters and TABs: laid out character by character.
    t.start();
    Append(*pane, Lines(64 * 1024, true), 64 * MiB);
    const double utf8FillMs = Ms(t);
    Settle();
    sb->setValue(sb->maximum() / 2);
    Settle();
    t.start();
    pane->viewport()->repaint();
    const double utf8PaintMs = Ms(t);
    t.start();
    pane->setGeometry(0, 0, 610, 700);
    pane->viewport()->repaint();
    std::printf("64 MiB of UTF-8 lines: fill %.0f ms, repaint %.2f ms, width change + repaint %.2f ms\n",
                utf8FillMs, utf8PaintMs, Ms(t));
    pane->setGeometry(0, 0, 900, 700);
    pane->Clear();
    Settle();

    // One 64 MiB line with no line break: the same arithmetic as short lines.
    Append(*pane, QByteArray(64 * 1024, 'L'), 64 * MiB);
    Settle();
    t.start();
    pane->setGeometry(0, 0, 610, 700);
    sb->setValue(sb->maximum() / 2);
    pane->viewport()->repaint();
    std::printf("64 MiB single line: width change + scroll to middle + repaint: %.2f ms\n", Ms(t));
    pane->setGeometry(0, 0, 900, 700);
    pane->Clear();
    Settle();

    // Raw append throughput, 256 MiB each so the 128 MiB ring wraps around.
    const qint64 total = 256 * MiB;
    for (int size : {4 * 1024, 64 * 1024}) {
        const QByteArray chunk = Lines(size);
        const double floor = MemcpyMiBPerSec(chunk, total);
        const Throughput r = Append(*pane, chunk, total);
        Settle();
        std::printf("append in %2d KiB chunks: %7.0f MiB/s, memcpy floor %7.0f MiB/s, ratio %.3f; "
                    "longest insert %.2f ms, longest event-loop pass %.2f ms\n",
                    size / 1024, r.mibPerSec, floor, r.mibPerSec / floor, r.longestInsertMs,
                    r.longestLoopPassMs);
        pane->Clear();
    }
    const qint64 rssFull = RssBytes();
    Append(*pane, Lines(64 * 1024), total);
    Settle();
    std::printf("ring full: %.1f MiB kept, VmRSS %.1f MiB after one more 256 MiB pass (was %.1f)\n",
                pane->TextLength() / double(MiB), RssBytes() / double(MiB), rssFull / double(MiB));
    return 0;
}
