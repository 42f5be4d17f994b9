#pragma once
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

#include "Fixture.h"
#include "platform/NetSocket.h"

// A window connected over TCP to a real peer on loopback.
struct Session {
    Window win;
    QTcpServer server;
    std::unique_ptr<QTcpSocket> peer;

    // Reads what the peer has received until it holds `size` bytes or time runs out.
    QByteArray peerReads(qsizetype size, int timeoutMs = 5000)
    {
        QByteArray got;
        QElapsedTimer t;
        t.start();
        while (got.size() < size && t.elapsed() < timeoutMs) {
            if (!peer->bytesAvailable())
                peer->waitForReadyRead(50);
            got += peer->readAll();
            QCoreApplication::processEvents();
        }
        return got;
    }
};

inline std::unique_ptr<Session> connectedSession(bool show = true)
{
    auto s = std::make_unique<Session>();
    s->win = loadWindow(QString(), show);
    if (!s->server.listen(QHostAddress::LocalHost, 0))
        return nullptr;
    s->win->Guard([&] {
        s->win->txtPort->setText(QString::number(s->server.serverPort()));
        s->win->cmdConnect_Click();
    });
    QElapsedTimer wait;
    wait.start();
    while (!s->server.hasPendingConnections() && wait.elapsed() < 5000)
        QTest::qWait(5);
    if (!s->server.hasPendingConnections())
        return nullptr;
    s->peer.reset(s->server.nextPendingConnection());
    s->peer->setParent(nullptr);
    QElapsedTimer t;
    t.start();
    while (s->win->Sock->State() != NetSocket::Connected && t.elapsed() < 5000)
        QTest::qWait(5);
    if (s->win->Sock->State() != NetSocket::Connected)
        return nullptr;
    if (show)
        (void)QTest::qWaitForWindowActive(s->win.w.get());
    return s;
}
