#include "platform/NetStream.h"

#include <QCoreApplication>
#include <QPointer>
#include <cerrno>
#include <csignal>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace
{

// Internal objects are never deleted while any notification of the component is
// on the stack: a handler may run a nested event loop (a message box) in which
// the object that called it would otherwise be deleted. Retired objects wait in
// the graveyard until the outermost notification has returned.
int entryDepth = 0;
QList<QObject *> &graveyard()
{
    static QList<QObject *> dead;
    return dead;
}

// Deletes an object on a later turn of the event loop. One whose deletion the event loop never got to run
// (the program ending right after a Close) is deleted when the application goes.
void deleteSoon(QObject *object)
{
    static QList<QPointer<QObject>> pending;
    static const bool cleanup = [] {
        qAddPostRoutine([] {
            for (const QPointer<QObject> &o : std::exchange(pending, {}))
                delete o.data();
        });
        return true;
    }();
    Q_UNUSED(cleanup);
    if (pending.size() >= 64)
        pending.removeIf([](const QPointer<QObject> &o) { return o.isNull(); });
    pending.append(object);
    object->deleteLater();
}

} // namespace

void NetDetail::bury(QObject *object)
{
    if (entryDepth == 0)
        deleteSoon(object);
    else
        graveyard().append(object);
}

NetSocket::Entry::Entry()
{
    ++entryDepth;
}

NetSocket::Entry::~Entry()
{
    if (--entryDepth == 0)
        for (QObject *o : std::exchange(graveyard(), {}))
            deleteSoon(o);
}

NetSocket::Stream::Stream(int fd, NetSocket *owner)
    : fd(fd), owner(owner), reader(fd, QSocketNotifier::Read, this), writer(fd, QSocketNotifier::Write, this)
{
    reader.setEnabled(false);
    writer.setEnabled(false);
    route(reader, &NetSocket::streamReadable, &Stream::lingerRead);
    route(writer, &NetSocket::streamWritable, &Stream::lingerWrite);
    stall.setSingleShot(true);
    connect(&stall, &QTimer::timeout, this, [this] { finish(); });
}

NetSocket::Stream::~Stream()
{
    lingering().removeOne(this);
    if (ssl)
        SSL_free(ssl);
    if (fd >= 0)
        ::close(fd);
}

// A notification goes to the owner; after Close, to the stream's own lingering.
void NetSocket::Stream::route(QSocketNotifier &notifier, void (NetSocket::*owned)(), void (Stream::*alone)())
{
    connect(&notifier, &QSocketNotifier::activated, this, [this, owned, alone] {
        Entry entry;
        if (owner)
            (owner->*owned)();
        else
            (this->*alone)();
    });
}

// The one write path: as much of data as the connection takes now, without waiting.
NetSocket::Stream::Written NetSocket::Stream::writeSome(const char *data, qint64 size)
{
    Written w;
    const bool plain = sendsPlain();
    while (w.bytes < size) {
        if (plain) {
            const ssize_t n = ::send(fd, data + w.bytes, size_t(size - w.bytes), MSG_NOSIGNAL);
            if (n > 0)
                w.bytes += n;
            else if (n < 0 && errno == EINTR)
                continue;
            else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
                w.error = errno;
            if (n <= 0)
                break; // failed, or no more room for now
            continue;
        }
        ERR_clear_error();
        const int n = SSL_write(ssl, data + w.bytes, int(std::min<qint64>(size - w.bytes, 1 << 30)));
        if (n > 0) {
            w.bytes += n;
            continue;
        }
        switch (SSL_get_error(ssl, n)) {
        case SSL_ERROR_WANT_WRITE: break;
        case SSL_ERROR_WANT_READ: writeWantsRead = true; break;
        case SSL_ERROR_SYSCALL: w.error = errno ? errno : EPIPE; break;
        default: w.error = EPROTO; break;
        }
        break;
    }
    return w;
}

NetSocket::Stream::Read NetSocket::Stream::read(char *into, qint64 room)
{
    Read r;
    if (!ssl) {
        const ssize_t n = ::recv(fd, into, size_t(room), 0);
        if (n > 0)
            r.bytes = n;
        else if (n == 0)
            r.ended = true;
        else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
            r.error = errno;
        return r;
    }
    // As many records as there is room for and the descriptor holds.
    while (r.bytes < room) {
        ERR_clear_error();
        const int n = SSL_read(ssl, into + r.bytes, int(std::min<qint64>(room - r.bytes, 1 << 30)));
        if (n > 0) {
            r.bytes += n;
            continue;
        }
        switch (SSL_get_error(ssl, n)) {
        case SSL_ERROR_WANT_READ: break;
        case SSL_ERROR_WANT_WRITE:
            readWantsWrite = true;
            writer.setEnabled(true);
            break;
        case SSL_ERROR_ZERO_RETURN: r.ended = r.bytes == 0; break; // close_notify, or a bare end
        case SSL_ERROR_SYSCALL:
            if (errno == 0)
                r.ended = r.bytes == 0;
            else if (r.bytes == 0)
                r.error = errno;
            break;
        default:
            if (r.bytes == 0)
                r.error = EPROTO;
            break;
        }
        break;
    }
    return r;
}

bool NetSocket::Stream::buffered() const
{
    return ssl && !handshaking && SSL_pending(ssl) > 0;
}

void NetSocket::Stream::startTls(SSL *session, bool server, bool plainFirst)
{
    // OpenSSL writes to the descriptor with write(), which raises SIGPIPE on a connection
    // the peer has reset; the failed write is handled as any other.
    static const bool noSigPipe = [] {
        std::signal(SIGPIPE, SIG_IGN);
        return true;
    }();
    Q_UNUSED(noSigPipe);
    ssl = session;
    SSL_set_fd(ssl, fd);
    handshaking = true;
    plainUntilHello = server && plainFirst;
    helloSeen = false;
    if (server)
        SSL_set_accept_state(ssl);
    else
        SSL_set_connect_state(ssl);
}

// While the handshake is paused at the client's hello: whether the client has ended or
// reset its connection. Anything else it sends waits, unread, for the handshake to go on.
bool NetSocket::Stream::clientLeft()
{
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
        return true;
    reader.setEnabled(n < 0);
    return false;
}

int NetSocket::Stream::handshake()
{
    helloSeen = true;
    ERR_clear_error();
    const int r = SSL_do_handshake(ssl);
    if (r == 1) {
        handshaking = false;
        return 1;
    }
    const int error = SSL_get_error(ssl, r);
    if (error == SSL_ERROR_WANT_CLIENT_HELLO_CB) {
        reader.setEnabled(true); // only to see the client leave meanwhile (clientLeft)
        writer.setEnabled(false);
        return 2;
    }
    if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        reader.setEnabled(error == SSL_ERROR_WANT_READ);
        writer.setEnabled(error == SSL_ERROR_WANT_WRITE);
        return 0;
    }
    const unsigned long e = ERR_peek_error();
    const int reason = ERR_GET_REASON(e);
    if (reason == SSL_R_WRONG_VERSION_NUMBER || reason == SSL_R_HTTP_REQUEST ||
        reason == SSL_R_HTTPS_PROXY_REQUEST || reason == SSL_R_PACKET_LENGTH_TOO_LONG ||
        reason == SSL_R_RECORD_LENGTH_MISMATCH || reason == SSL_R_UNEXPECTED_RECORD ||
        reason == SSL_R_UNEXPECTED_MESSAGE || reason == SSL_R_LENGTH_MISMATCH)
        tlsFailure = QStringLiteral("is not speaking TLS");
    else if (reason == SSL_R_UNSUPPORTED_PROTOCOL || reason == SSL_R_NO_PROTOCOLS_AVAILABLE ||
             reason == SSL_R_TLSV1_ALERT_PROTOCOL_VERSION)
        tlsFailure = QStringLiteral("has no TLS version in common with this program");
    else if (error == SSL_ERROR_SYSCALL || reason == SSL_R_UNEXPECTED_EOF_WHILE_READING)
        tlsFailure =
            errno && errno != EPIPE && !e
                ? QStringLiteral("failed the TLS handshake: %1").arg(QString::fromLocal8Bit(strerror(errno)))
                : QStringLiteral("closed the connection during the TLS handshake");
    else if (e)
        tlsFailure = QStringLiteral("failed the TLS handshake: %1")
                         .arg(QString::fromLatin1(ERR_reason_error_string(e)));
    else
        tlsFailure = QStringLiteral("failed the TLS handshake");
    return -1;
}

// Ends this side's sending: TLS says so in its own close_notify first.
void NetSocket::Stream::shutdownWrite()
{
    if (ssl && !handshaking) {
        ERR_clear_error();
        SSL_shutdown(ssl);
    }
    ::shutdown(fd, SHUT_WR);
    shutdownDone = true;
}

int NetSocket::Stream::send(const char *data, qint64 size)
{
    if (pending() == 0 && !connecting && !holdsData()) {
        const Written w = writeSome(data, size);
        if (w.error)
            return w.error;
        data += w.bytes;
        size -= w.bytes;
    }
    if (size > 0) {
        out.append(data, size);
        if (!handshaking)
            writer.setEnabled(true);
    }
    return 0;
}

int NetSocket::Stream::flush(qint64 &written)
{
    written = 0;
    if (holdsData())
        return 0; // application data waits for the handshake
    const Written w = writeSome(out.constData() + outPos, out.size() - outPos);
    outPos += w.bytes;
    written = w.bytes;
    if (w.error)
        return w.error;
    if (outPos == out.size()) {
        out.truncate(0); // keeps its capacity for the next burst
        outPos = 0;
        writer.setEnabled(readWantsWrite);
        if (shutdownWanted && !shutdownDone)
            shutdownWrite();
    } else if (outPos > out.size() / 2) {
        out.remove(0, outPos);
        outPos = 0;
    }
    return 0;
}

void NetSocket::Stream::endSending()
{
    shutdownWanted = true;
    if (pending() == 0 && !connecting && !handshaking && !shutdownDone)
        shutdownWrite();
}

// With data queued the stream writes it out, ends its sending, and waits briefly for
// the peer's end before it closes; otherwise it closes now.
void NetSocket::Stream::retire(bool flush)
{
    owner = nullptr;
    if (!flush || connecting || handshaking || pending() == 0) {
        if (flush && !connecting && !handshaking && !shutdownDone && ssl)
            shutdownWrite(); // close_notify, so the peer sees an orderly end
        finish();
        return;
    }
    shutdownWanted = true;
    lingering().append(this);
    reader.setEnabled(!peerDone);
    writer.setEnabled(true);
    stall.start(LingerStallMs);
}

void NetSocket::Stream::lingerWrite()
{
    qint64 written = 0;
    if (flush(written) != 0)
        return finish();
    if (pending() == 0 && peerDone)
        return finish();
    if (pending() == 0)
        stall.start(EndWaitMs);
    else if (written > 0)
        stall.start(LingerStallMs);
}

// What the peer still sends after Close is read and dropped: a descriptor closed
// with unread data resets the connection, and the peer could lose what it was sent.
void NetSocket::Stream::lingerRead()
{
    char sink[16384];
    const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
    if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)))
        return;
    if (n < 0)
        return finish(); // reset: nothing more can reach the peer
    peerDone = true;
    reader.setEnabled(false);
    if (pending() == 0)
        finish();
}

void NetSocket::Stream::finish()
{
    reader.setEnabled(false);
    writer.setEnabled(false);
    stall.stop();
    lingering().removeOne(this);
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
    NetDetail::bury(this);
}

// Streams still writing after Close; whatever is left when the program ends is freed then.
QList<NetSocket::Stream *> &NetSocket::Stream::lingering()
{
    static QList<Stream *> streams;
    static const bool cleanup = [] {
        qAddPostRoutine([] { qDeleteAll(std::exchange(lingering(), {})); });
        return true;
    }();
    Q_UNUSED(cleanup);
    return streams;
}
