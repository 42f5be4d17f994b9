#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "app/frmMain.h"
#include "platform/LogPane.h"

namespace
{
// Replaces each NUL in [p, end) by "?". Binary data has one in every few hundred
// bytes, so this goes 16 bytes at a time rather than from one NUL to the next.
void nulsToQuestion(char *p, char *const end)
{
#ifdef __SSE2__
    const __m128i zero = _mm_setzero_si128(), question = _mm_set1_epi8('?');
    for (; end - p >= 16; p += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i nul = _mm_cmpeq_epi8(v, zero);
        if (_mm_movemask_epi8(nul))
            _mm_storeu_si128(reinterpret_cast<__m128i *>(p), _mm_or_si128(v, _mm_and_si128(nul, question)));
    }
#endif
    for (; p < end; ++p)
        if (*p == '\0')
            *p = '?';
}
} // namespace

// NUL is shown as "?", and with CrLf each LF as CR LF. The pane converts as it
// copies the text in, so data is copied once on its way into the log; the
// caller's string gets its NULs replaced too, only when it has any.
void frmMain::LogIt(QByteArray &Text, bool Highlight, bool CrLf)
{
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Bgr::Blue);
    const unsigned conversion = LogStore::NulToQuestion | (CrLf ? LogStore::LfToCrLf : LogStore::AsIs);
    if (txtRx->InsertAtCaret(Text, conversion) > 0)
        nulsToQuestion(Text.data(), Text.data() + Text.size());
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Bgr::Black);
}

void frmMain::txtRx_Change() {}

void frmMain::txtRx_DblClick()
{
    txtRx->Clear();
}

// "Save Log As..." in the pane's menu: the bytes the pane holds, as they stand.
void frmMain::txtRx_SaveAs()
{
    const QString path = Tk().SaveFileName(QStringLiteral("Save Log As..."));
    if (!path.isEmpty())
        txtRx->SaveAs(path);
}

// The save has ended; a failure is told, and nothing was left under the name.
void frmMain::txtRx_SaveFinished(const QString &path, const QString &error)
{
    if (!error.isEmpty())
        Tk().MsgBox(QStringLiteral("The log could not be saved to %1:\r\n%2").arg(path, error),
                    Toolkit::Exclamation, Toolkit::OkOnly, QStringLiteral("Save Log As..."));
}
