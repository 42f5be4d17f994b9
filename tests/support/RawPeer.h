#pragma once
// Peers on plain blocking descriptors, run on threads of their own: unlike Qt's
// sockets they can half-close, reset and read slowly, as real clients and
// servers do. Every wait is bounded.
#include <QByteArray>
#include <QElapsedTimer>
#include <QRandomGenerator>
#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Fixture.h"

namespace raw
{

// A listener on [::1] (IPv6 only) at a port that is free on 127.0.0.1 too, where a
// relay can listen; -1 when none is found.
inline int server(quint16 &port, int backlog = 16)
{
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(port = closedPort());
        if (::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(fd, backlog) == 0)
            return fd;
        ::close(fd);
    }
    return -1;
}

inline bool readable(int fd, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeoutMs) > 0;
}

inline int connectTo(quint16 port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 ? fd : (::close(fd), -1);
}

inline bool writeAll(int fd, const QByteArray &data)
{
    for (qsizetype done = 0, n = 0; done < data.size(); done += n)
        if ((n = ::send(fd, data.constData() + done, size_t(data.size() - done), MSG_NOSIGNAL)) <= 0)
            return false;
    return true;
}

struct Received {
    QByteArray data;
    bool ended = false; // the peer's end (or a reset) was seen
    qint64 endMs = -1;  // when, counted from the first byte
};

// Reads until the peer's end, a reset, `limit` bytes, or `timeoutMs` without data.
inline Received readAll(int fd, int timeoutMs = 10000, qsizetype limit = -1)
{
    Received r;
    QElapsedTimer clock;
    char buf[65536];
    while ((limit < 0 || r.data.size() < limit) && readable(fd, timeoutMs)) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            r.ended = true;
            r.endMs = clock.isValid() ? clock.elapsed() : 0;
            break;
        }
        if (!clock.isValid())
            clock.start();
        r.data.append(buf, n);
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

// A peer on a thread of its own that accepts one connection on `listener` (or connects to
// 127.0.0.1 at `port`), runs `body` on it and closes it.
template <class F> auto accepting(int listener, F body)
{
    return std::async(std::launch::async, [listener, body] {
        const int c = readable(listener, 10000) ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        auto result = body(c);
        ::close(c);
        return result;
    });
}
template <class F> auto connecting(quint16 port, F body)
{
    return std::async(std::launch::async, [port, body] {
        const int c = connectTo(port);
        auto result = body(c);
        ::close(c);
        return result;
    });
}

} // namespace raw
