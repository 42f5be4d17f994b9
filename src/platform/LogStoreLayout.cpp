#include "LogStore.h"
#include "LogStoreBytes.h"

#include <algorithm>
#include <climits>

// How the store's bytes are shown. A valid UTF-8 sequence that does not cross a
// colour change is one character, wide ones (CJK and the like) in two cells;
// every other byte is one character in one cell of its own, so binary data shows
// byte for byte. A TAB reaches to the next multiple of eight columns. Rows wrap
// at the column count, and a wide character that does not fit goes to the next.
// Lines with bytes that are not UTF-8 (binary data) and lines longer than
// LongLine keep one cell per byte, so their layout stays arithmetic: characters
// in them are drawn in the cells of their bytes.

namespace
{
// Length of the valid UTF-8 sequence of two to four bytes at p (at most avail
// bytes), with its code point; 0 when there is none.
int utf8At(const unsigned char *p, qint64 avail, char32_t *cp)
{
    const unsigned b = p[0];
    int len;
    unsigned lo = 0x80, hi = 0xBF; // range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        lo = b == 0xE0 ? 0xA0 : 0x80; // no overlong forms
        hi = b == 0xED ? 0x9F : 0xBF; // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        lo = b == 0xF0 ? 0x90 : 0x80;
        hi = b == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (avail < len || p[1] < lo || p[1] > hi)
        return 0;
    char32_t c = b & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
        if ((p[k] & 0xC0) != 0x80)
            return 0;
        c = (c << 6) | (p[k] & 0x3F);
    }
    *cp = c;
    return len;
}

// East Asian wide and fullwidth characters, and the emoji blocks: two cells.
bool isWide(char32_t c)
{
    return (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) ||
           (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE30 && c <= 0xFE4F) ||
           (c >= 0xFF00 && c <= 0xFF60) || (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
           (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD);
}
} // namespace

// The n bytes from `from`: where they lie when one segment holds them all, else
// a copy of them.
const unsigned char *LogStore::BytesOf(qint64 from, qint64 n) const
{
    const Segment &s = *m_segs[size_t(SegIndex(from))];
    if (from + n <= s.Start + s.Used)
        return reinterpret_cast<const unsigned char *>(s.Data.get() + (from - s.Start));
    if (m_scratch.size() < size_t(n))
        m_scratch.resize(size_t(n));
    Read(from, n, m_scratch.data());
    return reinterpret_cast<const unsigned char *>(m_scratch.data());
}

// Whether the line [from, to) is laid out by characters: it holds a TAB or a
// UTF-8 sequence, and every byte above 0x7F is part of a valid sequence inside
// one colour. Plain ASCII, binary data and over-long lines are laid out one byte
// per cell, by arithmetic; binary data is told apart at its first invalid byte.
bool LogStore::ByCharacters(qint64 from, qint64 to) const
{
    const qint64 n = to - from;
    if (n <= 0 || n > LongLine)
        return false;
    const unsigned char *p = BytesOf(from, n);
    if (HasNonUtf8(p, n))
        return false;
    bool special = false;
    qint64 colorEnd = from;
    for (qint64 i = 0; i < n;) {
#ifdef LOGSTORE_SSE2
        if (i + 16 <= n) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            const __m128i tab = _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'));
            if (!_mm_movemask_epi8(v)) { // no high byte in these 16
                special = special || _mm_movemask_epi8(tab);
                i += 16;
                continue;
            }
        }
#endif
        if (p[i] < 0x80) {
            special = special || p[i] == '\t';
            ++i;
            continue;
        }
        char32_t c = 0;
        int len = utf8At(p + i, n - i, &c); // most bytes of binary data end it here
        if (len && colorEnd < from + i + len) {
            colorEnd = NextColorChange(from + i, to);
            len = colorEnd >= from + i + len ? len : 0; // a colour change cuts it
        }
        if (!len)
            return false;
        special = true;
        i += len;
    }
    return special;
}

// Walks the characters of [from, to). By cells:
// wide characters take two cells, TABs reach the next multiple of eight, rows
// wrap at cols. Otherwise each byte takes one cell and a character the cells of
// its bytes. f(glyph, row) returns false to stop.
template <class F> void LogStore::Walk(qint64 from, qint64 to, int cols, bool cells, F &&f) const
{
    const qint64 n = to - from;
    if (n <= 0)
        return;
    const unsigned char *p = BytesOf(from, n);
    qint64 colorEnd = from, row = 0;
    int col = 0;
    // A NUL reads as "?" where its arrival says so; the arrival is looked up at
    // the first NUL outside the one last seen.
    qint64 nulFrom = 0, nulTo = 0;
    bool nulAsQuestion = false;
    for (qint64 i = 0; i < n;) {
        Glyph g{from + i, 1, p[i], true, 0, 1};
        if (p[i] == 0) {
            if (g.Pos < nulFrom || g.Pos >= nulTo) {
                const Arrival a = ArrivalAt(g.Pos);
                nulFrom = a.Start;
                nulTo = a.End;
                nulAsQuestion = a.Conversion & NulToQuestion;
            }
            if (nulAsQuestion)
                g.Char = '?';
        }
        char32_t c = 0;
        int len = p[i] >= 0x80 ? utf8At(p + i, n - i, &c) : 0;
        if (len && colorEnd < g.Pos + len) {
            colorEnd = NextColorChange(g.Pos, to);
            len = colorEnd >= g.Pos + len ? len : 0; // a colour change cuts it
        }
        if (len)
            g = {g.Pos, len, c, false, 0, !cells ? len : isWide(c) ? 2 : 1};
        if (p[i] == '\t' && cells) {
            if (col >= cols) {
                ++row;
                col = 0;
            }
            g.Width = std::max(1, std::min(8 - col % 8, cols - col));
        } else if (col > 0 && col + g.Width > cols) {
            ++row;
            col = 0;
        }
        g.Col = col;
        if (!f(g, row))
            return;
        col += g.Width;
        i += g.Len;
    }
}

// Rows of the line [from, to), in one pass over its bytes: the layout Walk
// gives, with each run of ASCII placed at once. At the first byte that is not
// part of a valid sequence inside one colour, the line is one cell per byte.
qint64 LogStore::RowsOfRange(qint64 from, qint64 to) const
{
    const qint64 n = to - from;
    if (n <= 0)
        return 1;
    if (n > LongLine)
        return RowsFor(n);
    const unsigned char *p = BytesOf(from, n);
    if (!HasHighOrTab(p, n) || HasNonUtf8(p, n))
        return RowsFor(n); // plain ASCII, or binary data
    const qint64 cols = m_cols;
    qint64 row = 0, col = 0, colorEnd = from;
    for (qint64 i = 0; i < n;) {
        if (!LogStoreBytes::IsHighOrTab(p[i])) {
            qint64 j = i + 1;
#ifdef LOGSTORE_SSE2
            for (; j + 16 <= n; j += 16)
                if (_mm_movemask_epi8(
                        LogStoreBytes::HighOrTab(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + j)))))
                    break;
#endif
            while (j < n && !LogStoreBytes::IsHighOrTab(p[j]))
                ++j;
            qint64 len = j - i;
            if (col + len <= cols) {
                col += len;
            } else {
                len -=
                    std::max<qint64>(0, cols - col); // a wide character may have overfilled a row of one cell
                row += 1 + (len - 1) / cols;
                col = (len - 1) % cols + 1;
            }
            i = j;
            continue;
        }
        qint64 width = 1;
        int len = 1;
        if (p[i] == '\t') {
            if (col >= cols) {
                ++row;
                col = 0;
            }
            width = std::max<qint64>(1, std::min(8 - col % 8, cols - col));
        } else {
            char32_t c = 0;
            len = utf8At(p + i, n - i, &c);
            if (len && colorEnd < from + i + len) {
                colorEnd = NextColorChange(from + i, to);
                len = colorEnd >= from + i + len ? len : 0; // a colour change cuts it
            }
            if (!len)
                return RowsFor(n); // binary data
            width = isWide(c) ? 2 : 1;
            if (col > 0 && col + width > cols) {
                ++row;
                col = 0;
            }
        }
        col += width;
        i += len;
    }
    return row + 1;
}

void LogStore::RowBounds(const Line &line, qint64 row, qint64 *from, qint64 *to) const
{
    std::vector<qint64> &starts = m_rowStarts;
    RowStarts(line, row, 2, starts);
    *from = starts[0];
    *to = starts.size() > 1 ? starts[1] : line.ContentEnd;
}

void LogStore::RowStarts(const Line &line, qint64 first, qint64 count, std::vector<qint64> &starts) const
{
    starts.clear();
    if (!Decodes(line)) {
        for (qint64 r = first; r < first + count; ++r) {
            const qint64 at = line.Start + r * m_cols;
            if (r > 0 && at >= line.ContentEnd)
                break;
            starts.push_back(at);
        }
        if (starts.empty())
            starts.push_back(line.ContentEnd);
        return;
    }
    if (first == 0 && count > 0)
        starts.push_back(line.Start);
    Walk(line.Start, line.ContentEnd, m_cols, true, [&](const Glyph &g, qint64 r) {
        if (r >= first + count)
            return false;
        if (r >= first && r - first == qint64(starts.size()))
            starts.push_back(g.Pos);
        return true;
    });
    if (starts.empty())
        starts.push_back(line.ContentEnd);
}

qint64 LogStore::RowInLine(const Line &line, qint64 pos) const
{
    pos = std::clamp(pos, line.Start, line.ContentEnd);
    if (!Decodes(line))
        return std::min((pos - line.Start) / m_cols, RowsFor(line.ContentEnd - line.Start) - 1);
    qint64 row = 0;
    Walk(line.Start, line.ContentEnd, m_cols, true, [&](const Glyph &g, qint64 r) {
        if (g.Pos > pos)
            return false;
        row = r;
        return true;
    });
    return row;
}

bool LogStore::Decodes(const Line &line) const
{
    return ByCharacters(line.Start, line.ContentEnd);
}

void LogStore::Glyphs(qint64 from, qint64 to, bool cells, std::vector<Glyph> &out) const
{
    out.clear();
    Walk(from, to, cells ? m_cols : INT_MAX / 2, cells, [&](const Glyph &g, qint64 row) {
        if (row > 0)
            return false; // one row's worth
        out.push_back(g);
        return true;
    });
}

QString LogStore::Decoded(qint64 from, qint64 to) const
{
    QString out;
    out.reserve(to - from);
    // Decoded piece by piece, so a huge range needs no copy of its own.
    constexpr qint64 Piece = 1024 * 1024;
    for (qint64 pos = from; pos < to;) {
        qint64 end = std::min(to, pos + Piece);
        if (end < to) // a piece ends before a sequence it would cut
            end = CharStart(end);
        Walk(pos, end, INT_MAX / 2, true, [&](const Glyph &g, qint64) { // one row: no wrapping here
            if (QChar::requiresSurrogates(g.Char)) {
                out.append(QChar(QChar::highSurrogate(g.Char)));
                out.append(QChar(QChar::lowSurrogate(g.Char)));
            } else {
                out.append(QChar(char16_t(g.Char))); // a byte on its own is its Latin-1 character
            }
            return true;
        });
        pos = end;
    }
    return out;
}

int LogStore::SeqAt(qint64 pos, qint64 *colorEnd) const
{
    const Segment &s = *m_segs[size_t(SegIndex(pos))];
    const qint64 off = pos - s.Start, avail = std::min<qint64>(4, m_end - pos);
    if (quint8(s.Data[off]) < 0x80)
        return 0;
    unsigned char copy[4];
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.Data.get() + off);
    if (off + avail > s.Used) { // it crosses into the next segment
        Read(pos, avail, reinterpret_cast<char *>(copy));
        p = copy;
    }
    char32_t c = 0;
    int len = utf8At(p, avail, &c);
    if (len && *colorEnd < pos + len) {
        *colorEnd = NextColorChange(pos, std::min(m_end, pos + m_segSize));
        len = *colorEnd >= pos + len ? len : 0; // a colour change cuts it
    }
    return len;
}

qint64 LogStore::CharStart(qint64 pos, bool up) const
{
    // Only a continuation byte can be inside a character, whose start is at most
    // three bytes back: the first byte before it that is not one.
    if (pos <= m_base || pos >= m_end || (ByteAt(pos) & 0xC0) != 0x80)
        return pos;
    for (qint64 q = pos - 1; q >= std::max(m_base, pos - 3); --q) {
        if ((ByteAt(q) & 0xC0) == 0x80)
            continue;
        qint64 colorEnd = q;
        const int len = SeqAt(q, &colorEnd);
        return len <= pos - q ? pos : up ? q + len : q;
    }
    return pos;
}

qint64 LogStore::StepUnits(qint64 *pos, qint64 to, qint64 most) const
{
    qint64 at = *pos, units = 0, colorEnd = at;
    while (at < to && units < most) {
        const Segment &s = *m_segs[size_t(SegIndex(at))];
        const auto *data = reinterpret_cast<const unsigned char *>(s.Data.get());
        const qint64 end = std::min<qint64>(to - s.Start, s.Used);
        qint64 off = at - s.Start;
        bool full = false;
        while (off < end && !full) {
            if (off + 16 <= end && most - units >= 16 && !LogStoreBytes::AnyHigh16(data + off)) {
                off += 16; // plain ASCII: a unit a byte
                units += 16;
                full = units == most;
                continue;
            }
            if (data[off] < 0x80) {
                ++off;
                full = ++units == most;
                continue;
            }
            const int len = SeqAt(s.Start + off, &colorEnd);
            const int u = len == 4 ? 2 : 1; // four bytes: beyond the BMP, a surrogate pair
            full = units + u > most;
            if (!full) {
                units += u;
                off += std::max(len, 1);
                full = units == most;
            }
        }
        at = s.Start + off; // past the segment's end when a sequence crosses it
        if (full)
            break;
    }
    *pos = at;
    return units;
}

void LogStore::CountUnits() const
{
    // Characters in the last three bytes may still change as bytes arrive.
    const qint64 settled = m_end - 3;
    while (m_unitsTo < settled) {
        const Segment &s = *m_segs[size_t(SegIndex(m_unitsTo))];
        s.Units += StepUnits(&m_unitsTo, std::min(settled, s.Start + s.Used), LLONG_MAX);
    }
}

qint64 LogStore::FirstCharIn(int seg) const
{
    const qint64 start = m_segs[size_t(seg)]->Start;
    return seg == 0 ? start : CharStart(start, true);
}

qint64 LogStore::Units() const
{
    CountUnits();
    qint64 units = 0;
    for (const Segment *s : m_segs)
        units += s->Units;
    qint64 at = m_unitsTo;
    return units + StepUnits(&at, m_end, LLONG_MAX);
}

qint64 LogStore::UnitOf(qint64 pos) const
{
    pos = CharStart(std::clamp(pos, m_base, m_end));
    CountUnits();
    qint64 units = 0, at = m_unitsTo;
    if (pos >= m_unitsTo) {
        for (const Segment *s : m_segs)
            units += s->Units;
    } else {
        const int seg = SegIndex(pos);
        for (int i = 0; i < seg; ++i)
            units += m_segs[size_t(i)]->Units;
        at = FirstCharIn(seg);
    }
    return units + StepUnits(&at, pos, LLONG_MAX);
}

qint64 LogStore::PosOfUnit(qint64 unit, bool up) const
{
    if (unit <= 0 || m_segs.empty())
        return m_base;
    CountUnits();
    qint64 before = 0, at = m_unitsTo;
    for (qsizetype i = 0; i < m_segs.size(); ++i) {
        const qint64 units = m_segs[i]->Units;
        if (before + units > unit) {
            at = FirstCharIn(int(i));
            break;
        }
        before += units;
    }
    const qint64 inside = unit - before - StepUnits(&at, m_end, unit - before);
    if (inside > 0 && up && at < m_end) { // the second half of a pair
        qint64 colorEnd = at;
        at += std::max(1, SeqAt(at, &colorEnd));
    }
    return at;
}
