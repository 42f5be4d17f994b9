#pragma once
// Shared pieces of the benchmarks: a toolkit that never blocks, an application
// that times every event it delivers, a status-tick monitor, memory readings
// and blocking loopback peers that run in threads of their own.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <QLineEdit>
#include <QMenu>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/frmMain.h"
#include "platform/NetSocket.h"
#include "platform/Toolkit.h"

// Answers every box with OK/Yes and prints it, so nothing blocks.
class BenchToolkit : public Toolkit
{
public:
    Answer MsgBox(const QString &text, Icon, Buttons buttons, const QString &title) override
    {
        std::fprintf(stderr, "box: %s: %s\n", qPrintable(title),
                     qPrintable(QString(text).replace("\r\n", " / ")));
        ++boxes;
        return buttons == OkOnly ? Ok : Yes;
    }
    void PopupMenu(QMenu *, QAction *, QWidget *) override {}
    QString SaveFileName(const QString &) override { return QString(); }
    QString Command() const override { return QString(); }
    Version AppVersion() const override { return {1, 2, 62}; }
    int boxes = 0;
};

// Shows the window and sets up its relay towards [::1]:port, confirmed.
inline void showWithRelay(frmMain &w, quint16 port)
{
    w.Form_Load();
    w.show();
    w.txtIP->setText(QStringLiteral("::1"));
    w.txtPort->setText(QString::number(port));
    w.mnuPopupSniff_Click();
}

// Times each top-level event delivery: the longest handler or paint.
class TimedApp : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        if (depth++ > 0) {
            const bool r = QApplication::notify(receiver, event);
            --depth;
            return r;
        }
        QElapsedTimer t;
        t.start();
        const bool r = QApplication::notify(receiver, event);
        const qint64 ns = t.nsecsElapsed();
        if (measuring && ns > longestNs) {
            longestNs = ns;
            longestType = event->type();
        }
        --depth;
        return r;
    }
    int depth = 0;
    bool measuring = false;
    qint64 longestNs = 0;
    int longestType = 0;
};

// The worst gap between two status-line ticks.
struct TickMonitor {
    QElapsedTimer clock;
    qint64 last = -1, worst = 0;
    void attach(frmMain *w)
    {
        clock.start();
        QObject::connect(w->TimerStat, &QTimer::timeout, w, [this] {
            const qint64 now = clock.elapsed();
            if (last >= 0 && now - last > worst)
                worst = now - last;
            last = now;
        });
    }
    void reset() { last = -1, worst = 0; }
};

inline qint64 procStatusKiB(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').first().toLongLong();
    return 0;
}
inline double rssMiB()
{
    return procStatusKiB("VmRSS:") / 1024.0;
}

inline double seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b)
{
    return std::chrono::duration<double>(b - a).count();
}

// A TCP listener on 127.0.0.1 or ::1; returns the socket and fills the port.
inline int tcpListen(bool ipv6, quint16 port, quint16 *bound)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ipv6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return -1;
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        *bound = ntohs(a.sin6_port);
    } else {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(port);
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0)
            return -1;
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
        *bound = ntohs(a.sin_port);
    }
    ::listen(fd, 8);
    return fd;
}

// A server listener on [::1] at a port number that is free on 127.0.0.1 too,
// where the relay listens for its local client.
inline int relayServerListen(quint16 *port)
{
    int fd = -1;
    for (int i = 0; i < 20 && fd < 0; ++i) {
        quint16 probe = 0;
        const int p = tcpListen(false, 0, &probe);
        ::close(p);
        fd = tcpListen(true, probe, port);
    }
    return fd;
}

// A UDP socket bound to 127.0.0.1 on a free port.
inline int udpLoopback(quint16 *port)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// Sends 10-byte datagrams to 127.0.0.1:port as fast as it can for `secs` (or
// until `stop`); returns how many were sent.
inline qint64 udpFlood(quint16 port, double secs, const std::atomic<bool> *stop = nullptr)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const char payload[10] = {'d', 'a', 't', 'a', 'g', 'r', 'a', 'm', '\0', '\n'};
    qint64 sent = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(secs);
    while (!(stop && *stop) && std::chrono::steady_clock::now() < end)
        for (int i = 0; i < 64; ++i)
            sent += ::sendto(fd, payload, sizeof payload, 0, reinterpret_cast<sockaddr *>(&a), sizeof a) > 0;
    ::close(fd);
    return sent;
}

// A blocking connection to 127.0.0.1:port, or to [::1]:port; -1 when refused.
inline int tcpConnect(quint16 port, bool ipv6 = false)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_storage storage{};
    socklen_t len = sizeof(sockaddr_in);
    if (ipv6) {
        auto *a = reinterpret_cast<sockaddr_in6 *>(&storage);
        a->sin6_family = AF_INET6;
        a->sin6_addr = in6addr_loopback;
        a->sin6_port = htons(port);
        len = sizeof(sockaddr_in6);
    } else {
        auto *a = reinterpret_cast<sockaddr_in *>(&storage);
        a->sin_family = AF_INET;
        a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a->sin_port = htons(port);
    }
    if (::connect(fd, reinterpret_cast<sockaddr *>(&storage), len) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Writes `total` bytes taken round-robin from `pattern`.
inline bool sendAll(int fd, const QByteArray &pattern, qint64 total)
{
    qint64 sent = 0;
    while (sent < total) {
        const qint64 off = sent % pattern.size();
        const qint64 n = std::min<qint64>(pattern.size() - off, total - sent);
        const ssize_t w = ::send(fd, pattern.constData() + off, size_t(n), MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        sent += w;
    }
    return true;
}

// Reads until `total` bytes or end of stream; returns the count read.
inline qint64 readAll(int fd, qint64 total, QByteArray *keep = nullptr)
{
    static thread_local char buf[NetSocket::ReadChunk]; // what the window reads at a time too
    qint64 got = 0;
    while (got < total) {
        const ssize_t r = ::recv(fd, buf, sizeof buf, 0);
        if (r <= 0)
            break;
        if (keep)
            keep->append(buf, r);
        got += r;
    }
    return got;
}
