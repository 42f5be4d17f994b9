#pragma once
// TLS sessions of the socket component, on OpenSSL: trust as the system has it
// (OpenSSL's default paths, so SSL_CERT_FILE and SSL_CERT_DIR work), the program's
// own certificate for the server side, and SSLKEYLOGFILE honoured.
#include <QString>
#include <vector>

typedef struct ssl_st SSL;

namespace Tls
{
// A client session towards host: SNI for a name, the name or address checked against
// the server's certificate. Every problem the certificate has is added to `problems`
// (X509_V_ERR codes) while the handshake goes on; the caller decides afterwards.
SSL *ClientSession(const QString &host, std::vector<int> *problems);
// A server session with the program's own certificate; a Failure names a broken file.
SSL *ServerSession();
// The session once established, for the log: version, cipher, and the certificate
// that identifies the server (the peer's, or the program's own when it is the server).
QString Summary(SSL *ssl, bool server);
QString Version(SSL *ssl);
// The peer's certificate as the user checks it: subject, issuer, validity, fingerprint.
QString PeerDetails(SSL *ssl);
} // namespace Tls
