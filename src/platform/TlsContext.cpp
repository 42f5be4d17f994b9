#include "platform/TlsContext.h"

#include <QFile>
#include <QHostAddress>
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
        auto *problems = ssl ? static_cast<std::vector<int> *>(SSL_get_app_data(ssl)) : nullptr;
        const int error = X509_STORE_CTX_get_error(store);
        if (problems && std::find(problems->begin(), problems->end(), error) == problems->end())
            problems->push_back(error);
    }
    return 1;
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

SSL *Tls::ClientSession(const QString &host, std::vector<int> *problems)
{
    // A context per connection, so the trust store is read as it stands now.
    SSL_CTX *ctx = newContext(TLS_client_method());
    SSL_CTX_set_default_verify_paths(ctx);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, collectProblems);
    SSL *ssl = session(ctx);
    SSL_set_app_data(ssl, problems);
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

SSL *Tls::ServerSession()
{
    const Pem own = OwnCertificate();
    SSL_CTX *ctx = newContext(TLS_server_method());
    BIO *certificate = BIO_new_mem_buf(own.certificate.constData(), int(own.certificate.size()));
    BIO *key = BIO_new_mem_buf(own.key.constData(), int(own.key.size()));
    X509 *x = PEM_read_bio_X509(certificate, nullptr, nullptr, nullptr);
    EVP_PKEY *k = PEM_read_bio_PrivateKey(key, nullptr, nullptr, nullptr);
    const bool ok = x && k && SSL_CTX_use_certificate(ctx, x) == 1 && SSL_CTX_use_PrivateKey(ctx, k) == 1 &&
                    SSL_CTX_check_private_key(ctx) == 1;
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
    return session(ctx);
}

QString Tls::Version(SSL *ssl)
{
    return QString::fromLatin1(SSL_get_version(ssl));
}

QString Tls::Summary(SSL *ssl, bool server)
{
    QString text =
        QStringLiteral("TLS: %1, %2").arg(Version(ssl), QString::fromLatin1(SSL_get_cipher_name(ssl)));
    const unsigned char *alpn = nullptr;
    unsigned int alpnSize = 0;
    SSL_get0_alpn_selected(ssl, &alpn, &alpnSize);
    if (alpnSize)
        text += QStringLiteral(", ALPN %1")
                    .arg(QString::fromLatin1(reinterpret_cast<const char *>(alpn), alpnSize));
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
