// A real peer floods the window's session socket over loopback; the window
// receives and logs everything through its own handlers and the real pane.
// Each profile is printed as a ratio to a plain loopback read of the same
// profile, measured in the same run.
// Each profile runs in a process of its own, so memory figures start clean.
//   bench_flood [MiB per TCP profile, default 1024] [seconds of UDP, default 3]
#include <QComboBox>
#include <QProcess>

#include <algorithm>
#include <QLineEdit>
#include <QRandomGenerator>

#include "BenchSupport.h"
#include "platform/LogPane.h"
#include "platform/NetSocket.h"

namespace
{
constexpr qint64 MiB = 1024 * 1024;

QByteArray textLines()
{
    QByteArray b;
    for (int i = 0; b.size() < MiB; ++i)
        b += QByteArray::number(i).rightJustified(8, '0') + ' ' + QByteArray(70, char('a' + i % 26)) + '\n';
    return b;
}

QByteArray binaryNoBreaks()
{
    QByteArray b(MiB, Qt::Uninitialized);
    QRandomGenerator gen(7);
    gen.fillRange(reinterpret_cast<quint32 *>(b.data()), b.size() / 4);
    for (char &c : b)
        if (c == '\n' || c == '\r')
            c = 'x';
    return b;
}

// A thread that accepts one client on lfd and sends it `total` bytes of the pattern.
std::thread floodOnce(int lfd, const QByteArray &pattern, qint64 total)
{
    return std::thread([lfd, &pattern, total] {
        const int fd = ::accept(lfd, nullptr, nullptr);
        sendAll(fd, pattern, total);
        ::close(fd);
    });
}

// Bytes per second of a blocking reader in this thread.
double plainTcp(const QByteArray &pattern, qint64 total)
{
    quint16 port = 0;
    const int lfd = tcpListen(false, 0, &port);
    std::thread sender = floodOnce(lfd, pattern, total);
    const int fd = tcpConnect(port);
    const auto t0 = std::chrono::steady_clock::now();
    const qint64 got = readAll(fd, total);
    const auto t1 = std::chrono::steady_clock::now();
    sender.join();
    ::close(fd);
    ::close(lfd);
    return got / seconds(t0, t1);
}

struct WindowRun {
    double bytesPerSecond = 0;
    qint64 worstTickGap = 0;
    double longestEventMs = 0;
    int longestType = 0;
    double memoryPerByteKept = 0;
    double growthAfterFullMiB = 0;
    bool complete = false;
};

WindowRun windowTcp(TimedApp &app, const QByteArray &pattern, qint64 total)
{
    frmMain w(std::make_unique<BenchToolkit>());
    w.Form_Load();
    w.show();
    QCoreApplication::processEvents();
    quint16 port = 0;
    const int lfd = tcpListen(false, 0, &port);
    std::thread sender = floodOnce(lfd, pattern, total);
    TickMonitor ticks;
    ticks.attach(&w);
    qint64 received = 0;
    QObject::connect(w.Sock, &NetSocket::DataArrival, &w, [&](qint64 n) { received += n; });
    QObject::connect(w.Sock, &NetSocket::OnClose, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    QObject::connect(w.Sock, &NetSocket::OnError, &app, &QCoreApplication::quit, Qt::QueuedConnection);
    const double rss0 = rssMiB();
    double peak = rss0, atFull = -1;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        const double r = rssMiB();
        peak = std::max(peak, r);
        if (atFull < 0 && w.txtRx->TextLength() >= w.txtRx->Capacity() - MiB)
            atFull = r;
    });
    sampler.start(100);
    w.txtPort->setText(QString::number(port));
    app.longestNs = 0;
    app.measuring = true;
    const auto t0 = std::chrono::steady_clock::now();
    w.cmdConnect_Click();
    app.exec();
    const auto t1 = std::chrono::steady_clock::now();
    app.measuring = false;
    sender.join();
    ::close(lfd);
    WindowRun r;
    r.bytesPerSecond = received / seconds(t0, t1);
    r.worstTickGap = ticks.worst;
    r.longestEventMs = app.longestNs / 1e6;
    r.longestType = app.longestType;
    r.memoryPerByteKept = (peak - rss0) * MiB / double(std::max<qint64>(1, w.txtRx->TextLength()));
    r.growthAfterFullMiB = atFull < 0 ? 0 : rssMiB() - atFull;
    r.complete = received == total;
    return r;
}

double plainUdp(double secs)
{
    quint16 localPort = 0;
    const int fd = udpLoopback(&localPort);
    timeval tv{0, 200000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::atomic<bool> stop{false};
    std::thread sender([&] { udpFlood(localPort, secs, &stop); });
    qint64 count = 0;
    char buf[64];
    const auto t0 = std::chrono::steady_clock::now();
    while (::recv(fd, buf, sizeof buf, 0) > 0)
        ++count;
    const auto t1 = std::chrono::steady_clock::now();
    sender.join();
    ::close(fd);
    return count / (seconds(t0, t1) - 0.2);
}

WindowRun windowUdp(TimedApp &app, double secs, qint64 *count)
{
    frmMain w(std::make_unique<BenchToolkit>());
    w.Form_Load();
    w.show();
    QCoreApplication::processEvents();
    w.ComboType->setCurrentText(QStringLiteral("UDP"));
    w.txtPort->setText(QStringLiteral("0"));
    w.cmdListen_Click();
    const quint16 port = w.Sock->BoundPort();
    TickMonitor ticks;
    ticks.attach(&w);
    qint64 n = 0;
    QObject::connect(w.Sock, &NetSocket::DataArrival, &w, [&](qint64) { ++n; });
    // Stop 200 ms after the last datagram.
    QTimer idle;
    idle.setSingleShot(true);
    QObject::connect(&idle, &QTimer::timeout, &app, &QCoreApplication::quit);
    QObject::connect(w.Sock, &NetSocket::DataArrival, &idle, [&] { idle.start(200); });
    std::atomic<bool> stop{false};
    app.longestNs = 0;
    app.measuring = true;
    const auto t0 = std::chrono::steady_clock::now();
    std::thread sender([&] { udpFlood(port, secs, &stop); });
    idle.start(2000);
    app.exec();
    const auto t1 = std::chrono::steady_clock::now();
    app.measuring = false;
    stop = true;
    sender.join();
    WindowRun r;
    r.bytesPerSecond = n / (seconds(t0, t1) - 0.2);
    r.worstTickGap = ticks.worst;
    r.longestEventMs = app.longestNs / 1e6;
    *count = n;
    return r;
}
} // namespace

int main(int argc, char **argv)
{
    TimedApp app(argc, argv);
    const qint64 total = (argc > 1 ? std::atoll(argv[1]) : 1024) * MiB;
    const double udpSecs = argc > 2 ? std::atof(argv[2]) : 3.0;
    const int only = argc > 3 ? std::atoi(argv[3]) : -1;
    if (only < 0) {
        std::printf("flood of %lld MiB per TCP profile, %.1f s of UDP; log pane capacity %lld MiB\n",
                    total / MiB, udpSecs, LogPane::DefaultCapacity / MiB);
        std::fflush(stdout);
        for (int profile = 0; profile < 3; ++profile) {
            QProcess child;
            child.setProcessChannelMode(QProcess::ForwardedChannels);
            child.start(QCoreApplication::applicationFilePath(),
                        {QString::number(total / MiB), QString::number(udpSecs), QString::number(profile)});
            child.waitForFinished(-1);
        }
        return 0;
    }

    const struct {
        const char *name;
        QByteArray pattern;
    } profiles[] = {{"tcp text lines", textLines()}, {"tcp binary, no line breaks", binaryNoBreaks()}};
    if (only < 2) {
        const auto &p = profiles[only];
        // The plain read varies from run to run: take the median of three.
        double floors[3];
        for (double &f : floors)
            f = plainTcp(p.pattern, total);
        std::sort(std::begin(floors), std::end(floors));
        const double floor = floors[1];
        const WindowRun r = windowTcp(app, p.pattern, total);
        std::printf("%-28s window %7.1f MiB/s, plain read %7.1f MiB/s, ratio %.2fx (target 0.35x)%s\n",
                    p.name, r.bytesPerSecond / MiB, floor / MiB, r.bytesPerSecond / floor,
                    r.complete ? "" : " INCOMPLETE");
        std::printf(
            "%-28s worst tick gap %lld ms (target < 250), longest event %.1f ms (type %d; target < 16), "
            "memory %.2f bytes per byte kept (target 1.3), growth after full %.1f MiB\n",
            "", r.worstTickGap, r.longestEventMs, r.longestType, r.memoryPerByteKept, r.growthAfterFullMiB);
        return 0;
    }
    const double floor = plainUdp(udpSecs);
    qint64 count = 0;
    const WindowRun r = windowUdp(app, udpSecs, &count);
    std::printf("%-28s window %9.0f datagrams/s, plain receive %9.0f/s, ratio %.2fx (target 0.3x)\n",
                "udp 10-byte datagrams", r.bytesPerSecond, floor, r.bytesPerSecond / floor);
    std::printf("%-28s worst tick gap %lld ms, longest event %.1f ms, %lld datagrams logged\n", "",
                r.worstTickGap, r.longestEventMs, count);
    return 0;
}
