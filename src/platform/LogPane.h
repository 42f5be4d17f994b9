#pragma once
#include <QAbstractScrollArea>
#include <QByteArray>
#include <QHash>
#include <QRawFont>
#include <QTimer>

#include <deque>
#include <memory>
#include <vector>

class QAccessibleInterface;

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

    LogStore();
    ~LogStore();
    LogStore(const LogStore &) = delete;
    LogStore &operator=(const LogStore &) = delete;

    qint64 Begin() const { return m_base; }
    qint64 End() const { return m_end; }
    qint64 Size() const { return m_end - m_base; }

    // What Append changes while it copies: each LF stored as CR LF, each NUL as "?".
    enum Conversion : unsigned { AsIs = 0, LfToCrLf = 1, NulToQuestion = 2 };
    // Appends n bytes in the given colour, converted as asked; drops the oldest
    // segments to stay within the capacity. Returns how many NULs were replaced.
    // Throws std::bad_alloc when memory runs out.
    qint64 Append(const char *data, qint64 n, quint32 color, unsigned conversion = AsIs);
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
    // count (see LogPaneLayout.cpp).
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
    qint64 RowStart(const Line &line, qint64 row) const; // first byte of a row of the line
    // Where rows first .. first + count - 1 of the line start (fewer when it has fewer).
    void RowStarts(const Line &line, qint64 first, qint64 count, std::vector<qint64> &starts) const;
    qint64 RowInLine(const Line &line, qint64 pos) const; // the row of the line that shows pos
    bool Decodes(const Line &line) const;                 // laid out by characters, not one byte per cell
    // The characters of one row [from, to), in cells or one byte per cell.
    void Glyphs(qint64 from, qint64 to, bool cells, std::vector<Glyph> &out) const;
    // The text [from, to) as characters: what copy and screen readers get.
    QString Decoded(qint64 from, qint64 to) const;

    int SegmentSize() const { return m_segSize; }
    // Bytes held by segments and their indexes, pooled ones included.
    qint64 MemoryUse() const;

private:
    struct Run {
        quint16 Offset;
        quint32 Color;
    };
    struct Segment {
        std::unique_ptr<char[]> Data;
        qint64 Start = 0; // absolute position of Data[0]
        int Used = 0;     // bytes written
        quint32 StartColor = 0;
        qint64 PrevLf = -1;       // last LF before this segment, -1 if none
        qint64 MaxLine = 0;       // longest line ending in this segment, upper bound
        std::vector<quint16> Lfs; // offsets of the LF bytes
        std::vector<Run> Runs;    // colour changes inside this segment
        mutable qint64 Rows = 0;
        mutable quint32 RowsGen = 0; // m_gen value Rows was counted for
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
    Segment *NewSegment();
    void DropFront();
    void TrimPool();
    int SegIndex(qint64 pos) const;
    qint64 SegRows(const Segment &s) const;
    Line MakeLine(int seg, int lf) const;
    Line LastLine() const;
    qint64 RowsFor(qint64 length) const
    {
        return length <= m_cols ? 1 : (length + m_cols - 1) / m_cols; // most lines fit: no division
    }
    static int SegSizeFor(qint64 capacity);
    bool ByCharacters(qint64 from, qint64 to) const; // laid out by characters, not by bytes
    const unsigned char *BytesOf(qint64 from, qint64 n) const;
    bool Arithmetic(qint64 from, qint64 to) const; // one byte per cell
    qint64 RowsOfRange(qint64 from, qint64 to) const;
    template <class F> void Walk(qint64 from, qint64 to, int cols, bool cells, F &&f) const;

    QList<Segment *> m_segs;       // a queue: appending after dropping from the front reuses its room
    std::vector<Segment *> m_pool; // dropped segments kept for reuse
    qsizetype m_lfLess = 0;        // leading full segments known to hold no LF
    qint64 m_base = 0;
    qint64 m_end = 0;
    qint64 m_lastLf = -1;
    quint32 m_lastColor = 0;
    bool m_hasColor = false;
    qint64 m_capacity;
    int m_segSize;
    int m_cols = 80;
    quint32 m_gen = 1;
    mutable qint64 m_rowsCache = -1;
    mutable std::vector<char> m_scratch;    // bytes of the line being laid out
    unsigned m_lineHigh = 0, m_lineTab = 0; // bytes above 0x7F, TABs, seen in the line being appended
};

// The log pane: an append-only store of bytes with colour runs, and a view that
// paints only the visible rows in a fixed-pitch font. One byte is one character
// (Latin-1). Colours are 0x00BBGGRR values. When the capacity is reached the
// oldest text is dropped, so positions always count from the oldest byte kept.
class LogPane : public QAbstractScrollArea
{
    Q_OBJECT
public:
    explicit LogPane(QWidget *parent = nullptr);
    ~LogPane() override;

    // What LogIt and the other handlers use.
    qint64 TextLength() const; // length of the plain text
    qint64 Caret() const;
    void SetCaret(qint64 pos); // caret at pos, selection emptied
    // Raises Failure unless the caret is at the end. The text is converted as it
    // is copied in (LogStore::Conversion); returns how many NULs were replaced.
    qint64 InsertAtCaret(const QByteArray &text, unsigned conversion = LogStore::AsIs);
    void SetSelColor(quint32 bgr); // colour of the selection, or of the next insert
    void Clear();                  // text and colours gone

    // Reading, for copy, accessibility and tests.
    QByteArray Text(qint64 from = 0, qint64 length = -1) const;
    quint32 ColorAt(qint64 pos) const; // colour shown for the byte at pos
    qint64 SelStart() const;
    qint64 SelLength() const;
    void SetSelection(qint64 start, qint64 length);
    QByteArray SelectedText() const;
    // The hex view: rows of an offset, 16 bytes in hex and the same as characters.
    void SetHexView(bool on);
    bool HexView() const { return m_hex; }
    QByteArray HexRow(qint64 from) const; // the hex view's row showing [from, from + 16 or fewer)
    // Saves the bytes held now to path, in the background; SaveFinished follows.
    void SaveAs(const QString &path);

    qint64 Capacity() const;
    void SetCapacity(qint64 bytes);
    static constexpr qint64 DefaultCapacity = 128LL * 1024 * 1024;

    // Read-only helpers.
    static constexpr qint64 MinCapacity = 64LL * 1024;
    static constexpr qint64 MaxCapacity = 1024LL * 1024 * 1024;
    static constexpr qint64 CopyLimit = 32LL * 1024 * 1024; // most bytes Ctrl+C puts on the clipboard
    // The colour run (as shown, recolouring included) holding pos: [*start, *end).
    quint32 RunAt(qint64 pos, qint64 *start, qint64 *end) const;
    int Columns() const { return m_store.Columns(); }
    qint64 RowCount() const { return m_store.RowCount(); }
    qint64 MemoryUse() const { return m_store.MemoryUse(); }

signals:
    void DoubleClicked();                                         // also "Clear" in the pane's menu
    void SaveAsRequested();                                       // "Save Log As..." in the pane's menu
    void Announced(int position, const QString &text);            // told to assistive technology as inserted
    void SaveFinished(const QString &path, const QString &error); // error empty: saved
    void Changed();

protected:
    void paintEvent(QPaintEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void scrollContentsBy(int dx, int dy) override;
    void keyPressEvent(QKeyEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    friend class LogPaneAccessible;
    struct Overlay {
        qint64 Start, End; // absolute
        quint32 Color;
    };

    static QAccessibleInterface *AccessibleFactory(const QString &key, QObject *object);
    void UpdateFont();
    void Refresh();
    void ScheduleRefresh();
    void Announce();
    void UpdateColumns();
    void TrimToBase();
    void AddOverlay(qint64 start, qint64 end, quint32 color);
    quint32 ShownColor(qint64 pos) const;
    qint64 Abs(qint64 pos) const;
    qint64 HitTest(const QPoint &point) const;
    QRect CellRect(qint64 pos) const;
    void ScrollToPos(qint64 pos);
    qint64 TopRowStart() const;
    void Copy();
    void SelectAll();
    void PaintRow(QPainter &p, int y, qint64 from, qint64 to, bool decode, bool lineEndSelected);
    struct FontGlyph {
        int Font;   // 0: the pane's font, k: m_fallbacks[k - 1]
        quint32 Id; // glyph index in that font
    };
    FontGlyph GlyphFor(char32_t c);                     // where a character beyond Latin-1 is drawn from
    quint32 PrimaryGlyph(char32_t c);                   // its glyph in the pane's own font, 0 if none
    static constexpr qsizetype MaxCachedGlyphs = 65536; // binary data brings many characters
    bool PaintHexRow(QPainter &p, int y, qint64 from);
    qint64 ViewRows() const;                              // rows of the text or the hex view
    qint64 ViewRowOf(qint64 pos) const;                   // the row that shows pos in the current view
    static constexpr int MaxHexBytes = 16, HexFirst = 10; // bytes a hex row, column of the first
    int HexText() const { return HexFirst + 3 * m_hexBytes + 1; } // column of the characters

    LogStore m_store;
    quint32 m_color = 0;
    qint64 m_anchor = 0; // absolute positions
    qint64 m_caret = 0;
    std::vector<Overlay> m_overlays; // sorted, not overlapping
    QTimer m_refreshTimer;
    static constexpr int AnnounceMs = 250;      // at most four announcements a second
    static constexpr qint64 AnnounceMax = 4096; // bytes told at most per announcement
    QTimer m_announceTimer;
    qint64 m_announced = 0; // absolute end of what was last announced
    qint64 m_topByte = 0;   // first byte shown at the top, kept across re-wraps and drops
    bool m_refreshing = false;
    bool m_dragging = false;
    qint64 m_notifiedCaret = -1;
    int m_cellW = 8;
    int m_lineH = 16;
    int m_ascent = 12;
    QRawFont m_raw;
    bool m_useGlyphs = false;
    quint32 m_glyphs[256] = {};
    QChar m_chars[256];
    QHash<char32_t, FontGlyph> m_glyphCache;
    QHash<char32_t, quint32> m_primaryCache;
    QStringList m_fallbackFamilies;    // installed fonts, for characters the pane's font lacks
    std::vector<QRawFont> m_fallbacks; // loaded as far as needed, in that order
    bool m_hex = false;
    int m_hexBytes = MaxHexBytes;
    qint64 m_textTop = -1;                            // the text view's top byte when the hex view was chosen
    mutable std::vector<LogStore::Glyph> m_rowGlyphs; // the row being painted or hit
};
