// Relays two simultaneous streams (client to server and back) through the
// window's "Sniffer..." relay, with logging on, and prints the throughput as a
// ratio to the same two streams sent directly in the same run.
//   bench_relay [MiB each way, default 256] [tls]
// With tls, both legs are TLS (TLS 1.3, one cipher) and the direct streams too.
#include <QAction>
#include <QLineEdit>
#include <QRandomGenerator>

#include <algorithm>

#include <QComboBox>
#include <QTemporaryDir>

#include "BenchSupport.h"
#include "TlsBench.h"
#include "platform/LogPane.h"
#include "platform/NetSocket.h"

namespace
{
constexpr qint64 MiB = 1024 * 1024;

// One endpoint: sends `total` bytes while reading `total` bytes from its peer.
// No half-close: the window's sockets, like most peers, take a FIN as the end.
void duplex(int fd, const QByteArray &pattern, qint64 total, std::atomic<qint64> &received)
{
    std::thread writer([&] { sendAll(fd, pattern, total); });
    received = readAll(fd, total);
    writer.join();
}

// Both streams between a client and a server; `connectPort` is where the
// client connects (the server itself, or the relay in front of it).
struct Streams {
    std::atomic<qint64> atServer{0}, atClient{0};
    std::atomic<bool> done{false};
    std::thread server, client;

    void start(int listenFd, quint16 connectPort, const QByteArray &up, const QByteArray &down, qint64 total)
    {
        server = std::thread([=, this, &down] {
            const int fd = ::accept(listenFd, nullptr, nullptr);
            duplex(fd, down, total, atServer);
            ::close(fd);
        });
        client = std::thread([=, this, &up] {
            const int fd = tcpConnect(connectPort);
            duplex(fd, up, total, atClient);
            ::close(fd);
            done = true;
        });
    }
    void join()
    {
        client.join();
        server.join();
    }
};

QByteArray pattern(quint32 seed)
{
    QByteArray b(MiB, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    gen.fillRange(reinterpret_cast<quint32 *>(b.data()), b.size() / 4);
    return b;
}
} // namespace

int main(int argc, char **argv)
{
    TimedApp app(argc, argv);
    const qint64 total = (argc > 1 ? std::atoll(argv[1]) : 256) * MiB;
    const bool tls = argc > 2 && QByteArray(argv[2]) == "tls";
    const QByteArray up = pattern(1), down = pattern(2);
    QTemporaryDir home; // the program's own certificate, for the relay's client side
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path()));
    SSL_CTX *serverCtx = tls ? tlsbench::tlsServerContext(home.path(), {QStringLiteral("::1")}) : nullptr;
    SSL_CTX *clientCtx = tls ? tlsbench::tlsClientContext() : nullptr;
    QSet<QString> ciphers;
    bool exact = false;

    // Direct: client to server on 127.0.0.1. It varies from run to run: the
    // median of three.
    double directRates[3];
    quint16 port = 0;
    int lfd = -1;
    for (double &rate : directRates) {
        lfd = tcpListen(false, 0, &port);
        if (tls) {
            rate = tlsbench::tlsStreams(serverCtx, clientCtx, lfd, port, up, down, total, &exact, &ciphers);
            ::close(lfd);
            continue;
        }
        Streams direct;
        const auto d0 = std::chrono::steady_clock::now();
        direct.start(lfd, port, up, down, total);
        direct.join();
        rate = 2.0 * total / seconds(d0, std::chrono::steady_clock::now());
        ::close(lfd);
    }
    std::sort(std::begin(directRates), std::end(directRates));
    const double directRate = directRates[1];
    std::chrono::steady_clock::time_point t0, t1;

    // Through the relay: the server on [::1], the relay on 127.0.0.1 at the same port.
    lfd = relayServerListen(&port);
    frmMain w(std::make_unique<BenchToolkit>());
    if (tls)
        w.ComboType->setCurrentText(QStringLiteral("TLS"));
    showWithRelay(w, port);
    TickMonitor ticks;
    ticks.attach(&w);
    Streams relayed;
    QTimer poll;
    QElapsedTimer deadline;
    deadline.start();
    QObject::connect(&poll, &QTimer::timeout, &app, [&] {
        if ((relayed.done && relayed.atServer == total) || deadline.elapsed() > 300000)
            app.quit();
    });
    poll.start(5);
    app.measuring = true;
    t0 = std::chrono::steady_clock::now();
    double tlsRate = 0;
    std::thread tlsPeers;
    if (tls)
        tlsPeers = std::thread([&] {
            tlsRate =
                tlsbench::tlsStreams(serverCtx, clientCtx, lfd, port, up, down, total, &exact, &ciphers);
            relayed.atServer = relayed.atClient = exact ? total : 0;
            relayed.done = true;
        });
    else
        relayed.start(lfd, port, up, down, total);
    app.exec();
    t1 = std::chrono::steady_clock::now();
    app.measuring = false;
    w.cmdClose_Click();
    if (tls)
        tlsPeers.join();
    else
        relayed.join();
    ::close(lfd);
    const double relayRate = tls ? tlsRate : (relayed.atServer + relayed.atClient) / seconds(t0, t1);

    std::printf("%srelay of %lld MiB each way, logging on\n", tls ? "TLS " : "", total / MiB);
    std::printf("direct %7.1f MiB/s, through the window %7.1f MiB/s, ratio %.2fx (target 0.2x)%s\n",
                directRate / MiB, relayRate / MiB, relayRate / directRate,
                relayed.atServer == total && relayed.atClient == total ? "" : " INCOMPLETE");
    std::printf("worst tick gap %lld ms, longest event %.1f ms, log holds %.1f MiB\n", ticks.worst,
                app.longestNs / 1e6, w.txtRx->TextLength() / double(MiB));
    return 0;
}
