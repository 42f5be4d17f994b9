#include <QLineEdit>

#include "app/frmMain.h"

void frmMain::txtIP_KeyPress(qint16 &KeyAscii)
{
    if (KeyAscii == Code::KeyReturn) {
        KeyAscii = 0;
        cmdConnect_Click();
    }
}

// Enter in the port field connects, the same as in the address field.
void frmMain::txtPort_KeyPress(qint16 &KeyAscii)
{
    txtIP_KeyPress(KeyAscii);
}

void frmMain::txtIP_LostFocus()
{
    txtIP->setSelection(0, int(txtIP->text().size()));
}

void frmMain::txtPort_LostFocus()
{
    txtPort->setSelection(0, int(txtPort->text().size()));
}

void frmMain::txtPort_MouseMove(qint16 Button, qint16 Shift, float X, float Y)
{
    Q_UNUSED(Shift);
    Q_UNUSED(X);
    Q_UNUSED(Y);
    if (Button == Code::RightButton)
        Tk().PopupMenu(mnuPopup, mnuPopupSniff);
}
