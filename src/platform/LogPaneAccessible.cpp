#include "LogPane.h"

#include <QAccessibleWidget>
#include <QScrollBar>

#include <algorithm>
#include <climits>

// The log pane as read-only text for screen readers. The text is the pane's
// characters, UTF-8 decoded as the pane shows them, and every offset counts its
// UTF-16 units, as Qt's interface does; the pane's own API counts bytes, so each
// offset is mapped on the way in and out (LogStore::UnitOf, PosOfUnit).
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
            *start = Unit(Pane()->SelStart());
            *end = Unit(Pane()->SelStart() + Pane()->SelLength());
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
    int cursorPosition() const override { return Unit(Pane()->Caret()); }
    void setCursorPosition(int position) override { Pane()->SetCaret(Pos(position)); }

    // Text
    QString text(QAccessible::Text t) const override { return QAccessibleWidget::text(t); }
    QString text(int start, int end) const override
    {
        const int count = characterCount();
        start = std::max(start, 0);
        end = end < 0 ? count : std::min(end, count);
        if (end <= start)
            return QString();
        // Whole characters, then the units asked for: an offset may split a pair.
        const LogStore &store = Pane()->m_store;
        const qint64 from = store.PosOfUnit(start), to = store.PosOfUnit(end, true);
        return store.Decoded(from, to).mid(start - store.UnitOf(from), end - start);
    }
    int characterCount() const override { return Clip(Pane()->m_store.Units()); }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int *start, int *end) const override
    {
        const int count = characterCount();
        *start = *end = -1;
        if (offset < 0 || offset > count)
            return QString();
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
        return Unit(pane->HitTest(local) - pane->m_store.Begin());
    }
    void scrollToSubstring(int start, int) override
    {
        Pane()->ScrollToPos(Pane()->m_store.Begin() + Pos(start));
    }

    QString attributes(int offset, int *start, int *end) const override
    {
        const int count = characterCount();
        if (offset < 0 || offset >= count) {
            *start = *end = std::clamp(offset, 0, count);
            return QString();
        }
        qint64 s, e;
        const QColor c = LogPane::ToQColor(Pane()->RunAt(Pos(offset), &s, &e));
        *start = Unit(s);
        *end = Unit(e);
        return QStringLiteral("color:rgb(%1,%2,%3);").arg(c.red()).arg(c.green()).arg(c.blue());
    }

private:
    LogPane *Pane() const { return static_cast<LogPane *>(widget()); }
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
        const qint64 from = Pos(start, start > end), to = Pos(end, end >= start);
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
