#pragma once
// Peers on plain blocking descriptors, run on threads of their own: unlike Qt's
// sockets they can half-close, reset and read slowly, as real clients and
// servers do. Every wait is bounded.
#include <QByteArray>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace raw
{

// A listener on [::1] (IPv6 only) or 127.0.0.1 at `port` (0: any); -1 when taken.
inline int listenOn(bool v6, quint16 port)
{
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage a{};
    socklen_t len;
    if (v6) {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&a);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        a6->sin6_port = htons(port);
        len = sizeof *a6;
    } else {
        auto *a4 = reinterpret_cast<sockaddr_in *>(&a);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a4->sin_port = htons(port);
        len = sizeof *a4;
    }
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline quint16 portOf(int fd)
{
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port
                                         : reinterpret_cast<sockaddr_in *>(&a)->sin_port);
}

inline bool readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

inline int acceptOne(int listener, int timeoutMs = 10000)
{
    return readable(listener, timeoutMs) ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
}

inline int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline bool writeAll(int fd, const QByteArray &data)
{
    for (qsizetype done = 0; done < data.size();) {
        const ssize_t n = ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

struct Received {
    QByteArray data;
    bool ended = false; // the peer's end (or a reset) was seen
    qint64 endMs = -1;  // when, counted from the first byte
};

// Reads until the peer's end, a reset, or `timeoutMs` without data; optionally at
// most `bytesPerSecond`.
inline Received readAll(int fd, int timeoutMs = 10000, qint64 bytesPerSecond = 0)
{
    Received r;
    QElapsedTimer clock;
    char buf[65536];
    while (readable(fd, timeoutMs)) {
        const size_t want =
            bytesPerSecond ? size_t(qMin<qint64>(sizeof buf, bytesPerSecond / 100)) : sizeof buf;
        const ssize_t n = ::recv(fd, buf, want, 0);
        if (n <= 0) {
            r.ended = true;
            r.endMs = clock.isValid() ? clock.elapsed() : 0;
            break;
        }
        if (!clock.isValid())
            clock.start();
        r.data.append(buf, n);
        if (bytesPerSecond)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return r;
}

inline QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32 *>(b.data()), size / 4);
    return b;
}

template <class T> bool ready(const std::future<T> &f)
{
    return f.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
}

} // namespace raw
