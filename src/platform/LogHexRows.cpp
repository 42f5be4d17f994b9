#include "LogHexRows.h"

#include <QDateTime>

void LogHexRows::Configure(int bytes, bool times)
{
    if (bytes != m_bytes)
        m_segRows.clear();
    m_bytes = bytes;
    m_times = times;
}

template <class F> void LogHexRows::ArrivalsStartingIn(int seg, F &&f) const
{
    const qint64 from = m_store.SegmentStart(seg);
    const qint64 to = seg + 1 < m_store.Segments() ? m_store.SegmentStart(seg + 1) : m_store.End();
    m_store.ForEachArrival(from, to, [&](const LogStore::Arrival &a) {
        if (a.Start >= from || seg == 0) // else it started in an earlier segment
            f(a);
        return true;
    });
}

qint64 LogHexRows::SegRows(int seg) const
{
    // The kept counts follow the ring: one for each segment from the second
    // kept on, in order. The first segment's count changes as the ring drops
    // what came before it, so it is never kept.
    while (!m_segRows.empty() && m_segRows.front().first <= m_store.Begin())
        m_segRows.pop_front();
    const qint64 start = m_store.SegmentStart(seg);
    const int first = m_segRows.empty() ? -1 : m_store.SegmentOf(m_segRows.front().first);
    if (first >= 0 && seg >= first && size_t(seg - first) < m_segRows.size() &&
        m_segRows[size_t(seg - first)].first == start)
        return m_segRows[size_t(seg - first)].second;
    qint64 rows = 0;
    bool complete = true;
    ArrivalsStartingIn(seg, [&](const LogStore::Arrival &a) {
        rows += 1 + BytesRows(m_store.WireOf(a.End) - m_store.WireOf(a.Start));
        complete = a.End < m_store.End();
    });
    if (seg > 0 && complete && (first < 0 || size_t(seg - first) == m_segRows.size()))
        m_segRows.push_back({start, rows});
    return rows;
}

qint64 LogHexRows::Count() const
{
    if (m_store.Size() == 0)
        return 0;
    if (!m_times)
        return BytesRows(m_store.WireEnd() - m_store.WireBegin());
    qint64 rows = 0;
    for (int seg = 0; seg < m_store.Segments(); ++seg)
        rows += SegRows(seg);
    return rows;
}

void LogHexRows::BytesRow(qint64 wire, qint64 wireEnd, Row &out) const
{
    const qint64 n = std::min<qint64>(m_bytes, wireEnd - wire);
    const qint64 from = m_store.PosOfWire(wire);
    QByteArray bytes;
    out.Pos.clear();
    // n wire bytes lie within 2n positions: each CR left out is followed by its LF.
    m_store.WireBytes(from, std::min(m_store.End(), from + 2 * n), bytes, &out.Pos);
    bytes.truncate(n);
    out.Pos.resize(size_t(bytes.size()));
    const QByteArray offset = QByteArray::number(wire, 16).rightJustified(8, '0');
    std::copy(offset.begin(), offset.end(), out.Text.begin());
    for (int i = 0; i < bytes.size(); ++i) {
        const quint8 b = quint8(bytes[i]);
        out.Text[HexColumn(i)] = "0123456789abcdef"[b >> 4];
        out.Text[HexColumn(i) + 1] = "0123456789abcdef"[b & 15];
        out.Text[CharColumn(i)] = b >= 0x20 && b < 0x7F ? char(b) : '.';
    }
}

void LogHexRows::At(qint64 row, Row &out) const
{
    out.Text.fill(' ', Width());
    out.Pos.clear();
    out.Heading = false;
    out.Arrival = -1;
    if (row < 0 || m_store.Size() == 0)
        return;
    if (!m_times) {
        const qint64 wire = m_store.WireBegin() + row * m_bytes;
        if (wire < m_store.WireEnd()) {
            BytesRow(wire, m_store.WireEnd(), out);
            out.Arrival = out.Pos.empty() ? -1 : m_store.ArrivalAt(out.Pos.front()).Start;
        }
        return;
    }
    qint64 before = 0;
    int seg = 0;
    for (; seg < m_store.Segments(); ++seg) {
        const qint64 rows = SegRows(seg);
        if (row < before + rows)
            break;
        before += rows;
    }
    if (seg == m_store.Segments())
        return;
    bool found = false;
    ArrivalsStartingIn(seg, [&](const LogStore::Arrival &a) {
        if (found)
            return;
        const qint64 wire = m_store.WireOf(a.Start), wireEnd = m_store.WireOf(a.End);
        const qint64 rows = 1 + BytesRows(wireEnd - wire);
        if (row >= before + rows) {
            before += rows;
            return;
        }
        found = true;
        out.Arrival = a.Start;
        const qint64 inside = row - before;
        if (inside > 0) {
            BytesRow(wire + (inside - 1) * m_bytes, wireEnd, out);
            return;
        }
        out.Heading = true;
        const QDateTime t = QDateTime::fromMSecsSinceEpoch(a.Micros / 1000);
        const QByteArray heading =
            t.toString(QStringLiteral("HH:mm:ss.zzz")).toLatin1() + ' ' + LogStore::DirectionName(a.Dir) +
            ", " + QByteArray::number(wireEnd - wire) + (wireEnd - wire == 1 ? " byte" : " bytes");
        std::copy(heading.begin(), heading.begin() + std::min<qsizetype>(heading.size(), Width()),
                  out.Text.begin());
    });
}

qint64 LogHexRows::RowOf(qint64 pos) const
{
    if (m_store.Size() == 0)
        return 0;
    pos = std::clamp(pos, m_store.Begin(), m_store.End() - 1);
    if (m_store.IsShownOnly(pos))
        ++pos;
    const qint64 wire = m_store.WireOf(pos);
    if (!m_times)
        return (wire - m_store.WireBegin()) / m_bytes;
    const LogStore::Arrival holder = m_store.ArrivalAt(pos);
    const int seg = m_store.SegmentOf(holder.Start);
    qint64 row = 0;
    for (int i = 0; i < seg; ++i)
        row += SegRows(i);
    bool found = false;
    ArrivalsStartingIn(seg, [&](const LogStore::Arrival &a) {
        if (found)
            return;
        if (a.Start == holder.Start) {
            found = true;
            row += 1 + (wire - m_store.WireOf(a.Start)) / m_bytes;
            return;
        }
        row += 1 + BytesRows(m_store.WireOf(a.End) - m_store.WireOf(a.Start));
    });
    return row;
}
