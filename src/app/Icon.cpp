#include <QIcon>
#include <QPixmap>

#include "wirebench16.xpm"
#include "wirebench32.xpm"

// The program's icon, two 16-colour images: three computer cases joined by lines.
QIcon WirebenchIcon()
{
    QIcon icon;
    icon.addPixmap(QPixmap(wirebench32_xpm));
    icon.addPixmap(QPixmap(wirebench16_xpm));
    return icon;
}
