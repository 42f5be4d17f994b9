// The program as users start it: the real wirebench executable in a process of
// its own, on X11 through Xvfb when that is installed (offscreen otherwise),
// against a plain reader and a plain relay measured in the same run: five
// rounds of each, medians compared (loopback throughput here varies by a factor
// of two from one run to the next).
//   bench_program [MiB, default 512] [text|binary|tls|udp|relay|tlsrelay: only that case]
// - flood: `wirebench 127.0.0.1:P`, a peer on P sends the profile, ends its
//   sending, and waits for the program's end: the program closes the session
//   only after it has logged the last byte.
// - tls: `wirebench --tls 127.0.0.1:P`, a TLS server in this process (TLS 1.3,
//   one cipher, a certificate signed by an authority that SSL_CERT_FILE names)
//   sends 64-byte lines, then close_notify, and waits for the program's end;
//   the floor is socat reading the same stream over TLS into /dev/null.
// - udp: UDP chosen and Connect pressed in the window with xdotool (X11 only);
//   10-byte datagrams as fast as a thread sends them, counted by the system's
//   drops of the program's socket.
// - relay: "Sniffer..." chosen in the window with xdotool (X11 only), then two
//   streams at once through it, checked byte for byte.
// - tlsrelay: the same with TLS chosen in the protocol list: a TLS client and a TLS
//   server in this process (TLS 1.3, one cipher on both legs), two streams at once;
//   the floor is socat terminating TLS on both sides (OPENSSL-LISTEN to OPENSSL).
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "BenchSupport.h"
#include "TlsBench.h"
#include "platform/TlsCertificate.h"

extern char **environ;

namespace
{
constexpr qint64 MiB = 1024 * 1024;
using namespace tlsbench;

pid_t spawn(const QStringList &args)
{
    std::vector<QByteArray> bytes;
    for (const QString &a : args)
        bytes.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

void stop(pid_t pid)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

double rssMiBOf(pid_t pid)
{
    QFile f(QStringLiteral("/proc/%1/status").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong() / 1024.0;
    return 0;
}

bool shell(const QString &command)
{
    return std::system(command.toLocal8Bit().constData()) == 0;
}

// Starts Xvfb on a free display; the program then runs on X11 as on a desktop.
pid_t startX11()
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        return -1;
    for (int n = 90; n < 140; ++n) {
        const QString sock = QStringLiteral("/tmp/.X11-unix/X%1").arg(n);
        if (QFile::exists(sock))
            continue;
        const pid_t pid =
            spawn({xvfb, QStringLiteral(":%1").arg(n), QStringLiteral("-screen"), QStringLiteral("0"),
                   QStringLiteral("1280x1024x24"), QStringLiteral("-nolisten"), QStringLiteral("tcp")});
        for (int i = 0; i < 100 && !QFile::exists(sock); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (!QFile::exists(sock)) {
            stop(pid);
            continue;
        }
        qputenv("DISPLAY", QByteArray(":") + QByteArray::number(n));
        qputenv("QT_QPA_PLATFORM", "xcb");
        return pid;
    }
    return -1;
}

QByteArray textLines()
{
    QByteArray b;
    for (int i = 0; b.size() < MiB; ++i) // 64-byte lines
        b += QByteArray::number(i).rightJustified(8, '0') + ' ' + QByteArray(54, char('a' + i % 26)) + '\n';
    return b;
}

QByteArray binaryNoBreaks()
{
    QByteArray b(MiB, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(b.data()), b.size() / 4);
    for (char &c : b)
        if (c == '\n' || c == '\r')
            c = 'x';
    return b;
}

// A plain reader: bytes per second of one blocking recv loop.
double plainRead(const QByteArray &pattern, qint64 total)
{
    quint16 port = 0;
    const int lfd = tcpListen(false, 0, &port);
    std::thread sender([&] {
        const int fd = ::accept(lfd, nullptr, nullptr);
        sendAll(fd, pattern, total);
        ::close(fd);
    });
    const int fd = tcpConnect(port);
    const auto t0 = Clock::now();
    const qint64 got = readAll(fd, total);
    const auto t1 = Clock::now();
    sender.join();
    ::close(fd);
    ::close(lfd);
    return got / seconds(t0, t1);
}

struct Flood {
    double rate = 0, bytesPerByteKept = 0;
    bool complete = false;
};

Flood programRead(const QString &exe, const QByteArray &pattern, qint64 total)
{
    Flood r;
    quint16 port = 0;
    const int lfd = tcpListen(false, 0, &port);
    const pid_t pid = spawn({exe, QStringLiteral("127.0.0.1:%1").arg(port)});
    const int fd = acceptWithin(lfd, 20000);
    if (fd >= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the window is up and idle
        const double rss0 = rssMiBOf(pid);
        const auto t0 = Clock::now();
        sendAll(fd, pattern, total);
        ::shutdown(fd, SHUT_WR);
        char c;
        r.complete = ::recv(fd, &c, 1, 0) == 0; // the program's end: all of it is logged
        const auto t1 = Clock::now();
        r.rate = total / seconds(t0, t1);
        const double kept = std::min<double>(total * (pattern.count('\n') ? 65.0 / 64 : 1), 128.0 * MiB);
        r.bytesPerByteKept = (rssMiBOf(pid) - rss0) * MiB / kept;
        ::close(fd);
    }
    stop(pid);
    ::close(lfd);
    return r;
}

// Writes `total` bytes taken round-robin from `pattern` through TLS, a record's worth at a time.
bool tlsSendAll(SSL *ssl, const QByteArray &pattern, qint64 total)
{
    qint64 sent = 0;
    while (sent < total) {
        const qint64 off = sent % pattern.size();
        const qint64 n = std::min<qint64>({pattern.size() - off, total - sent, 16384});
        size_t w = 0;
        if (SSL_write_ex(ssl, pattern.constData() + off, size_t(n), &w) != 1)
            return false;
        sent += qint64(w);
    }
    return true;
}

// One TLS reader (the program or socat) started by `start` that connects to
// 127.0.0.1:port: the server floods it, then sends close_notify and ends its sending,
// and the reader's end (it has taken everything) stops the clock. The program's
// memory is read before and after when `pid` is its process.
struct TlsFlood {
    double rate = 0, bytesPerByteKept = 0;
    bool complete = false;
    QString cipher;
};
TlsFlood tlsFlood(SSL_CTX *ctx, const std::function<pid_t(quint16)> &start, bool program,
                  const QByteArray &pattern, qint64 total)
{
    TlsFlood r;
    quint16 port = 0;
    const int lfd = tcpListen(false, 0, &port);
    const pid_t pid = start(port);
    const int fd = acceptWithin(lfd, 20000);
    SSL *ssl = fd >= 0 ? SSL_new(ctx) : nullptr;
    if (ssl) {
        timeval limit{60, 0}; // a reader that stops taking data ends the round
        ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
        SSL_set_fd(ssl, fd);
        if (SSL_accept(ssl) == 1) {
            r.cipher = QString::fromLatin1(SSL_get_version(ssl)) + u' ' +
                       QString::fromLatin1(SSL_get_cipher_name(ssl));
            if (program)
                std::this_thread::sleep_for(std::chrono::milliseconds(500)); // the window is up and idle
            const double rss0 = program ? rssMiBOf(pid) : 0;
            const auto t0 = Clock::now();
            if (tlsSendAll(ssl, pattern, total)) {
                SSL_shutdown(ssl);
                ::shutdown(fd, SHUT_WR);
                char buf[4096];
                ssize_t n = 0;
                for (int i = 0; i < 1000 && (n = ::recv(fd, buf, sizeof buf, 0)) > 0; ++i) {
                } // the reader's own close_notify, then its end
                r.complete = n == 0;
            }
            const auto t1 = Clock::now();
            r.rate = total / seconds(t0, t1);
            if (program) {
                const double kept = std::min<double>(total * 65.0 / 64, 128.0 * MiB);
                r.bytesPerByteKept = (rssMiBOf(pid) - rss0) * MiB / kept;
            }
        }
        ERR_clear_error();
        SSL_free(ssl);
    }
    if (fd >= 0)
        ::close(fd);
    stop(pid);
    ::close(lfd);
    return r;
}

// Whether the program takes --tls: its help says so.
bool programHasTls(const QString &exe)
{
    QProcess help;
    help.start(exe, {QStringLiteral("--help")});
    return help.waitForFinished(20000) && help.readAllStandardOutput().contains("--tls");
}

// One end of two streams: sends `total` bytes of `out` while reading and checking
// `total` bytes of `in`.
bool duplex(int fd, const QByteArray &out, const QByteArray &in, qint64 total)
{
    std::thread writer([&] { sendAll(fd, out, total); });
    static thread_local char buf[256 * 1024];
    qint64 got = 0;
    bool exact = true;
    while (got < total) {
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        for (ssize_t done = 0; done < n;) { // compare against the pattern, wrapping round
            const qint64 at = (got + done) % in.size();
            const qint64 len = std::min<qint64>(n - done, in.size() - at);
            exact = exact && std::memcmp(buf + done, in.constData() + at, size_t(len)) == 0;
            done += len;
        }
        got += n;
    }
    writer.join();
    return exact && got == total;
}

// Both streams between a client (connecting to 127.0.0.1:port) and the server on lfd.
double streams(int lfd, quint16 port, const QByteArray &up, const QByteArray &down, qint64 total, bool *exact)
{
    bool atServer = false, atClient = false;
    const auto t0 = Clock::now();
    std::thread server([&] {
        const int fd = acceptWithin(lfd, 20000);
        atServer = fd >= 0 && duplex(fd, down, up, total);
        ::close(fd);
    });
    const int cfd = tcpConnect(port);
    atClient = cfd >= 0 && duplex(cfd, up, down, total);
    ::close(cfd);
    server.join();
    *exact = atServer && atClient;
    return 2.0 * total / seconds(t0, Clock::now());
}

void pump(int from, int to)
{
    static thread_local char buf[256 * 1024];
    for (ssize_t n; (n = ::recv(from, buf, sizeof buf, 0)) > 0;)
        if (!sendAll(to, QByteArray::fromRawData(buf, n), n))
            break;
    ::shutdown(to, SHUT_WR);
}

// A plain user-space relay: two threads, blocking I/O, 256 KiB buffers.
double plainRelay(const QByteArray &up, const QByteArray &down, qint64 total, bool *exact)
{
    quint16 serverPort = 0, relayPort = 0;
    const int slfd = tcpListen(true, 0, &serverPort);
    const int rlfd = tcpListen(false, 0, &relayPort);
    std::thread relay([&] {
        const int c = ::accept(rlfd, nullptr, nullptr);
        const int s = tcpConnect(serverPort, true);
        std::thread back([&] { pump(s, c); });
        pump(c, s);
        back.join();
        ::close(c);
        ::close(s);
    });
    const double rate = streams(slfd, relayPort, up, down, total, exact);
    relay.join();
    ::close(slfd);
    ::close(rlfd);
    return rate;
}

// Chooses "Sniffer..." in the window as a user does: the address and port typed
// in, TLS chosen (the protocol list's third item) when asked, a right click on
// Connect, the first item of the menu, Yes.
bool chooseSniffer(pid_t pid, quint16 port, bool tls = false)
{
    const QString window =
        QStringLiteral("$(xdotool search --sync --onlyvisible --pid %1 --name '^Wirebench$' | head -1)")
            .arg(pid);
    const QString type = QStringLiteral("xdotool mousemove --window %1 %2 17 click 1 key ctrl+a type '%3'");
    return shell(
        QStringLiteral("W=%1; ").arg(window) +
        type.arg(QStringLiteral("$W")).arg(90).arg(QStringLiteral("::1")) + QStringLiteral(" && ") +
        type.arg(QStringLiteral("$W")).arg(155).arg(port) +
        (tls ? QStringLiteral(" && xdotool key Tab Down Down && sleep 0.3") : QString()) +
        QStringLiteral(" && xdotool mousemove --window $W 262 17 click 3 && sleep 0.5 && "
                       "xdotool mousemove_relative 20 10 click 1 && sleep 0.5 && xdotool key Return"));
}

// Whether something listens on 0.0.0.0:port (the relay, once it is set up).
bool listening(quint16 port)
{
    QFile f(QStringLiteral("/proc/net/tcp"));
    if (!f.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local = "00000000:" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray &line : f.readAll().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() > 3 && f[1] == local && f[3] == "0A")
            return true;
    }
    return false;
}

double programRelay(const QString &exe, const QByteArray &up, const QByteArray &down, qint64 total,
                    bool *exact)
{
    quint16 port = 0;
    const int lfd = relayServerListen(&port);
    const pid_t pid = spawn({exe});
    double rate = 0;
    *exact = false;
    if (chooseSniffer(pid, port)) {
        for (int i = 0; i < 100 && !listening(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (listening(port))
            rate = streams(lfd, port, up, down, total, exact);
    }
    stop(pid);
    ::close(lfd);
    return rate;
}

// The program's relay with TLS chosen, between the TLS client and server.
double programTlsRelay(const QString &exe, SSL_CTX *serverCtx, SSL_CTX *clientCtx, const QByteArray &up,
                       const QByteArray &down, qint64 total, bool *exact, QSet<QString> *ciphers)
{
    quint16 port = 0;
    const int lfd = relayServerListen(&port);
    const pid_t pid = spawn({exe});
    double rate = 0;
    *exact = false;
    if (chooseSniffer(pid, port, true)) {
        for (int i = 0; i < 100 && !listening(port); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (listening(port))
            rate = tlsStreams(serverCtx, clientCtx, lfd, port, up, down, total, exact, ciphers);
    }
    stop(pid);
    ::close(lfd);
    return rate;
}

// socat terminating TLS on both sides: OPENSSL-LISTEN with `pem`'s files, OPENSSL to
// the server on [::1], neither checking the other's certificate.
double socatTlsRelay(const QString &socat, const QString &certFile, const QString &keyFile,
                     SSL_CTX *serverCtx, SSL_CTX *clientCtx, const QByteArray &up, const QByteArray &down,
                     qint64 total, bool *exact, QSet<QString> *ciphers)
{
    quint16 port = 0, relayPort = 0;
    const int lfd = relayServerListen(&port);
    ::close(tcpListen(false, 0, &relayPort));
    const pid_t pid = spawn({socat,
                             QStringLiteral("OPENSSL-LISTEN:%1,reuseaddr,cert=%2,key=%3,verify=0")
                                 .arg(relayPort)
                                 .arg(certFile, keyFile),
                             QStringLiteral("OPENSSL:[::1]:%1,verify=0").arg(port)});
    double rate = 0;
    *exact = false;
    for (int i = 0; i < 100 && !listening(relayPort); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    if (listening(relayPort))
        rate = tlsStreams(serverCtx, clientCtx, lfd, relayPort, up, down, total, exact, ciphers);
    stop(pid);
    ::close(lfd);
    return rate;
}

// Datagrams the system dropped for the UDP socket on local port `port`, as
// /proc shows them, and the bytes still waiting in it.
qint64 udpDrops(quint16 port, qint64 *queued)
{
    const QByteArray hex = ":" + QByteArray::number(port, 16).toUpper().rightJustified(4, '0');
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile f(QString::fromLatin1(table));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        for (const QByteArray &line : f.readAll().split('\n')) {
            const QList<QByteArray> col = line.simplified().split(' ');
            if (col.size() > 12 && col[1].endsWith(hex)) {
                *queued = col[4].split(':').value(1).toLongLong(nullptr, 16);
                return col.last().toLongLong();
            }
        }
    }
    return -1;
}

// A plain receive loop: datagrams per second it takes off its socket.
double plainUdp(double secs)
{
    quint16 localPort = 0;
    const int fd = udpLoopback(&localPort);
    timeval tv{0, 300000};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::thread sender([&] { udpFlood(localPort, secs); });
    qint64 count = 0;
    char buf[64];
    while (::recv(fd, buf, sizeof buf, 0) > 0)
        ++count;
    sender.join();
    ::close(fd);
    return count / secs;
}

// The program in a UDP session with this benchmark (UDP chosen in the window and
// Connect pressed): datagrams per second it takes off its socket, read from the
// system's drop count. Under 0 when the session could not be set up.
double programUdp(const QString &exe, double secs)
{
    quint16 localPort = 0;
    const int fd = udpLoopback(&localPort);
    const pid_t pid = spawn({exe});
    const QString window =
        QStringLiteral("$(xdotool search --sync --onlyvisible --pid %1 --name '^Wirebench$' | head -1)")
            .arg(pid);
    double rate = -1;
    // The port typed in, Tab to the protocol list, Down to UDP, then Connect.
    if (shell(QStringLiteral(
                  "W=%1; xdotool mousemove --window $W 155 17 click 1 key ctrl+a type '%2' && "
                  "xdotool key Tab Down && sleep 0.3 && xdotool mousemove --window $W 262 17 click 1")
                  .arg(window)
                  .arg(localPort))) {
        pollfd p{fd, POLLIN, 0};
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        char buf[16];
        if (::poll(&p, 1, 10000) > 0 &&
            ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &fromLen) >= 0) {
            const quint16 port = ntohs(from.sin_port); // the empty datagram that opened the session
            qint64 queued = 0;
            const qint64 drops0 = udpDrops(port, &queued);
            const qint64 sent = udpFlood(port, secs);
            std::this_thread::sleep_for(std::chrono::milliseconds(500)); // what is queued is read meanwhile
            const qint64 drops = udpDrops(port, &queued) - drops0;
            if (drops0 >= 0)
                rate = (sent - drops - queued / 10) / secs;
        }
    }
    stop(pid);
    ::close(fd);
    return rate;
}

// Rounds of the floor and then the program, so a drift of the machine's speed
// during the run falls on both; the medians are compared.
struct Medians {
    double plain, program;
};
Medians rounds(const std::function<double()> &plain, const std::function<double()> &program)
{
    constexpr int Rounds = 5;
    double p[Rounds], w[Rounds];
    for (int i = 0; i < Rounds; ++i) {
        p[i] = plain();
        w[i] = program();
    }
    std::sort(p, p + Rounds);
    std::sort(w, w + Rounds);
    return {p[Rounds / 2], w[Rounds / 2]};
}
} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const qint64 total = (argc > 1 ? std::atoll(argv[1]) : 512) * MiB;
    const QByteArray only = argc > 2 ? QByteArray(argv[2]) : QByteArray();
    const auto runs = [&](const char *name) { return only.isEmpty() || only == name; };
    const QString exe = QCoreApplication::applicationDirPath() + QStringLiteral("/wirebench");
    const pid_t x11 = startX11();
    if (x11 < 0)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    std::printf("the program %s, on %s\n", qPrintable(exe),
                x11 > 0 ? "X11 (Xvfb)" : "the offscreen platform (Xvfb is not installed)");

    for (const bool text : {true, false}) {
        if (!runs(text ? "text" : "binary"))
            continue;
        const QByteArray pattern = text ? textLines() : binaryNoBreaks();
        bool complete = true;
        double bytesPerByteKept = 0;
        const Medians m = rounds([&] { return plainRead(pattern, total); },
                                 [&] {
                                     const Flood w = programRead(exe, pattern, total);
                                     complete = complete && w.complete;
                                     bytesPerByteKept = std::max(bytesPerByteKept, w.bytesPerByteKept);
                                     return w.rate;
                                 });
        std::printf("%-28s %lld MiB: program %7.1f MiB/s, plain read %7.1f MiB/s, ratio %.2fx%s; "
                    "memory %.2f bytes per byte kept\n",
                    text ? "tcp 64-byte lines, CR/LF" : "tcp binary, no line breaks", total / MiB,
                    m.program / MiB, m.plain / MiB, m.program / m.plain, complete ? "" : " INCOMPLETE",
                    bytesPerByteKept);
        std::fflush(stdout);
    }

    if (runs("tls")) {
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        QTemporaryDir dir;
        SSL_CTX *ctx = nullptr;
        if (!programHasTls(exe))
            std::printf("tls: skipped, the program has no --tls option yet\n");
        else if (socat.isEmpty())
            std::printf("tls: skipped, socat is not installed (scripts/wb bench installs it)\n");
        else if (!dir.isValid() || !(ctx = tlsServerContext(dir.path())))
            std::printf("tls: skipped, the server's certificate could not be set up\n");
        else {
            const QByteArray pattern = textLines();
            bool complete = true;
            double bytesPerByteKept = 0;
            QSet<QString> ciphers;
            const auto count = [&](const TlsFlood &f) {
                complete = complete && f.complete;
                ciphers << f.cipher;
                return f.rate;
            };
            const Medians m = rounds(
                [&] {
                    return count(tlsFlood(
                        ctx,
                        [&](quint16 port) {
                            return spawn({socat, QStringLiteral("-u"),
                                          QStringLiteral("OPENSSL:127.0.0.1:%1,verify=0").arg(port),
                                          QStringLiteral("/dev/null")});
                        },
                        false, pattern, total));
                },
                [&] {
                    const TlsFlood w = tlsFlood(
                        ctx,
                        [&](quint16 port) {
                            return spawn(
                                {exe, QStringLiteral("--tls"), QStringLiteral("127.0.0.1:%1").arg(port)});
                        },
                        true, pattern, total);
                    bytesPerByteKept = std::max(bytesPerByteKept, w.bytesPerByteKept);
                    return count(w);
                });
            ciphers.remove(QString());
            std::printf("%-28s %lld MiB: program %7.1f MiB/s, socat over TLS %7.1f MiB/s, ratio %.2fx%s; "
                        "memory %.2f bytes per byte kept (%s)\n",
                        "tls 64-byte lines, CR/LF", total / MiB, m.program / MiB, m.plain / MiB,
                        m.program / m.plain, complete ? "" : " INCOMPLETE", bytesPerByteKept,
                        qPrintable(QStringList(ciphers.begin(), ciphers.end()).join(QStringLiteral(", "))));
            SSL_CTX_free(ctx);
        }
        std::fflush(stdout);
    }

    const bool xdotool = x11 > 0 && !QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty();
    if (xdotool && runs("udp")) {
        const double secs = 3;
        const Medians m = rounds([&] { return plainUdp(secs); }, [&] { return programUdp(exe, secs); });
        if (m.program >= 0)
            std::printf(
                "udp 10-byte datagrams, %.0f s: program %8.0f/s, plain receive %8.0f/s, ratio %.2fx\n", secs,
                m.program, m.plain, m.program / m.plain);
        else
            std::printf("udp: the session could not be set up through the window\n");
        std::fflush(stdout);
    }

    QByteArray up(MiB + 3, Qt::Uninitialized), down(MiB + 5, Qt::Uninitialized);
    QRandomGenerator(1).fillRange(reinterpret_cast<quint32 *>(up.data()), up.size() / 4);
    QRandomGenerator(2).fillRange(reinterpret_cast<quint32 *>(down.data()), down.size() / 4);
    const qint64 each = total / 2;
    if (xdotool && runs("relay")) {
        int wrong = 0,
            notSetUp = 0; // runs with bytes lost or changed; program runs the window did not set up
        const auto check = [&](double rate, bool exact) {
            notSetUp += rate <= 0;
            wrong += rate > 0 && !exact;
            return rate;
        };
        const Medians m = rounds(
            [&] {
                bool exact = false;
                const double rate = plainRelay(up, down, each, &exact);
                return check(rate, exact);
            },
            [&] {
                bool exact = false;
                const double rate = programRelay(exe, up, down, each, &exact);
                return check(rate, exact);
            });
        std::printf("relay, %lld MiB each way, logging on: program %7.1f MiB/s, plain relay %7.1f MiB/s, "
                    "ratio %.2fx, %s",
                    each / MiB, m.program / MiB, m.plain / MiB, m.program / m.plain,
                    wrong ? "NOT EXACT" : "byte-exact");
        if (wrong || notSetUp)
            std::printf(" (of 10 runs: %d not exact, %d not set up through the window)", wrong, notSetUp);
        std::printf("\n");
    } else if (!xdotool) {
        std::printf(
            "udp, relay and tlsrelay: skipped, they are set up through the window with xdotool on X11\n");
    }

    if (xdotool && runs("tlsrelay")) {
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        QTemporaryDir dir;
        SSL_CTX *serverCtx = nullptr, *clientCtx = tlsClientContext();
        // The program's own certificate is made under the temporary directory, not the user's.
        qputenv("XDG_DATA_HOME", QFile::encodeName(dir.path() + QStringLiteral("/data")));
        Tls::CertificateOrder order;
        order.commonName = QStringLiteral("socat relay");
        order.names = {QStringLiteral("127.0.0.1")};
        const Tls::Pem socatPem = Tls::MakeCertificate(order);
        const QString certFile = dir.path() + QStringLiteral("/socat-cert.pem"),
                      keyFile = dir.path() + QStringLiteral("/socat-key.pem");
        QFile cert(certFile), key(keyFile);
        const bool written = cert.open(QIODevice::WriteOnly) && cert.write(socatPem.certificate) > 0 &&
                             key.open(QIODevice::WriteOnly) && key.write(socatPem.key) > 0;
        cert.close();
        key.close();
        if (socat.isEmpty())
            std::printf("tlsrelay: skipped, socat is not installed (scripts/wb bench installs it)\n");
        else if (!dir.isValid() || !written || !clientCtx ||
                 !(serverCtx = tlsServerContext(dir.path(), {QStringLiteral("::1")})))
            std::printf("tlsrelay: skipped, the certificates could not be set up\n");
        else {
            int wrong = 0, notSetUp = 0;
            QSet<QString> programCiphers, socatCiphers;
            const auto check = [&](double rate, bool exact) {
                notSetUp += rate <= 0;
                wrong += rate > 0 && !exact;
                return rate;
            };
            const Medians m = rounds(
                [&] {
                    bool exact = false;
                    const double rate = socatTlsRelay(socat, certFile, keyFile, serverCtx, clientCtx, up,
                                                      down, each, &exact, &socatCiphers);
                    return check(rate, exact);
                },
                [&] {
                    bool exact = false;
                    const double rate =
                        programTlsRelay(exe, serverCtx, clientCtx, up, down, each, &exact, &programCiphers);
                    return check(rate, exact);
                });
            const auto list = [](const QSet<QString> &set) {
                QStringList l(set.begin(), set.end());
                l.sort();
                return l.join(QStringLiteral(", "));
            };
            std::printf(
                "tlsrelay, %lld MiB each way, logging on: program %7.1f MiB/s, socat TLS relay %7.1f MiB/s, "
                "ratio %.2fx, %s",
                each / MiB, m.program / MiB, m.plain / MiB, m.program / m.plain,
                wrong ? "NOT EXACT" : "byte-exact");
            if (wrong || notSetUp)
                std::printf(" (of 10 runs: %d not exact, %d not set up)", wrong, notSetUp);
            std::printf("\n  through the program: %s\n  through socat: %s\n",
                        qPrintable(list(programCiphers)), qPrintable(list(socatCiphers)));
        }
        SSL_CTX_free(serverCtx);
        SSL_CTX_free(clientCtx);
        std::fflush(stdout);
    }
    stop(x11);
    return 0;
}
