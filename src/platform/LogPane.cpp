#include "LogPane.h"
#include "Failure.h"

#include <QAccessible>
#include <QFontDatabase>
#include <QSaveFile>
#include <QThread>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QGlyphRun>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMetaMethod>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QScopeGuard>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <QVarLengthArray>

#include <algorithm>
#include <climits>
#include <cmath>

namespace
{

// What a byte that is not part of a UTF-8 character shows as: Latin-1, with
// control bytes as visible placeholders so binary data keeps its columns. A lone
// CR is a placeholder too, never a return.
QChar DisplayChar(int b)
{
    if (b == '\t')
        return QLatin1Char(' ');
    if (b < 0x20)
        return QChar(char16_t(0x2400 + b)); // control pictures
    if (b == 0x7F)
        return QChar(char16_t(0x2421));
    if (b >= 0x80 && b < 0xA0)
        return QChar(char16_t(0x00B7));
    return QLatin1Char(char(b));
}

constexpr quint32 Highlighted = 0xFFFFFFFFu; // marks selected cells while painting a row

} // namespace

LogPane::LogPane(QWidget *parent) : QAbstractScrollArea(parent)
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(&LogPane::AccessibleFactory);
        return true;
    }();
    Q_UNUSED(factoryInstalled);

    // Always showing the scroll bar keeps the width, and so the wrapping, from
    // flipping as the text grows past one page.
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setCursor(Qt::IBeamCursor);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(16);
    connect(&m_refreshTimer, &QTimer::timeout, this, &LogPane::Refresh);
    m_announceTimer.setSingleShot(true);
    m_announceTimer.setInterval(AnnounceMs);
    connect(&m_announceTimer, &QTimer::timeout, this, &LogPane::Announce);
    UpdateFont();
}

LogPane::~LogPane() = default;

qint64 LogPane::Abs(qint64 pos) const
{
    return m_store.Begin() + std::clamp<qint64>(pos, 0, m_store.Size());
}

qint64 LogPane::TextLength() const
{
    return m_store.Size();
}

qint64 LogPane::Caret() const
{
    return m_caret - m_store.Begin();
}

void LogPane::SetCaret(qint64 pos)
{
    const bool hadSelection = m_anchor != m_caret;
    m_anchor = m_caret = Abs(pos);
    if (hadSelection) {
        viewport()->update();
        ScheduleRefresh();
    }
}

void LogPane::InsertAtCaret(const QByteArray &text, unsigned conversion)
{
    Insert(text.constData(), text.size(), conversion, nullptr);
}

void LogPane::InsertAtCaret(QByteArray *text, unsigned conversion)
{
    if (text->isEmpty())
        return;
    char *bytes = text->data();
    Insert(bytes, text->size(), conversion, bytes);
}

void LogPane::Insert(const char *data, qint64 n, unsigned conversion, char *source)
{
    if (n == 0)
        return;
    if (m_caret != m_store.End())
        throw Failure(FailureNo::LogFailure, QStringLiteral("The log can only be appended to at its end."));
    const qint64 base = m_store.Begin();
    try {
        m_store.Append(data, n, m_color, conversion, source);
    } catch (const std::bad_alloc &) {
        TrimToBase();
        m_anchor = m_caret = m_store.End();
        ScheduleRefresh();
        throw Failure(FailureNo::LogFailure, QStringLiteral("The log could not get memory for the text."));
    }
    if (m_store.Begin() != base)
        TrimToBase();
    m_anchor = m_caret = m_store.End();
    ScheduleRefresh();
    if (!m_announceTimer.isActive())
        m_announceTimer.start();
    emit Changed();
}

void LogPane::SetSelColor(quint32 bgr)
{
    bgr &= 0xFFFFFF;
    if (m_anchor == m_caret) {
        m_color = bgr;
        return;
    }
    AddOverlay(std::min(m_anchor, m_caret), std::max(m_anchor, m_caret), bgr);
    viewport()->update();
}

void LogPane::Clear()
{
    m_store.Clear();
    m_overlays.clear();
    m_anchor = m_caret = 0;
    m_topByte = 0;
    m_announced = 0;
    m_announceTimer.stop();
    m_refreshTimer.stop();
    Refresh();
    emit Changed();
}

QByteArray LogPane::Text(qint64 from, qint64 length) const
{
    const qint64 size = m_store.Size();
    from = std::clamp<qint64>(from, 0, size);
    if (length < 0 || length > size - from)
        length = size - from;
    QByteArray out;
    if (length > 0) {
        out.resize(length);
        m_store.Read(m_store.Begin() + from, length, out.data());
    }
    return out;
}

quint32 LogPane::ShownColor(qint64 pos) const
{
    auto it = std::upper_bound(m_overlays.begin(), m_overlays.end(), pos,
                               [](qint64 p, const Overlay &o) { return p < o.Start; });
    if (it != m_overlays.begin() && pos < std::prev(it)->End)
        return std::prev(it)->Color;
    return m_store.ColorAt(pos);
}

quint32 LogPane::ColorAt(qint64 pos) const
{
    if (pos < 0 || pos >= m_store.Size())
        return m_color;
    return ShownColor(m_store.Begin() + pos);
}

quint32 LogPane::RunAt(qint64 pos, qint64 *start, qint64 *end) const
{
    const qint64 base = m_store.Begin();
    if (pos < 0 || pos >= m_store.Size()) {
        *start = *end = std::clamp<qint64>(pos, 0, m_store.Size());
        return m_color;
    }
    const qint64 at = base + pos;
    auto it = std::upper_bound(m_overlays.begin(), m_overlays.end(), at,
                               [](qint64 p, const Overlay &o) { return p < o.Start; });
    if (it != m_overlays.begin() && at < std::prev(it)->End) {
        *start = std::prev(it)->Start - base;
        *end = std::prev(it)->End - base;
        return std::prev(it)->Color;
    }
    qint64 s, e;
    m_store.RunBounds(at, &s, &e);
    if (it != m_overlays.begin())
        s = std::max(s, std::prev(it)->End);
    if (it != m_overlays.end())
        e = std::min(e, it->Start);
    *start = s - base;
    *end = e - base;
    return m_store.ColorAt(at);
}

qint64 LogPane::SelStart() const
{
    return std::min(m_anchor, m_caret) - m_store.Begin();
}

qint64 LogPane::SelLength() const
{
    return std::abs(m_caret - m_anchor);
}

void LogPane::SetSelection(qint64 start, qint64 length)
{
    m_anchor = Abs(start);
    m_caret = Abs(start + length);
    viewport()->update();
    ScheduleRefresh();
}

QByteArray LogPane::SelectedText() const
{
    return Text(SelStart(), SelLength());
}

qint64 LogPane::Capacity() const
{
    return m_store.Capacity();
}

void LogPane::SetCapacity(qint64 bytes)
{
    m_store.SetCapacity(std::clamp(bytes, MinCapacity, MaxCapacity));
    TrimToBase();
    m_refreshTimer.stop();
    Refresh();
}

void LogPane::TrimToBase()
{
    // Recolourings and the selection never point before the oldest byte kept.
    const qint64 base = m_store.Begin();
    auto keep =
        std::find_if(m_overlays.begin(), m_overlays.end(), [&](const Overlay &o) { return o.End > base; });
    m_overlays.erase(m_overlays.begin(), keep);
    if (!m_overlays.empty())
        m_overlays.front().Start = std::max(m_overlays.front().Start, base);
    m_anchor = std::clamp(m_anchor, base, m_store.End());
    m_caret = std::clamp(m_caret, base, m_store.End());
    m_topByte = std::max(m_topByte, base);
}

void LogPane::AddOverlay(qint64 start, qint64 end, quint32 color)
{
    // Ranges stay sorted and disjoint: the new one cuts away what it covers.
    std::vector<Overlay> out;
    out.reserve(m_overlays.size() + 2);
    for (const Overlay &o : m_overlays) {
        if (o.End <= start || o.Start >= end) {
            out.push_back(o);
            continue;
        }
        if (o.Start < start)
            out.push_back({o.Start, start, o.Color});
        if (o.End > end)
            out.push_back({end, o.End, o.Color});
    }
    out.push_back({start, end, color});
    std::sort(out.begin(), out.end(), [](const Overlay &a, const Overlay &b) { return a.Start < b.Start; });
    m_overlays.swap(out);
}

// ---- View ----

void LogPane::UpdateFont()
{
    const QFontMetrics fm(font());
    m_cellW = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    m_lineH = std::max(1, fm.height());
    m_ascent = fm.ascent();
    m_raw = QRawFont::fromFont(font());
    m_glyphCache.clear();
    m_primaryCache.clear();
    m_fallbacks.clear(); // loaded again, at the new size, as characters need them
    m_useGlyphs = m_raw.isValid();
    quint32 dot = 0;
    if (m_useGlyphs) {
        for (QChar c : {QChar(char16_t(0x00B7)), QChar(u'.'), QChar(u'?')}) {
            dot = m_raw.glyphIndexesForString(QString(c)).value(0);
            if (dot)
                break;
        }
    }
    for (int b = 0; b < 256; ++b) {
        QChar c = DisplayChar(b);
        const bool picture = c.unicode() >= 0x2400 && c.unicode() <= 0x2421;
        m_chars[b] = picture ? QChar(char16_t(0x00B7)) : c;
        if (!m_useGlyphs)
            continue;
        quint32 g = m_raw.glyphIndexesForString(QString(c)).value(0);
        // Control pictures the font lacks, or draws wider than a cell, fall
        // back to a dot: fallback fonts would break the fixed columns.
        if (picture && g) {
            const quint32 gi[1] = {g};
            QPointF adv[1];
            if (m_raw.advancesForGlyphIndexes(gi, adv, 1) && adv[0].x() > m_cellW * 1.2)
                g = 0;
        }
        m_glyphs[b] = g ? g : dot;
    }
}

void LogPane::UpdateColumns()
{
    const int cols = std::max(1, viewport()->width() / m_cellW);
    m_store.SetColumns(cols);
    // The hex view shows 16 bytes a row where they fit, else 8 or 4.
    m_hexBytes = MaxHexBytes;
    while (m_hexBytes > 4 && HexFirst + 4 * m_hexBytes + 1 > cols)
        m_hexBytes /= 2;
}

void LogPane::ScheduleRefresh()
{
    if (!m_refreshTimer.isActive())
        m_refreshTimer.start();
}

qint64 LogPane::TopRowStart() const
{
    if (m_hex)
        return std::min(m_store.Begin() + qint64(verticalScrollBar()->value()) * m_hexBytes, m_store.End());
    qint64 inLine = 0;
    const LogStore::Line line = m_store.LineAtRow(verticalScrollBar()->value(), &inLine);
    qint64 from, to;
    m_store.RowBounds(line, inLine, &from, &to);
    return from;
}

void LogPane::Refresh()
{
    // Runs on the coalescing timer: one scroll bar update and one repaint for
    // however many inserts came since the last one.
    m_refreshTimer.stop();
    UpdateColumns();
    QScrollBar *sb = verticalScrollBar();
    const bool atBottom = sb->value() >= sb->maximum();
    const qint64 top = std::max(m_topByte, m_store.Begin());
    const int visible = std::max(1, viewport()->height() / m_lineH);
    const qint64 rows = ViewRows();
    const int maxRow = int(std::min<qint64>(INT_MAX, std::max<qint64>(0, rows - visible)));
    m_refreshing = true;
    sb->setRange(0, maxRow);
    sb->setPageStep(visible);
    sb->setSingleStep(1);
    sb->setValue(atBottom ? maxRow : int(std::min<qint64>(maxRow, ViewRowOf(top))));
    m_refreshing = false;
    m_topByte = TopRowStart();
    viewport()->update();

    if (QAccessible::isActive() && m_caret != m_notifiedCaret) {
        m_notifiedCaret = m_caret;
        // Offsets told to assistive technology count UTF-16 units, not bytes.
        QAccessibleTextCursorEvent event(this, int(std::min<qint64>(m_store.UnitOf(m_caret), INT_MAX)));
        QAccessible::updateAccessibility(&event);
    }
}

// Tells assistive technology what was appended since it was last told, at most a
// few times a second however often text arrives; a flood is told by its newest
// part only, so a screen reader can read out the latest lines.
void LogPane::Announce()
{
    // From a character's start: a newest part that began inside one would show
    // its other bytes on their own.
    const qint64 from =
        m_store.CharStart(std::max({m_announced, m_store.Begin(), m_store.End() - AnnounceMax}), true);
    m_announced = m_store.End();
    if (from >= m_store.End() ||
        (!QAccessible::isActive() && !isSignalConnected(QMetaMethod::fromSignal(&LogPane::Announced))))
        return; // nobody to tell: the offset in units costs a count of what came since
    const int at = int(std::min<qint64>(m_store.UnitOf(from), INT_MAX));
    const QString text = m_store.Decoded(from, m_store.End());
    QAccessibleTextInsertEvent event(this, at, text);
    QAccessible::updateAccessibility(&event); // dropped by Qt when no assistive technology listens
    emit Announced(at, text);
}

void LogPane::scrollContentsBy(int, int)
{
    if (!m_refreshing)
        m_topByte = TopRowStart();
    viewport()->update();
}

void LogPane::resizeEvent(QResizeEvent *event)
{
    QAbstractScrollArea::resizeEvent(event);
    Refresh();
}

void LogPane::changeEvent(QEvent *event)
{
    QAbstractScrollArea::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        UpdateFont();
        Refresh();
    } else if (event->type() == QEvent::PaletteChange) {
        viewport()->update();
    }
}

void LogPane::paintEvent(QPaintEvent *)
{
    QPainter p(viewport());
    p.fillRect(viewport()->rect(), Qt::white);
    // Over the rows, on every way out: the focus indicator as the style draws one
    // (some styles only once the focus has moved by keyboard).
    const auto focusIndicator = qScopeGuard([&] {
        if (!hasFocus())
            return;
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        focus.rect = viewport()->rect();
        focus.backgroundColor = Qt::white;
        // Kept to a border: a style that fills the rectangle would tint the whole log.
        p.setClipRegion(QRegion(focus.rect) - QRegion(focus.rect.adjusted(2, 2, -2, -2)));
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &p, this);
    });
    const int shown = (viewport()->height() + m_lineH - 1) / m_lineH;
    if (m_store.Size() == 0 || shown <= 0)
        return;
    if (m_hex) {
        const qint64 first = verticalScrollBar()->value();
        for (int r = 0; r < shown; ++r)
            if (!PaintHexRow(p, r * m_lineH, m_store.Begin() + (first + r) * m_hexBytes))
                break;
        return;
    }
    const qint64 selS = std::min(m_anchor, m_caret);
    const qint64 selE = std::max(m_anchor, m_caret);
    qint64 inLine = 0;
    LogStore::Line line = m_store.LineAtRow(verticalScrollBar()->value(), &inLine);
    // Row starts of the rows to paint, one more to see where the last one ends.
    std::vector<qint64> starts;
    m_store.RowStarts(line, inLine, shown + 1, starts);
    size_t k = 0;
    for (int r = 0; r < shown; ++r) {
        const qint64 from = starts[k];
        const bool lastRow = k + 1 >= starts.size();
        const qint64 to = lastRow ? line.ContentEnd : starts[k + 1];
        const bool breakSelected =
            lastRow && !line.IsLast() && selS <= line.ContentEnd && line.ContentEnd < selE;
        PaintRow(p, r * m_lineH, from, to, m_store.Decodes(line), breakSelected);
        if (!lastRow) {
            ++k;
        } else {
            if (line.IsLast())
                break;
            line = m_store.NextLine(line);
            m_store.RowStarts(line, 0, shown - r + 1, starts);
            k = 0;
        }
    }
}

void LogPane::PaintRow(QPainter &p, int y, qint64 from, qint64 to, bool decode, bool lineEndSelected)
{
    const int n = int(to - from);
    m_store.Glyphs(from, to, decode, m_rowGlyphs);
    std::vector<LogStore::Glyph> &glyphs = decode ? m_rowGlyphs : m_byteGlyphs;
    if (!decode) {
        // Lines of binary data: a character the pane's font lacks shows as its bytes,
        // no font is searched for it.
        glyphs.clear();
        for (const LogStore::Glyph &g : m_rowGlyphs) {
            if (g.Raw || g.Char < 0x100 || PrimaryGlyph(g.Char)) {
                glyphs.push_back(g);
                continue;
            }
            for (int b = 0; b < g.Len; ++b)
                glyphs.push_back({g.Pos + b, 1, m_store.ByteAt(g.Pos + b), true, g.Col + b, 1});
        }
    }
    const int endCol = glyphs.empty() ? 0 : glyphs.back().Col + glyphs.back().Width;
    const QColor highlight = palette().color(QPalette::Highlight);
    if (lineEndSelected)
        p.fillRect(endCol * m_cellW, y, m_cellW, m_lineH, highlight);
    if (n <= 0)
        return;
    // The colour of each byte: the store's runs, then recolourings, then the selection.
    QVarLengthArray<quint32, 512> colors(n);
    for (qint64 pos = from; pos < to;) {
        const qint64 next = m_store.NextColorChange(pos, to);
        std::fill(colors.begin() + (pos - from), colors.begin() + (next - from), m_store.ColorAt(pos));
        pos = next;
    }
    auto it = std::upper_bound(m_overlays.begin(), m_overlays.end(), from,
                               [](qint64 v, const Overlay &o) { return v < o.Start; });
    if (it != m_overlays.begin())
        --it;
    for (; it != m_overlays.end() && it->Start < to; ++it) {
        const qint64 s = std::max(it->Start, from), e = std::min(it->End, to);
        if (s < e)
            std::fill(colors.begin() + (s - from), colors.begin() + (e - from), it->Color);
    }
    const qint64 selS = std::min(m_anchor, m_caret), selE = std::max(m_anchor, m_caret);
    for (const LogStore::Glyph &g : glyphs) {
        if (g.Pos >= selS && g.Pos < selE) {
            p.fillRect(g.Col * m_cellW, y, g.Width * m_cellW, m_lineH, highlight);
            colors[g.Pos - from] = Highlighted;
        }
    }

    // Runs of one colour go out as glyph runs, one per font: characters beyond
    // Latin-1 come from the pane's font when it has them, else from the first
    // installed font that does (looked up once per character, never shaped).
    const QColor highlightedText = palette().color(QPalette::HighlightedText);
    QVarLengthArray<quint32, 512> ids;
    QVarLengthArray<QPointF, 512> positions;
    QVarLengthArray<int, 8> fonts; // fonts used in the current colour run
    for (size_t i = 0; i < glyphs.size();) {
        const quint32 color = colors[glyphs[i].Pos - from];
        p.setPen(color == Highlighted ? highlightedText : ToQColor(color));
        size_t j = i;
        fonts.clear();
        fonts.append(0);
        for (; j < glyphs.size() && colors[glyphs[j].Pos - from] == color; ++j) {
            const LogStore::Glyph &g = glyphs[j];
            if (!g.Raw && g.Char >= 0x100 && !fonts.contains(GlyphFor(g.Char).Font))
                fonts.append(GlyphFor(g.Char).Font);
        }
        for (const int font : fonts) {
            ids.clear();
            positions.clear();
            for (size_t k = i; k < j; ++k) {
                const LogStore::Glyph &g = glyphs[k];
                if (g.Char == '\t' && g.Raw)
                    continue;
                const FontGlyph fg =
                    g.Raw || g.Char < 0x100 ? FontGlyph{0, m_glyphs[quint8(g.Char)]} : GlyphFor(g.Char);
                if (fg.Font != font)
                    continue;
                if (!m_useGlyphs) {
                    const QString text = g.Raw || g.Char < 0x100 ? QString(m_chars[quint8(g.Char)])
                                                                 : QString::fromUcs4(&g.Char, 1);
                    p.drawText(QPointF(qreal(g.Col) * m_cellW, y + m_ascent), text);
                    continue;
                }
                ids.append(fg.Id);
                positions.append(QPointF(qreal(g.Col) * m_cellW, 0));
            }
            if (!ids.isEmpty()) {
                QGlyphRun run;
                run.setRawFont(font == 0 ? m_raw : m_fallbacks[size_t(font - 1)]);
                run.setRawData(ids.data(), positions.data(), int(ids.size()));
                p.drawGlyphRun(QPointF(0, y + m_ascent), run);
            }
        }
        i = j;
    }
}

// One row of the hex view as text: the offset, 16 bytes in hex and the same
// bytes as characters (printable ASCII, "." for the rest).
QByteArray LogPane::HexRow(qint64 from) const
{
    const qint64 to = std::min(from + m_hexBytes, m_store.End());
    QByteArray row(HexText() + m_hexBytes, ' ');
    const QByteArray offset = QByteArray::number(from, 16).rightJustified(8, '0');
    std::copy(offset.begin(), offset.end(), row.begin());
    char bytes[MaxHexBytes];
    m_store.Read(from, to - from, bytes);
    for (int i = 0; i < to - from; ++i) {
        const quint8 b = quint8(bytes[i]);
        row[HexFirst + 3 * i] = "0123456789abcdef"[b >> 4];
        row[HexFirst + 3 * i + 1] = "0123456789abcdef"[b & 15];
        row[HexText() + i] = b >= 0x20 && b < 0x7F ? char(b) : '.';
    }
    return row.left(to - from < m_hexBytes ? HexText() + int(to - from) : row.size());
}

// Paints a row of the hex view, each byte in its own colour in both places.
// False when there is no such row.
bool LogPane::PaintHexRow(QPainter &p, int y, qint64 from)
{
    if (from >= m_store.End())
        return false;
    const QByteArray row = HexRow(from);
    std::vector<quint32> colors(size_t(row.size()), 0x000000); // the offset is black
    const qint64 selS = std::min(m_anchor, m_caret), selE = std::max(m_anchor, m_caret);
    const QColor highlight = palette().color(QPalette::Highlight);
    for (int i = 0; i < m_hexBytes && from + i < m_store.End(); ++i) {
        const qint64 pos = from + i;
        const bool selected = pos >= selS && pos < selE;
        if (selected) {
            p.fillRect((HexFirst + 3 * i) * m_cellW, y, 2 * m_cellW, m_lineH, highlight);
            p.fillRect((HexText() + i) * m_cellW, y, m_cellW, m_lineH, highlight);
        }
        const quint32 color = selected ? Highlighted : ShownColor(pos);
        colors[size_t(HexFirst + 3 * i)] = colors[size_t(HexFirst + 3 * i + 1)] = color;
        colors[size_t(HexText() + i)] = color;
    }
    const QColor highlightedText = palette().color(QPalette::HighlightedText);
    for (int i = 0; i < row.size();) {
        int j = i + 1;
        while (j < row.size() && colors[size_t(j)] == colors[size_t(i)])
            ++j;
        p.setPen(colors[size_t(i)] == Highlighted ? highlightedText : ToQColor(colors[size_t(i)]));
        if (m_useGlyphs) {
            QVarLengthArray<quint32, 80> ids;
            QVarLengthArray<QPointF, 80> at;
            for (int k = i; k < j; ++k) {
                ids.append(m_glyphs[quint8(row[k])]);
                at.append(QPointF(qreal(k) * m_cellW, 0));
            }
            QGlyphRun run;
            run.setRawFont(m_raw);
            run.setRawData(ids.data(), at.data(), int(ids.size()));
            p.drawGlyphRun(QPointF(0, y + m_ascent), run);
        } else {
            p.drawText(QPointF(qreal(i) * m_cellW, y + m_ascent), QString::fromLatin1(row.mid(i, j - i)));
        }
        i = j;
    }
    return true;
}

qint64 LogPane::ViewRows() const
{
    return m_hex ? std::max<qint64>(1, (m_store.Size() + m_hexBytes - 1) / m_hexBytes) : m_store.RowCount();
}

qint64 LogPane::ViewRowOf(qint64 pos) const
{
    return m_hex ? std::clamp<qint64>((pos - m_store.Begin()) / m_hexBytes, 0, ViewRows() - 1)
                 : m_store.RowOf(pos);
}

void LogPane::SetHexView(bool on)
{
    if (on == m_hex)
        return;
    // The same place in the other view (or still the end). The hex row holds the
    // text's top byte somewhere in it: back in the text, that byte is the top again.
    const qint64 top = TopRowStart();
    const bool unmoved = !on && m_textTop >= top && m_textTop < top + m_hexBytes;
    m_topByte = unmoved ? m_textTop : top;
    m_textTop = on ? top : -1;
    m_hex = on;
    m_refreshTimer.stop();
    Refresh();
}

LogPane::FontGlyph LogPane::GlyphFor(char32_t c)
{
    auto it = m_glyphCache.constFind(c);
    if (it != m_glyphCache.constEnd())
        return *it;
    FontGlyph found{0, 0}; // none anywhere: the pane's font shows its missing-glyph box
    const QString text = QString::fromUcs4(&c, 1);
    if (m_useGlyphs) {
        if (const quint32 id = PrimaryGlyph(c)) {
            found = {0, id};
        } else {
            if (m_fallbackFamilies.isEmpty())
                m_fallbackFamilies = QFontDatabase::families();
            for (qsizetype k = 0; k < m_fallbackFamilies.size(); ++k) {
                if (size_t(k) >= m_fallbacks.size()) {
                    QFont f(m_fallbackFamilies[k]);
                    f.setPixelSize(std::max(1, m_raw.pixelSize() > 0 ? int(m_raw.pixelSize()) : 12));
                    m_fallbacks.push_back(QRawFont::fromFont(f));
                }
                const QRawFont &raw = m_fallbacks[size_t(k)];
                if (const quint32 id = raw.isValid() ? raw.glyphIndexesForString(text).value(0) : 0) {
                    found = {int(k) + 1, id};
                    break;
                }
            }
        }
    }
    if (m_glyphCache.size() > MaxCachedGlyphs)
        m_glyphCache.clear();
    m_glyphCache.insert(c, found);
    return found;
}

quint32 LogPane::PrimaryGlyph(char32_t c)
{
    if (!m_useGlyphs)
        return 0;
    auto it = m_primaryCache.constFind(c);
    if (it != m_primaryCache.constEnd())
        return *it;
    if (m_primaryCache.size() > MaxCachedGlyphs)
        m_primaryCache.clear();
    return *m_primaryCache.insert(c, m_raw.glyphIndexesForString(QString::fromUcs4(&c, 1)).value(0));
}

qint64 LogPane::HitTest(const QPoint &point) const
{
    const qint64 row = verticalScrollBar()->value() + qint64(std::floor(qreal(point.y()) / m_lineH));
    if (row < 0)
        return m_store.Begin();
    if (row >= ViewRows())
        return m_store.End();
    if (m_hex) {
        // The byte under the point, in the hex columns or in the characters.
        const qint64 from = m_store.Begin() + row * m_hexBytes;
        const int col = int(std::floor(qreal(point.x()) / m_cellW));
        const int i = col >= HexText() ? col - HexText() : (col - HexFirst + 1) / 3;
        return std::min(from + std::clamp(i, 0, m_hexBytes), m_store.End());
    }
    qint64 inLine = 0;
    const LogStore::Line line = m_store.LineAtRow(row, &inLine);
    qint64 from, to;
    m_store.RowBounds(line, inLine, &from, &to);
    // The character boundary nearest the point.
    const qreal col = qreal(point.x()) / m_cellW;
    m_store.Glyphs(from, to, m_store.Decodes(line), m_rowGlyphs);
    for (const LogStore::Glyph &g : m_rowGlyphs)
        if (col < g.Col + g.Width / 2.0)
            return g.Pos;
    return to;
}

QRect LogPane::CellRect(qint64 pos) const
{
    const qint64 row = ViewRowOf(pos) - verticalScrollBar()->value();
    if (row < 0 || row * m_lineH >= viewport()->height())
        return QRect();
    if (m_hex) {
        const int i = int((pos - m_store.Begin()) % m_hexBytes);
        return QRect((HexFirst + 3 * i) * m_cellW, int(row) * m_lineH, 2 * m_cellW, m_lineH);
    }
    const LogStore::Line line = m_store.LineAt(pos);
    const qint64 inLine = m_store.RowInLine(line, pos);
    qint64 from, to;
    m_store.RowBounds(line, inLine, &from, &to);
    m_store.Glyphs(from, to, m_store.Decodes(line), m_rowGlyphs);
    int col = 0, width = 1;
    for (const LogStore::Glyph &g : m_rowGlyphs) {
        col = g.Col + g.Width; // past the last character when pos is at the end
        if (g.Pos + g.Len > pos) {
            col = g.Col;
            width = g.Width;
            break;
        }
    }
    return QRect(col * m_cellW, int(row) * m_lineH, width * m_cellW, m_lineH);
}

void LogPane::ScrollToPos(qint64 pos)
{
    Refresh();
    QScrollBar *sb = verticalScrollBar();
    const qint64 row = ViewRowOf(pos);
    const int visible = sb->pageStep();
    if (row < sb->value())
        sb->setValue(int(row));
    else if (row >= qint64(sb->value()) + visible)
        sb->setValue(int(std::min<qint64>(INT_MAX, row - visible + 1)));
}

// ---- Interaction ----

void LogPane::Copy()
{
    if (SelLength() == 0)
        return;
    const qint64 from = std::min(m_anchor, m_caret);
    QGuiApplication::clipboard()->setText(m_store.Decoded(from, from + std::min(SelLength(), CopyLimit)));
}

void LogPane::SelectAll()
{
    m_anchor = m_store.Begin();
    m_caret = m_store.End();
    viewport()->update();
    ScheduleRefresh();
}

void LogPane::keyPressEvent(QKeyEvent *event)
{
    // The Menu key, or Shift+F10 on keyboards without one: the menu, at the top of the pane.
    if (event->key() == Qt::Key_Menu ||
        (event->key() == Qt::Key_F10 && event->modifiers() == Qt::ShiftModifier)) {
        ShowMenu(viewport()->mapToGlobal(QPoint(0, m_lineH)), true);
        return;
    }
    if (event->matches(QKeySequence::Copy)) {
        Copy();
        return;
    }
    if (event->matches(QKeySequence::SelectAll)) {
        SelectAll();
        return;
    }
    if (m_refreshTimer.isActive())
        Refresh(); // scroll within the current range, not the one from before the last inserts
    QScrollBar *sb = verticalScrollBar();
    switch (event->key()) {
    case Qt::Key_PageUp: sb->triggerAction(QAbstractSlider::SliderPageStepSub); return;
    case Qt::Key_PageDown: sb->triggerAction(QAbstractSlider::SliderPageStepAdd); return;
    case Qt::Key_Up: sb->triggerAction(QAbstractSlider::SliderSingleStepSub); return;
    case Qt::Key_Down: sb->triggerAction(QAbstractSlider::SliderSingleStepAdd); return;
    case Qt::Key_Home: sb->triggerAction(QAbstractSlider::SliderToMinimum); return;
    case Qt::Key_End: sb->triggerAction(QAbstractSlider::SliderToMaximum); return;
    default: event->ignore(); // read-only: typing does nothing here
    }
}

void LogPane::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    const qint64 pos = HitTest(event->position().toPoint());
    m_caret = pos;
    if (!(event->modifiers() & Qt::ShiftModifier))
        m_anchor = pos;
    m_dragging = true;
    viewport()->update();
    ScheduleRefresh();
}

void LogPane::mouseMoveEvent(QMouseEvent *event)
{
    if (!m_dragging || !(event->buttons() & Qt::LeftButton))
        return;
    const QPoint pt = event->position().toPoint();
    QScrollBar *sb = verticalScrollBar();
    if (pt.y() < 0)
        sb->triggerAction(QAbstractSlider::SliderSingleStepSub);
    else if (pt.y() >= viewport()->height())
        sb->triggerAction(QAbstractSlider::SliderSingleStepAdd);
    m_caret = HitTest(pt);
    viewport()->update();
}

void LogPane::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton) {
        m_dragging = false;
        ScheduleRefresh();
    }
}

void LogPane::mouseDoubleClickEvent(QMouseEvent *event)
{
    // The window empties the pane on a double-click; no word selection here.
    if (event->button() == Qt::LeftButton)
        emit DoubleClicked();
}

void LogPane::contextMenuEvent(QContextMenuEvent *event)
{
    ShowMenu(event->globalPos(), event->reason() == QContextMenuEvent::Keyboard);
}

void LogPane::ShowMenu(const QPoint &globalPos, bool byKeyboard)
{
    QMenu menu(this);
    menu.setObjectName(QStringLiteral("mnuLog"));
    // The keys the pane itself answers, shown beside their items; they act only while the menu is open.
    const auto withKey = [](QAction *a, QKeySequence::StandardKey key) {
        a->setShortcut(key);
        a->setShortcutContext(Qt::WidgetShortcut);
        a->setShortcutVisibleInContextMenu(true);
    };
    QAction *copy = menu.addAction(tr("&Copy"), this, &LogPane::Copy);
    copy->setEnabled(SelLength() > 0);
    withKey(copy, QKeySequence::Copy);
    withKey(menu.addAction(tr("Select &All"), this, &LogPane::SelectAll), QKeySequence::SelectAll);
    menu.addSeparator();
    QAction *hex = menu.addAction(tr("Show as &Hex"), this, &LogPane::SetHexView);
    hex->setCheckable(true);
    hex->setChecked(m_hex);
    menu.addAction(tr("Save Log &As..."), this, &LogPane::SaveAsRequested);
    menu.addAction(tr("C&lear"), this, &LogPane::DoubleClicked); // what a double-click does
    if (isSignalConnected(QMetaMethod::fromSignal(&LogPane::MenuRequested)))
        emit MenuRequested(&menu, byKeyboard);
    else
        menu.exec(globalPos);
}

void LogPane::focusInEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update(); // the focus indicator
}

void LogPane::focusOutEvent(QFocusEvent *event)
{
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

// Writes data to a temporary file that takes the name only once it is complete:
// a failure leaves nothing under that name. Returns the reason of a failure.
static QString writeWhole(const QString &path, const QByteArray &data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    if (file.write(data) != data.size())
        return file.errorString();
    if (!file.commit())
        return file.errorString();
    return QString();
}

// The bytes the pane holds now, as they stand, are copied at once and written by a
// thread of their own, so a full pane neither stops the window nor changes while
// it is written. SaveFinished tells how it went.
void LogPane::SaveAs(const QString &path)
{
    QByteArray data;
    try {
        data = Text();
    } catch (const std::bad_alloc &) {
        emit SaveFinished(path, tr("There is not enough memory for a copy of the log."));
        return;
    }
    auto error = std::make_shared<QString>();
    QThread *writer =
        QThread::create([path, data = std::move(data), error] { *error = writeWhole(path, data); });
    connect(writer, &QThread::finished, this, [this, path, error] { emit SaveFinished(path, *error); });
    connect(writer, &QThread::finished, writer, &QObject::deleteLater);
    writer->start();
}

QColor LogPane::ToQColor(quint32 bgr)
{
    return QColor(int(bgr & 0xFF), int((bgr >> 8) & 0xFF), int((bgr >> 16) & 0xFF));
}
