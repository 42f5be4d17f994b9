#pragma once
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <functional>
#include <memory>

#include "app/frmMain.h"
#include "platform/NetSocket.h"
#include "platform/Toolkit.h"

// A scripted toolkit: records every box and popup, answers from a script, and never blocks.
class FakeToolkit : public Toolkit
{
public:
    struct Box {
        QString text;
        Icon icon;
        Buttons buttons;
        QString title;
    };
    struct Popup {
        QString menu, defaultItem;
        QString control;   // the control it shows at, when opened from the keyboard
        QStringList items; // "text" or "text<TAB>shortcut", as the menu shows them
    };

    Answer MsgBox(const QString &text, Icon icon, Buttons buttons, const QString &title) override;
    void PopupMenu(QMenu *menu, QAction *defaultItem, QWidget *control) override;
    QString Command() const override { return command; }
    Version AppVersion() const override;
    QString SaveFileName(const QString &) override { return saveAs; }

    QList<Box> boxes;
    QList<Popup> popups;
    QList<Answer> answers; // answers for Yes/No boxes, in order; Yes when empty
    QString command;
    QString saveAs;                         // what the save dialog answers; empty: cancelled
    std::function<void(const Box &)> onBox; // runs while a box is "open"
    std::function<void(QMenu *)> onPopup;   // runs while a menu is "open": may trigger an item
};

// A window with a scripted toolkit, loaded as at start-up.
struct Window {
    FakeToolkit *tk;
    std::unique_ptr<frmMain> w;
    frmMain *operator->() const { return w.get(); }
};

inline Window loadWindow(const QString &command = QString(), bool show = false)
{
    auto *tk = new FakeToolkit;
    tk->command = command;
    Window win{tk, std::make_unique<frmMain>(std::unique_ptr<Toolkit>(tk))};
    win->Guard([&] { win->Form_Load(); });
    if (show)
        win->show();
    return win;
}

// Open file descriptors of this process.
inline int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// A port on 127.0.0.1 that nothing listens on (bound and released at once).
inline quint16 closedPort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// A window connected over TCP to a QTcpSocket peer on loopback.
struct Session {
    Window win;
    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;

    // What the peer receives, until it holds `size` bytes or time runs out.
    QByteArray peerReads(qsizetype size)
    {
        QByteArray got;
        (void)QTest::qWaitFor([&] { return (got += peer->readAll()).size() >= size; }, 5000);
        return got;
    }
};

inline std::unique_ptr<Session> connectedSession(bool show = true)
{
    auto s = std::make_unique<Session>();
    s->win = loadWindow(QString(), show);
    s->server.listen(QHostAddress::LocalHost, 0);
    s->win->txtPort->setText(QString::number(s->server.serverPort()));
    s->win->Guard([&] { s->win->cmdConnect_Click(); });
    if (!QTest::qWaitFor([&] { return s->server.hasPendingConnections() && s->win->cmdSend->isEnabled(); }))
        return nullptr;
    s->peer.reset(s->server.nextPendingConnection());
    s->peer->setParent(nullptr);
    if (show)
        (void)QTest::qWaitForWindowActive(s->win.w.get());
    return s;
}
