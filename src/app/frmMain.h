#pragma once
#include <QStringList>
#include <QWidget>
#include <memory>

#include "platform/Failure.h"
#include "platform/Toolkit.h"

class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QTimer;
class LogPane;
class NetSocket;

// The program's one window. Every routine of the program is a method of this
// class; the methods live in the folder of the subsystem they belong to.
// The codes the handlers receive: character and key codes of key events, and the
// bits of mouse buttons and shift keys, named as the handlers compare them.
namespace Code
{
constexpr qint16 KeyReturn = 13; // Enter, as a typed character and as a key
constexpr qint16 KeyLeft = 37, KeyUp = 38, KeyRight = 39, KeyDown = 40;
constexpr qint16 LeftButton = 1, RightButton = 2, MiddleButton = 4;
constexpr qint16 ShiftMask = 1, CtrlMask = 2, AltMask = 4;
} // namespace Code

class frmMain : public QWidget
{
    Q_OBJECT
public:
    // The toolkit seam is owned by the window; tests pass a scripted fake.
    explicit frmMain(std::unique_ptr<Toolkit> toolkit = nullptr, QWidget *parent = nullptr);
    ~frmMain() override;

    Toolkit &Tk() { return *m_toolkit; }

    // Controls (object names are the same as the member names).
    QLineEdit *txtIP;
    QLineEdit *txtPort;
    QComboBox *ComboType;
    QPushButton *cmdConnect;
    QPushButton *cmdClose;
    QPushButton *cmdListen;
    QPushButton *cmdAbout;
    LogPane *txtRx;
    QLineEdit *txtTx;
    QPushButton *cmdSend;
    QCheckBox *cCrLf;
    QLabel *Label1;
    QLabel *LblStats;
    QTimer *TimerStat;
    QTimer *TimerRelayEnd; // ends a relay whose server has ended once its client falls quiet
    NetSocket *Sock;
    NetSocket *Sniff;
    QMenu *mnuPopup;
    QAction *mnuPopupSniff;
    QAction *mnuPopupBind;
    QAction *mnuPopupStartTls;
    QMenu *mnuListen;
    QAction *mnuListenAuto;

    // Module state.
    QStringList SentLines{QString()}; // Form_Load sets it to one empty slot again
    qint16 HistoryPos = 0;
    bool RelayActive = false;
    bool AutoListenArmed = false;
    // The relay has accepted its local client and waits for the server connection.
    bool RelayConnecting = false;
    // Data from the relay's local client held until the server connection is up,
    // and whether the client ended its sending meanwhile.
    QByteArray RelayPending;
    bool RelayClientEnded = false;
    // --tls on the command line: Form_Load chooses "TLS" before it connects.
    bool ConnectWithTls = false;
    // Receive buffers kept from one arrival to the next.
    QByteArray RxData, RelayData;

    // Main window (app/).
    void Form_Load();
    void Form_Resize();
    void LayoutControls(float CW, float CH); // the layout for a client area of CW x CH twips
    void Form_Unload(qint16 &Cancel);
    // The Menu key or Shift+F10 on a control: the menu its right button opens, shown at the control.
    void Control_MenuKey(QWidget *control);
    void cmdAbout_Click();
    QString AboutText() const;
    QString AboutTitle() const;

    // Session control (connection/).
    void cmdConnect_Click();
    void cmdClose_Click();
    void Sock_Connect();
    void Sock_Close();
    void Sock_CertificateProblem(const QString &Host, const QString &Problems, const QString &Details,
                                 bool &Accept);
    void Sock_Error(qint16 Number, const QString &Description, qint32 Scode, const QString &Source,
                    const QString &HelpFile, qint32 HelpContext, bool &CancelDisplay);
    void cmdListen_Click();
    void Sock_ConnectionRequest(qint32 requestID);
    void mnuListenAuto_Click();
    void cmdConnect_MouseUp(qint16 Button, qint16 Shift, float X, float Y);
    void cmdListen_MouseUp(qint16 Button, qint16 Shift, float X, float Y);
    void ComboType_Click();
    void TimerStat_Timer();
    QString StatusText();

    // Data path (datapath/).
    void LogIt(QByteArray &Text, bool Highlight, bool CrLf = false);
    void LogNotice(const QString &Text);
    void txtRx_Change();
    void txtRx_DblClick();
    void txtRx_SaveAs();
    void txtRx_Menu(QMenu *menu, bool byKeyboard);
    void txtRx_SaveFinished(const QString &path, const QString &error);
    void Sock_DataArrival(qint64 bytesTotal);
    void cmdSend_Click();
    void txtTx_KeyPress(qint16 &KeyAscii);
    void txtTx_KeyUp(qint16 KeyCode, qint16 Shift);
    void txtTx_DblClick();
    void txtIP_KeyPress(qint16 &KeyAscii);
    void txtIP_LostFocus();
    void txtPort_KeyPress(qint16 &KeyAscii);
    void txtPort_LostFocus();
    void txtPort_MouseMove(qint16 Button, qint16 Shift, float X, float Y);

    // Relay and local bind (relay/).
    void mnuPopupSniff_Click();
    void Sniff_ConnectionRequest(qint32 requestID);
    void Sniff_DataArrival(qint64 bytesTotal);
    void Sniff_ClientHello(const QString &ServerName, const QByteArray &Alpn);
    void Sniff_Connect();
    void RelayConnect();
    void Sniff_Error(qint16 Number, const QString &Description, qint32 Scode, const QString &Source,
                     const QString &HelpFile, qint32 HelpContext, bool &CancelDisplay);
    void Sniff_Close();
    void mnuPopupBind_Click();
    void mnuPopupStartTls_Click();
    void mnuPopup_Show();
    void RelayConnected();
    void RelayFlush();
    void RelayThrottle();
    bool RelayServerEnded();
    void RelayQuietCheck();
    void RelayForget();
    void TimerRelayEnd_Timer();

    // Runs a handler entered from the event loop: a failure nobody caught is
    // shown in a box and the window carries on.
    template <class F> void Guard(F &&handler);

protected:
    void resizeEvent(QResizeEvent *event) override;
    void changeEvent(QEvent *event) override;
    void showEvent(QShowEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void CreateControls();
    void WireEvents();
    void ShowFailure(qint32 number, const QString &description);

    std::unique_ptr<Toolkit> m_toolkit;
};

template <class F> void frmMain::Guard(F &&handler)
{
    try {
        handler();
    } catch (const Failure &f) {
        ShowFailure(f.Number, f.Description);
    } catch (const std::exception &e) {
        ShowFailure(FailureNo::Unexpected, QString::fromLocal8Bit(e.what()));
    }
}
