#include "app/frmMain.h"
#include "platform/LogPane.h"

// NUL is shown as "?", and with CrLf each LF as CR LF. The pane converts as it
// copies the text in, so data is copied once on its way into the log; the
// caller's string gets its NULs replaced in the same pass.
void frmMain::LogIt(QByteArray &Text, bool Highlight, bool CrLf)
{
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Bgr::Blue);
    const unsigned conversion = LogStore::NulToQuestion | (CrLf ? LogStore::LfToCrLf : LogStore::AsIs);
    txtRx->InsertAtCaret(&Text, conversion);
    txtRx->SetCaret(txtRx->TextLength());
    if (Highlight)
        txtRx->SetSelColor(Bgr::Black);
}

// The program's own notices (what TLS agreed on, say) go in as one line of their
// own, in grey.
void frmMain::LogNotice(const QString &Text)
{
    QByteArray line = Text.toUtf8() + "\r\n";
    txtRx->SetCaret(txtRx->TextLength());
    txtRx->SetSelColor(Bgr::Grey);
    txtRx->InsertAtCaret(&line, LogStore::NulToQuestion);
    txtRx->SetCaret(txtRx->TextLength());
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

// The pane's own menu, opened by the right button or from the keyboard.
void frmMain::txtRx_Menu(QMenu *menu, bool byKeyboard)
{
    Tk().PopupMenu(menu, nullptr, byKeyboard ? txtRx : nullptr);
}

// The save has ended; a failure is told, and nothing was left under the name.
void frmMain::txtRx_SaveFinished(const QString &path, const QString &error)
{
    if (!error.isEmpty())
        Tk().MsgBox(QStringLiteral("The log could not be saved to %1:\r\n%2").arg(path, error),
                    Toolkit::Exclamation, Toolkit::OkOnly, QStringLiteral("Save Log As..."));
}
