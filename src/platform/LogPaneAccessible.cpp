#include "LogPane.h"

#include <QAccessibleWidget>
#include <QScrollBar>

#include <algorithm>
#include <climits>

// The log pane as read-only text for screen readers. The text is the pane's
// characters, UTF-8 decoded as the pane shows them, and every offset counts its
// UTF-16 units, as Qt's interface does; the pane's own API counts bytes, so each
// offset is mapped on the way in and out (LogStore::UnitOf, PosOfUnit). In the
// hex view the text is what that view shows: its rows (LogHexRows), each of one
// width and ended by a line break, so an offset is a row and a column.
class LogPaneAccessible : public QAccessibleWidget, public QAccessibleTextInterface
{
public:
    explicit LogPaneAccessible(LogPane *pane) : QAccessibleWidget(pane, QAccessible::EditableText) {}

    void *interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }

    // Selection
    void selection(int index, int *start, int *end) const override
    {
        *start = *end = 0;
        if (index == 0 && Pane()->SelLength() > 0) {
            *start = Offset(Pane()->SelStart());
            *end = Offset(Pane()->SelStart() + Pane()->SelLength());
        }
    }
    int selectionCount() const override { return Pane()->SelLength() > 0 ? 1 : 0; }
    void addSelection(int start, int end) override { Select(start, end); }
    void removeSelection(int index) override
    {
        if (index == 0)
            Pane()->SetCaret(Pane()->Caret());
    }
    void setSelection(int index, int start, int end) override
    {
        if (index == 0)
            Select(start, end);
    }

    // Caret
    int cursorPosition() const override { return Offset(Pane()->Caret()); }
    void setCursorPosition(int position) override { Pane()->SetCaret(PosOf(position)); }

    // Text
    QString text(QAccessible::Text t) const override { return QAccessibleWidget::text(t); }
    QString text(int start, int end) const override
    {
        const int count = characterCount();
        start = std::max(start, 0);
        end = end < 0 ? count : std::min(end, count);
        if (end <= start)
            return QString();
        if (Hex()) {
            QString out;
            const int line = Line();
            for (int row = start / line; row <= (end - 1) / line; ++row) {
                HexRow(row);
                out += QString::fromLatin1(Pane()->m_hexRow.Text) + QLatin1Char('\n');
            }
            return out.mid(start % line, end - start);
        }
        // Whole characters, then the units asked for: an offset may split a pair.
        const LogStore &store = Pane()->m_store;
        const qint64 from = store.PosOfUnit(start), to = store.PosOfUnit(end, true);
        return store.Decoded(from, to).mid(start - store.UnitOf(from), end - start);
    }
    int characterCount() const override
    {
        return Hex() ? Clip(Pane()->m_hexRows.Count() * Line()) : Clip(Pane()->m_store.Units());
    }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int *start, int *end) const override
    {
        const int count = characterCount();
        *start = *end = -1;
        if (offset < 0 || offset > count)
            return QString();
        if (Hex()) { // a row, or a character of it
            const int line = Line();
            const bool chars = type == QAccessible::CharBoundary || type == QAccessible::WordBoundary;
            *start = type == QAccessible::NoBoundary ? 0 : chars ? offset : offset / line * line;
            *end = type == QAccessible::NoBoundary ? count : chars ? offset + 1 : *start + line;
            *end = std::min(*end, count);
            return text(*start, *end);
        }
        const qint64 at = Pos(offset); // in bytes from here on
        qint64 s = at, e = at;
        switch (type) {
        case QAccessible::CharBoundary: e = Pos(offset + 1, true); break;
        case QAccessible::WordBoundary: WordAt(at, &s, &e); break;
        case QAccessible::NoBoundary:
            s = 0;
            e = Pane()->TextLength();
            break;
        default: { // line, sentence and paragraph are all lines here
            const LogPane *pane = Pane();
            const qint64 base = pane->m_store.Begin();
            const LogStore::Line line = pane->m_store.LineAt(base + at);
            s = line.Start - base;
            e = line.Next - base;
            break;
        }
        }
        *start = Unit(s);
        *end = Unit(e);
        return text(*start, *end);
    }

    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                             int *end) const override
    {
        int s, e;
        textAtOffset(offset, type, &s, &e);
        *start = *end = -1;
        if (s <= 0 || type == QAccessible::NoBoundary)
            return QString();
        return textAtOffset(s - 1, type, start, end);
    }

    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                            int *end) const override
    {
        int s, e;
        textAtOffset(offset, type, &s, &e);
        *start = *end = -1;
        if (e < 0 || e >= characterCount() || type == QAccessible::NoBoundary)
            return QString();
        return textAtOffset(e, type, start, end);
    }

    // Geometry
    QRect characterRect(int offset) const override
    {
        const LogPane *pane = Pane();
        if (Hex()) {
            const qint64 row = offset / Line() - pane->verticalScrollBar()->value();
            if (offset < 0 || row < 0 || row * pane->m_lineH >= pane->viewport()->height())
                return QRect();
            const QPoint at((offset % Line()) * pane->m_cellW, int(row) * pane->m_lineH);
            return QRect(pane->viewport()->mapToGlobal(at), QSize(pane->m_cellW, pane->m_lineH));
        }
        const QRect r = pane->CellRect(pane->m_store.Begin() + Pos(offset));
        if (r.isNull())
            return QRect();
        return QRect(pane->viewport()->mapToGlobal(r.topLeft()), r.size());
    }
    int offsetAtPoint(const QPoint &point) const override
    {
        const LogPane *pane = Pane();
        const QPoint local = pane->viewport()->mapFromGlobal(point);
        if (!pane->viewport()->rect().contains(local))
            return -1;
        if (Hex()) {
            const qint64 row = pane->verticalScrollBar()->value() + local.y() / pane->m_lineH;
            const int col = std::min(local.x() / pane->m_cellW, Line() - 1);
            return std::min(Clip(row * Line() + col), characterCount());
        }
        return Unit(pane->HitTest(local) - pane->m_store.Begin());
    }
    void scrollToSubstring(int start, int) override
    {
        Pane()->ScrollToPos(Pane()->m_store.Begin() + PosOf(start));
    }

    QString attributes(int offset, int *start, int *end) const override
    {
        const int count = characterCount();
        if (offset < 0 || offset >= count) {
            *start = *end = std::clamp(offset, 0, count);
            return QString();
        }
        qint64 s, e;
        QColor c;
        if (Hex()) { // the colour of the byte in that column, one character at a time
            HexRow(offset / Line());
            const LogHexRows::Row &row = Pane()->m_hexRow;
            const int col = offset % Line();
            qint64 pos = row.Heading ? row.Arrival : -1;
            for (size_t i = 0; i < row.Pos.size(); ++i) {
                const int hex = Pane()->m_hexRows.HexColumn(int(i));
                if (col == hex || col == hex + 1 || col == Pane()->m_hexRows.CharColumn(int(i)))
                    pos = row.Pos[i];
            }
            c = LogPane::ToQColor(pos >= 0 ? Pane()->ShownColor(pos) : 0);
            *start = offset;
            *end = offset + 1;
        } else {
            c = LogPane::ToQColor(Pane()->RunAt(Pos(offset), &s, &e));
            *start = Unit(s);
            *end = Unit(e);
        }
        return QStringLiteral("color:rgb(%1,%2,%3);").arg(c.red()).arg(c.green()).arg(c.blue());
    }

private:
    LogPane *Pane() const { return static_cast<LogPane *>(widget()); }
    bool Hex() const { return Pane()->m_hex; }
    int Line() const { return Pane()->m_hexRows.Width() + 1; } // a hex row and its line break
    void HexRow(qint64 row) const { Pane()->m_hexRows.At(row, Pane()->m_hexRow); }
    // The offset of a byte offset of the pane in the text as shown, and back.
    int Offset(qint64 pos) const
    {
        if (!Hex())
            return Unit(pos);
        const LogPane *pane = Pane();
        const qint64 at = pane->m_store.Begin() + pos;
        const qint64 row = pane->m_hexRows.RowOf(at);
        HexRow(row);
        const std::vector<qint64> &bytes = pane->m_hexRow.Pos;
        const int i = int(std::lower_bound(bytes.begin(), bytes.end(), at) - bytes.begin());
        return std::min(Clip(row * Line() + pane->m_hexRows.HexColumn(i)), characterCount());
    }
    qint64 PosOf(int offset, bool up = false) const
    {
        if (!Hex())
            return Pos(offset, up);
        const LogPane *pane = Pane();
        HexRow(std::max(offset, 0) / Line());
        const LogHexRows::Row &row = pane->m_hexRow;
        const qint64 base = pane->m_store.Begin();
        if (row.Pos.empty())
            return (row.Arrival >= 0 ? row.Arrival : pane->m_store.End()) - base;
        const int col = std::max(offset, 0) % Line(), chars = pane->m_hexRows.CharColumn(0);
        const int i = col >= chars ? col - chars : (col - LogHexRows::HexFirst + (up ? 2 : 0)) / 3;
        if (i >= int(row.Pos.size()))
            return row.Pos.back() + 1 - base;
        return row.Pos[size_t(std::max(i, 0))] - base;
    }
    static int Clip(qint64 v) { return int(std::clamp<qint64>(v, 0, INT_MAX)); }
    // The unit offset of a byte offset of the pane, and back: a unit inside a
    // surrogate pair is the pair's start, or with up its end.
    int Unit(qint64 pos) const
    {
        const LogStore &store = Pane()->m_store;
        return Clip(store.UnitOf(store.Begin() + pos));
    }
    qint64 Pos(int unit, bool up = false) const
    {
        const LogStore &store = Pane()->m_store;
        return store.PosOfUnit(std::max(unit, 0), up) - store.Begin();
    }
    // A selection from start to end in units holds every character either touches.
    void Select(int start, int end)
    {
        const qint64 from = PosOf(start, start > end), to = PosOf(end, end >= start);
        Pane()->SetSelection(from, to - from);
    }

    // A word: the run of non-blank bytes around the byte offset, looked for within
    // a bounded window so a huge unbroken line stays cheap.
    void WordAt(qint64 offset, qint64 *start, qint64 *end) const
    {
        constexpr qint64 Reach = 4096;
        const qint64 from = std::max<qint64>(0, offset - Reach);
        const QByteArray t = Pane()->Text(from, offset - from + Reach);
        auto blank = [](char c) { return quint8(c) <= ' ' || c == 0x7F; };
        qint64 i = offset - from, j = i;
        while (i > 0 && !blank(t[i - 1]))
            --i;
        while (j < t.size() && !blank(t[j]))
            ++j;
        if (i == j && j < t.size()) // on a blank: the blank is the word
            ++j;
        *start = from + i;
        *end = from + j;
    }
};

QAccessibleInterface *LogPane::AccessibleFactory(const QString &key, QObject *object)
{
    if (key == QLatin1String("LogPane") && object && object->isWidgetType())
        return new LogPaneAccessible(static_cast<LogPane *>(object));
    return nullptr;
}
