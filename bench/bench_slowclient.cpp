// A server floods the relay while its local client reads slowly: the program's
// memory over time, against what the log pane holds, then the rest at full speed.
//   bench_slowclient [MiB the server sends, default 1024] [client KiB/s, default 4096] [slow seconds, default
//   10]
#include <QLineEdit>
#include <QRandomGenerator>

#include "BenchSupport.h"
#include "platform/LogPane.h"

namespace
{
constexpr qint64 MiB = 1024 * 1024;
}

int main(int argc, char **argv)
{
    TimedApp app(argc, argv);
    const qint64 total = (argc > 1 ? std::atoll(argv[1]) : 1024) * MiB;
    const qint64 rate = (argc > 2 ? std::atoll(argv[2]) : 4096) * 1024;
    const int slowSeconds = argc > 3 ? std::atoi(argv[3]) : 10;
    QByteArray pattern(MiB + 7, Qt::Uninitialized); // not a divisor of the chunk sizes
    QRandomGenerator(11).fillRange(reinterpret_cast<quint32 *>(pattern.data()), pattern.size() / 4);

    quint16 port = 0;
    const int lfd = relayServerListen(&port);
    frmMain w(std::make_unique<BenchToolkit>());
    showWithRelay(w, port);
    app.processEvents();
    const double rss0 = rssMiB();

    std::thread server([&] {
        const int fd = ::accept(lfd, nullptr, nullptr);
        sendAll(fd, pattern, total);
        ::close(fd);
    });
    std::atomic<qint64> received{0};
    std::atomic<bool> exact{true}, done{false};
    std::thread client([&] {
        const int fd = tcpConnect(port);
        static char buf[65536];
        const auto t0 = std::chrono::steady_clock::now();
        while (received < total) {
            const double elapsed = seconds(t0, std::chrono::steady_clock::now());
            const bool slow = elapsed < slowSeconds;
            // Slowly: never more than the rate allows so far.
            const qint64 allowed = slow ? qint64(rate * elapsed) - received : qint64(sizeof buf);
            if (allowed <= 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            const ssize_t r = ::recv(fd, buf, size_t(std::min<qint64>(sizeof buf, allowed)), 0);
            if (r <= 0)
                break;
            for (ssize_t i = 0; i < r && exact; i += 4096) { // spot checks, in order
                const qint64 at = received + i;
                if (buf[i] != pattern[at % pattern.size()])
                    exact = false;
            }
            received += r;
        }
        ::close(fd);
        done = true;
    });

    std::printf("server sends %lld MiB, client reads %lld KiB/s for %d s, then at full speed\n", total / MiB,
                rate / 1024, slowSeconds);
    std::printf("  time    RSS growth   log pane   client has\n");
    double worstExcess = 0;
    QElapsedTimer clock;
    clock.start();
    QTimer sample;
    qint64 nextPrint = 0;
    QObject::connect(&sample, &QTimer::timeout, &app, [&] {
        const double growth = rssMiB() - rss0;
        const double log = w.txtRx->TextLength() / double(MiB);
        worstExcess = std::max(worstExcess, growth - log);
        if (clock.elapsed() >= nextPrint) {
            std::printf("%5.1f s %9.1f MiB %8.1f MiB %8.1f MiB\n", clock.elapsed() / 1000.0, growth, log,
                        received / double(MiB));
            std::fflush(stdout);
            nextPrint += 1000;
        }
        if (done || clock.elapsed() > 600000)
            app.quit();
    });
    sample.start(100);
    app.exec();
    server.join();
    client.join();
    ::close(lfd);
    std::printf(
        "client received %lld of %lld MiB, %s; worst RSS growth beyond the log pane %.1f MiB (bound 64)\n",
        received / MiB, total / MiB, received == total && exact ? "exact and in order" : "NOT EXACT",
        worstExcess);
    return 0;
}
