#include <QCheckBox>
#include <QLabel>
#include <algorithm>

#include "app/frmMain.h"
#include "platform/NetSocket.h"
#include "platform/Twips.h"

// The status label's room: pixels kept free before the check box, the least
// width it is given however narrow the window, and the room it was last fitted to.
constexpr int StatusGap = 6;
constexpr int MinStatusWidth = 100;
const char *const StatusRoom = "wirebenchStatusRoom";

QString frmMain::StatusText()
{
    if (Sock->Handshaking())
        return QStringLiteral("TLS handshake with ") + Sock->RemoteHostIP() + QStringLiteral("...");
    switch (Sock->State()) {
    case NetSocket::Closed: return QStringLiteral("Default. Closed.");
    case NetSocket::Open: return QStringLiteral("Open. ") + Sock->RemoteHostIP();
    case NetSocket::Listening: return QStringLiteral("Listening on port %1...").arg(Sock->LocalPort());
    case NetSocket::ConnectionPending: return QStringLiteral("Connection Pending...");
    case NetSocket::ResolvingHost: return QStringLiteral("Resolving Host...");
    case NetSocket::HostResolved: return QStringLiteral("Host Resolved.");
    case NetSocket::Connecting:
        return QStringLiteral("Connecting to ") + Sock->RemoteHost() + QStringLiteral("...");
    case NetSocket::Connected: {
        const QString ip = Sock->RemoteHostIP();
        const QString host = Sock->RemoteHost();
        QString text = QStringLiteral("Connected to ") + ip;
        if (!host.isEmpty() && host != ip)
            text += QStringLiteral(" (") + host + QStringLiteral(")");
        const QString tls = Sock->TlsVersion();
        if (!tls.isEmpty())
            text += QStringLiteral(" (") + tls + QStringLiteral(")");
        return text;
    }
    case NetSocket::Closing: return QStringLiteral("Closing...");
    case NetSocket::Error: return QStringLiteral("Error!");
    default: return QString();
    }
}

void frmMain::TimerStat_Timer()
{
    // The label shows as much as fits between its left edge and the CR/LF
    // check box, shortened in the middle; its accessible name keeps the full text.
    const QString text = StatusText();
    // The peer has gone: the tick closes the socket itself, not the session, after
    // showing "Closing..." once.
    if (Sock->State() == NetSocket::Closing)
        Sock->Close();
    const int room =
        std::max(MinStatusWidth, int((Twips::Left(cCrLf) - Twips::Left(LblStats)) / Twips::PerPixel) -
                                     StatusGap - 2 * LblStats->margin());
    if (LblStats->accessibleName() == text && LblStats->property(StatusRoom).toInt() == room)
        return;
    LblStats->setProperty(StatusRoom, room);
    LblStats->setAccessibleName(text);
    const QFontMetrics metrics = LblStats->fontMetrics();
    LblStats->setText(metrics.horizontalAdvance(text) > room ? metrics.elidedText(text, Qt::ElideMiddle, room)
                                                             : text);
    Twips::AutoSizeLabel(LblStats, Twips::Height(LblStats));
}
