#pragma once
// The socket component's connections: one TCP connection on a non-blocking
// descriptor, carrying its bytes plain or through TLS, with its queue of
// outgoing data. Internal to the component.
#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>
#include <vector>

#include "platform/NetSocket.h"
#include "platform/TlsContext.h"

typedef struct ssl_st SSL;

namespace NetDetail
{
// Deletes an object once no notification of the component is on the stack any more.
void bury(QObject *object);
} // namespace NetDetail

// Marks an entry into the component from the event loop (a notifier, a queued
// call, a look-up result): objects retired meanwhile are deleted only after the
// outermost entry has returned, since a handler may run a nested event loop (a
// message box) while the object that called it is still on the stack.
struct NetSocket::Entry {
    Entry();
    ~Entry();
    Entry(const Entry &) = delete;
    Entry &operator=(const Entry &) = delete;
};

// While an instance owns the stream, notifications go to the owner; after Close
// it lingers on its own until the queue is written (or the peer stops reading),
// then ends the connection in order.
class NetSocket::Stream : public QObject
{
public:
    Stream(int fd, NetSocket *owner);
    ~Stream() override;

    qint64 pending() const { return out.size() - outPos; }

    // Queues data and writes what the connection takes now. Returns 0, or the errno
    // of a failed connection.
    int send(const char *data, qint64 size);
    // Writes queued data; returns 0 or the errno of a failed connection. `written`
    // tells how much went out.
    int flush(qint64 &written);
    // Ends this side's sending once the queue is written (TLS: close_notify first).
    void endSending();
    // Detaches from the owner; see the class comment.
    void retire(bool flush);

    // What one read gave: bytes, the peer's end, nothing for now, or an errno.
    struct Read {
        qint64 bytes = 0;
        bool ended = false;
        int error = 0;
    };
    Read read(char *into, qint64 room);

    // TLS on this connection: the stream takes the session over. The handshake
    // then runs on the descriptor's notifications: 1 done, 0 waiting, -1 failed
    // (`tlsFailure` says why). A server that waits for its client's hello still
    // sends plain until the hello arrives, so a go-ahead can be sent after the
    // handshake was asked for.
    void startTls(SSL *session, bool server, bool plainUntilHello);
    int handshake(); // 2: paused at the client's hello
    bool helloPaused() const { return tlsState.helloHeld && !tlsState.helloAnswered; }
    bool clientLeft();
    bool tls() const { return ssl != nullptr; }
    // Decrypted bytes held inside TLS: the descriptor's notifier does not tell of them.
    bool buffered() const;

    int fd;
    NetSocket *owner;
    QSocketNotifier reader, writer;
    QTimer stall;
    QByteArray out;
    qsizetype outPos = 0;
    bool connecting = false;
    bool peerDone = false; // the peer has ended its sending
    bool shutdownWanted = false;
    bool shutdownDone = false;

    SSL *ssl = nullptr;
    bool handshaking = false;
    // Start TLS as a server: what is sent goes out plain until the client's hello comes.
    bool plainUntilHello = false;
    bool helloSeen = false;
    bool sendsPlain() const { return !ssl || (plainUntilHello && !helloSeen); }
    bool holdsData() const { return handshaking && !sendsPlain(); } // until the handshake is done
    bool readWantsWrite = false;                                    // TLS must write before it can read on
    bool writeWantsRead = false;                                    // TLS must read before it can write on
    Tls::SessionState tlsState; // what the handshake noted: certificate problems, the client's hello
    QString tlsFailure;

    // How long a closed connection whose queue is written waits for the peer's end.
    static constexpr int EndWaitMs = 2000;

private:
    struct Written {
        qint64 bytes = 0;
        int error = 0;
    };
    Written writeSome(const char *data, qint64 size);
    void shutdownWrite();
    void route(QSocketNotifier &notifier, void (NetSocket::*owned)(), void (Stream::*alone)());
    void lingerWrite();
    void lingerRead();
    void finish();
    static QList<Stream *> &lingering();
};
