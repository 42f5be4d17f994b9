#pragma once
#include <QByteArray>
#include <QList>
#include <QString>

#include <algorithm>
#include <deque>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

// A log segment's bytes are its own, or part of a copy's one block (LogStore::Copy).
struct LogStoreBytesDeleter {
    bool Owned = true;
    void operator()(char *p) const
    {
        if (Owned)
            delete[] p;
    }
};

// The text store behind the log pane. Bytes go into fixed-size segments; every
// segment carries its own line-break offsets and colour changes, so appending
// never moves existing data and dropping the oldest text drops whole segments
// together with their indexes. Positions here are absolute: they keep counting
// across drops and restart at 0 only on Clear.
class LogStore
{
public:
    // One logical line: [Start, ContentEnd) is shown, Next is where the following
    // line starts (after the LF). The last line has no LF: ContentEnd == Next == End().
    struct Line {
        qint64 Start = 0;
        qint64 ContentEnd = 0;
        qint64 Next = 0;
        int Seg = -1; // segment holding the LF, -1 for the last line
        int Lf = 0;   // index of the LF in that segment
        bool IsLast() const { return Seg < 0; }
    };

    static constexpr qint64 DefaultCapacity = 128LL * 1024 * 1024;

    LogStore();
    ~LogStore();
    LogStore(const LogStore &) = delete;
    LogStore &operator=(const LogStore &) = delete;

    qint64 Begin() const { return m_base; }
    qint64 End() const { return m_end; }
    qint64 Size() const { return m_end - m_base; }

    // How the text view shows an arrival's bytes: each LF as CR LF, each NUL as
    // "?". The store keeps the bytes as they came; for LfToCrLf it also stores the
    // CR shown before each LF, which the wire bytes leave out (WireBytes), and a
    // NUL is "?" only where it is read as text (Decoded, TextBytes, Glyphs).
    enum Conversion : unsigned { AsIs = 0, LfToCrLf = 1, NulToQuestion = 2 };
    // Who an arrival's bytes came from: this end (sent), its peer (received), the
    // relay's client or server, or the program itself (a notice, never on the wire).
    enum Direction : quint8 { Sent = 0, Received = 1, ClientToServer = 2, ServerToClient = 3, Notice = 4 };
    // A direction as the saved log and the hex view's headings name it.
    static const char *DirectionName(Direction dir);
    // One call of Append: [Start, End) in positions (Start is the oldest kept byte
    // when the ring dropped its beginning), its wall-clock time in microseconds
    // since 1970, its direction and conversion.
    struct Arrival {
        qint64 Start = 0;
        qint64 End = 0;
        qint64 Micros = 0;
        Direction Dir = Received;
        unsigned Conversion = AsIs;
    };
    // Appends n bytes in the given colour as one arrival, converted as asked; drops
    // the oldest segments to stay within the capacity. Without a time (micros < 0)
    // the arrival takes the clock's; times never go back. Throws std::bad_alloc
    // when memory runs out.
    void Append(const char *data, qint64 n, quint32 color, unsigned conversion = AsIs,
                Direction dir = Received, qint64 micros = -1);
    // Empties the store; positions restart at 0.
    void Clear();
    qint64 Capacity() const { return m_capacity; }
    // Changes the capacity, keeping the newest text that still fits.
    void SetCapacity(qint64 bytes);

    // Copies [from, from + n) into out; the range must lie inside the store.
    void Read(qint64 from, qint64 n, char *out) const;
    quint8 ByteAt(qint64 pos) const;
    quint32 ColorAt(qint64 pos) const;
    // First colour change after pos, or limit if there is none before it.
    qint64 NextColorChange(qint64 pos, qint64 limit) const;
    // The colour run holding pos: [*start, *end).
    void RunBounds(qint64 pos, qint64 *start, qint64 *end) const;

    // One character as shown: Len bytes at Pos in Width cells from column Col.
    // Raw: a byte shown on its own (Char is the byte), not a decoded sequence.
    struct Glyph {
        qint64 Pos;
        int Len;
        char32_t Char;
        bool Raw;
        int Col;
        int Width;
    };
    // Lines longer than this keep one cell per byte, as binary data does.
    static constexpr qint64 LongLine = 64 * 1024;

    // Wrapping: every line takes at least one row; characters wrap at the column
    // count (see LogStoreLayout.cpp).
    int Columns() const { return m_cols; }
    void SetColumns(int cols);
    qint64 RowCount() const;
    // The line holding the given row (clamped to the rows there are) and the
    // row's index inside that line.
    Line LineAtRow(qint64 row, qint64 *rowInLine) const;
    // The line holding pos (an LF belongs to the line it ends).
    Line LineAt(qint64 pos) const;
    Line NextLine(const Line &line) const;
    // The row that shows pos.
    qint64 RowOf(qint64 pos) const;
    qint64 RowsOf(const Line &line) const;
    // Where rows first .. first + count - 1 of the line start (fewer when it has fewer).
    void RowStarts(const Line &line, qint64 first, qint64 count, std::vector<qint64> &starts) const;
    // The bytes [*from, *to) of a row of the line.
    void RowBounds(const Line &line, qint64 row, qint64 *from, qint64 *to) const;
    qint64 RowInLine(const Line &line, qint64 pos) const; // the row of the line that shows pos
    bool Decodes(const Line &line) const;                 // laid out by characters, not one byte per cell
    // The characters of one row [from, to), in cells or one byte per cell.
    void Glyphs(qint64 from, qint64 to, bool cells, std::vector<Glyph> &out) const;
    // The text [from, to) as characters: what copy and screen readers get.
    QString Decoded(qint64 from, qint64 to) const;

    // The text as Decoded shows it, counted in UTF-16 units as Qt's strings count
    // it: a character beyond the BMP is two, every other character one. Each
    // segment keeps the count of the characters that start in it, brought up to
    // date when asked (never on the append path), so a mapping walks those counts
    // and scans inside one segment.
    qint64 Units() const;
    // Units before the character holding pos (pos in [Begin(), End()]).
    qint64 UnitOf(qint64 pos) const;
    // Where the character holding the given unit starts; a unit inside a
    // surrogate pair goes to the pair's start, or with up to its end.
    qint64 PosOfUnit(qint64 unit, bool up = false) const;
    // Where the character holding pos starts; with up, where the next one starts
    // when pos is inside a character.
    qint64 CharStart(qint64 pos, bool up = false) const;

    // A session's two ends, noted where its first byte will go, so a saved
    // capture can show its bytes between them. The client is the end that opened
    // it (this end for a UDP socket that sends first).
    struct Session {
        qint64 Pos = 0;
        qint64 Micros = 0;
        bool Udp = false;
        bool LocalIsClient = true; // what this end sends goes from client to server
        QString ClientAddress, ServerAddress;
        quint16 ClientPort = 0, ServerPort = 0;
    };
    // Notes a session starting at End(), now; it replaces one that got no bytes.
    // With update, the last session's ends become those given, where it began.
    void AddSession(const Session &session, bool update = false);
    // The sessions whose bytes are kept, oldest first; the first may have begun
    // before Begin(). The last one stays across Clear.
    const std::deque<Session> &Sessions() const { return m_sessions; }
    // A copy of everything kept, for a reader on another thread.
    std::unique_ptr<LogStore> Copy() const;

    // Arrivals. ArrivalAt is the one holding pos (pos in [Begin(), End())).
    Arrival ArrivalAt(qint64 pos) const;
    // Calls f(arrival) for each arrival holding bytes of [from, to), in order;
    // their ranges are clipped to [Begin(), End()). f returns false to stop.
    template <class F> void ForEachArrival(qint64 from, qint64 to, F &&f) const;

    // The bytes as they were sent and received: the CRs a conversion stored
    // before LFs are left out. Wire offsets count those bytes from the first
    // one ever appended (they restart at 0 on Clear, as positions do).
    qint64 WireBegin() const;
    qint64 WireEnd() const { return m_wireEnd; }
    bool IsShownOnly(qint64 pos) const; // the byte at pos is a CR stored for the view only
    qint64
    WireOf(qint64 pos) const; // wire offset of the byte at pos (of the next wire byte at a shown-only CR)
    qint64 PosOfWire(qint64 wire) const; // position of the wire byte (End() at or past WireEnd())
    // Appends to out the wire bytes of [from, to), and to positions (when given)
    // the position of each.
    void WireBytes(qint64 from, qint64 to, QByteArray &out, std::vector<qint64> *positions = nullptr) const;
    // The text view's bytes of [from, to): what is stored, NUL read as "?" where
    // its arrival says so.
    QByteArray TextBytes(qint64 from, qint64 to) const;

    int SegmentSize() const { return m_segSize; }
    // The segments, for readers that keep something per segment: how many, where
    // one starts, and the one holding pos (in [Begin(), End())).
    int Segments() const { return int(m_segs.size()); }
    qint64 SegmentStart(int seg) const { return m_segs[seg]->Start; }
    int SegmentOf(qint64 pos) const { return SegIndex(pos); }
    // Bytes held by segments and their indexes, pooled ones included.
    qint64 MemoryUse() const;

private:
    // Append: the bytes go on the last arrival instead of starting one.
    static constexpr unsigned ContinuesArrival = 0x100;
    struct Run {
        quint16 Offset;
        quint32 Color;
    };
    // An arrival as its segment notes it: where it starts there, its direction
    // and conversion, and its time after the store's epoch in 48 bits (8.9 years).
    struct Piece {
        quint16 Offset;
        quint8 Dir;
        quint8 Conversion;
        quint16 Time[3];
        qint64 Micros(qint64 epoch) const
        {
            return epoch + (qint64(Time[0]) | qint64(Time[1]) << 16 | qint64(Time[2]) << 32);
        }
    };
    using DataDeleter = LogStoreBytesDeleter;
    struct Segment {
        std::unique_ptr<char[], DataDeleter> Data;
        qint64 Start = 0; // absolute position of Data[0]
        int Used = 0;     // bytes written
        quint32 StartColor = 0;
        qint64 PrevLf = -1;        // last LF before this segment, -1 if none
        qint64 MaxLine = 0;        // longest line ending in this segment, upper bound
        bool Plain = true;         // every line ending here is ASCII without TABs
        std::vector<quint16> Lfs;  // offsets of the LF bytes
        std::vector<Run> Runs;     // colour changes inside this segment
        std::vector<Piece> Pieces; // arrivals starting inside this segment
        Arrival Entry;             // the arrival going on where this segment starts
        qint64 Wire = 0;           // wire offset of its first wire byte
        int ShownOnly = 0;         // CRs stored here for the view only
        mutable qint64 Rows = 0;
        mutable qint64 FirstRows = 0; // of them, the rows of the first line ending here
        mutable quint32 RowsGen = 0;  // m_gen value Rows was counted for
        mutable qint64 Units = 0;     // UTF-16 units of the characters starting here before m_unitsTo
    };

    // CRs just before an LF that end the line with it (at most two).
    int HiddenCrs(qint64 at, qint64 lineStart) const;
    // The same for the LF at offset `off` of segment s, reading the segment
    // itself when the CRs lie in it: the common case, and much cheaper.
    int HiddenCrsIn(const Segment &s, int off, qint64 lineStart) const
    {
        if (off >= 2 && s.Start + off - 2 >= std::max(lineStart, m_base))
            return s.Data[off - 1] != '\r' ? 0 : s.Data[off - 2] == '\r' ? 2 : 1;
        return HiddenCrs(s.Start + off, lineStart);
    }
    // Whether p holds a byte UTF-8 never has: random binary data has one in every
    // twenty bytes, so it is told apart in a few steps without a branch per byte.
    static bool HasNonUtf8(const unsigned char *p, qint64 n);
    // Whether p holds a TAB or a byte above 0x7F: a line without is one cell per byte.
    static bool HasHighOrTab(const unsigned char *p, qint64 n);
    class Reserve;
    Segment *NewSegment();
    char *FreshData();
    void DropFront();
    void TrimPool();
    int SegIndex(qint64 pos) const;
    qint64 SegRows(const Segment &s) const;
    Line MakeLine(int seg, int lf) const;
    Line LastLine() const;
    // Rows a line of `length` cells takes. Called for every line appended, so the
    // division is a multiplication by the columns' reciprocal: a hardware divide
    // cost a fifth of the whole append path.
    qint64 RowsFor(qint64 length) const
    {
        if (length <= m_cols)
            return 1;
        const quint64 n = quint64(length) + quint64(m_cols) - 1;
        if (n >> 32 == 0 && m_colsInverse != 0)
            return qint64(quint64((Wide(m_colsInverse) * n) >> 64));
        return qint64(n / quint64(m_cols));
    }
    __extension__ typedef unsigned __int128 Wide;
    static int SegSizeFor(qint64 capacity);
    bool ByCharacters(qint64 from, qint64 to) const; // laid out by characters, not by bytes
    const unsigned char *BytesOf(qint64 from, qint64 n) const;
    qint64 RowsOfRange(qint64 from, qint64 to) const;
    template <class F> void Walk(qint64 from, qint64 to, int cols, bool cells, F &&f) const;
    // Length of the valid sequence starting at pos as Walk decodes it (inside one
    // colour, within the store), 0 when the byte shows on its own. *colorEnd
    // caches where the colour next changes.
    int SeqAt(qint64 pos, qint64 *colorEnd) const;
    // Steps over the characters starting in [*pos, to), *pos being where one
    // starts, but not over one that would take the units stepped past `most`.
    // Returns the units stepped over; *pos is left where the next character starts.
    qint64 StepUnits(qint64 *pos, qint64 to, qint64 most) const;
    void CountUnits() const;                             // brings the segments' unit counts up to date
    Arrival ArrivalOf(int seg, size_t piece) const;      // a segment's piece as an arrival, End unset
    qint64 ArrivalEndAfter(int seg, size_t piece) const; // where the next arrival after it starts
    // Offsets (ascending) of the shown-only CRs of segment seg.
    void ShownOnlyIn(int seg, std::vector<int> &out) const;
    qint64 FirstCharIn(int seg) const; // where the first character starting in it starts

    QList<Segment *> m_segs;            // a queue: appending after dropping from the front reuses its room
    std::vector<Segment *> m_pool;      // dropped segments kept for reuse
    std::unique_ptr<Reserve> m_reserve; // fresh segment memory, made ready by a thread of its own
    bool m_useReserve = true;
    qsizetype m_lfLess = 0; // leading full segments known to hold no LF
    qint64 m_base = 0;
    qint64 m_end = 0;
    qint64 m_lastLf = -1;
    quint32 m_lastColor = 0;
    bool m_hasColor = false;
    qint64 m_capacity;
    int m_segSize;
    int m_cols = 80;
    quint64 m_colsInverse = ~quint64(0) / 80 + 1; // n / m_cols == (n * this) >> 64 for 32-bit n
    quint32 m_gen = 1;
    mutable qint64 m_rowsCache = -1;
    mutable std::vector<qint64> m_rowStarts; // RowBounds' own
    mutable std::vector<char> m_scratch;     // a line being laid out that spans segments
    // Characters starting before this are counted in their segments' Units; those
    // after it, at most the last three bytes once counted, are counted when asked.
    mutable qint64 m_unitsTo = 0;
    unsigned m_lineHigh = 0, m_lineTab = 0; // bytes above 0x7F, TABs, seen in the line being appended
    Arrival m_arrival;                      // the last arrival, End unset
    qint64 m_epoch = -1;                    // time the pieces count from, set by the first arrival
    qint64 m_wireEnd = 0;
    std::deque<Session> m_sessions;
    std::unique_ptr<char[]> m_block;      // a copy's bytes, in one block the system takes back whole
    mutable std::vector<int> m_shownOnly; // ShownOnlyIn's of the segment m_shownOnlyOf tells
    mutable std::tuple<const Segment *, qint64, qint64> m_shownOnlyOf{nullptr, -1,
                                                                      -1}; // segment, Start, m_end
};

template <class F> void LogStore::ForEachArrival(qint64 from, qint64 to, F &&f) const
{
    from = std::max(from, m_base);
    to = std::min(to, m_end);
    if (from >= to)
        return;
    int seg = SegIndex(from);
    const Segment &first = *m_segs[size_t(seg)];
    const quint16 off = quint16(from - first.Start);
    size_t k = size_t(std::upper_bound(first.Pieces.begin(), first.Pieces.end(), off,
                                       [](quint16 o, const Piece &p) { return o < p.Offset; }) -
                      first.Pieces.begin());
    // The one holding from: a piece of this segment, or the one going on at its start.
    Arrival a = k == 0 ? first.Entry : ArrivalOf(seg, k - 1);
    for (;;) {
        // The next arrival starts at piece k of segment seg, or in a later one.
        while (seg < int(m_segs.size()) && k >= m_segs[size_t(seg)]->Pieces.size()) {
            ++seg;
            k = 0;
        }
        a.End = seg < int(m_segs.size()) ? m_segs[size_t(seg)]->Start + m_segs[size_t(seg)]->Pieces[k].Offset
                                         : m_end;
        a.Start = std::max(a.Start, m_base);
        if (!f(std::as_const(a)) || a.End >= to)
            return;
        a = ArrivalOf(seg, k);
        ++k;
    }
}
