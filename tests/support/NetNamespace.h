#pragma once
// A private network namespace for tests that change addresses and routes, which must
// never touch the machine's own. Only root can make one. While the calling thread is
// inside, the sockets it makes belong to the namespace, and they stay there after it
// has left. Leaving and deleting happen in the destructor.
#include <QCoreApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QStringList>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

class NetNamespace
{
public:
    NetNamespace()
    {
        if (::geteuid() != 0) {
            why = QStringLiteral("needs root");
            return;
        }
        ip = QStandardPaths::findExecutable(QStringLiteral("ip"), {"/usr/sbin", "/sbin", "/usr/bin", "/bin"});
        if (ip.isEmpty()) {
            why = QStringLiteral("ip (iproute2) is missing");
            return;
        }
        static int count = 0;
        name = QStringLiteral("wbtest-%1-%2").arg(QCoreApplication::applicationPid()).arg(++count);
        if (!exec({"netns", "add", name})) {
            why = QStringLiteral("ip netns add failed: ") + output;
            name.clear();
            return;
        }
        original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int inside = ::open(qPrintable(QStringLiteral("/run/netns/") + name), O_RDONLY | O_CLOEXEC);
        entered = original >= 0 && inside >= 0 && ::setns(inside, CLONE_NEWNET) == 0;
        if (inside >= 0)
            ::close(inside);
        if (!entered)
            why = QStringLiteral("cannot enter the namespace");
        else if (!run({"link", "set", "lo", "up"}))
            why = QStringLiteral("cannot bring lo up: ") + output;
    }
    ~NetNamespace()
    {
        if (entered)
            ::setns(original, CLONE_NEWNET);
        if (original >= 0)
            ::close(original);
        if (!name.isEmpty())
            exec({"netns", "del", name});
    }
    NetNamespace(const NetNamespace &) = delete;
    NetNamespace &operator=(const NetNamespace &) = delete;

    // Ready for use; otherwise `why` says what is missing.
    bool ok() const { return entered && why.isEmpty(); }

    // `ip ARGS` inside the namespace.
    bool run(QStringList args) { return exec(QStringList{"-n", name} + args); }

    // A sysctl of the namespace, such as "net/ipv4/tcp_retries2".
    bool set(const QString &key, const QString &value)
    {
        return exec(
            {"netns", "exec", name, "sh", "-c", QStringLiteral("echo %1 > /proc/sys/%2").arg(value, key)});
    }

    QString why;
    QString output; // what the last failed command printed

private:
    bool exec(const QStringList &args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(ip, args);
        const bool done =
            p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
        if (!done)
            output = QString::fromLocal8Bit(p.readAll()).trimmed();
        return done;
    }

    QString ip, name;
    int original = -1;
    bool entered = false;
};
