// Heap allocations per MiB received once the log pane's ring is full: a peer
// floods the session socket (text lines with "Use CR/LF", binary), then two
// streams go through the relay. The C library's allocator is wrapped in this
// binary, so every malloc, calloc, realloc and aligned allocation is counted.
//   bench_alloc [MiB counted per case, default 256]
#include <QCheckBox>
#include <QLineEdit>
#include <malloc.h>

#include "BenchSupport.h"
#include "platform/LogPane.h"

extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void *__libc_memalign(size_t, size_t);
}

namespace
{
std::atomic<long> allocations{0}, inSocketEvents{0};
std::atomic<bool> counting{false};
thread_local bool peerThread = false; // the benchmark's own peers are not counted
bool socketEvent = false;             // a socket notification is being handled

void counted()
{
    if (counting.load(std::memory_order_relaxed) && !peerThread) {
        allocations.fetch_add(1, std::memory_order_relaxed);
        if (socketEvent)
            inSocketEvents.fetch_add(1, std::memory_order_relaxed);
    }
}

// Tells the allocations of the receive path (everything done inside a socket
// notification) from those of painting and timers.
class CountingApp : public TimedApp
{
public:
    using TimedApp::TimedApp;
    bool notify(QObject *receiver, QEvent *event) override
    {
        if (event->type() != QEvent::SockAct)
            return TimedApp::notify(receiver, event);
        const bool outer = !socketEvent;
        socketEvent = true;
        const bool r = TimedApp::notify(receiver, event);
        if (outer)
            socketEvent = false;
        return r;
    }
};
} // namespace

extern "C" {
void *malloc(size_t n)
{
    counted();
    return __libc_malloc(n);
}
void *calloc(size_t n, size_t m)
{
    counted();
    return __libc_calloc(n, m);
}
void *realloc(void *p, size_t n)
{
    counted();
    return __libc_realloc(p, n);
}
void *memalign(size_t a, size_t n)
{
    counted();
    return __libc_memalign(a, n);
}
int posix_memalign(void **out, size_t a, size_t n)
{
    counted();
    *out = __libc_memalign(a, n);
    return *out ? 0 : 12;
}
void *aligned_alloc(size_t a, size_t n)
{
    counted();
    return __libc_memalign(a, n);
}
}

namespace
{
constexpr qint64 MiB = 1024 * 1024;

struct Counts {
    double all, receiving; // per MiB
};

// Runs the loop until `received` has counted `warmup` bytes, then counts the
// allocations made while the next `measured` bytes arrive.
Counts perMiB(QApplication &app, const std::atomic<qint64> &received, qint64 warmup, qint64 measured)
{
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if (!counting && received >= warmup) {
            allocations = 0;
            inSocketEvents = 0;
            counting = true;
        }
        if (received >= warmup + measured)
            app.quit();
    });
    poll.start(1);
    app.exec();
    counting = false;
    return {allocations / double(measured / MiB), inSocketEvents / double(measured / MiB)};
}

QByteArray textLines()
{
    QByteArray b;
    while (b.size() < MiB)
        b += "The quick brown fox jumps over the lazy dog, line after line....\n";
    return b;
}
} // namespace

int main(int argc, char **argv)
{
    CountingApp app(argc, argv);
    const qint64 measured = (argc > 1 ? std::atoll(argv[1]) : 256) * MiB;
    const qint64 warmup = 160 * MiB; // past the log pane's 128 MiB ring
    QByteArray binary(MiB, Qt::Uninitialized);
    for (qsizetype i = 0; i < binary.size(); ++i)
        binary[i] = char((i * 7 + 3) % 251 + 1); // no LF, no NUL

    std::printf("heap allocations per MiB received, after %lld MiB of warm-up:\n", warmup / MiB);
    std::printf("  %-40s %10s %10s\n", "", "receiving", "in all");
    for (const bool text : {true, false}) {
        quint16 port = 0;
        const int lfd = tcpListen(false, 0, &port);
        const QByteArray pattern = text ? textLines() : binary;
        std::thread peer([&] {
            peerThread = true;
            const int fd = ::accept(lfd, nullptr, nullptr);
            sendAll(fd, pattern, warmup + measured + 4 * MiB);
            ::close(fd);
        });
        frmMain w(std::make_unique<BenchToolkit>());
        w.Form_Load();
        w.show();
        std::atomic<qint64> received{0};
        QObject::connect(w.Sock, &NetSocket::DataArrival, &w, [&](qint64 n) { received += n; });
        w.txtPort->setText(QString::number(port));
        w.cmdConnect_Click();
        const Counts c = perMiB(app, received, warmup, measured);
        std::printf("  %-40s %10.2f %10.2f\n",
                    text ? "session, text lines, Use CR/LF" : "session, binary, no line breaks", c.receiving,
                    c.all);
        w.cmdClose_Click();
        peer.join();
        ::close(lfd);
    }

    // The relay, both ways at once.
    {
        quint16 port = 0;
        const int lfd = relayServerListen(&port);
        const qint64 each = warmup / 2 + measured / 2 + 4 * MiB;
        const QByteArray pattern = textLines();
        const auto duplex = [&](int fd) {
            peerThread = true;
            std::thread writer([&, fd] {
                peerThread = true;
                sendAll(fd, pattern, each);
            });
            readAll(fd, each);
            writer.join();
            ::close(fd);
        };
        std::thread server([&] { duplex(::accept(lfd, nullptr, nullptr)); });
        frmMain w(std::make_unique<BenchToolkit>());
        showWithRelay(w, port);
        std::atomic<qint64> received{0};
        QObject::connect(w.Sock, &NetSocket::DataArrival, &w, [&](qint64 n) { received += n; });
        QObject::connect(w.Sniff, &NetSocket::DataArrival, &w, [&](qint64 n) { received += n; });
        std::thread client([&] { duplex(tcpConnect(port)); });
        const Counts c = perMiB(app, received, warmup, measured);
        std::printf("  %-40s %10.2f %10.2f\n", "relay, both ways", c.receiving, c.all);
        std::printf("(receiving: inside socket notifications; the rest is painting and timers)\n");
        w.cmdClose_Click();
        client.join();
        server.join();
        ::close(lfd);
    }
    return 0;
}
