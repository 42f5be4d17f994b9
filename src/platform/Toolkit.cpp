#include "Toolkit.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QApplication>
#include <QCoreApplication>
#include <QCursor>
#include <QMenu>
#include <QMessageBox>

Toolkit::Answer QtToolkit::MsgBox(const QString &text, Icon icon, Buttons buttons, const QString &title)
{
    static const QMessageBox::Icon icons[] = {QMessageBox::Critical, QMessageBox::Warning,
                                              QMessageBox::Question, QMessageBox::Information};
    QMessageBox box(icons[icon], title, text,
                    buttons == YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                    QApplication::activeWindow());
    const int pressed = box.exec();
    if (buttons == OkOnly)
        return Ok;
    return pressed == QMessageBox::No ? No : Yes;
}

void QtToolkit::PopupMenu(QMenu *menu, QAction *defaultItem)
{
    // The default item shows in bold only for this showing of the menu.
    menu->setDefaultAction(defaultItem);
    const QList<QAction *> actions = menu->actions();
    for (QAction *a : actions) {
        QFont f = a->font();
        f.setBold(a == defaultItem);
        a->setFont(f);
    }
    menu->exec(QCursor::pos());
    for (QAction *a : actions) {
        QFont f = a->font();
        f.setBold(false);
        a->setFont(f);
    }
    menu->setDefaultAction(nullptr);
}

void QtToolkit::DoEvents()
{
    // Block until at least one event arrives, then handle all that are pending:
    // a caller that loops on this does not keep a core busy.
    QCoreApplication::sendPostedEvents();
    QAbstractEventDispatcher::instance()->processEvents(QEventLoop::WaitForMoreEvents);
}

Toolkit::Version QtToolkit::AppVersion() const
{
    return {WIREBENCH_VERSION_MAJOR, WIREBENCH_VERSION_MINOR, WIREBENCH_VERSION_PATCH};
}
