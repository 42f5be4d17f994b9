#pragma once
#include "LogStore.h"

#include <QByteArray>

#include <deque>
#include <vector>

// The rows of the log pane's hex view, one place for painting and for the
// accessible text: each row the wire offset of its first byte, its bytes in hex
// and the same bytes as characters (printable ASCII, "." for the rest). The
// bytes are the wire's: a CR stored only for the text view is not among them.
// With times, each arrival starts on a row of its own, after a heading row with
// its time (HH:MM:SS.mmm) and direction. Every row is Width() characters long,
// padded with spaces, so a row's place in the text is arithmetic.
class LogHexRows
{
public:
    static constexpr int HexFirst = 10; // column of the first byte's hex digits
    static constexpr int MaxBytes = 16;

    struct Row {
        QByteArray Text;
        std::vector<qint64> Pos; // the position of each byte shown; empty in a heading
        bool Heading = false;
        qint64 Arrival = -1; // where the arrival of a heading or of the row's bytes starts
    };

    explicit LogHexRows(const LogStore &store) : m_store(store) {}
    // Bytes a row (16, 8 or 4) and whether arrivals are headed by their times.
    void Configure(int bytes, bool times);
    void Forget() { m_segRows.clear(); } // the store was cleared or changed its segments
    int Bytes() const { return m_bytes; }
    bool Times() const { return m_times; }
    int Width() const { return HexFirst + 4 * m_bytes + 1; }
    int HexColumn(int i) const { return HexFirst + 3 * i; }
    int CharColumn(int i) const { return HexFirst + 3 * m_bytes + 1 + i; }

    qint64 Count() const;
    void At(qint64 row, Row &out) const;
    // The row showing the byte at pos; a CR stored for the view only goes with its LF.
    qint64 RowOf(qint64 pos) const;

private:
    qint64 BytesRows(qint64 wireBytes) const
    {
        return std::max<qint64>(1, (wireBytes + m_bytes - 1) / m_bytes);
    }
    // Rows of the arrivals that start in segment seg (the first segment also holds
    // the one whose start was dropped); kept for segments whose arrivals are complete.
    qint64 SegRows(int seg) const;
    template <class F> void ArrivalsStartingIn(int seg, F &&f) const;
    void BytesRow(qint64 wire, qint64 wireEnd, Row &out) const;

    const LogStore &m_store;
    int m_bytes = MaxBytes;
    bool m_times = false;
    mutable std::deque<std::pair<qint64, qint64>> m_segRows; // (segment start, rows), oldest first
};
