#include <QApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>

#include "app/frmMain.h"

namespace
{
const char Usage[] = "Usage: wirebench [address[:port] | [ipv6-address]:port]\n"
                     "       wirebench --help | --version\n"
                     "\n"
                     "A network terminal: connect to a TCP or UDP service, or listen for a peer,\n"
                     "send lines and watch both directions of the traffic.\n"
                     "\n"
                     "  address:port   fill the address and port fields and connect at start\n"
                     "  [::1]:8080     the same with an IPv6 address in brackets\n"
                     "  address        connect to that address on port 80\n"
                     "  --help         print this text and exit\n"
                     "  --version      print the version and exit\n";
} // namespace

int main(int argc, char *argv[])
{
    // These two need no display: they are answered before the toolkit starts.
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(Usage, stdout);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("wirebench %d.%d.%d\n", WIREBENCH_VERSION_MAJOR, WIREBENCH_VERSION_MINOR,
                    WIREBENCH_VERSION_PATCH);
        return 0;
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Wirebench"));
    // The installed desktop entry's name, so that the desktop matches the window to it.
    QApplication::setDesktopFileName(QStringLiteral("io.github.wirebench.Wirebench"));
    // Everything after the program's own name, as one string.
    const QString command = QCoreApplication::arguments().mid(1).join(u' ');
    frmMain window(std::make_unique<QtToolkit>(command));
    window.Guard([&] { window.Form_Load(); });
    window.show();
    return app.exec();
}
