#pragma once
// TLS peers on threads of their own, with OpenSSL on non-blocking descriptors driven
// by poll, so that every wait is bounded: a server with a given certificate (or one
// that never answers the handshake, or does not speak TLS at all), a STARTTLS-style
// server, and a client. What each peer saw is handed back through its future.
#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QStandardPaths>
#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <memory>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <pthread.h>

#include "RawPeer.h"
#include "platform/TlsCertificate.h"

namespace tlspeer
{

// A listener on 127.0.0.1 (or on [::1] alone) at a port of the system's choice.
inline int listener(quint16 &port, bool ipv6 = false)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_storage a{};
    socklen_t size = sizeof(sockaddr_in);
    if (ipv6) {
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
        auto *a6 = reinterpret_cast<sockaddr_in6 *>(&a);
        a6->sin6_family = AF_INET6;
        a6->sin6_addr = in6addr_loopback;
        size = sizeof(sockaddr_in6);
    } else {
        auto *a4 = reinterpret_cast<sockaddr_in *>(&a);
        a4->sin_family = AF_INET;
        a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    if (::bind(fd, reinterpret_cast<sockaddr *>(&a), size) != 0 || ::listen(fd, 4) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &size) != 0) {
        ::close(fd);
        return -1;
    }
    port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6 *>(&a)->sin6_port
                      : reinterpret_cast<sockaddr_in *>(&a)->sin_port);
    return fd;
}

// A peer's writes to a connection the program has dropped fail with EPIPE rather than
// raise SIGPIPE; the signal stays blocked in the peer's thread only, so a write of the
// program's own that would raise it still does.
inline void blockSigPipe()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// Ends a connection with a reset instead of a FIN.
inline void reset(int fd)
{
    const linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

struct Received {
    QByteArray data;
    bool ended = false;       // the peer's end, a reset or a TLS failure
    bool closeNotify = false; // the end was TLS's own close_notify
    qsizetype sent = 0;       // what exchange() sent meanwhile
};

// One connection of a peer: a descriptor, with TLS on it once handshake() is done.
class Conn
{
public:
    int fd = -1;
    SSL *ssl = nullptr;
    bool handshaken = false;
    QByteArray plain;                            // what arrived before TLS (or instead of it)
    bool plainEnded = false;                     // ... and whether the other side ended meanwhile
    QByteArray clientRandom;                     // the session's, in lowercase hex as key logs write it
    QString version, cipher;                     // as negotiated
    QByteArray alpn;                             // the protocol both agreed on, if any
    QList<QByteArray> keyLog;                    // this side's secrets, as SSLKEYLOGFILE lines
    long verifyResult = -1;                      // a client's check of the server's certificate
    std::shared_ptr<std::atomic<bool>> resetNow; // set: the connection is reset while it waits

    Conn() = default;
    Conn(const Conn &) = delete;
    Conn &operator=(const Conn &) = delete;
    ~Conn()
    {
        SSL_free(ssl);
        if (fd >= 0)
            ::close(fd);
    }

    // Waits until the descriptor is ready for what OpenSSL asked, until `deadline`,
    // in short steps so that a request to reset is seen.
    bool wait(short events, const QDeadlineTimer &deadline)
    {
        while (!deadline.hasExpired()) {
            if (resetNow && resetNow->load()) {
                reset(fd);
                fd = -1;
                return false;
            }
            pollfd p{fd, events, 0};
            const int n = ::poll(&p, 1, int(qMin<qint64>(50, deadline.remainingTime())));
            if (n > 0)
                return true;
            if (n < 0 && errno != EINTR)
                return false;
        }
        return false;
    }

    // Runs `step` (an SSL call) until it is done, fails, or time runs out; returns its result.
    template <class F> int drive(F step, const QDeadlineTimer &deadline, int *error = nullptr)
    {
        for (int round = 0; round < 100000 && fd >= 0; ++round) {
            ERR_clear_error();
            const int r = step();
            const int e = r > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, r);
            if (error)
                *error = e;
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
                if (!wait(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, deadline))
                    return -1;
                continue;
            }
            return r;
        }
        return -1;
    }

    bool handshake(SSL_CTX *ctx, bool server, int timeoutMs = 15000)
    {
        ssl = SSL_new(ctx);
        SSL_set_app_data(ssl, this);
        SSL_set_fd(ssl, fd);
        server ? SSL_set_accept_state(ssl) : SSL_set_connect_state(ssl);
        return finishHandshake(timeoutMs);
    }

    bool finishHandshake(int timeoutMs)
    {
        handshaken = drive([this] { return SSL_do_handshake(ssl); }, QDeadlineTimer(timeoutMs)) == 1;
        verifyResult = SSL_get_verify_result(ssl);
        if (!handshaken)
            return false;
        unsigned char random[SSL3_RANDOM_SIZE];
        const size_t n = SSL_get_client_random(ssl, random, sizeof random);
        clientRandom = QByteArray(reinterpret_cast<const char *>(random), qsizetype(n)).toHex();
        version = QString::fromLatin1(SSL_get_version(ssl));
        cipher = QString::fromLatin1(SSL_get_cipher_name(ssl));
        const unsigned char *p = nullptr;
        unsigned int size = 0;
        SSL_get0_alpn_selected(ssl, &p, &size);
        alpn = QByteArray(reinterpret_cast<const char *>(p), int(size));
        return true;
    }

    bool write(const QByteArray &data, int timeoutMs = 10000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        for (qsizetype done = 0; done < data.size();) {
            size_t n = 0;
            if (drive(
                    [&] {
                        return SSL_write_ex(ssl, data.constData() + done, size_t(data.size() - done), &n);
                    },
                    deadline) != 1)
                return false;
            done += qsizetype(n);
        }
        return true;
    }

    // Reads until `size` bytes (all when negative), the other side's end, or `timeoutMs`.
    Received read(qsizetype size = -1, int timeoutMs = 10000)
    {
        Received r;
        const QDeadlineTimer deadline(timeoutMs);
        char buf[16384];
        while ((size < 0 || r.data.size() < size) && !deadline.hasExpired()) {
            size_t n = 0;
            int error = SSL_ERROR_NONE;
            const size_t want = size < 0 ? sizeof buf : qMin(sizeof buf, size_t(size - r.data.size()));
            if (drive([&] { return SSL_read_ex(ssl, buf, want, &n); }, deadline, &error) == 1) {
                r.data.append(buf, qsizetype(n));
                continue;
            }
            r.ended = !deadline.hasExpired() || error == SSL_ERROR_ZERO_RETURN;
            r.closeNotify = error == SSL_ERROR_ZERO_RETURN;
            break;
        }
        return r;
    }

    // Sends `out` while reading `size` bytes (or until the end), both at once, as a peer
    // that never waits for one direction before the other does; until `timeoutMs`.
    Received exchange(const QByteArray &out, qsizetype size, int timeoutMs = 60000)
    {
        Received r;
        const QDeadlineTimer deadline(timeoutMs);
        char buf[16384];
        qsizetype sent = 0;
        for (int round = 0; round < 10000000 && !deadline.hasExpired() && fd >= 0; ++round) {
            const bool writing = sent < out.size(), reading = r.data.size() < size && !r.ended;
            if (!writing && !reading)
                break;
            bool moved = false, wantWrite = false;
            if (writing) {
                // A write that has to wait is repeated with the same bytes, as OpenSSL asks.
                size_t n = 0;
                ERR_clear_error();
                const int w = SSL_write_ex(ssl, out.constData() + sent,
                                           size_t(qMin<qsizetype>(16384, out.size() - sent)), &n);
                const int e = w == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, w);
                if (e == SSL_ERROR_NONE) {
                    sent += qsizetype(n);
                    moved = true;
                } else if (e == SSL_ERROR_WANT_WRITE) {
                    wantWrite = true;
                } else if (e != SSL_ERROR_WANT_READ) {
                    break;
                }
            }
            if (reading) {
                size_t n = 0;
                ERR_clear_error();
                const int rd =
                    SSL_read_ex(ssl, buf, size_t(qMin<qsizetype>(sizeof buf, size - r.data.size())), &n);
                const int e = rd == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, rd);
                if (e == SSL_ERROR_NONE) {
                    r.data.append(buf, qsizetype(n));
                    moved = true;
                } else if (e == SSL_ERROR_WANT_WRITE) {
                    wantWrite = true;
                } else if (e != SSL_ERROR_WANT_READ) {
                    r.ended = true;
                    r.closeNotify = e == SSL_ERROR_ZERO_RETURN;
                }
            }
            const short events = short((reading || !wantWrite ? POLLIN : 0) | (wantWrite ? POLLOUT : 0));
            if (!moved && !r.ended && !wait(events, deadline))
                break;
        }
        r.sent = sent;
        return r;
    }

    // Reads until `needle` has arrived; false on the end or when time runs out.
    bool readUntil(const QByteArray &needle, QByteArray *got, int timeoutMs = 10000)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!got->contains(needle) && !deadline.hasExpired()) {
            const Received r = read(1, int(qMax<qint64>(1, deadline.remainingTime())));
            got->append(r.data);
            if (r.ended)
                return got->contains(needle);
        }
        return got->contains(needle);
    }

    // Ends the session: with close_notify first, or by closing TCP only.
    void end(bool closeNotify)
    {
        if (closeNotify && ssl) {
            ERR_clear_error();
            SSL_shutdown(ssl);
        }
        ::shutdown(fd, SHUT_WR);
    }

    // Plain bytes before (or instead of) TLS: until `needle`, the end, or time runs out.
    void readPlain(const QByteArray &needle, int timeoutMs)
    {
        const QDeadlineTimer deadline(timeoutMs);
        char buf[4096];
        while ((needle.isEmpty() || !plain.contains(needle)) && !deadline.hasExpired()) {
            if (!wait(POLLIN, deadline))
                return;
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                plainEnded = true;
                return;
            }
            plain.append(buf, n);
        }
    }

    // Moves the descriptor to non-blocking mode, which OpenSSL is driven in here.
    void nonBlocking() const { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }
};

inline void keepKeyLog(const SSL *ssl, const char *line)
{
    if (auto *c = static_cast<Conn *>(SSL_get_app_data(ssl)))
        c->keyLog.append(QByteArray(line));
}

inline int selectAlpn(SSL *, const unsigned char **out, unsigned char *outSize, const unsigned char *in,
                      unsigned int inSize, void *arg)
{
    const auto *offered = static_cast<const QByteArray *>(arg);
    return SSL_select_next_proto(const_cast<unsigned char **>(out), outSize,
                                 reinterpret_cast<const unsigned char *>(offered->constData()),
                                 unsigned(offered->size()), in, inSize) == OPENSSL_NPN_NEGOTIATED
               ? SSL_TLSEXT_ERR_OK
               : SSL_TLSEXT_ERR_NOACK;
}

// ALPN's wire form: each protocol name after its length.
inline QByteArray alpnWire(const QList<QByteArray> &protocols)
{
    QByteArray wire;
    for (const QByteArray &p : protocols)
        wire += char(p.size()) + p;
    return wire;
}

struct ContextFree {
    void operator()(SSL_CTX *c) const { SSL_CTX_free(c); }
};
using Context = std::unique_ptr<SSL_CTX, ContextFree>;

inline Context serverContext(const Tls::Pem &pem, const QByteArray *alpn)
{
    Context ctx(SSL_CTX_new(TLS_server_method()));
    BIO *c = BIO_new_mem_buf(pem.certificate.constData(), int(pem.certificate.size()));
    BIO *k = BIO_new_mem_buf(pem.key.constData(), int(pem.key.size()));
    X509 *x = PEM_read_bio_X509(c, nullptr, nullptr, nullptr);
    EVP_PKEY *key = PEM_read_bio_PrivateKey(k, nullptr, nullptr, nullptr);
    SSL_CTX_use_certificate(ctx.get(), x);
    SSL_CTX_use_PrivateKey(ctx.get(), key);
    X509_free(x);
    EVP_PKEY_free(key);
    BIO_free(c);
    BIO_free(k);
    SSL_CTX_set_keylog_callback(ctx.get(), keepKeyLog);
    if (alpn && !alpn->isEmpty())
        SSL_CTX_set_alpn_select_cb(ctx.get(), selectAlpn, const_cast<QByteArray *>(alpn));
    return ctx;
}

struct Server {
    enum Kind {
        Tls,      // handshakes at once
        Silent,   // takes the connection and never answers
        Plain,    // greets in plain text and reads until the end: not TLS at all
        StartTls, // "220 ready", waits for "STARTTLS", "220 go ahead", then TLS
    };
    Server(Tls::Pem certificate, Kind how = Tls) : pem(std::move(certificate)), kind(how) {}
    Tls::Pem pem;
    Kind kind = Tls;
    QList<QByteArray> alpn; // protocols the server agrees to, in its order of preference
    QByteArray greeting = "220 not tls\r\n";
    int waitMs = 15000; // how long a silent or plain peer waits for the other side's end
    int maxVersion = 0; // the newest TLS version it speaks (TLS1_1_VERSION...); 0: any
    std::shared_ptr<std::atomic<bool>> resetNow = std::make_shared<std::atomic<bool>>(false);
};

// Accepts one connection on `listener`, runs the server's part, then `body` on the
// connection (TLS is up when c.handshaken), and closes it. The future holds body's result.
template <class F> auto serve(int listener, Server server, F body)
{
    return std::async(std::launch::async, [listener, server, body] {
        blockSigPipe();
        const QByteArray alpn = alpnWire(server.alpn);
        Context ctx = serverContext(server.pem, &alpn);
        if (server.maxVersion) {
            SSL_CTX_set_security_level(ctx.get(), 0); // old versions are refused at the default level
            SSL_CTX_set_max_proto_version(ctx.get(), server.maxVersion);
        }
        Conn c;
        c.resetNow = server.resetNow;
        c.fd = raw::readable(listener, 15000) ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        if (c.fd >= 0) {
            c.nonBlocking();
            switch (server.kind) {
            case Server::Tls: c.handshake(ctx.get(), true); break;
            case Server::Silent: c.readPlain(QByteArray(), server.waitMs); break;
            case Server::Plain:
                raw::writeAll(c.fd, server.greeting);
                c.readPlain(QByteArray(), server.waitMs);
                break;
            case Server::StartTls:
                raw::writeAll(c.fd, "220 ready\r\n");
                c.readPlain("STARTTLS\r\n", 10000);
                if (c.plain.endsWith("STARTTLS\r\n") && raw::writeAll(c.fd, "220 go ahead\r\n"))
                    c.handshake(ctx.get(), true);
                break;
            }
        }
        return body(c);
    });
}

struct Client {
    Client(QByteArray anchor = {}, QString checked = {})
        : trusted(std::move(anchor)), name(std::move(checked))
    {
    }
    QByteArray trusted; // a certificate (PEM) to verify the server against; none: not verified
    QString name;       // the name or address checked, and SNI for a name
    QList<QByteArray> alpn;
    bool plain = false; // not TLS: sends `greeting` and reads until the end
    QByteArray greeting = "GET / HTTP/1.0\r\n\r\n";
};

// Connects to 127.0.0.1 at `port`, runs the client's part, then `body` on the connection.
template <class F> auto connect(quint16 port, Client client, F body)
{
    return std::async(std::launch::async, [port, client, body] {
        blockSigPipe();
        Context ctx(SSL_CTX_new(TLS_client_method()));
        SSL_CTX_set_keylog_callback(ctx.get(), keepKeyLog);
        if (!client.trusted.isEmpty()) {
            BIO *bio = BIO_new_mem_buf(client.trusted.constData(), int(client.trusted.size()));
            X509 *x = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
            X509_STORE_add_cert(SSL_CTX_get_cert_store(ctx.get()), x);
            X509_free(x);
            BIO_free(bio);
            SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
        }
        const QByteArray alpn = alpnWire(client.alpn);
        if (!alpn.isEmpty())
            SSL_CTX_set_alpn_protos(ctx.get(), reinterpret_cast<const unsigned char *>(alpn.constData()),
                                    unsigned(alpn.size()));
        Conn c;
        c.fd = raw::connectTo(port);
        if (c.fd >= 0) {
            c.nonBlocking();
            if (client.plain) {
                raw::writeAll(c.fd, client.greeting);
                c.readPlain(QByteArray(), 15000);
            } else {
                c.ssl = SSL_new(ctx.get());
                SSL_set_app_data(c.ssl, &c);
                SSL_set_fd(c.ssl, c.fd);
                SSL_set_connect_state(c.ssl);
                const QByteArray name = client.name.toUtf8();
                if (!QHostAddress(client.name).isNull())
                    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c.ssl), name.constData());
                else if (!name.isEmpty()) {
                    SSL_set_tlsext_host_name(c.ssl, name.constData());
                    SSL_set1_host(c.ssl, name.constData());
                }
                c.finishHandshake(15000);
            }
        }
        return body(c);
    });
}

// Keeps a test's TLS away from the user's own: the program's certificate is made under
// `home`, and no key log or certificate directory of the environment is used.
inline bool isolate(const QTemporaryDir &home)
{
    if (!home.isValid())
        return false;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + QStringLiteral("/data")));
    QStandardPaths::setTestModeEnabled(true);
    qunsetenv("SSLKEYLOGFILE");
    qunsetenv("SSL_CERT_DIR");
    return Tls::OwnCertificateDirectory().startsWith(home.path());
}

// Trust as the program finds it: a CA bundle file that SSL_CERT_FILE names, as curl
// and the OpenSSL tools read it. The variable is restored when this goes.
class TrustedAuthority
{
public:
    TrustedAuthority() : m_old(qgetenv("SSL_CERT_FILE")), m_had(qEnvironmentVariableIsSet("SSL_CERT_FILE"))
    {
        Tls::CertificateOrder order;
        order.commonName = QStringLiteral("Wirebench Test Authority");
        order.authority = true;
        order.validFromDays = -1;
        order.validDays = 30;
        m_ca = Tls::MakeCertificate(order);
        m_path = m_dir.path() + QStringLiteral("/ca-bundle.pem");
        QFile f(m_path);
        if (f.open(QIODevice::WriteOnly))
            f.write(m_ca.certificate);
        qputenv("SSL_CERT_FILE", QFile::encodeName(m_path));
    }
    ~TrustedAuthority()
    {
        if (m_had)
            qputenv("SSL_CERT_FILE", m_old);
        else
            qunsetenv("SSL_CERT_FILE");
    }
    TrustedAuthority(const TrustedAuthority &) = delete;
    TrustedAuthority &operator=(const TrustedAuthority &) = delete;

    // A server certificate this authority signed.
    Tls::Pem issue(const QString &commonName, const QStringList &names, int validFromDays = -1,
                   int validDays = 30) const
    {
        Tls::CertificateOrder order;
        order.commonName = commonName;
        order.names = names;
        order.issuer = m_ca;
        order.validFromDays = validFromDays;
        order.validDays = validDays;
        return Tls::MakeCertificate(order);
    }
    const Tls::Pem &certificate() const { return m_ca; }
    QString path() const { return m_path; }

private:
    QByteArray m_old;
    bool m_had;
    QTemporaryDir m_dir;
    Tls::Pem m_ca;
    QString m_path;
};

} // namespace tlspeer
