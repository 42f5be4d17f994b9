#include <QLabel>

#include "app/frmMain.h"
#include "platform/NetSocket.h"
#include "platform/Twips.h"

QString frmMain::StatusText()
{
    switch (Sock->State()) {
    case NetSocket::Closed: return QStringLiteral("Default. Closed.");
    case NetSocket::Open: return QStringLiteral("Open. ") + Sock->RemoteHostIP();
    case NetSocket::Listening: return QStringLiteral("Listening on port %1...").arg(Sock->LocalPort());
    case NetSocket::ConnectionPending: return QStringLiteral("Connection Pending...");
    case NetSocket::ResolvingHost: return QStringLiteral("Resolving Host...");
    case NetSocket::HostResolved: return QStringLiteral("Host Resolved.");
    case NetSocket::Connecting: return QStringLiteral("Connecting to ") + Sock->RemoteHost() + QStringLiteral("...");
    case NetSocket::Connected: {
        const QString ip = Sock->RemoteHostIP();
        const QString host = Sock->RemoteHost();
        QString text = QStringLiteral("Connected to ") + ip;
        if (!host.isEmpty() && host != ip)
            text += QStringLiteral(" (") + host + QStringLiteral(")");
        return text;
    }
    case NetSocket::Closing:
        // The peer has gone: close the socket itself, not the session.
        Sock->Close();
        return QStringLiteral("Closing...");
    case NetSocket::Error: return QStringLiteral("Error!");
    default: return QString();
    }
}

void frmMain::TimerStat_Timer()
{
    const QString text = StatusText();
    if (LblStats->text() != text) {
        LblStats->setText(text);
        LblStats->setAccessibleName(text);
        Twips::AutoSizeLabel(LblStats, Twips::Height(LblStats));
    }
}
