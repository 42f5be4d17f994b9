#include "Fixture.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>

Toolkit::Answer FakeToolkit::MsgBox(const QString &text, Icon icon, Buttons buttons, const QString &title)
{
    boxes.append({text, icon, buttons, title});
    if (onBox)
        onBox(boxes.last());
    if (buttons == OkOnly)
        return Ok;
    return answers.isEmpty() ? Yes : answers.takeFirst();
}

void FakeToolkit::PopupMenu(QMenu *menu, QAction *defaultItem)
{
    popups.append({menu->objectName(), defaultItem ? defaultItem->objectName() : QString()});
}

Toolkit::Version FakeToolkit::AppVersion() const
{
    return {WIREBENCH_VERSION_MAJOR, WIREBENCH_VERSION_MINOR, WIREBENCH_VERSION_PATCH};
}
