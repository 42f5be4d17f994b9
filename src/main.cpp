#include <QApplication>
#include <QStringList>

#include "app/frmMain.h"

int main(int argc, char *argv[])
{
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
