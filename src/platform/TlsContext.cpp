#include "platform/TlsContext.h"

#include <QFile>
#include <QHostAddress>
#include <cstring>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "platform/Failure.h"
#include "platform/TlsCertificate.h"

namespace
{

// Appends a session's secrets to the file SSLKEYLOGFILE names, in the key-log format
// that packet analysers read.
void keyLog(const SSL *, const char *line)
{
    const QByteArray path = qgetenv("SSLKEYLOGFILE");
    if (path.isEmpty())
        return;
    QFile file(QString::fromLocal8Bit(path));
    if (file.open(QIODevice::Append | QIODevice::WriteOnly)) {
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
        file.write(QByteArray(line) + '\n');
    }
}

// Notes every problem of the peer's certificate and lets the handshake go on: the
// user decides once it is done.
int collectProblems(int ok, X509_STORE_CTX *store)
{
    if (!ok) {
        auto *ssl =
            static_cast<SSL *>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
        auto *state = ssl ? static_cast<Tls::SessionState *>(SSL_get_app_data(ssl)) : nullptr;
        const int error = X509_STORE_CTX_get_error(store);
        if (state &&
            std::find(state->problems.begin(), state->problems.end(), error) == state->problems.end())
            state->problems.push_back(error);
    }
    return 1;
}

// A server that relays pauses at its client's hello, noting the name asked for and the
// protocols offered, until it knows what the server beyond has agreed on.
int clientHello(SSL *ssl, int *, void *)
{
    auto *state = static_cast<Tls::SessionState *>(SSL_get_app_data(ssl));
    if (!state || !state->holdHello || state->helloAnswered)
        return SSL_CLIENT_HELLO_SUCCESS;
    if (!state->helloHeld) {
        state->helloHeld = true;
        const unsigned char *data = nullptr;
        size_t size = 0;
        // server_name: list length (2), type (1), name length (2), name.
        if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_server_name, &data, &size) && size > 5 &&
            data[2] == 0) {
            const size_t length = size_t(data[3]) << 8 | data[4];
            if (5 + length <= size)
                state->helloName =
                    QString::fromLatin1(reinterpret_cast<const char *>(data + 5), qsizetype(length));
        }
        // ALPN: list length (2), then the list in wire form.
        if (SSL_client_hello_get0_ext(ssl, TLSEXT_TYPE_application_layer_protocol_negotiation, &data,
                                      &size) &&
            size > 2)
            state->helloAlpn = QByteArray(reinterpret_cast<const char *>(data + 2), qsizetype(size - 2));
    }
    return SSL_CLIENT_HELLO_RETRY;
}

// The protocol agreed on beyond, if the client offered it; none otherwise.
int selectAlpn(SSL *ssl, const unsigned char **out, unsigned char *outSize, const unsigned char *in,
               unsigned int inSize, void *)
{
    auto *state = static_cast<Tls::SessionState *>(SSL_get_app_data(ssl));
    if (!state || state->alpnChoice.isEmpty())
        return SSL_TLSEXT_ERR_NOACK;
    for (unsigned int i = 0; i < inSize; i += 1u + in[i])
        if (in[i] == state->alpnChoice.size() && i + 1 + in[i] <= inSize &&
            std::memcmp(in + i + 1, state->alpnChoice.constData(), in[i]) == 0) {
            *out = in + i + 1;
            *outSize = in[i];
            return SSL_TLSEXT_ERR_OK;
        }
    return SSL_TLSEXT_ERR_NOACK;
}

SSL_CTX *newContext(const SSL_METHOD *method)
{
    SSL_CTX *ctx = SSL_CTX_new(method);
    if (!ctx)
        throw Failure(FailureNo::TlsFailure,
                      QStringLiteral("TLS cannot be set up: %1.")
                          .arg(QString::fromLatin1(ERR_reason_error_string(ERR_get_error()))));
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    // A peer that drops the connection without close_notify has ended, as many servers do.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_keylog_callback(ctx, keyLog);
    return ctx;
}

// A session of its own context, which the session keeps alive.
SSL *session(SSL_CTX *ctx)
{
    SSL *ssl = SSL_new(ctx);
    SSL_CTX_free(ctx);
    if (!ssl)
        throw Failure(FailureNo::TlsFailure, QStringLiteral("A TLS session cannot be made."));
    return ssl;
}

} // namespace

SSL *Tls::ClientSession(const QString &host, const QByteArray &alpn, SessionState *state)
{
    // A context per connection, so the trust store is read as it stands now.
    SSL_CTX *ctx = newContext(TLS_client_method());
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, collectProblems);
    SSL *ssl = session(ctx);
    SSL_set_app_data(ssl, state);
    if (!alpn.isEmpty())
        SSL_set_alpn_protos(ssl, reinterpret_cast<const unsigned char *>(alpn.constData()),
                            unsigned(alpn.size()));
    QString name = host.trimmed();
    if (name.startsWith(u'[') && name.endsWith(u']'))
        name = name.mid(1, name.size() - 2);
    const QString withoutScope = name.section(u'%', 0, 0);
    if (QHostAddress(withoutScope).isNull()) {
        const QByteArray ascii = name.toUtf8();
        SSL_set_tlsext_host_name(ssl, ascii.constData());
        SSL_set1_host(ssl, ascii.constData());
    } else {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), withoutScope.toLatin1().constData());
    }
    return ssl;
}

SSL *Tls::ServerSession(SessionState *state)
{
    const Pem own = OwnCertificate();
    SSL_CTX *ctx = newContext(TLS_server_method());
    BIO *certificate = BIO_new_mem_buf(own.certificate.constData(), int(own.certificate.size()));
    BIO *key = BIO_new_mem_buf(own.key.constData(), int(own.key.size()));
    X509 *x = PEM_read_bio_X509(certificate, nullptr, nullptr, nullptr);
    EVP_PKEY *k = PEM_read_bio_PrivateKey(key, nullptr, nullptr, nullptr);
    bool ok = x && k && SSL_CTX_use_certificate(ctx, x) == 1 && SSL_CTX_use_PrivateKey(ctx, k) == 1 &&
              SSL_CTX_check_private_key(ctx) == 1;
    // The certificates after the first are its chain: clients need the intermediates.
    while (X509 *issuer = ok ? PEM_read_bio_X509(certificate, nullptr, nullptr, nullptr) : nullptr)
        if (SSL_CTX_add0_chain_cert(ctx, issuer) != 1) {
            X509_free(issuer);
            ok = false;
        }
    ERR_clear_error(); // the end of the file reads as an error
    X509_free(x);
    EVP_PKEY_free(k);
    BIO_free(certificate);
    BIO_free(key);
    if (!ok) {
        SSL_CTX_free(ctx);
        throw Failure(FailureNo::TlsCertificate,
                      QStringLiteral("The certificate in %1 cannot be used with its key.")
                          .arg(OwnCertificateDirectory()));
    }
    SSL_CTX_set_client_hello_cb(ctx, clientHello, nullptr);
    SSL_CTX_set_alpn_select_cb(ctx, selectAlpn, nullptr);
    SSL *ssl = session(ctx);
    SSL_set_app_data(ssl, state);
    return ssl;
}

QString Tls::Version(SSL *ssl)
{
    return QString::fromLatin1(SSL_get_version(ssl));
}

QByteArray Tls::Alpn(SSL *ssl)
{
    const unsigned char *alpn = nullptr;
    unsigned int size = 0;
    SSL_get0_alpn_selected(ssl, &alpn, &size);
    return QByteArray(reinterpret_cast<const char *>(alpn), size);
}

QString Tls::Summary(SSL *ssl, bool server)
{
    QString text = QStringLiteral("%1, %2").arg(Version(ssl), QString::fromLatin1(SSL_get_cipher_name(ssl)));
    const QByteArray alpn = Alpn(ssl);
    if (!alpn.isEmpty())
        text += QStringLiteral(", ALPN %1").arg(QString::fromLatin1(alpn));
    X509 *certificate = server ? SSL_get_certificate(ssl) : SSL_get0_peer_certificate(ssl);
    if (certificate) {
        const Description d = Describe(certificate);
        text += (server ? QStringLiteral("; this program's certificate %1")
                        : QStringLiteral("; server certificate %1"))
                    .arg(d.subject) +
                QStringLiteral(", SHA-256 %1").arg(d.fingerprint);
    }
    return text;
}

QString Tls::PeerDetails(SSL *ssl)
{
    X509 *certificate = SSL_get0_peer_certificate(ssl);
    if (!certificate)
        return QStringLiteral("The server sent no certificate.");
    const Description d = Describe(certificate);
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss 'UTC'");
    return QStringLiteral("Subject: %1\r\nIssuer: %2\r\nValid from %3 to %4\r\nSHA-256 fingerprint: %5")
        .arg(d.subject, d.issuer, d.notBefore.toString(format), d.notAfter.toString(format), d.fingerprint);
}
