// Soak: many short sessions through the window, as a long day of use makes them.
// Open descriptors and memory are printed before and after each phase; run it in
// the sanitizer build with leak checking on to see that nothing leaks.
//   bench_soak [connect/close cycles, default 10000] [auto listen cycles, 2000] [relay set-ups, 500]
#include <QAction>
#include <QDir>
#include <QLineEdit>
#include <functional>

#include "BenchSupport.h"
#include "platform/LogPane.h"

namespace
{
int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System).size());
}

// Runs the event loop until `done` holds or 10 s have passed.
bool waitFor(const std::function<bool()> &done)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > 10000)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

struct Phase {
    const char *name;
    int fds;
    double rss;
    explicit Phase(const char *name) : name(name), fds(openDescriptors()), rss(rssMiB()) {}
    void report(int cycles, int failed)
    {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        std::printf("%-34s %6d cycles, %d failed: descriptors %d -> %d, RSS %.1f -> %.1f MiB\n", name, cycles,
                    failed, fds, openDescriptors(), rss, rssMiB());
        std::fflush(stdout);
    }
};
} // namespace

int main(int argc, char **argv)
{
    TimedApp app(argc, argv);
    const int connects = argc > 1 ? std::atoi(argv[1]) : 10000;
    const int listens = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int relays = argc > 3 ? std::atoi(argv[3]) : 500;
    frmMain w(std::make_unique<BenchToolkit>());
    w.Form_Load();

    // 1. Connect and close, every other time by name and closed while the name is looked up.
    {
        quint16 port = 0;
        const int lfd = tcpListen(false, 0, &port);
        std::atomic<bool> stop{false};
        std::thread acceptor([&] {
            while (!stop) {
                const int fd = ::accept(lfd, nullptr, nullptr);
                if (fd >= 0)
                    ::close(fd);
            }
        });
        w.txtPort->setText(QString::number(port));
        int connected = 0;
        QObject phaseScope; // the counter goes with this phase
        QObject::connect(w.Sock, &NetSocket::OnConnect, &phaseScope, [&] { ++connected; });
        Phase phase("connect/close");
        int failed = 0;
        for (int i = 0; i < connects; ++i) {
            const bool byName = i % 2;
            w.txtIP->setText(byName ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1"));
            w.cmdConnect_Click();
            // The peer closes at once: the connect event is what tells.
            if (!byName && !waitFor([&] { return connected > i / 2; }))
                ++failed;
            w.cmdClose_Click();
            if (i % 64 == 0)
                app.processEvents();
        }
        phase.report(connects, failed);
        stop = true;
        const int wake = tcpConnect(port);
        ::close(wake);
        acceptor.join();
        ::close(lfd);
    }

    // 2. Auto Listen: a peer connects and leaves, the window listens again.
    {
        quint16 port = 0;
        const int probe = tcpListen(false, 0, &port);
        ::close(probe);
        w.txtPort->setText(QString::number(port));
        w.mnuListenAuto_Click(); // checks it and listens
        Phase phase("auto listen accept/peer close");
        int failed = 0;
        for (int i = 0; i < listens; ++i) {
            int fd = -1;
            if (!waitFor([&] { return w.Sock->State() == NetSocket::Listening; }) ||
                (fd = tcpConnect(port)) < 0) {
                ++failed;
                continue;
            }
            if (!waitFor([&] { return w.Sock->State() == NetSocket::Connected; }))
                ++failed;
            ::close(fd);
            if (!waitFor([&] { return w.Sock->State() == NetSocket::Listening; }))
                ++failed;
        }
        phase.report(listens, failed);
        w.cmdClose_Click();
    }

    // 3. Relay set-ups with a client that sends a line and leaves.
    {
        quint16 port = 0;
        const int lfd = relayServerListen(&port);
        std::atomic<bool> stop{false};
        std::atomic<int> served{0};
        std::thread server([&] {
            while (!stop) {
                const int fd = ::accept(lfd, nullptr, nullptr);
                if (fd < 0)
                    continue;
                char buf[256];
                while (::recv(fd, buf, sizeof buf, 0) > 0) {
                }
                ::close(fd);
                ++served;
            }
        });
        w.txtIP->setText(QStringLiteral("::1"));
        w.txtPort->setText(QString::number(port));
        Phase phase("relay set-up, client sends, leaves");
        int failed = 0;
        for (int i = 0; i < relays; ++i) {
            w.mnuPopupSniff_Click();
            const int fd = tcpConnect(port);
            ::send(fd, "GET / HTTP/1.0\r\n\r\n", 18, MSG_NOSIGNAL);
            ::close(fd);
            if (!waitFor([&] { return !w.RelayActive && served == i + 1; }))
                ++failed;
            w.txtRx_DblClick();
        }
        phase.report(relays, failed);
        stop = true;
        w.cmdClose_Click();
        if (const int wake = tcpConnect(port, true); wake >= 0) // the server's accept returns
            ::close(wake);
        server.join();
        ::close(lfd);
    }
    return 0;
}
