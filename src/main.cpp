#include <QApplication>
#include <QStringList>

#include "app/frmMain.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Wirebench"));
    QApplication::setDesktopFileName(QStringLiteral("wirebench"));
    // Everything after the program's own name, as one string.
    const QString command = QCoreApplication::arguments().mid(1).join(u' ');
    frmMain window(std::make_unique<QtToolkit>(command));
    window.Guard([&] { window.Form_Load(); });
    window.show();
    return app.exec();
}
