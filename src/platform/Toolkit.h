#pragma once
#include <QString>

class QMenu;
class QWidget;
class QAction;
class QFontMetrics;

// The text with each line wider than maxWidth pixels shortened in its middle
// to an ellipsis, so it fits. Lines end at a line feed; a carriage return
// before it is kept. Lines that fit are left as they are.
QString ElideLongLines(const QString &text, const QFontMetrics &metrics, int maxWidth);

// The narrow seam to the windowing toolkit: modal boxes, popup menus, the save
// dialog, the command line and the version. The window owns one;
// tests install a scripted fake so no test ever blocks on a modal dialog.
class Toolkit
{
public:
    enum Icon { Critical, Exclamation, Question, Information };
    enum Buttons { OkOnly, YesNo };
    enum Answer { Ok = 1, Yes = 6, No = 7 };
    struct Version {
        int Major, Minor, Revision;
    };

    virtual ~Toolkit() = default;
    virtual Answer MsgBox(const QString &text, Icon icon, Buttons buttons, const QString &title) = 0;
    // Shows a hidden menu at the mouse pointer, or at the control when one is given
    // (a menu opened from the keyboard); a chosen item runs its own handler.
    virtual void PopupMenu(QMenu *menu, QAction *defaultItem = nullptr, QWidget *control = nullptr) = 0;
    // Everything on the command line after the program's own name, as one string.
    virtual QString Command() const = 0;
    virtual Version AppVersion() const = 0;
    // The file the user names in a save dialog; empty when the dialog is cancelled.
    virtual QString SaveFileName(const QString &title) = 0;
};

// The real toolkit: QMessageBox, QMenu::exec, QCoreApplication::processEvents.
// A box never grows wider than two thirds of the screen: over-long lines are
// shortened, and the full text is then under "Show Details...".
class QtToolkit : public Toolkit
{
public:
    explicit QtToolkit(QString command = QString()) : m_command(std::move(command)) {}
    Answer MsgBox(const QString &text, Icon icon, Buttons buttons, const QString &title) override;
    void PopupMenu(QMenu *menu, QAction *defaultItem, QWidget *control) override;
    QString Command() const override { return m_command; }
    Version AppVersion() const override;
    QString SaveFileName(const QString &title) override;

private:
    QString m_command;
};
