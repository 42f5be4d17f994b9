#pragma once
#include <QDir>
#include <QLineEdit>
#include <QTcpServer>
#include <memory>

#include "FakeToolkit.h"
#include "app/frmMain.h"

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
    const quint16 p = s.serverPort();
    s.close();
    return p;
}
