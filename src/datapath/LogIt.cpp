#include <cstring>

#include "app/frmMain.h"
#include "platform/LogPane.h"

namespace
{
constexpr quint32 Blue = 0xFF0000;
constexpr quint32 Black = 0x000000;
} // namespace

// NUL is shown as "?", and with CrLf each LF as CR LF. The pane converts as it
// copies the text in, so data is copied once on its way into the log; the
// caller's string gets its NULs replaced too, only when it has any.
void frmMain::LogIt(QByteArray &Text, bool Highlight, bool CrLf)
{
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Blue);
    const unsigned conversion = LogStore::NulToQuestion | (CrLf ? LogStore::LfToCrLf : LogStore::AsIs);
    qint64 nuls = txtRx->InsertAtCaret(Text, conversion);
    for (char *p = Text.data(); nuls > 0; --nuls) {
        p = static_cast<char *>(std::memchr(p, 0, size_t(Text.constEnd() - p)));
        *p++ = '?';
    }
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Black);
}

void frmMain::txtRx_Change() {}

void frmMain::txtRx_DblClick()
{
    txtRx->Clear();
}
