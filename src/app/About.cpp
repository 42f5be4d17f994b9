#include "frmMain.h"

QString frmMain::AboutTitle() const
{
    const Toolkit::Version v = m_toolkit->AppVersion();
    return QStringLiteral("About Wirebench (%1.%2.%3)...").arg(v.Major).arg(v.Minor).arg(v.Revision);
}

QString frmMain::AboutText() const
{
    const QStringList lines{
        QStringLiteral("Wirebench, a network terminal, by the Wirebench developers."),
        QStringLiteral("Made in December 2026, last updated in December 2026."),
        QStringLiteral("Bugs, comments, questions?"),
        QStringLiteral("Write to wirebench@example.org"),
        QStringLiteral("---"),
        QStringLiteral("Home page: http://www.example.org/wirebench/"),
        QStringLiteral("Copyright (C) 2026 the Wirebench developers."),
    };
    return lines.join(QStringLiteral("\r\n"));
}

void frmMain::cmdAbout_Click()
{
    const QString body = AboutText();
    Tk().MsgBox(body, Toolkit::Information, Toolkit::OkOnly, AboutTitle());
}
