#pragma once
#include <QAbstractScrollArea>
#include <QByteArray>
#include <QHash>
#include <QRawFont>
#include <QTimer>

#include "LogStore.h"

#include <deque>
#include <memory>
#include <vector>

class QAccessibleInterface;
class QMenu;

// Colours of the log are 0x00BBGGRR values: red in the lowest byte, then green,
// then blue. LogPane::ToQColor turns one into a QColor.
namespace Bgr
{
constexpr quint32 Black = 0x000000;
constexpr quint32 Blue = 0xFF0000;
constexpr quint32 Green = 0x00FF00;
constexpr quint32 Grey = 0x808080; // the program's own notices, apart from either direction
} // namespace Bgr

// The log pane: an append-only store of bytes with colour runs, and a view that
// paints only the visible rows in a fixed-pitch font. UTF-8 shows as characters,
// wide ones in two cells; any other byte shows on its own, as its Latin-1
// character or a placeholder. Positions here count bytes (the accessible text
// counts UTF-16 units instead). Colours are 0x00BBGGRR values. When the capacity
// is reached the oldest text is dropped, so positions always count from the
// oldest byte kept.
class LogPane : public QAbstractScrollArea
{
    Q_OBJECT
public:
    explicit LogPane(QWidget *parent = nullptr);
    ~LogPane() override;

    // What LogIt and the other handlers use.
    qint64 TextLength() const; // length of the plain text, in bytes
    qint64 Caret() const;
    void SetCaret(qint64 pos); // caret at pos, selection emptied
    // Raises Failure unless the caret is at the end. The text is converted as it
    // is copied in (LogStore::Conversion).
    void InsertAtCaret(const QByteArray &text, unsigned conversion = LogStore::AsIs);
    // The same, and with LogStore::NulToQuestion the NULs of *text are replaced too.
    void InsertAtCaret(QByteArray *text, unsigned conversion);
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
    static constexpr qint64 DefaultCapacity = LogStore::DefaultCapacity;
    static QColor ToQColor(quint32 bgr); // the one conversion of a 0x00BBGGRR colour

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
    void DoubleClicked();                              // also "Clear" in the pane's menu
    void SaveAsRequested();                            // "Save Log As..." in the pane's menu
    void Announced(int position, const QString &text); // told to assistive technology, in UTF-16 units
    void SaveFinished(const QString &path, const QString &error); // error empty: saved
    void Changed();
    // The pane's menu, about to be shown; without a receiver the pane shows it itself.
    void MenuRequested(QMenu *menu, bool byKeyboard);

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
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;

private:
    void Insert(const char *data, qint64 n, unsigned conversion, char *source);
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
    void ShowMenu(const QPoint &globalPos, bool byKeyboard);
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
    std::vector<LogStore::Glyph> m_byteGlyphs;        // the same, a binary line's bytes spelled out
};
