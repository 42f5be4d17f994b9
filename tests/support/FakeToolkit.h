#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

#include "platform/Toolkit.h"

class QAction;

// A scripted toolkit: records every box and popup, answers from a script, and
// never blocks.
class FakeToolkit : public Toolkit
{
public:
    struct Box {
        QString text;
        Icon icon;
        Buttons buttons;
        QString title;
    };
    struct Popup {
        QString menu;
        QString defaultItem;
    };

    Answer MsgBox(const QString &text, Icon icon, Buttons buttons, const QString &title) override;
    void PopupMenu(QMenu *menu, QAction *defaultItem) override;
    void DoEvents() override;
    QString Command() const override { return command; }
    Version AppVersion() const override;
    QString SaveFileName(const QString &title) override
    {
        saveDialogs.append(title);
        return saveAs;
    }

    QList<Box> boxes;
    QList<Popup> popups;
    QList<Answer> answers; // answers for Yes/No boxes, in order; Yes when empty
    QString command;
    QString saveAs;                         // what the save dialog answers; empty: cancelled
    QStringList saveDialogs;                // titles of the save dialogs shown
    QString chooseItem;                     // object name of a popup item to pick, if any
    std::function<void(const Box &)> onBox; // runs while a box is "open"
    int doEventsCalls = 0;
};
