#pragma once
// TLS peers for the benchmarks: a server's and a client's context with one version and
// one cipher for every leg, and both ends of two streams at once over TLS, checked byte
// for byte.
#include <QFile>
#include <QSet>
#include <QStringList>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cstring>
#include <fcntl.h>
#include <poll.h>

#include "BenchSupport.h"
#include "platform/TlsCertificate.h"

namespace tlsbench
{
using Clock = std::chrono::steady_clock;

inline int acceptWithin(int lfd, int ms)
{
    pollfd p{lfd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0 ? ::accept(lfd, nullptr, nullptr) : -1;
}

// The TLS server's side: a certificate for 127.0.0.1 signed by an authority written to
// a bundle that SSL_CERT_FILE names (so the program trusts it as a real server, with no
// box), TLS 1.3 with one cipher for every reader, and no session tickets to write.
inline SSL_CTX *tlsServerContext(const QString &dir, const QStringList &names = {QStringLiteral("127.0.0.1")})
{
    Tls::CertificateOrder authority;
    authority.commonName = QStringLiteral("Bench Authority");
    authority.authority = true;
    authority.validFromDays = -1;
    authority.validDays = 2;
    Tls::CertificateOrder leaf;
    leaf.commonName = names.first();
    leaf.names = names;
    leaf.issuer = Tls::MakeCertificate(authority);
    leaf.validFromDays = -1;
    leaf.validDays = 2;
    const Tls::Pem server = Tls::MakeCertificate(leaf);
    QFile bundle(dir + QStringLiteral("/authority.pem"));
    if (!bundle.open(QIODevice::WriteOnly) || bundle.write(leaf.issuer.certificate) < 0)
        return nullptr;
    bundle.close();
    qputenv("SSL_CERT_FILE", QFile::encodeName(bundle.fileName()));
    qunsetenv("SSLKEYLOGFILE");

    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    BIO *c = BIO_new_mem_buf(server.certificate.constData(), int(server.certificate.size()));
    BIO *k = BIO_new_mem_buf(server.key.constData(), int(server.key.size()));
    X509 *x = PEM_read_bio_X509(c, nullptr, nullptr, nullptr);
    EVP_PKEY *key = PEM_read_bio_PrivateKey(k, nullptr, nullptr, nullptr);
    const bool ok = SSL_CTX_use_certificate(ctx, x) == 1 && SSL_CTX_use_PrivateKey(ctx, key) == 1 &&
                    SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) == 1 &&
                    SSL_CTX_set_ciphersuites(ctx, "TLS_AES_256_GCM_SHA384") == 1 &&
                    SSL_CTX_set_num_tickets(ctx, 0) == 1;
    X509_free(x);
    EVP_PKEY_free(key);
    BIO_free(c);
    BIO_free(k);
    if (!ok) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// The TLS client's side: TLS 1.3 with the one cipher the server takes, so that both
// legs of a relay carry the same cipher; the relay's certificate is not checked.
inline SSL_CTX *tlsClientContext()
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_ciphersuites(ctx, "TLS_AES_256_GCM_SHA384") != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    return ctx;
}

// Runs an SSL call on a non-blocking descriptor until it is done; false on failure or
// after `ms`.
template <class F> inline bool tlsDrive(SSL *ssl, int fd, F step, int ms)
{
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
        ERR_clear_error();
        const int r = step();
        if (r == 1)
            return true;
        const int e = SSL_get_error(ssl, r);
        if (e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE)
            return false;
        pollfd p{fd, short(e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT), 0};
        ::poll(&p, 1, 100);
    }
    return false;
}

// One TLS end of two streams, on one thread: sends `total` bytes of `out` while
// reading and checking `total` bytes of `in`, whichever the connection takes.
inline bool tlsDuplex(SSL *ssl, int fd, const QByteArray &out, const QByteArray &in, qint64 total)
{
    static thread_local char buf[64 * 1024];
    qint64 sent = 0, got = 0;
    bool exact = true;
    const auto end = Clock::now() + std::chrono::seconds(300);
    while ((sent < total || got < total) && Clock::now() < end) {
        bool moved = false, wantWrite = false;
        if (sent < total) {
            // After WANT_WRITE the same bytes are offered again, as OpenSSL asks.
            const qint64 off = sent % out.size();
            const qint64 n = std::min<qint64>({out.size() - off, total - sent, 16384});
            size_t w = 0;
            ERR_clear_error();
            const int r = SSL_write_ex(ssl, out.constData() + off, size_t(n), &w);
            const int e = r == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, r);
            if (e == SSL_ERROR_NONE) {
                sent += qint64(w);
                moved = true;
            } else if (e == SSL_ERROR_WANT_WRITE) {
                wantWrite = true;
            } else if (e != SSL_ERROR_WANT_READ) {
                return false;
            }
        }
        if (got < total) {
            size_t n = 0;
            ERR_clear_error();
            const int r = SSL_read_ex(ssl, buf, size_t(std::min<qint64>(sizeof buf, total - got)), &n);
            const int e = r == 1 ? SSL_ERROR_NONE : SSL_get_error(ssl, r);
            if (e == SSL_ERROR_NONE) {
                for (size_t done = 0; done < n;) { // compare against the pattern, wrapping round
                    const qint64 at = (got + qint64(done)) % in.size();
                    const size_t len = std::min<size_t>(n - done, size_t(in.size() - at));
                    exact = exact && std::memcmp(buf + done, in.constData() + at, len) == 0;
                    done += len;
                }
                got += qint64(n);
                moved = true;
            } else if (e == SSL_ERROR_WANT_WRITE) {
                wantWrite = true;
            } else if (e != SSL_ERROR_WANT_READ) {
                return false;
            }
        }
        if (!moved) {
            pollfd p{fd, short((got < total || !wantWrite ? POLLIN : 0) | (wantWrite ? POLLOUT : 0)), 0};
            ::poll(&p, 1, 100);
        }
    }
    return exact && sent == total && got == total;
}

// One TLS end: the handshake on `fd`, then both streams, then close_notify. Tells
// the version and cipher agreed on.
inline bool tlsEnd(SSL_CTX *ctx, int fd, bool server, const QByteArray &out, const QByteArray &in,
                   qint64 total, QString *cipher)
{
    if (fd < 0)
        return false;
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    SSL *ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    server ? SSL_set_accept_state(ssl) : SSL_set_connect_state(ssl);
    bool ok = tlsDrive(
        ssl, fd, [ssl] { return SSL_do_handshake(ssl); }, 20000);
    if (ok) {
        *cipher =
            QString::fromLatin1(SSL_get_version(ssl)) + u' ' + QString::fromLatin1(SSL_get_cipher_name(ssl));
        ok = tlsDuplex(ssl, fd, out, in, total);
        ERR_clear_error();
        SSL_shutdown(ssl);
    }
    ERR_clear_error();
    SSL_free(ssl);
    ::close(fd);
    return ok;
}

// Both streams over TLS between a client (connecting to 127.0.0.1:port) and the
// server on lfd; the ciphers each end agreed on are added to `ciphers`.
inline double tlsStreams(SSL_CTX *serverCtx, SSL_CTX *clientCtx, int lfd, quint16 port, const QByteArray &up,
                         const QByteArray &down, qint64 total, bool *exact, QSet<QString> *ciphers)
{
    bool atServer = false, atClient = false;
    QString serverCipher, clientCipher;
    const auto t0 = Clock::now();
    std::thread server([&] {
        atServer = tlsEnd(serverCtx, acceptWithin(lfd, 20000), true, down, up, total, &serverCipher);
    });
    atClient = tlsEnd(clientCtx, tcpConnect(port), false, up, down, total, &clientCipher);
    server.join();
    const double rate = 2.0 * total / seconds(t0, Clock::now());
    *exact = atServer && atClient;
    *ciphers << QStringLiteral("server: ") + serverCipher << QStringLiteral("client: ") + clientCipher;
    return rate;
}

} // namespace tlsbench
