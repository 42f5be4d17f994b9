#include <QApplication>
#include <QComboBox>
#include <QStringList>

#include <cstdio>
#include <unistd.h>

#include "app/CommandLine.h"
#include "app/frmMain.h"

namespace
{
// While the toolkit starts, its messages are held back: if it cannot open a
// display it ends the program, and one line saying why replaces its abort.
struct HeldMessage {
    QtMsgType type;
    QByteArray category;
    QString text;
};
QList<HeldMessage> heldMessages;
QtMessageHandler toolkitHandler = nullptr;

void holdStartMessages(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtFatalMsg) {
        heldMessages.append({type, QByteArray(context.category), text});
        return;
    }
    // The platform's own complaint ("could not connect to display :9") says most, then
    // the first thing the toolkit said, then its last word.
    QString why = heldMessages.isEmpty() ? text : heldMessages.first().text;
    for (const HeldMessage &m : std::as_const(heldMessages))
        if (m.text.contains(QLatin1String("display"), Qt::CaseInsensitive)) {
            why = m.text;
            break;
        }
    why = why.section(u'\n', 0, 0);
    std::fprintf(stderr,
                 "wirebench: cannot open a display: %s (see DISPLAY, WAYLAND_DISPLAY, QT_QPA_PLATFORM)\n",
                 why.toLocal8Bit().constData());
    std::fflush(stderr);
    _exit(1);
}

void releaseStartMessages()
{
    qInstallMessageHandler(toolkitHandler);
    for (const HeldMessage &m : std::as_const(heldMessages)) {
        const QMessageLogContext context(nullptr, 0, nullptr, m.category.constData());
        if (toolkitHandler)
            toolkitHandler(m.type, context, m.text);
    }
    heldMessages.clear();
}
} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    // Help, version and a bad command line need no display: answered before the toolkit starts.
    const CommandLine cl = ParseCommandLine(arguments);
    switch (cl.action) {
    case CommandLine::Help: std::fputs(CommandLineUsage().toLocal8Bit().constData(), stdout); return 0;
    case CommandLine::Version:
        std::printf("wirebench %d.%d.%d\n", WIREBENCH_VERSION_MAJOR, WIREBENCH_VERSION_MINOR,
                    WIREBENCH_VERSION_PATCH);
        return 0;
    case CommandLine::Error:
        std::fprintf(stderr, "wirebench: %s\n", cl.error.toLocal8Bit().constData());
        return 2;
    case CommandLine::Run: break;
    }
    if (const QString why = NoDisplayReason(cl, QProcessEnvironment::systemEnvironment()); !why.isEmpty()) {
        std::fprintf(stderr, "wirebench: cannot open a display: %s\n", why.toLocal8Bit().constData());
        return 1;
    }

    toolkitHandler = qInstallMessageHandler(holdStartMessages);
    QApplication app(argc, argv);
    releaseStartMessages();
    QApplication::setApplicationName(QStringLiteral("Wirebench"));
    // The installed desktop entry's name, so that the desktop matches the window to it.
    QApplication::setDesktopFileName(QStringLiteral("io.github.wirebench.Wirebench"));
    frmMain window(std::make_unique<QtToolkit>(cl.command));
    if (cl.tls) {
        if (window.ComboType->findText(QStringLiteral("TLS")) < 0) {
            std::fputs("wirebench: --tls: this build has no TLS\n", stderr);
            return 2;
        }
        window.ConnectWithTls = true;
    }
    window.Guard([&] { window.Form_Load(); });
    window.show();
    return app.exec();
}
