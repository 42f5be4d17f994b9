#include "frmMain.h"

#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <limits>

#include "platform/LogPane.h"
#include "platform/NetSocket.h"
#include "platform/Twips.h"

QIcon WirebenchIcon();

namespace
{
// Height of one line of the dialog font, in twips.
constexpr float LabelHeight = 195;

template <class W> W *makeControl(QWidget *parent, const char *name, QRectF twips, const QString &tip)
{
    auto *w = new W(parent);
    w->setObjectName(QLatin1String(name));
    if (!tip.isEmpty())
        w->setToolTip(tip);
    Twips::SetRect(w, twips);
    return w;
}
} // namespace

frmMain::frmMain(std::unique_ptr<Toolkit> toolkit, QWidget *parent)
    : QWidget(parent), m_toolkit(toolkit ? std::move(toolkit) : std::make_unique<QtToolkit>())
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("Wirebench"));
    setWindowIcon(WirebenchIcon());
    CreateControls();
    WireEvents();
}

frmMain::~frmMain() = default;

void frmMain::CreateControls()
{
    // The dialog font for every control; the log pane and the send box use a
    // fixed-pitch font of their own. Arial's metrics (Liberation Sans) keep the
    // captions inside the fixed control sizes; any sans-serif font serves otherwise.
    QFont dialogFont;
    dialogFont.setFamilies(
        {QStringLiteral("Liberation Sans"), QStringLiteral("Arial"), QStringLiteral("Sans Serif")});
    dialogFont.setStyleHint(QFont::SansSerif);
    dialogFont.setPointSizeF(8.25);
    dialogFont.setWeight(QFont::Normal);
    setFont(dialogFont);
    QFont fixedFont(QStringLiteral("Courier"));
    fixedFont.setStyleHint(QFont::TypeWriter);
    fixedFont.setFixedPitch(true);
    fixedFont.setPointSizeF(9.75);
    fixedFont.setWeight(QFont::Bold);

    // Client area at creation: 7005 x 4200 twips.
    resize(int(7005 / Twips::PerPixel), int(4200 / Twips::PerPixel));

    // Created in tab order.
    txtIP = makeControl<QLineEdit>(this, "txtIP", {720, 105, 1260, 315},
                                   QStringLiteral("The internet address you want to connect to."));
    txtIP->setText(QStringLiteral("127.0.0.1"));
    txtIP->setAccessibleName(QStringLiteral("Address"));
    txtPort = makeControl<QLineEdit>(this, "txtPort", {1980, 105, 660, 315},
                                     QStringLiteral("The port to connect to."));
    txtPort->setText(QStringLiteral("80"));
    txtPort->setAccessibleName(QStringLiteral("Port"));
    ComboType = makeControl<QComboBox>(this, "ComboType", {2625, 105, 750, 315},
                                       QStringLiteral("The connection protocol used."));
    ComboType->addItems({QStringLiteral("TCP"), QStringLiteral("UDP"), QStringLiteral("TLS")});
    ComboType->setCurrentIndex(-1); // no item chosen until the window loads
    ComboType->setAccessibleName(QStringLiteral("Protocol"));
    cmdConnect = makeControl<QPushButton>(this, "cmdConnect", {3360, 105, 855, 315},
                                          QStringLiteral("Start the connection."));
    cmdConnect->setText(QStringLiteral("&Connect"));
    cmdClose = makeControl<QPushButton>(this, "cmdClose", {4200, 105, 855, 315},
                                        QStringLiteral("Close the connection."));
    cmdClose->setText(QStringLiteral("C&lose"));
    cmdListen = makeControl<QPushButton>(this, "cmdListen", {5040, 105, 855, 315},
                                         QStringLiteral("Listen for a connection."));
    cmdListen->setText(QStringLiteral("L&isten"));
    cmdAbout = makeControl<QPushButton>(this, "cmdAbout", {5985, 105, 855, 315},
                                        QStringLiteral("About this program."));
    cmdAbout->setText(QStringLiteral("A&bout"));
    txtRx = makeControl<LogPane>(this, "txtRx", {90, 510, 6830, 3125}, QString());
    txtRx->setFont(fixedFont);
    txtRx->setAccessibleName(QStringLiteral("Log"));
    txtTx = makeControl<QLineEdit>(this, "txtTx", {90, 3675, 6135, 300}, QStringLiteral("Text to send."));
    txtTx->setFont(fixedFont);
    txtTx->setAccessibleName(QStringLiteral("Text to send"));
    // A pasted line is sent whole, however long: no cut at the line edit's usual 32,767.
    txtTx->setMaxLength(std::numeric_limits<int>::max());
    cmdSend =
        makeControl<QPushButton>(this, "cmdSend", {6300, 3675, 700, 300}, QStringLiteral("Send the text."));
    cmdSend->setText(QStringLiteral("&Send"));
    cmdSend->setEnabled(false);
    cCrLf = makeControl<QCheckBox>(this, "cCrLf", {5715, 3990, 1110, 225}, QString());
    cCrLf->setText(QStringLiteral("Use CR/LF"));
    cCrLf->setChecked(true);
    Label1 = makeControl<QLabel>(this, "Label1", {90, 140, 615, 195}, QString());
    Label1->setText(QStringLiteral("Address:"));
    Label1->setBuddy(txtIP);
    Twips::AutoSizeLabel(Label1, LabelHeight);
    LblStats = makeControl<QLabel>(this, "LblStats", {90, 4005, 1125, 195},
                                   QStringLiteral("The connection status."));
    LblStats->setText(QStringLiteral("Default. Closed."));
    LblStats->setAccessibleName(LblStats->text());
    LblStats->setAccessibleDescription(QStringLiteral("Connection status"));
    Twips::AutoSizeLabel(LblStats, LabelHeight);

    const QList<QWidget *> tabOrder{txtIP,    txtPort, ComboType, cmdConnect, cmdClose, cmdListen,
                                    cmdAbout, txtRx,   txtTx,     cmdSend,    cCrLf};
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);

    TimerStat = new QTimer(this);
    TimerStat->setObjectName(QStringLiteral("TimerStat"));
    TimerStat->setInterval(100);
    TimerRelayEnd = new QTimer(this);
    TimerRelayEnd->setObjectName(QStringLiteral("TimerRelayEnd"));
    TimerRelayEnd->setInterval(500);
    TimerRelayEnd->setSingleShot(true);
    Sock = new NetSocket(this);
    Sock->setObjectName(QStringLiteral("Sock"));
    Sniff = new NetSocket(this);
    Sniff->setObjectName(QStringLiteral("Sniff"));

    // Hidden menus, shown only as popups.
    mnuPopup = new QMenu(QStringLiteral("mnuPopup"), this);
    mnuPopup->setObjectName(QStringLiteral("mnuPopup"));
    mnuPopupSniff = mnuPopup->addAction(QStringLiteral("Sniffer..."));
    mnuPopupSniff->setObjectName(QStringLiteral("mnuPopupSniff"));
    mnuPopupBind = mnuPopup->addAction(QStringLiteral("Bind to IP..."));
    mnuPopupBind->setObjectName(QStringLiteral("mnuPopupBind"));
    mnuPopupStartTls = mnuPopup->addAction(QStringLiteral("Start TLS"));
    mnuPopupStartTls->setObjectName(QStringLiteral("mnuPopupStartTls"));
    mnuListen = new QMenu(QStringLiteral("mnuListen"), this);
    mnuListen->setObjectName(QStringLiteral("mnuListen"));
    mnuListenAuto = mnuListen->addAction(QStringLiteral("Auto Listen"));
    mnuListenAuto->setObjectName(QStringLiteral("mnuListenAuto"));
    mnuListenAuto->setCheckable(true);
    mnuListenAuto->setChecked(false);

    // The fields show no context menu of their own: the right button is ours.
    txtIP->setContextMenuPolicy(Qt::NoContextMenu);
    txtPort->setContextMenuPolicy(Qt::NoContextMenu);
    for (QObject *o :
         {static_cast<QObject *>(txtIP), static_cast<QObject *>(txtPort), static_cast<QObject *>(txtTx),
          static_cast<QObject *>(cmdConnect), static_cast<QObject *>(cmdListen)})
        o->installEventFilter(this);

    TimerStat->start();
}

void frmMain::WireEvents()
{
    connect(cmdConnect, &QPushButton::clicked, this, [this] { Guard([this] { cmdConnect_Click(); }); });
    connect(cmdClose, &QPushButton::clicked, this, [this] { Guard([this] { cmdClose_Click(); }); });
    connect(cmdListen, &QPushButton::clicked, this, [this] { Guard([this] { cmdListen_Click(); }); });
    connect(cmdAbout, &QPushButton::clicked, this, [this] { Guard([this] { cmdAbout_Click(); }); });
    connect(cmdSend, &QPushButton::clicked, this, [this] { Guard([this] { cmdSend_Click(); }); });
    connect(ComboType, &QComboBox::currentIndexChanged, this,
            [this] { Guard([this] { ComboType_Click(); }); });
    connect(TimerStat, &QTimer::timeout, this, [this] { Guard([this] { TimerStat_Timer(); }); });
    connect(TimerRelayEnd, &QTimer::timeout, this, [this] { Guard([this] { TimerRelayEnd_Timer(); }); });
    connect(txtRx, &LogPane::Changed, this, [this] { Guard([this] { txtRx_Change(); }); });
    connect(txtRx, &LogPane::DoubleClicked, this, [this] { Guard([this] { txtRx_DblClick(); }); });
    connect(txtRx, &LogPane::SaveAsRequested, this, [this] { Guard([this] { txtRx_SaveAs(); }); });
    connect(txtRx, &LogPane::MenuRequested, this,
            [this](QMenu *menu, bool byKeyboard) { Guard([&] { txtRx_Menu(menu, byKeyboard); }); });
    connect(txtRx, &LogPane::SaveFinished, this, [this](const QString &path, const QString &error) {
        Guard([&] { txtRx_SaveFinished(path, error); });
    });

    connect(Sock, &NetSocket::OnConnect, this, [this] { Guard([this] { Sock_Connect(); }); });
    connect(Sock, &NetSocket::CertificateProblem, this,
            [this](const QString &host, const QString &problems, const QString &details, bool *accept) {
                Guard([&] { Sock_CertificateProblem(host, problems, details, *accept); });
            });
    connect(Sock, &NetSocket::OnClose, this, [this] {
        Guard([this] {
            if (!RelayServerEnded())
                Sock_Close();
        });
    });
    // Queued data was written: the relay may read again.
    connect(Sock, &NetSocket::SendProgress, this, [this] { Guard([this] { RelayThrottle(); }); });
    connect(Sock, &NetSocket::ConnectionRequest, this,
            [this](qint32 id) { Guard([&] { Sock_ConnectionRequest(id); }); });
    connect(Sock, &NetSocket::DataArrival, this, [this](qint64 n) { Guard([&] { Sock_DataArrival(n); }); });
    connect(Sock, &NetSocket::OnError, this,
            [this](qint16 number, const QString &description, qint32 scode, const QString &source,
                   const QString &helpFile, qint32 helpContext, bool *cancel) {
                Guard(
                    [&] { Sock_Error(number, description, scode, source, helpFile, helpContext, *cancel); });
            });
    connect(Sniff, &NetSocket::ConnectionRequest, this,
            [this](qint32 id) { Guard([&] { Sniff_ConnectionRequest(id); }); });
    connect(Sniff, &NetSocket::DataArrival, this, [this](qint64 n) { Guard([&] { Sniff_DataArrival(n); }); });
    connect(Sniff, &NetSocket::OnClose, this, [this] { Guard([this] { Sniff_Close(); }); });
    connect(Sniff, &NetSocket::OnConnect, this, [this] { Guard([this] { Sniff_Connect(); }); });
    connect(Sniff, &NetSocket::ClientHello, this, [this](const QString &name, const QByteArray &alpn) {
        Guard([&] { Sniff_ClientHello(name, alpn); });
    });
    connect(Sniff, &NetSocket::SendProgress, this, [this] { Guard([this] { RelayThrottle(); }); });
    connect(Sniff, &NetSocket::OnError, this,
            [this](qint16 number, const QString &description, qint32 scode, const QString &source,
                   const QString &helpFile, qint32 helpContext, bool *cancel) {
                Guard(
                    [&] { Sniff_Error(number, description, scode, source, helpFile, helpContext, *cancel); });
            });

    connect(mnuPopupSniff, &QAction::triggered, this, [this] { Guard([this] { mnuPopupSniff_Click(); }); });
    connect(mnuPopupBind, &QAction::triggered, this, [this] { Guard([this] { mnuPopupBind_Click(); }); });
    connect(mnuPopupStartTls, &QAction::triggered, this,
            [this] { Guard([this] { mnuPopupStartTls_Click(); }); });
    connect(mnuPopup, &QMenu::aboutToShow, this, [this] { Guard([this] { mnuPopup_Show(); }); });
    connect(mnuListenAuto, &QAction::triggered, this, [this](bool checked) {
        // The menu has already flipped the check mark; the handler flips it itself.
        mnuListenAuto->setChecked(!checked);
        Guard([this] { mnuListenAuto_Click(); });
    });
}

void frmMain::ShowFailure(qint32 number, const QString &description)
{
    Tk().MsgBox(QStringLiteral("Error %1\r\n%2").arg(number).arg(description), Toolkit::Exclamation,
                Toolkit::OkOnly, QStringLiteral("Wirebench"));
}

namespace
{
// Button bits of a mouse event: 1 left, 2 right, 4 middle.
qint16 buttonBits(Qt::MouseButtons b)
{
    return qint16((b & Qt::LeftButton ? Code::LeftButton : 0) |
                  (b & Qt::RightButton ? Code::RightButton : 0) |
                  (b & Qt::MiddleButton ? Code::MiddleButton : 0));
}

qint16 shiftBits(Qt::KeyboardModifiers m)
{
    return qint16((m & Qt::ShiftModifier ? Code::ShiftMask : 0) |
                  (m & Qt::ControlModifier ? Code::CtrlMask : 0) | (m & Qt::AltModifier ? Code::AltMask : 0));
}

// The character code a key press types: KeyReturn for Enter, otherwise the first
// character of its text, 0 when it types nothing.
qint16 keyAscii(const QKeyEvent *e)
{
    if (e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter)
        return Code::KeyReturn;
    const QString t = e->text();
    return t.isEmpty() ? 0 : qint16(t[0].unicode());
}

// Key codes of key-up events: the arrows as KeyLeft..KeyDown, letters and digits as their
// upper-case character, others by their low byte.
qint16 keyCode(const QKeyEvent *e)
{
    switch (e->key()) {
    case Qt::Key_Left: return Code::KeyLeft;
    case Qt::Key_Up: return Code::KeyUp;
    case Qt::Key_Right: return Code::KeyRight;
    case Qt::Key_Down: return Code::KeyDown;
    case Qt::Key_Return:
    case Qt::Key_Enter: return Code::KeyReturn;
    default: return e->key() < 0x100 ? qint16(e->key()) : 0;
    }
}

// The keys that open a control's menu: the Menu key, and Shift+F10 as on keyboards without one.
bool isMenuKey(const QKeyEvent *e)
{
    return e->key() == Qt::Key_Menu || (e->key() == Qt::Key_F10 && e->modifiers() == Qt::ShiftModifier);
}
} // namespace

void frmMain::Control_MenuKey(QWidget *control)
{
    if (control == cmdConnect)
        Tk().PopupMenu(mnuPopup, nullptr, cmdConnect);
    else if (control == cmdListen)
        Tk().PopupMenu(mnuListen, nullptr, cmdListen);
    else if (control == txtPort)
        Tk().PopupMenu(mnuPopup, mnuPopupSniff, txtPort);
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    const bool hasMenu = watched == cmdConnect || watched == cmdListen || watched == txtPort;
    switch (event->type()) {
    case QEvent::ContextMenu:
        // Some platforms turn the Menu key into a context menu event of their own.
        if (hasMenu && static_cast<QContextMenuEvent *>(event)->reason() == QContextMenuEvent::Keyboard) {
            Guard([&] { Control_MenuKey(static_cast<QWidget *>(watched)); });
            return true;
        }
        break;
    case QEvent::KeyPress: {
        auto *e = static_cast<QKeyEvent *>(event);
        if (hasMenu && isMenuKey(e)) {
            Guard([&] { Control_MenuKey(static_cast<QWidget *>(watched)); });
            return true;
        }
        qint16 code = keyAscii(e);
        if (code == 0)
            break;
        if (watched == txtTx)
            Guard([&] { txtTx_KeyPress(code); });
        else if (watched == txtIP)
            Guard([&] { txtIP_KeyPress(code); });
        else if (watched == txtPort)
            Guard([&] { txtPort_KeyPress(code); });
        return code == 0; // a code set to 0 discards the key
    }
    case QEvent::KeyRelease:
        // A held key repeats as press and release pairs: only the real release
        // counts, so holding Up walks the history by one line.
        if (auto *e = static_cast<QKeyEvent *>(event); watched == txtTx && !e->isAutoRepeat())
            Guard([&] { txtTx_KeyUp(keyCode(e), shiftBits(e->modifiers())); });
        break;
    case QEvent::MouseButtonDblClick:
        if (watched == txtTx)
            QMetaObject::invokeMethod(
                this, [this] { Guard([this] { txtTx_DblClick(); }); }, Qt::QueuedConnection);
        break;
    case QEvent::MouseButtonRelease: {
        auto *e = static_cast<QMouseEvent *>(event);
        const QPointF p = e->position() * Twips::PerPixel;
        if (watched == cmdConnect)
            Guard([&] {
                cmdConnect_MouseUp(buttonBits(e->button()), shiftBits(e->modifiers()), p.x(), p.y());
            });
        else if (watched == cmdListen)
            Guard(
                [&] { cmdListen_MouseUp(buttonBits(e->button()), shiftBits(e->modifiers()), p.x(), p.y()); });
        break;
    }
    case QEvent::MouseMove:
        if (watched == txtPort) {
            auto *e = static_cast<QMouseEvent *>(event);
            const QPointF p = e->position() * Twips::PerPixel;
            Guard([&] {
                txtPort_MouseMove(buttonBits(e->buttons()), shiftBits(e->modifiers()), p.x(), p.y());
            });
        }
        break;
    case QEvent::FocusOut:
        // The field clears its selection on leaving; select after it has done so.
        if (watched == txtIP)
            QMetaObject::invokeMethod(
                this, [this] { Guard([this] { txtIP_LostFocus(); }); }, Qt::QueuedConnection);
        else if (watched == txtPort)
            QMetaObject::invokeMethod(
                this, [this] { Guard([this] { txtPort_LostFocus(); }); }, Qt::QueuedConnection);
        break;
    default: break;
    }
    return QWidget::eventFilter(watched, event);
}

void frmMain::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    Guard([this] { Form_Resize(); });
}

void frmMain::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange)
        Guard([this] { Form_Resize(); });
}

void frmMain::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    Guard([this] { Form_Resize(); });
}

void frmMain::closeEvent(QCloseEvent *event)
{
    qint16 cancel = 0;
    Guard([&] { Form_Unload(cancel); });
    if (cancel)
        event->ignore();
    else
        event->accept();
}

void frmMain::Form_Load()
{
    ComboType->setCurrentIndex(0); // runs ComboType_Click
    if (const int tls = ComboType->findText(QStringLiteral("TLS")); ConnectWithTls && tls >= 0)
        ComboType->setCurrentIndex(tls);
    SentLines = QStringList{QString()};
    const QString command = Tk().Command();
    // An argument of one character or none is ignored; characters are counted
    // as code points, so one emoji (a surrogate pair) is one character.
    if (QStringView(command).toUcs4().size() > 1) {
        // The first colon splits address and port; spaces and tabs around each are dropped.
        auto trimSpaces = [](QString s) {
            auto blank = [](QChar c) { return c == u' ' || c == u'\t'; };
            qsizetype b = 0, e = s.size();
            while (b < e && blank(s[b]))
                ++b;
            while (e > b && blank(s[e - 1]))
                --e;
            return s.mid(b, e - b);
        };
        // A bracketed IPv6 address, [::1]:8080, keeps its colons.
        const QString trimmed = trimSpaces(command);
        const qsizetype close = trimmed.startsWith(u'[') ? trimmed.indexOf(u']') : -1;
        if (close > 0 && (close + 1 == trimmed.size() || trimmed[close + 1] == u':')) {
            txtIP->setText(trimmed.mid(1, close - 1));
            if (close + 1 < trimmed.size())
                txtPort->setText(trimSpaces(trimmed.mid(close + 2)));
        } else {
            const qsizetype colon = command.indexOf(u':');
            txtIP->setText(trimSpaces(colon >= 0 ? command.left(colon) : command));
            if (colon >= 0)
                txtPort->setText(trimSpaces(command.mid(colon + 1)));
        }
        cmdConnect_Click();
    }
    txtIP->setSelection(0, int(txtIP->text().size()));
    txtPort->setSelection(0, int(txtPort->text().size()));
}

void frmMain::Form_Unload(qint16 &Cancel)
{
    Q_UNUSED(Cancel);
    Sock->Close();
}
