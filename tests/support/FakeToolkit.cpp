#include "Fixture.h"

#include <QAction>
#include <QCoreApplication>
#include <QMenu>
#include <QWidget>

Toolkit::Answer FakeToolkit::MsgBox(const QString &text, Icon icon, Buttons buttons, const QString &title)
{
    boxes.append({text, icon, buttons, title});
    if (onBox)
        onBox(boxes.last());
    if (buttons == OkOnly)
        return Ok;
    return answers.isEmpty() ? Yes : answers.takeFirst();
}

void FakeToolkit::PopupMenu(QMenu *menu, QAction *defaultItem, QWidget *control)
{
    QStringList items;
    for (const QAction *a : menu->actions())
        if (!a->isSeparator())
            items << a->text() + (a->shortcut().isEmpty() || !a->isShortcutVisibleInContextMenu()
                                      ? QString()
                                      : u'\t' + a->shortcut().toString(QKeySequence::NativeText));
    popups.append({menu->objectName(), defaultItem ? defaultItem->objectName() : QString(),
                   control ? control->objectName() : QString(), items});
    if (onPopup)
        onPopup(menu);
}

Toolkit::Version FakeToolkit::AppVersion() const
{
    return {WIREBENCH_VERSION_MAJOR, WIREBENCH_VERSION_MINOR, WIREBENCH_VERSION_PATCH};
}
