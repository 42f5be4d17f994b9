#include <cstring>

#include "app/frmMain.h"
#include "platform/LogPane.h"

namespace
{
constexpr quint32 Blue = 0xFF0000;
constexpr quint32 Black = 0x000000;
} // namespace

// With CrLf each LF is shown as CR LF: the pane converts as it copies the text in,
// so received data is copied once on its way into the log.
void frmMain::LogIt(QByteArray &Text, bool Highlight, bool CrLf)
{
    // NUL becomes "?"; most data has none, so look before touching the string.
    if (std::memchr(Text.constData(), 0, size_t(Text.size()))) {
        char *p = Text.data();
        char *const end = p + Text.size();
        while ((p = static_cast<char *>(std::memchr(p, 0, size_t(end - p)))))
            *p++ = '?';
    }
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Blue);
    txtRx->InsertAtCaret(Text, CrLf);
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Black);
}

void frmMain::txtRx_Change() {}

void frmMain::txtRx_DblClick()
{
    txtRx->Clear();
}
