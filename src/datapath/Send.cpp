#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "app/frmMain.h"
#include "platform/LogPane.h"
#include "platform/NetSocket.h"

namespace
{
// HistoryPos is 16-bit: the history keeps this many lines besides the new-line slot.
constexpr qsizetype MaxHistory = 32767;
const QString CrLf = QStringLiteral("\r\n");
} // namespace

void frmMain::cmdSend_Click()
{
    try {
        if (RelayActive && RelayClientEnded) {
            // The client's end has been passed on to the server, which can therefore no
            // longer be sent to; the leg stays open for the server's answer.
            Tk().MsgBox(
                QStringLiteral("Nothing was sent: the relay's local client has ended its sending, and "
                               "that end has been passed on to %1.")
                        .arg(Sock->RemoteHostIP()) +
                    CrLf + QStringLiteral("The server's answer still reaches the client."),
                Toolkit::Exclamation, Toolkit::OkOnly, QStringLiteral("Connect error..."));
            return;
        }
        const QString line = txtTx->text();
        if (!line.isEmpty()) {
            if (SentLines.size() - 1 >= MaxHistory)
                SentLines.removeFirst(); // the oldest line makes room
            SentLines.last() = line;
            SentLines.append(QString());
        }
        HistoryPos = qint16(SentLines.size() - 1);
        QByteArray out = line.toUtf8(); // typed text goes out as UTF-8
        if (cCrLf->isChecked())
            out += "\r\n";
        Sock->SendData(out);
        LogIt(out, true, false, LogStore::Sent); // in the relay, towards its server
        txtTx->clear();
    } catch (const Failure &f) {
        Tk().MsgBox(QStringLiteral("Connect error: %1\r\n").arg(f.Number) + f.Description,
                    Toolkit::Exclamation, Toolkit::OkOnly, QStringLiteral("Connect error..."));
        Sock->Close();
    }
}

void frmMain::txtTx_KeyPress(qint16 &KeyAscii)
{
    if (KeyAscii == Code::KeyReturn && cmdSend->isEnabled()) {
        KeyAscii = 0;
        cmdSend_Click();
    }
}

void frmMain::txtTx_KeyUp(qint16 KeyCode, qint16 Shift)
{
    Q_UNUSED(Shift);
    const qint16 last = qint16(SentLines.size() - 1);
    qint16 next = HistoryPos;
    if (KeyCode == Code::KeyUp && HistoryPos > 0)
        next = HistoryPos - 1;
    else if (KeyCode == Code::KeyDown && HistoryPos < last)
        next = HistoryPos + 1;
    if (next == HistoryPos)
        return;
    SentLines[HistoryPos] = txtTx->text();
    HistoryPos = next;
    txtTx->setText(SentLines[HistoryPos]);
    txtTx->setSelection(0, int(txtTx->text().size()));
}

void frmMain::txtTx_DblClick()
{
    txtRx->SetSelColor(Bgr::Green);
}
