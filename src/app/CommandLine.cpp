#include "CommandLine.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <algorithm>

namespace
{
// Options the toolkit reads and removes itself; accepted here so that they are not
// taken for unknown options or for the peer.
const char *const QtValueOptions[] = {"platform",        "platformpluginpath",
                                      "platformtheme",   "plugin",
                                      "qwindowgeometry", "geometry",
                                      "qwindowicon",     "icon",
                                      "qwindowtitle",    "title",
                                      "display",         "name",
                                      "session",         "style",
                                      "stylesheet"};
const char *const QtFlagOptions[] = {"reverse", "nograb", "dograb", "widgetcount", "sync"};

bool isPortNumber(const QString &s)
{
    return !s.isEmpty() && std::all_of(s.begin(), s.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}
} // namespace

CommandLine ParseCommandLine(const QStringList &arguments)
{
    QCommandLineParser parser;
    // Single-dash words are long options, as the toolkit's own (-platform, -style) are.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")});
    const QCommandLineOption tls(QStringLiteral("tls"));
    parser.addOptions({help, version, tls});
    for (const char *name : QtValueOptions) {
        QCommandLineOption o(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }
    for (const char *name : QtFlagOptions) {
        QCommandLineOption o(QString::fromLatin1(name));
        o.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(o);
    }

    CommandLine cl;
    // The parser skips the first argument as the program's name.
    if (!parser.parse(QStringList{QStringLiteral("wirebench")} + arguments)) {
        cl.action = CommandLine::Error;
        cl.error = parser.errorText() + QStringLiteral(" Try 'wirebench --help'.");
        return cl;
    }
    if (parser.isSet(help)) {
        cl.action = CommandLine::Help;
        return cl;
    }
    if (parser.isSet(version)) {
        cl.action = CommandLine::Version;
        return cl;
    }
    cl.tls = parser.isSet(tls);
    cl.platform = parser.value(QStringLiteral("platform"));
    cl.display = parser.value(QStringLiteral("display"));
    const QStringList peer = parser.positionalArguments();
    if (peer.size() == 2 && isPortNumber(peer[1])) {
        // HOST PORT, as netcat and telnet take them; an IPv6 address keeps its colons in brackets.
        const QString &host = peer[0];
        const bool bracket = host.contains(u':') && !host.startsWith(u'[');
        cl.command = (bracket ? u'[' + host + u']' : host) + u':' + peer[1];
    } else {
        cl.command = peer.join(u' ');
    }
    return cl;
}

QString CommandLineUsage()
{
    return QStringLiteral("Usage: wirebench [--tls] [address[:port] | [ipv6-address]:port | host port]\n"
                          "       wirebench --help | --version\n"
                          "\n"
                          "A network terminal: connect to a TCP, UDP or TLS service, or listen for a peer,\n"
                          "send lines and watch both directions of the traffic.\n"
                          "\n"
                          "  address:port    fill the address and port fields and connect at start\n"
                          "  [::1]:8080      the same with an IPv6 address in brackets\n"
                          "  host port       the same, in the order netcat and telnet take them\n"
                          "  address         connect to that address on port 80\n"
                          "  --tls           connect with TLS\n"
                          "  -h, --help      print this text and exit\n"
                          "  -v, --version   print the version and exit\n"
                          "\n"
                          "The window needs a display (DISPLAY or WAYLAND_DISPLAY, or QT_QPA_PLATFORM).\n"
                          "Exit status: 0 when the window is closed, 1 without a display, 2 for a bad\n"
                          "command line.\n");
}

QString NoDisplayReason(const CommandLine &cl, const QProcessEnvironment &env)
{
    const bool x11 = !cl.display.isEmpty() || !env.value(QStringLiteral("DISPLAY")).isEmpty();
    // Wayland's client library falls back to the socket "wayland-0".
    const QString runtime = env.value(QStringLiteral("XDG_RUNTIME_DIR"));
    const bool wayland = !env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty() ||
                         (!runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/wayland-0")));
    const QString chosen = cl.platform.isEmpty() ? env.value(QStringLiteral("QT_QPA_PLATFORM")) : cl.platform;
    if (chosen.isEmpty()) {
        if (x11 || !env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())
            return QString();
        return QStringLiteral("neither DISPLAY nor WAYLAND_DISPLAY is set, and QT_QPA_PLATFORM is unset");
    }
    // A list of platforms, tried in turn; each may carry options after a colon.
    QStringList needs;
    for (const QString &entry : chosen.split(u';', Qt::SkipEmptyParts)) {
        const QString name = entry.section(u':', 0, 0).trimmed();
        if (name == QLatin1String("xcb")) {
            if (x11)
                return QString();
            needs << QStringLiteral("DISPLAY");
        } else if (name.startsWith(QLatin1String("wayland"))) {
            if (wayland)
                return QString();
            needs << QStringLiteral("WAYLAND_DISPLAY");
        } else {
            return QString(); // offscreen, vnc, eglfs...: none of these variables needed
        }
    }
    const QString by = cl.platform.isEmpty() ? QStringLiteral("QT_QPA_PLATFORM=") + chosen
                                             : QStringLiteral("-platform ") + chosen;
    needs.removeDuplicates();
    return QStringLiteral("%1 needs %2, which is not set").arg(by, needs.join(QStringLiteral(" or ")));
}
