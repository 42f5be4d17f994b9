#include <QIcon>

// The program's icon: three computer cases joined by cables, the same images
// that are installed into the icon theme, built into the program.
QIcon WirebenchIcon()
{
    // The resources live in a static library: nothing would pull them into
    // the program unless something refers to them.
    Q_INIT_RESOURCE(wirebench);
    QIcon icon;
    for (const int size : {16, 32, 48, 64, 256})
        icon.addFile(QStringLiteral(":/wirebench/%1.png").arg(size), QSize(size, size));
    return icon;
}
