#include "LogPane.h"

#include <QAccessibleWidget>
#include <QScrollBar>

#include <algorithm>
#include <climits>

// The log pane as read-only text for screen readers. Offsets are byte
// positions, the same ones the pane's own API uses; the text of a range is its
// characters, UTF-8 decoded as the pane shows them.
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
            *start = Clip(Pane()->SelStart());
            *end = Clip(Pane()->SelStart() + Pane()->SelLength());
        }
    }
    int selectionCount() const override { return Pane()->SelLength() > 0 ? 1 : 0; }
    void addSelection(int start, int end) override { Pane()->SetSelection(start, qint64(end) - start); }
    void removeSelection(int index) override
    {
        if (index == 0)
            Pane()->SetCaret(Pane()->Caret());
    }
    void setSelection(int index, int start, int end) override
    {
        if (index == 0)
            Pane()->SetSelection(start, qint64(end) - start);
    }

    // Caret
    int cursorPosition() const override { return Clip(Pane()->Caret()); }
    void setCursorPosition(int position) override { Pane()->SetCaret(position); }

    // Text
    QString text(QAccessible::Text t) const override { return QAccessibleWidget::text(t); }
    QString text(int start, int end) const override
    {
        if (end < 0)
            end = characterCount();
        if (end <= start)
            return QString();
        const LogStore &store = Pane()->m_store;
        const qint64 from = store.Begin() + std::clamp<qint64>(start, 0, store.Size());
        return store.Decoded(from, store.Begin() + std::clamp<qint64>(end, 0, store.Size()));
    }
    int characterCount() const override { return Clip(Pane()->TextLength()); }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int *start, int *end) const override
    {
        const int count = characterCount();
        *start = *end = -1;
        if (offset < 0 || offset > count)
            return QString();
        qint64 s = offset, e = offset;
        switch (type) {
        case QAccessible::CharBoundary: e = std::min(offset + 1, count); break;
        case QAccessible::WordBoundary: WordAt(offset, &s, &e); break;
        case QAccessible::NoBoundary:
            s = 0;
            e = count;
            break;
        default: { // line, sentence and paragraph are all lines here
            const LogPane *pane = Pane();
            const qint64 base = pane->m_store.Begin();
            const LogStore::Line line = pane->m_store.LineAt(base + offset);
            s = line.Start - base;
            e = line.Next - base;
            break;
        }
        }
        *start = Clip(s);
        *end = Clip(e);
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
        const QRect r = pane->CellRect(pane->m_store.Begin() + std::max(0, offset));
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
        return Clip(pane->HitTest(local) - pane->m_store.Begin());
    }
    void scrollToSubstring(int start, int) override
    {
        Pane()->ScrollToPos(Pane()->m_store.Begin() + std::clamp<qint64>(start, 0, Pane()->TextLength()));
    }

    QString attributes(int offset, int *start, int *end) const override
    {
        const int count = characterCount();
        if (offset < 0 || offset >= count) {
            *start = *end = std::clamp(offset, 0, count);
            return QString();
        }
        qint64 s, e;
        const QColor c = LogPane::ToQColor(Pane()->RunAt(offset, &s, &e));
        *start = Clip(s);
        *end = Clip(e);
        return QStringLiteral("color:rgb(%1,%2,%3);").arg(c.red()).arg(c.green()).arg(c.blue());
    }

private:
    LogPane *Pane() const { return static_cast<LogPane *>(widget()); }
    static int Clip(qint64 v) { return int(std::clamp<qint64>(v, 0, INT_MAX)); }

    // A word: the run of non-blank bytes around offset, looked for within a
    // bounded window so a huge unbroken line stays cheap.
    void WordAt(int offset, qint64 *start, qint64 *end) const
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
