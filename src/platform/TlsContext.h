#pragma once
// TLS sessions of the socket component, on OpenSSL: trust as the system has it
// (OpenSSL's default paths, so SSL_CERT_FILE and SSL_CERT_DIR work), the program's
// own certificate for the server side, and SSLKEYLOGFILE honoured.
#include <QByteArray>
#include <QString>
#include <vector>

typedef struct ssl_st SSL;

namespace Tls
{
// What a session's callbacks note and answer while its handshake runs.
struct SessionState {
    std::vector<int> problems; // the server certificate's problems (X509_V_ERR codes)
    bool holdHello = false;    // a server pauses at its client's hello until answered
    bool helloHeld = false;
    bool helloAnswered = false;
    QString helloName;     // the name the client asked for (SNI)
    QByteArray helloAlpn;  // the protocols it offered, in ALPN's wire form
    QByteArray alpnChoice; // the one to agree on with it; empty for none
};

// A client session towards host: SNI for a name, the name or address checked against
// the server's certificate, `alpn` (wire form) offered. Every problem the certificate
// has is noted in `state` while the handshake goes on; the caller decides afterwards.
SSL *ClientSession(const QString &host, const QByteArray &alpn, SessionState *state);
// A server session with the program's own certificate; a Failure names a broken file.
SSL *ServerSession(SessionState *state);
// The session once established, for the log: version, cipher, and the certificate
// that identifies the server (the peer's, or the program's own when it is the server).
QString Summary(SSL *ssl, bool server);
QString Version(SSL *ssl);
QByteArray Alpn(SSL *ssl);
// The peer's certificate as the user checks it: subject, issuer, validity, fingerprint.
QString PeerDetails(SSL *ssl);
} // namespace Tls
