#include <QAction>
#include <QLineEdit>
#include <QPushButton>

#include "app/frmMain.h"
#include "platform/NetSocket.h"
#include "platform/Numbers.h"

namespace
{
const QString CrLf = QStringLiteral("\r\n");
}

void frmMain::cmdConnect_Click()
{
    try {
        Sock_Close();
        Sock->SetLocalPort(0);
        const double p = LeadingNumber(txtPort->text());
        if (p > 65535 || p < 1) {
            Tk().MsgBox(QStringLiteral("The port number \"%1\" is invalid.").arg(ShortestNumber(p)) + CrLf +
                            QStringLiteral("Port range must be between 1 and 65,535"),
                        Toolkit::Critical, Toolkit::OkOnly, QStringLiteral("Connect error..."));
            return;
        }
        if (Sock->Protocol() == NetSocket::TCP || Sock->Protocol() == NetSocket::TLS) {
            Sock->Connect(txtIP->text(), p);
        } else if (Sock->Protocol() == NetSocket::UDP) {
            Sock->SetRemoteHost(txtIP->text());
            Sock->SetRemotePort(WholeNumber(txtPort->text()));
            Sock->SendData(QByteArray());
            LogSession(true);
            cmdSend->setEnabled(true);
        }
    } catch (const Failure &f) {
        Tk().MsgBox(QStringLiteral("Connect error: %1").arg(f.Number) + CrLf + f.Description,
                    Toolkit::Exclamation, Toolkit::OkOnly, QStringLiteral("Connect error..."));
        Sock_Close();
    }
}

void frmMain::Sock_Close()
{
    Sock->Close();
    Sniff->Close();
    RelayActive = false;
    RelayForget();
    cmdSend->setEnabled(false);
    if (AutoListenArmed && mnuListenAuto->isChecked())
        cmdListen_Click();
}

void frmMain::cmdClose_Click()
{
    mnuListenAuto->setChecked(false);
    Sock_Close();
}

void frmMain::Sock_Connect()
{
    cmdSend->setEnabled(true);
    txtTx->setFocus();
    // A relay tells both sides' TLS at once, when its client's handshake is done too.
    const QString tls = Sock->TlsSummary();
    if (!tls.isEmpty() && !RelayConnecting)
        LogNotice(QStringLiteral("TLS: ") + tls);
    if (RelayConnecting)
        RelayConnected();
    else
        LogSession(true);
}

// The server's certificate did not check out: the user decides. No ends the attempt
// quietly (the socket closes itself and its close event runs the close routine).
void frmMain::Sock_CertificateProblem(const QString &Host, const QString &Problems, const QString &Details,
                                      bool &Accept)
{
    const QString text = QStringLiteral("The certificate of %1 does not check out: %2.").arg(Host, Problems) +
                         CrLf + CrLf + Details + CrLf + CrLf + QStringLiteral("Connect anyway?");
    Accept = Tk().MsgBox(text, Toolkit::Exclamation, Toolkit::YesNo, QStringLiteral("Certificate problem")) ==
             Toolkit::Yes;
}

void frmMain::Sock_Error(qint16 Number, const QString &Description, qint32 Scode, const QString &Source,
                         const QString &HelpFile, qint32 HelpContext, bool &CancelDisplay)
{
    Q_UNUSED(Scode);
    Q_UNUSED(Source);
    Q_UNUSED(HelpFile);
    Q_UNUSED(HelpContext);
    CancelDisplay = true;
    Sock_Close();
    Tk().MsgBox(QStringLiteral("Error #: %1").arg(Number) + CrLf + Description, Toolkit::Critical,
                Toolkit::OkOnly, QStringLiteral("Error in Connection"));
}
