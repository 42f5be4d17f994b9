#include "Toolkit.h"

#include <QAction>
#include <QApplication>
#include <QFileDialog>
#include <QCoreApplication>
#include <QCursor>
#include <QFontMetrics>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>

QString ElideLongLines(const QString &text, const QFontMetrics &metrics, int maxWidth)
{
    QStringList lines = text.split(u'\n');
    for (QString &line : lines) {
        const bool cr = line.endsWith(u'\r');
        const QString body = cr ? line.chopped(1) : line;
        if (metrics.horizontalAdvance(body) > maxWidth)
            line =
                metrics.elidedText(body, Qt::ElideMiddle, maxWidth) + (cr ? QStringLiteral("\r") : QString());
    }
    return lines.join(u'\n');
}

Toolkit::Answer QtToolkit::MsgBox(const QString &text, Icon icon, Buttons buttons, const QString &title)
{
    static const QMessageBox::Icon icons[] = {QMessageBox::Critical, QMessageBox::Warning,
                                              QMessageBox::Question, QMessageBox::Information};
    QMessageBox box(icons[icon], title, QString(),
                    buttons == YesNo ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok,
                    QApplication::activeWindow());
    // Plain text always: the texts carry what users typed and peers sent, and
    // the shortening below measures plain text.
    box.setTextFormat(Qt::PlainText);
    const QScreen *screen = QGuiApplication::primaryScreen();
    const int maxWidth = screen ? screen->availableGeometry().width() * 2 / 3 : 640;
    const QString shown = ElideLongLines(text, box.fontMetrics(), maxWidth);
    box.setText(shown);
    if (shown != text)
        box.setDetailedText(QString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    const int pressed = box.exec();
    if (buttons == OkOnly)
        return Ok;
    return pressed == QMessageBox::No ? No : Yes;
}

void QtToolkit::PopupMenu(QMenu *menu, QAction *defaultItem, QWidget *control)
{
    // The default item shows in bold only for this showing of the menu.
    menu->setDefaultAction(defaultItem);
    const QList<QAction *> actions = menu->actions();
    for (QAction *a : actions) {
        QFont f = a->font();
        f.setBold(a == defaultItem);
        a->setFont(f);
    }
    // From the keyboard: under a button or field, inside the top of a taller control.
    const QPoint at = control ? control->mapToGlobal(QPoint(
                                    0, std::min(control->height(), 2 * control->fontMetrics().height())))
                              : QCursor::pos();
    menu->exec(at);
    for (QAction *a : actions) {
        QFont f = a->font();
        f.setBold(false);
        a->setFont(f);
    }
    menu->setDefaultAction(nullptr);
}

Toolkit::Version QtToolkit::AppVersion() const
{
    return {WIREBENCH_VERSION_MAJOR, WIREBENCH_VERSION_MINOR, WIREBENCH_VERSION_PATCH};
}

QString QtToolkit::SaveFileName(const QString &title)
{
    return QFileDialog::getSaveFileName(QApplication::activeWindow(), title);
}
