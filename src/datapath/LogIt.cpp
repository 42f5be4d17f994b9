#include "app/frmMain.h"
#include "platform/LogPane.h"

namespace {
constexpr quint32 Blue = 0xFF0000;
constexpr quint32 Black = 0x000000;
} // namespace

void frmMain::LogIt(QByteArray &Text, bool Highlight)
{
    Text.replace('\0', '?');
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
