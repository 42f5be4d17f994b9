#include "LogStore.h"
#include "LogStoreBytes.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace
{
#ifdef LOGSTORE_SSE2
__m128i nonUtf8(__m128i v)
{
    const __m128i above = _mm_cmpgt_epi8(_mm_xor_si128(v, _mm_set1_epi8(char(0x80))),
                                         _mm_set1_epi8(char(0xF4 ^ 0x80))); // unsigned v > F4
    return _mm_or_si128(
        above, _mm_cmpeq_epi8(_mm_and_si128(v, _mm_set1_epi8(char(0xFE))), _mm_set1_epi8(char(0xC0))));
}
using LogStoreBytes::HighOrTab;
#else
struct NoBlock {
};
constexpr NoBlock nonUtf8, HighOrTab; // the byte tests alone are used
#endif

// Whether any of the n bytes at p is one `byte` tells; with SSE2, 16 at a time
// by `block`, whose mask has a bit set for each such byte.
template <class Block, class Byte> bool anyByte(const unsigned char *p, qint64 n, Block block, Byte byte)
{
#ifdef LOGSTORE_SSE2
    if (n >= 16) {
        const auto found = [&](qint64 i) {
            return _mm_movemask_epi8(block(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p + i)))) != 0;
        };
        for (qint64 i = 0; i + 16 <= n; i += 16)
            if (found(i))
                return true;
        return found(n - 16); // the last bytes, overlapping those already seen
    }
#else
    Q_UNUSED(block);
#endif
    for (qint64 i = 0; i < n; ++i)
        if (byte(p[i]))
            return true;
    return false;
}

// Copies from src to dst up to the first LF, or all n bytes when there is none;
// returns how many bytes came before it. dst has room for n bytes. One pass finds
// the LF, copies, and notes in high and tab whether bytes above 0x7F and TABs
// were copied (perhaps also some after the LF): lines without are laid out by
// arithmetic. The bytes are kept as they came, NULs too.
qint64 copyLine(char *dst, const char *src, qint64 n, unsigned &high, unsigned &tab)
{
    qint64 i = 0;
#ifdef LOGSTORE_SSE2
    const __m128i lf = _mm_set1_epi8('\n'), vt = _mm_set1_epi8('\t');
    const auto copy = [&](__m128i lo, __m128i hi) {
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i), lo);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + i + 16), hi);
        high |= unsigned(_mm_movemask_epi8(_mm_or_si128(lo, hi)));
        tab |= unsigned(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(lo, vt), _mm_cmpeq_epi8(hi, vt))));
    };
    // Bytes stored past the LF are written over by what comes after it.
    for (; i + 32 <= n; i += 32) {
        const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i));
        const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src + i + 16));
        copy(lo, hi); // these flags may note bytes past the LF: harmless, they only save work
        if (const unsigned stop = unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(lo, lf))) |
                                  unsigned(_mm_movemask_epi8(_mm_cmpeq_epi8(hi, lf))) << 16)
            return i + std::countr_zero(stop);
    }
#endif
    for (; i < n; ++i) {
        const auto c = quint8(src[i]);
        if (c == '\n')
            break;
        dst[i] = char(c);
        high |= c & 0x80;
        tab |= c == '\t';
    }
    return i;
}

} // namespace

bool LogStore::HasNonUtf8(const unsigned char *p, qint64 n)
{
    return anyByte(p, n, nonUtf8, [](unsigned char c) { return c >= 0xF5 || (c & 0xFE) == 0xC0; });
}

bool LogStore::HasHighOrTab(const unsigned char *p, qint64 n)
{
    return anyByte(p, n, HighOrTab, LogStoreBytes::IsHighOrTab);
}

// Memory for new segments, its pages faulted in ahead of need by a thread of its
// own. While a flood fills an empty ring, faulting in fresh pages costs more than
// copying the text into them; this way the faults run beside the copying, on a
// core the event thread is not using.
class LogStore::Reserve
{
public:
    explicit Reserve(int size) : m_size(size) {}
    ~Reserve()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_one();
        if (m_thread.joinable())
            m_thread.join();
        for (char *p : m_ready)
            delete[] p;
    }
    // A buffer the thread has made ready, or null when it has none.
    char *Take()
    {
        std::lock_guard lock(m_mutex);
        if (m_ready.empty())
            return nullptr;
        char *p = m_ready.back();
        m_ready.pop_back();
        return p;
    }
    // Keeps up to `count` buffers ready; ones beyond it are freed.
    void Want(size_t count)
    {
        {
            std::lock_guard lock(m_mutex);
            m_wanted = count;
            for (; m_ready.size() > count; m_ready.pop_back())
                delete[] m_ready.back();
            if (m_ready.size() == count)
                return;
        }
        if (count > 0 && !m_thread.joinable()) {
            try {
                m_thread = std::thread([this] { Run(); });
            } catch (const std::system_error &) {
                return; // no thread: the store faults its pages in itself
            }
        }
        m_wake.notify_one();
    }

private:
    void Run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stop || m_ready.size() < m_wanted; });
            if (m_stop)
                return;
            lock.unlock();
            auto *p = new (std::nothrow) char[size_t(m_size)];
            if (p != nullptr)
                for (int i = 0; i < m_size; i += 4096)
                    static_cast<volatile char *>(p)[i] = 0;
            lock.lock();
            if (p == nullptr)
                m_wanted = m_ready.size(); // out of memory: the store tries on its own
            else
                m_ready.push_back(p);
        }
    }

    const int m_size;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<char *> m_ready;
    size_t m_wanted = 0;
    bool m_stop = false;
    std::thread m_thread;
};

LogStore::LogStore() : m_capacity(DefaultCapacity), m_segSize(SegSizeFor(DefaultCapacity)) {}

LogStore::~LogStore()
{
    for (Segment *s : m_segs)
        delete s;
    for (Segment *s : m_pool)
        delete s;
}

int LogStore::SegSizeFor(qint64 capacity)
{
    // At least 16 segments in the ring, so dropping one loses little; at most
    // 64 KiB each, so line offsets fit 16 bits.
    int size = 64 * 1024;
    while (size > 4096 && qint64(size) * 16 > capacity)
        size /= 2;
    return size;
}

LogStore::Segment *LogStore::NewSegment()
{
    Segment *s;
    if (!m_pool.empty()) {
        s = m_pool.back();
        m_pool.pop_back();
        s->Lfs.clear();
        s->Runs.clear();
        s->Pieces.clear();
    } else {
        auto seg = std::make_unique<Segment>();
        seg->Data.reset(FreshData());
        // Room for a few colour changes and arrivals: a relay logs both directions
        // in turn, and a segment reused from the pool must not allocate when it
        // gets one more.
        seg->Runs.reserve(8);
        seg->Pieces.reserve(8);
        s = seg.release();
    }
    s->Start = m_end;
    s->Used = 0;
    s->PrevLf = m_lastLf;
    s->MaxLine = 0;
    s->Plain = true;
    s->Rows = 0;
    s->RowsGen = m_gen; // no line ends here yet: zero rows, counted as lines arrive
    s->Units = 0;
    s->Entry = m_arrival;
    s->Wire = m_wireEnd;
    s->ShownOnly = 0;
    return s;
}

// Memory for a segment the ring has not had yet. While the ring grows, the reserve
// is asked to keep some ready: as many as the ring has had so far, so a log that
// grows slowly keeps little in reserve, and never more than the ring can still take.
char *LogStore::FreshData()
{
    constexpr qint64 Ahead = 64; // 4 MiB of 64 KiB segments
    if (!m_useReserve)
        return new char[size_t(m_segSize)];
    if (!m_reserve)
        m_reserve = std::make_unique<Reserve>(m_segSize);
    char *p = m_reserve->Take();
    const qint64 had = qint64(m_segs.size() + m_pool.size()) + 1;
    const qint64 room = m_capacity / m_segSize + 2 - had;
    m_reserve->Want(size_t(std::clamp<qint64>(std::min(room, had), 0, Ahead)));
    return p != nullptr ? p : new char[size_t(m_segSize)];
}

void LogStore::DropFront()
{
    // A character that crosses into the next segment loses its start: its other
    // bytes show on their own, each a unit counted there once it is counted at all.
    qint64 orphans = 0;
    if (m_segs.size() > 1 && m_unitsTo > m_segs[1]->Start) {
        const qint64 next = m_segs[1]->Start;
        orphans = CharStart(next, true) - next;
    }
    Segment *s = m_segs.front();
    m_segs.pop_front();
    m_pool.push_back(s);
    m_base = m_segs.empty() ? m_end : m_segs.front()->Start;
    while (m_sessions.size() > 1 && m_sessions[1].Pos <= m_base)
        m_sessions.pop_front();
    if (m_unitsTo > m_base)
        m_segs.front()->Units += orphans;
    else
        m_unitsTo = m_base;
    m_rowsCache = -1;
    // The line that now starts at the new front got shorter; it ends in the first
    // segment with an LF. Full segments without one are counted once, not searched
    // on every drop (binary data has none at all).
    m_lfLess = std::max<qsizetype>(0, m_lfLess - 1);
    while (m_lfLess < m_segs.size() - 1 && m_segs[m_lfLess]->Lfs.empty())
        ++m_lfLess;
    // Only that line is counted again, not the whole segment.
    if (m_lfLess < m_segs.size() && !m_segs[m_lfLess]->Lfs.empty()) {
        Segment &first = *m_segs[m_lfLess];
        if (first.RowsGen == m_gen) {
            const qint64 rows = RowsOf(MakeLine(int(m_lfLess), 0));
            first.Rows += rows - first.FirstRows;
            first.FirstRows = rows;
        }
    }
}

void LogStore::Append(const char *data, qint64 n, quint32 color, unsigned conversion, Direction dir,
                      qint64 micros)
{
    if (n <= 0)
        return;
    const bool lfToCrLf = conversion & LfToCrLf;
    // Times never go back, so the pieces of a saved log stay in order.
    if (micros < 0)
        micros = std::chrono::duration_cast<std::chrono::microseconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    micros = std::max(micros, m_arrival.Micros);
    if (m_epoch < 0)
        m_epoch = micros;
    bool noted = (conversion & ContinuesArrival) != 0; // a piece for this arrival in its first segment
    bool crWritten = false; // the CR of a CR LF ended the last segment; its LF comes next
    while (n > 0) {
        const bool fresh = m_segs.empty() || m_segs.back()->Used == m_segSize;
        const qint64 room = fresh ? m_segSize : m_segSize - m_segs.back()->Used;
        // What this segment takes at most (a conversion may double the text).
        const qint64 piece = std::min<qint64>(lfToCrLf ? 2 * n : n, room);
        // Make room first, so the segment about to be used can be a dropped one.
        while (!m_segs.empty() && (fresh || m_segs.size() > 1) && m_end + piece - m_base > m_capacity)
            DropFront();
        if (fresh) {
            Segment *s = NewSegment();
            s->StartColor = color;
            m_segs.push_back(s);
            if (m_segs.size() == 1)
                m_base = s->Start;
        }
        Segment &s = *m_segs.back();
        if (!noted) {
            noted = true;
            m_arrival = {s.Start + s.Used, 0, micros, dir, conversion & (LfToCrLf | NulToQuestion)};
            const quint64 t = quint64(std::min<qint64>(micros - m_epoch, (1LL << 48) - 1));
            s.Pieces.push_back({quint16(s.Used),
                                quint8(dir),
                                quint8(m_arrival.Conversion),
                                {quint16(t), quint16(t >> 16), quint16(t >> 32)}});
        }
        if (m_hasColor && color != m_lastColor)
            s.Runs.push_back({quint16(s.Used), color});
        m_hasColor = true;
        m_lastColor = color;

        // One pass: copy into the segment, convert as asked, and index each LF as
        // it is written.
        const char *src = data;
        const char *const srcEnd = data + n;
        char *const base = s.Data.get();
        char *dst = base + s.Used;
        char *const dstEnd = dst + room;
        // Kept in locals while bytes are written: a store through char * could
        // alias the members, which would then be read again after every byte.
        const qint64 segStart = s.Start, firstKept = m_base;
        const bool counting = s.RowsGen == m_gen;
        qint64 lastLf = m_lastLf, maxLine = s.MaxLine, rows = s.Rows;
        bool plain = s.Plain;
        const bool hadLf = !s.Lfs.empty();
        unsigned high = m_lineHigh, tab = m_lineTab;
        // The bytes just stored are not read back where the source holds them too:
        // reading a fresh store at another alignment waits for it to complete.
        const char *lineSrc = nullptr; // where the line being copied starts in data, when it does
        const int usedBefore = s.Used;
        int shownOnly = 0; // CRs written for the view
        while (src < srcEnd && dst < dstEnd) {
            const qint64 avail = std::min<qint64>(srcEnd - src, dstEnd - dst);
            const qint64 run = copyLine(dst, src, avail, high, tab);
            dst += run;
            src += run;
            if (run == avail)
                continue;
            if (lfToCrLf && !crWritten) {
                *dst++ = '\r';
                ++shownOnly;
                if (dst == dstEnd) {
                    crWritten = true;
                    break;
                }
            }
            crWritten = false;
            *dst++ = '\n';
            const char *const lf = src++;
            const int off = int(dst - base) - 1;
            const qint64 at = segStart + off;
            s.Lfs.push_back(quint16(off));
            const qint64 lineStart = lastLf + 1;
            // CRs just before the LF end the line with it (at most two): most are
            // known from the source, the CR of a CR LF written here included.
            int hidden;
            if (lineSrc != nullptr) {
                // lineSrc follows an LF in data, which ends the look-back in time.
                hidden = lfToCrLf ? 1 + (lf[-1] == '\r') : lf[-1] != '\r' ? 0 : lf[-2] == '\r' ? 2 : 1;
            } else {
                hidden = HiddenCrs(at, lineStart);
            }
            const qint64 length = at - lineStart - hidden;
            maxLine = std::max(maxLine, tab ? 8 * length : length); // a bound on the cells it takes
            plain = plain && !(high | tab);
            // The segment's row count is kept up to date while it is valid, so the
            // scroll bar never recounts what was just appended. Lines with bytes
            // above 0x7F or TABs in them are laid out character by character.
            if (counting) {
                const qint64 shownFrom = std::max(lineStart, firstKept);
                const qint64 shownEnd = lineStart >= firstKept ? at - hidden : at - HiddenCrs(at, firstKept);
                // Binary data is told apart at once, most of it in its first few bytes.
                const auto binary = [&] {
                    return lineSrc != nullptr &&
                           HasNonUtf8(reinterpret_cast<const unsigned char *>(lineSrc), lf - lineSrc);
                };
                if ((high | tab) && !binary()) {
                    s.Used = int(dst - base); // the layout reads the line from the segment
                    m_end = segStart + s.Used;
                    rows += RowsOfRange(shownFrom, shownEnd);
                } else {
                    rows += RowsFor(shownEnd - shownFrom);
                }
            }
            high = tab = 0;
            lastLf = at;
            lineSrc = src;
        }
        m_lastLf = lastLf;
        m_lineHigh = high;
        m_lineTab = tab;
        s.MaxLine = maxLine;
        s.Plain = plain;
        s.Rows = rows;
        s.Used = int(dst - base);
        m_end = s.Start + s.Used;
        s.ShownOnly += shownOnly;
        m_wireEnd += s.Used - usedBefore - shownOnly;
        if (counting && !hadLf && !s.Lfs.empty()) // noted for DropFront, away from the loop above
            s.FirstRows = RowsOf(MakeLine(int(m_segs.size()) - 1, 0));
        n = srcEnd - src;
        data = src;
    }
    m_rowsCache = -1;
}

void LogStore::Clear()
{
    // Segments go to the pool: no freeing of the whole store on this path, and
    // the next fill reuses them. The pool is trimmed to what the ring may need.
    for (Segment *s : m_segs)
        m_pool.push_back(s);
    m_segs.clear();
    m_lfLess = 0;
    TrimPool();
    m_base = m_end = 0;
    m_unitsTo = 0;
    m_lastLf = -1;
    m_lineHigh = m_lineTab = 0;
    m_hasColor = false;
    m_rowsCache = -1;
    m_wireEnd = 0;
    m_epoch = -1;
    m_shownOnlyOf = {nullptr, -1, -1};
    // The session goes on: its later bytes count from the new start.
    while (m_sessions.size() > 1)
        m_sessions.pop_front();
    if (!m_sessions.empty())
        m_sessions.front().Pos = 0;
    m_arrival = Arrival{0, 0, m_arrival.Micros, Received, AsIs};
}

void LogStore::TrimPool()
{
    // Never more segments, in use and pooled, than a full ring needs.
    const size_t keep = size_t(m_capacity / m_segSize + 2);
    while (!m_pool.empty() && m_pool.size() + size_t(m_segs.size()) > keep) {
        delete m_pool.back();
        m_pool.pop_back();
    }
}

void LogStore::SetCapacity(qint64 bytes)
{
    const int segSize = SegSizeFor(bytes);
    if (segSize == m_segSize || m_segs.empty()) {
        if (segSize != m_segSize) {
            for (Segment *s : m_pool)
                delete s;
            m_pool.clear();
            m_reserve.reset(); // its buffers have the old size
        } else if (m_reserve) {
            m_reserve->Want(0); // asked again, within the new capacity, when the ring grows
        }
        m_capacity = bytes;
        m_segSize = segSize;
        // Shrinking: drop whole segments until what is kept fits.
        while (!m_segs.empty() && Size() > m_capacity)
            DropFront();
        TrimPool();
        return;
    }
    // Another segment size: copy the newest text that fits into a fresh store,
    // arrival by arrival and colour by colour, keeping the absolute positions,
    // wire offsets and times. Each piece goes in as its wire bytes with its
    // arrival's conversion, which stores the same bytes again.
    LogStore fresh;
    fresh.m_useReserve = false; // filled at once from memory already here
    fresh.m_capacity = bytes;
    fresh.m_segSize = segSize;
    fresh.SetColumns(m_cols);
    qint64 from = std::max(m_base, m_end - bytes);
    if (from > m_base && from < m_end && IsShownOnly(from - 1))
        ++from; // not an LF without the CR stored with it
    fresh.m_base = fresh.m_end = from;
    fresh.m_lastLf = from - 1;
    fresh.m_wireEnd = WireOf(from);
    QByteArray buf;
    ForEachArrival(from, m_end, [&](const Arrival &a) {
        unsigned more = 0;
        for (qint64 pos = std::max(a.Start, from); pos < a.End;) {
            const qint64 next = NextColorChange(pos, a.End);
            buf.clear();
            WireBytes(pos, next, buf);
            fresh.Append(buf.constData(), buf.size(), ColorAt(pos), a.Conversion | more, a.Dir, a.Micros);
            more = ContinuesArrival;
            pos = next;
        }
        return true;
    });
    m_epoch = fresh.m_epoch;
    std::swap(m_segs, fresh.m_segs);
    std::swap(m_pool, fresh.m_pool);
    m_reserve.reset();
    m_lfLess = 0;
    m_base = fresh.m_base;
    m_unitsTo = m_base; // the fresh segments are not counted yet
    m_capacity = bytes;
    m_segSize = segSize;
    m_lastLf = std::max(m_lastLf, fresh.m_lastLf);
    m_rowsCache = -1;
    m_shownOnlyOf = {nullptr, -1, -1};
    ++m_gen;
}

// ---- Sessions, arrivals and the wire bytes ----

void LogStore::AddSession(const Session &session, bool update)
{
    if (update && !m_sessions.empty()) {
        const qint64 pos = m_sessions.back().Pos, micros = m_sessions.back().Micros;
        m_sessions.back() = session;
        m_sessions.back().Pos = pos;
        m_sessions.back().Micros = micros;
        return;
    }
    if (!m_sessions.empty() && m_sessions.back().Pos == m_end)
        m_sessions.pop_back(); // it got no bytes
    m_sessions.push_back(session);
    m_sessions.back().Pos = m_end;
    m_sessions.back().Micros = std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count();
}

std::unique_ptr<LogStore> LogStore::Copy() const
{
    auto copy = std::make_unique<LogStore>();
    copy->m_useReserve = false;
    copy->m_capacity = m_capacity;
    copy->m_segSize = m_segSize;
    copy->SetColumns(m_cols);
    // One block for all the bytes: freed at once when the copy is done with, not
    // left in the heap as pieces the size of a segment.
    copy->m_block.reset(new char[size_t(m_segs.size()) * size_t(m_segSize)]);
    char *block = copy->m_block.get();
    for (const Segment *s : m_segs) {
        auto seg = std::make_unique<Segment>();
        seg->Data = std::unique_ptr<char[], DataDeleter>(block, DataDeleter{false});
        block += m_segSize;
        std::memcpy(seg->Data.get(), s->Data.get(), size_t(s->Used));
        seg->Start = s->Start;
        seg->Used = s->Used;
        seg->StartColor = s->StartColor;
        seg->PrevLf = s->PrevLf;
        seg->MaxLine = s->MaxLine;
        seg->Plain = s->Plain;
        seg->Lfs = s->Lfs;
        seg->Runs = s->Runs;
        seg->Pieces = s->Pieces;
        seg->Entry = s->Entry;
        seg->Wire = s->Wire;
        seg->ShownOnly = s->ShownOnly;
        seg->RowsGen = 0; // counted again if asked
        copy->m_segs.push_back(seg.release());
    }
    copy->m_base = m_base;
    copy->m_end = m_end;
    copy->m_unitsTo = m_base;
    copy->m_lastLf = m_lastLf;
    copy->m_lastColor = m_lastColor;
    copy->m_hasColor = m_hasColor;
    copy->m_lineHigh = m_lineHigh;
    copy->m_lineTab = m_lineTab;
    copy->m_arrival = m_arrival;
    copy->m_epoch = m_epoch;
    copy->m_wireEnd = m_wireEnd;
    copy->m_sessions = m_sessions;
    ++copy->m_gen;
    return copy;
}

LogStore::Arrival LogStore::ArrivalOf(int seg, size_t piece) const
{
    const Segment &s = *m_segs[size_t(seg)];
    const Piece &p = s.Pieces[piece];
    return {s.Start + p.Offset, 0, p.Micros(m_epoch), Direction(p.Dir), p.Conversion};
}

LogStore::Arrival LogStore::ArrivalAt(qint64 pos) const
{
    Arrival found;
    ForEachArrival(pos, pos + 1, [&](const Arrival &a) {
        found = a;
        return false;
    });
    return found;
}

// A CR is stored for the view only where an arrival converting LFs has it just
// before one of its LFs: the LFs of this segment, and one opening the next.
void LogStore::ShownOnlyIn(int seg, std::vector<int> &out) const
{
    const Segment &s = *m_segs[size_t(seg)];
    // The last segment looked at is asked again and again by readers going
    // arrival by arrival; nothing it depends on changes until the store grows.
    if (&out == &m_shownOnly && m_shownOnlyOf == std::tuple(&s, s.Start, m_end))
        return;
    out.clear();
    if (&out == &m_shownOnly)
        m_shownOnlyOf = std::tuple(&s, s.Start, m_end);
    if (s.ShownOnly == 0)
        return;
    const bool nextOpens = seg + 1 < int(m_segs.size()) && !m_segs[size_t(seg) + 1]->Lfs.empty() &&
                           m_segs[size_t(seg) + 1]->Lfs.front() == 0;
    auto lf = s.Lfs.begin();
    ForEachArrival(s.Start + 1, s.Start + s.Used + 1, [&](const Arrival &a) {
        if (!(a.Conversion & LfToCrLf)) {
            while (lf != s.Lfs.end() && s.Start + *lf < a.End)
                ++lf;
        } else {
            for (; lf != s.Lfs.end() && s.Start + *lf < a.End; ++lf)
                if (*lf > 0)
                    out.push_back(*lf - 1);
            if (nextOpens && a.Start < s.Start + s.Used && a.End > s.Start + s.Used)
                out.push_back(s.Used - 1);
        }
        return true;
    });
}

bool LogStore::IsShownOnly(qint64 pos) const
{
    return pos >= m_base && pos + 1 < m_end && ByteAt(pos) == '\r' && ByteAt(pos + 1) == '\n' &&
           (ArrivalAt(pos + 1).Conversion & LfToCrLf);
}

qint64 LogStore::WireBegin() const
{
    return m_segs.empty() ? m_wireEnd : m_segs.front()->Wire;
}

qint64 LogStore::WireOf(qint64 pos) const
{
    if (pos >= m_end)
        return m_wireEnd;
    pos = std::max(pos, m_base);
    const int seg = SegIndex(pos);
    const Segment &s = *m_segs[size_t(seg)];
    ShownOnlyIn(seg, m_shownOnly);
    const int off = int(pos - s.Start);
    return s.Wire + off -
           (std::lower_bound(m_shownOnly.begin(), m_shownOnly.end(), off) - m_shownOnly.begin());
}

qint64 LogStore::PosOfWire(qint64 wire) const
{
    if (wire >= m_wireEnd || m_segs.empty())
        return m_end;
    if (wire <= WireBegin())
        return m_base;
    const auto it = std::upper_bound(m_segs.begin(), m_segs.end(), wire,
                                     [](qint64 w, const Segment *s) { return w < s->Wire; });
    const int seg = int(it - m_segs.begin()) - 1;
    ShownOnlyIn(seg, m_shownOnly);
    const Segment &s = *m_segs[size_t(seg)];
    qint64 off = wire - s.Wire;
    for (const int cr : m_shownOnly) {
        if (cr > off)
            break;
        ++off;
    }
    return s.Start + off;
}

void LogStore::WireBytes(qint64 from, qint64 to, QByteArray &out, std::vector<qint64> *positions) const
{
    from = std::max(from, m_base);
    to = std::min(to, m_end);
    if (from >= to)
        return;
    for (int seg = SegIndex(from); seg < int(m_segs.size()) && m_segs[size_t(seg)]->Start < to; ++seg) {
        const Segment &s = *m_segs[size_t(seg)];
        const int lo = int(std::max(from, s.Start) - s.Start),
                  hi = int(std::min(to, s.Start + s.Used) - s.Start);
        ShownOnlyIn(seg, m_shownOnly);
        int at = lo;
        auto skip = std::lower_bound(m_shownOnly.begin(), m_shownOnly.end(), lo);
        while (at < hi) {
            const int stop = skip != m_shownOnly.end() ? std::min(*skip, hi) : hi;
            out.append(s.Data.get() + at, stop - at);
            if (positions)
                for (int k = at; k < stop; ++k)
                    positions->push_back(s.Start + k);
            at = stop + 1; // past the CR
            if (skip != m_shownOnly.end())
                ++skip;
        }
    }
}

QByteArray LogStore::TextBytes(qint64 from, qint64 to) const
{
    from = std::max(from, m_base);
    to = std::min(to, m_end);
    QByteArray out;
    if (from >= to)
        return out;
    out.resize(to - from);
    Read(from, to - from, out.data());
    if (!out.contains('\0'))
        return out;
    ForEachArrival(from, to, [&](const Arrival &a) {
        if (a.Conversion & NulToQuestion)
            for (qint64 i = a.Start - from; i < a.End - from; ++i)
                if (out[i] == '\0')
                    out[i] = '?';
        return true;
    });
    return out;
}

int LogStore::SegIndex(qint64 pos) const
{
    // Every segment but the last is full, so the index is plain division.
    return int((pos - m_segs.front()->Start) >> std::countr_zero(unsigned(m_segSize))); // a power of two
}

void LogStore::Read(qint64 from, qint64 n, char *out) const
{
    if (n <= 0)
        return;
    int i = SegIndex(from);
    qint64 off = from - m_segs[size_t(i)]->Start;
    while (n > 0) {
        const Segment &s = *m_segs[size_t(i)];
        const qint64 take = std::min<qint64>(n, s.Used - off);
        std::memcpy(out, s.Data.get() + off, size_t(take));
        out += take;
        n -= take;
        off = 0;
        ++i;
    }
}

// CRs just before the LF at `at` end the line with it and are not shown: CR LF,
// and CR CR LF, which is what a CR LF becomes when LF is shown as CR LF.
int LogStore::HiddenCrs(qint64 at, qint64 lineStart) const
{
    const qint64 first = std::max(lineStart, m_base);
    int n = 0;
    while (n < 2 && at - n - 1 >= first && ByteAt(at - n - 1) == '\r')
        ++n;
    return n;
}

quint8 LogStore::ByteAt(qint64 pos) const
{
    const Segment &s = *m_segs[size_t(SegIndex(pos))];
    return quint8(s.Data[pos - s.Start]);
}

quint32 LogStore::ColorAt(qint64 pos) const
{
    const Segment &s = *m_segs[size_t(SegIndex(pos))];
    const quint16 off = quint16(pos - s.Start);
    auto it = std::upper_bound(s.Runs.begin(), s.Runs.end(), off,
                               [](quint16 o, const Run &r) { return o < r.Offset; });
    return it == s.Runs.begin() ? s.StartColor : std::prev(it)->Color;
}

qint64 LogStore::NextColorChange(qint64 pos, qint64 limit) const
{
    if (pos >= m_end || m_segs.empty())
        return limit;
    for (qsizetype i = SegIndex(pos); i < m_segs.size(); ++i) {
        const Segment &s = *m_segs[i];
        if (s.Start >= limit)
            break;
        if (pos < s.Start) {
            if (!s.Runs.empty())
                return std::min(limit, s.Start + s.Runs.front().Offset);
            continue;
        }
        const quint16 off = quint16(pos - s.Start);
        auto it = std::upper_bound(s.Runs.begin(), s.Runs.end(), off,
                                   [](quint16 o, const Run &r) { return o < r.Offset; });
        if (it != s.Runs.end())
            return std::min(limit, s.Start + it->Offset);
    }
    return limit;
}

void LogStore::RunBounds(qint64 pos, qint64 *start, qint64 *end) const
{
    *end = NextColorChange(pos, m_end);
    *start = m_base;
    int i = SegIndex(pos);
    qint64 off = pos - m_segs[size_t(i)]->Start;
    for (; i >= 0; --i, off = m_segSize) {
        const Segment &s = *m_segs[size_t(i)];
        auto it = std::upper_bound(s.Runs.begin(), s.Runs.end(), off,
                                   [](qint64 o, const Run &r) { return o < r.Offset; });
        if (it != s.Runs.begin()) {
            *start = s.Start + std::prev(it)->Offset;
            return;
        }
    }
}

void LogStore::SetColumns(int cols)
{
    cols = std::max(1, cols);
    if (cols == m_cols)
        return;
    m_cols = cols;
    m_colsInverse = ~quint64(0) / quint64(cols) + 1; // 0 for one column: divided the slow way
    ++m_gen;
    m_rowsCache = -1;
}

qint64 LogStore::SegRows(const Segment &s) const
{
    if (s.RowsGen == m_gen)
        return s.Rows;
    qint64 rows;
    if (s.MaxLine <= m_cols) {
        rows = qint64(s.Lfs.size()); // no line here wraps
        s.FirstRows = 1;
    } else {
        rows = 0;
        qint64 start = std::max(s.PrevLf + 1, m_base);
        for (size_t k = 0; k < s.Lfs.size(); ++k) {
            const qint64 at = s.Start + s.Lfs[k];
            qint64 lineRows;
            if (s.Plain) {
                // One cell per byte: the rows follow from where the LFs are, and the
                // bytes are read only where the CRs before an LF would change them.
                lineRows = RowsFor(at - start);
                if (lineRows != RowsFor(at - start - 2))
                    lineRows = RowsFor(at - start - HiddenCrsIn(s, s.Lfs[k], start));
            } else {
                lineRows = RowsOfRange(start, at - HiddenCrsIn(s, s.Lfs[k], start));
            }
            rows += lineRows;
            if (k == 0)
                s.FirstRows = lineRows;
            start = at + 1;
        }
    }
    s.Rows = rows;
    s.RowsGen = m_gen;
    return rows;
}

LogStore::Line LogStore::MakeLine(int seg, int lf) const
{
    const Segment &s = *m_segs[size_t(seg)];
    Line line;
    line.Seg = seg;
    line.Lf = lf;
    line.Start = lf == 0 ? std::max(s.PrevLf + 1, m_base) : s.Start + s.Lfs[size_t(lf) - 1] + 1;
    const qint64 at = s.Start + s.Lfs[size_t(lf)];
    line.ContentEnd = at - HiddenCrsIn(s, s.Lfs[size_t(lf)], line.Start);
    line.Next = at + 1;
    return line;
}

LogStore::Line LogStore::LastLine() const
{
    Line line;
    line.Start = std::max(m_lastLf + 1, m_base);
    line.ContentEnd = line.Next = m_end;
    return line;
}

qint64 LogStore::RowsOf(const Line &line) const
{
    return RowsOfRange(line.Start, line.ContentEnd);
}

qint64 LogStore::RowCount() const
{
    if (m_rowsCache < 0) {
        qint64 rows = 0;
        for (const Segment *s : m_segs)
            rows += SegRows(*s);
        m_rowsCache = rows + RowsOf(LastLine());
    }
    return m_rowsCache;
}

LogStore::Line LogStore::LineAtRow(qint64 row, qint64 *rowInLine) const
{
    row = std::max<qint64>(0, row);
    qint64 before = 0;
    for (qsizetype i = 0; i < m_segs.size(); ++i) {
        const Segment &s = *m_segs[i];
        const qint64 rows = SegRows(s);
        if (row >= before + rows) {
            before += rows;
            continue;
        }
        if (s.MaxLine <= m_cols) {
            *rowInLine = 0;
            return MakeLine(int(i), int(row - before));
        }
        for (size_t k = 0;; ++k) {
            const Line line = MakeLine(int(i), int(k));
            const qint64 r = RowsOf(line);
            if (row < before + r) {
                *rowInLine = row - before;
                return line;
            }
            before += r;
        }
    }
    const Line last = LastLine();
    *rowInLine = std::min(row - before, RowsOf(last) - 1);
    return last;
}

LogStore::Line LogStore::LineAt(qint64 pos) const
{
    if (m_segs.empty() || pos >= m_end)
        return LastLine();
    pos = std::max(pos, m_base);
    const size_t i = size_t(SegIndex(pos));
    const Segment &s = *m_segs[i];
    const quint16 off = quint16(pos - s.Start);
    auto it = std::lower_bound(s.Lfs.begin(), s.Lfs.end(), off);
    if (it != s.Lfs.end())
        return MakeLine(int(i), int(it - s.Lfs.begin()));
    for (qsizetype j = qsizetype(i) + 1; j < m_segs.size(); ++j)
        if (!m_segs[j]->Lfs.empty())
            return MakeLine(int(j), 0);
    return LastLine();
}

LogStore::Line LogStore::NextLine(const Line &line) const
{
    if (line.IsLast())
        return line;
    if (size_t(line.Lf) + 1 < m_segs[size_t(line.Seg)]->Lfs.size())
        return MakeLine(line.Seg, line.Lf + 1);
    for (qsizetype j = line.Seg + 1; j < m_segs.size(); ++j)
        if (!m_segs[j]->Lfs.empty())
            return MakeLine(int(j), 0);
    return LastLine();
}

qint64 LogStore::RowOf(qint64 pos) const
{
    const Line line = LineAt(pos);
    qint64 row = 0;
    const size_t upto = line.IsLast() ? m_segs.size() : size_t(line.Seg);
    for (size_t i = 0; i < upto; ++i)
        row += SegRows(*m_segs[i]);
    if (!line.IsLast()) {
        const Segment &s = *m_segs[upto];
        if (s.MaxLine <= m_cols) {
            row += line.Lf;
        } else {
            for (int k = 0; k < line.Lf; ++k)
                row += RowsOf(MakeLine(line.Seg, k));
        }
    }
    return row + RowInLine(line, pos);
}

qint64 LogStore::MemoryUse() const
{
    qint64 bytes = 0;
    auto add = [&](const Segment *s) {
        bytes += qint64(sizeof(Segment)) + m_segSize + qint64(s->Lfs.capacity() * sizeof(quint16)) +
                 qint64(s->Runs.capacity() * sizeof(Run)) + qint64(s->Pieces.capacity() * sizeof(Piece));
    };
    for (const Segment *s : m_segs)
        add(s);
    for (const Segment *s : m_pool)
        add(s);
    return bytes;
}

const char *LogStore::DirectionName(Direction dir)
{
    switch (dir) {
    case Sent: return "sent";
    case Received: return "received";
    case ClientToServer: return "client to server";
    case ServerToClient: return "server to client";
    case Notice: break;
    }
    return "note";
}
