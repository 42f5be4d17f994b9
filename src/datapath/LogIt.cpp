#include <cstring>

#include "app/frmMain.h"
#include "platform/LogPane.h"

namespace {
constexpr quint32 Blue = 0xFF0000;
constexpr quint32 Black = 0x000000;
} // namespace

void frmMain::LogIt(QByteArray &Text, bool Highlight)
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
    txtRx->InsertAtCaret(Text);
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Black);
}

void frmMain::txtRx_Change() {}

void frmMain::txtRx_DblClick() { txtRx->Clear(); }
