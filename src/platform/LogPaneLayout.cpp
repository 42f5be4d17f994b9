#include "LogPane.h"

#include <algorithm>
#include <climits>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

// How the store's bytes are shown. A valid UTF-8 sequence that does not cross a
// colour change is one character, wide ones (CJK and the like) in two cells;
// every other byte is one character in one cell of its own, so binary data shows
// byte for byte. A TAB reaches to the next multiple of eight columns. Rows wrap
// at the column count, and a wide character that does not fit goes to the next.
// Lines longer than LongLine are shown one byte per cell, so their layout stays
// arithmetic however long they grow.

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

bool LogStore::Plain(qint64 from, qint64 to) const
{
    // Pieces of at most one segment each, read where they lie.
    for (qint64 pos = from; pos < to;) {
        const Segment &s = *m_segs[size_t(SegIndex(pos))];
        const auto *p = reinterpret_cast<const unsigned char *>(s.Data.get() + (pos - s.Start));
        const qint64 n = std::min<qint64>(to - pos, s.Start + s.Used - pos);
        qint64 i = 0;
#ifdef __SSE2__
        const __m128i tab = _mm_set1_epi8('\t');
        for (; i + 16 <= n; i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i));
            if (_mm_movemask_epi8(_mm_or_si128(v, _mm_cmpeq_epi8(v, tab))))
                return false;
        }
#endif
        for (; i < n; ++i)
            if (p[i] >= 0x80 || p[i] == '\t')
                return false;
        pos += n;
    }
    return true;
}

bool LogStore::Arithmetic(qint64 from, qint64 to) const
{
    return to - from > LongLine || Plain(from, to);
}

template <class F> void LogStore::Walk(qint64 from, qint64 to, int cols, F &&f) const
{
    const qint64 n = to - from;
    if (n <= 0)
        return;
    m_scratch.resize(size_t(n));
    Read(from, n, m_scratch.data());
    const auto *p = reinterpret_cast<const unsigned char *>(m_scratch.data());
    qint64 colorEnd = from, row = 0;
    int col = 0;
    for (qint64 i = 0; i < n;) {
        Glyph g{from + i, 1, p[i], true, 0, 1};
        if (p[i] >= 0x80) {
            if (colorEnd <= g.Pos)
                colorEnd = NextColorChange(g.Pos, to);
            char32_t c;
            if (const int len = utf8At(p + i, colorEnd - g.Pos, &c)) {
                g = {g.Pos, len, c, false, 0, isWide(c) ? 2 : 1};
            }
        }
        if (p[i] == '\t') {
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

qint64 LogStore::RowsOfRange(qint64 from, qint64 to) const
{
    if (to - from <= 0)
        return 1;
    if (Arithmetic(from, to))
        return RowsFor(to - from);
    qint64 rows = 1;
    Walk(from, to, m_cols, [&](const Glyph &, qint64 row) {
        rows = row + 1;
        return true;
    });
    return rows;
}

qint64 LogStore::RowStart(const Line &line, qint64 row) const
{
    if (row <= 0)
        return line.Start;
    if (Arithmetic(line.Start, line.ContentEnd))
        return std::min(line.Start + row * m_cols, line.ContentEnd);
    qint64 at = line.ContentEnd;
    Walk(line.Start, line.ContentEnd, m_cols, [&](const Glyph &g, qint64 r) {
        if (r < row)
            return true;
        at = g.Pos;
        return false;
    });
    return at;
}

void LogStore::RowStarts(const Line &line, std::vector<qint64> &starts) const
{
    starts.assign(1, line.Start);
    if (Arithmetic(line.Start, line.ContentEnd)) {
        for (qint64 at = line.Start + m_cols; at < line.ContentEnd; at += m_cols)
            starts.push_back(at);
        return;
    }
    Walk(line.Start, line.ContentEnd, m_cols, [&](const Glyph &g, qint64 r) {
        if (r == qint64(starts.size()))
            starts.push_back(g.Pos);
        return true;
    });
}

qint64 LogStore::RowInLine(const Line &line, qint64 pos) const
{
    pos = std::clamp(pos, line.Start, line.ContentEnd);
    if (Arithmetic(line.Start, line.ContentEnd))
        return std::min((pos - line.Start) / m_cols, RowsOf(line) - 1);
    qint64 row = 0;
    Walk(line.Start, line.ContentEnd, m_cols, [&](const Glyph &g, qint64 r) {
        if (g.Pos > pos)
            return false;
        row = r;
        return true;
    });
    return row;
}

bool LogStore::Decodes(const Line &line) const
{
    return line.ContentEnd - line.Start <= LongLine;
}

void LogStore::Glyphs(qint64 from, qint64 to, bool decode, std::vector<Glyph> &out) const
{
    out.clear();
    if (!decode) {
        m_scratch.resize(size_t(std::max<qint64>(0, to - from)));
        Read(from, to - from, m_scratch.data());
        for (qint64 i = 0; i < to - from; ++i)
            out.push_back({from + i, 1, quint8(m_scratch[size_t(i)]), true, int(i), 1});
        return;
    }
    Walk(from, to, m_cols, [&](const Glyph &g, qint64 row) {
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
        // A piece ends before a sequence it would cut.
        for (int k = 0; k < 3 && end < to && end > pos + 1 && (ByteAt(end) & 0xC0) == 0x80; ++k)
            --end;
        Walk(pos, end, INT_MAX / 2, [&](const Glyph &g, qint64) { // one row: no wrapping here
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
