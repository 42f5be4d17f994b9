#include <QLineEdit>
#include <QLabel>
#include <QPushButton>
#include <QCheckBox>
#include <QComboBox>
#include <cmath>

#include "frmMain.h"
#include "platform/LogPane.h"
#include "platform/Twips.h"

using namespace Twips;

namespace
{
constexpr float MinOuterWidth = 7100;
constexpr float MinOuterHeight = 2400;

// Pixels needed so that the outer size is at least the given twips.
int atLeastPixels(float twips)
{
    return int(std::ceil(twips / PerPixel));
}
} // namespace

void frmMain::Form_Resize()
{
    if (windowState() & Qt::WindowMinimized)
        return;
    const QSize frame = frameGeometry().size() - size();
    if (frameGeometry().width() * PerPixel < MinOuterWidth) {
        resize(atLeastPixels(MinOuterWidth) - frame.width(), height());
        return;
    }
    if (frameGeometry().height() * PerPixel < MinOuterHeight) {
        resize(width(), atLeastPixels(MinOuterHeight) - frame.height());
        return;
    }

    LayoutControls(width() * PerPixel, height() * PerPixel);
}

void frmMain::LayoutControls(float CW, float CH)
{
    SetTop(LblStats, CH - Height(LblStats) - 60);
    SetTop(cCrLf, Top(LblStats));
    SetLeft(cCrLf, CW - Width(cCrLf) - 90);
    SetWidth(txtRx, CW - 180);
    SetTop(txtTx, Top(LblStats) - Height(txtTx) - 90);
    SetTop(cmdSend, Top(txtTx));
    SetHeight(txtRx, Top(txtTx) - Top(txtRx));
    SetLeft(cmdSend, CW - Width(cmdSend) - 90);
    SetWidth(txtTx, Left(cmdSend) - 90);
    SetLeft(cmdAbout, CW - Width(cmdAbout) - 90);
    SetLeft(cmdListen, Left(cmdAbout) - Width(cmdListen) - 120);
    SetLeft(cmdClose, Left(cmdListen) - Width(cmdClose) + 15);
    SetLeft(cmdConnect, Left(cmdClose) - Width(cmdConnect) + 15);
    SetLeft(ComboType, Left(cmdConnect) - Width(ComboType) - 90);
    SetLeft(txtPort, Left(ComboType) - Width(txtPort));
    SetWidth(txtIP, Left(txtPort) - Left(txtIP));

    // Scroll the address field back to its start, keeping its selection.
    const int selStart = txtIP->hasSelectedText() ? txtIP->selectionStart() : txtIP->cursorPosition();
    const int selLength = int(txtIP->selectedText().size());
    txtIP->setCursorPosition(0);
    txtIP->setCursorPosition(selStart);
    if (selLength > 0)
        txtIP->setSelection(selStart, selLength);
}
