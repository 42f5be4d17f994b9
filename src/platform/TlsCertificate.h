#pragma once
// Certificates for TLS: the program's own (made on first need, kept in the user's
// data directory), certificates made to order (tests make theirs with it), and
// what a certificate says, in words a user can check.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

typedef struct x509_st X509;
typedef struct evp_pkey_st EVP_PKEY;
typedef struct x509_store_ctx_st X509_STORE_CTX;

namespace Tls
{

// A certificate and its private key, both in PEM.
struct Pem {
    QByteArray certificate, key;
};

// What to make: an EC P-256 key and a certificate for it, signed by `issuer` (or
// self-signed when it is empty). Names are DNS names or IP addresses (subject
// alternative names); validity runs from now + validFromDays for validDays.
struct CertificateOrder {
    QString commonName;
    QStringList names;
    int validFromDays = 0;
    int validDays = 825;
    bool authority = false; // a CA that may sign others
    Pem issuer;
};
Pem MakeCertificate(const CertificateOrder &order);

// The program's own certificate for Listen and the relay: AppDataLocation/tls/cert.pem
// and key.pem, made on first need (subject "Wirebench"; localhost, 127.0.0.1, ::1 and
// the host name; 825 days; the key readable by the user only) and reused afterwards.
// Files that exist but cannot be read or do not hold a matching certificate and key
// raise a Failure that names the file; they are never overwritten.
Pem OwnCertificate();
QString OwnCertificateDirectory();

// What a certificate says, as shown to the user.
struct Description {
    QString subject, issuer;       // one-line distinguished names, "CN=example.org, O=..."
    QDateTime notBefore, notAfter; // UTC
    QString fingerprint;           // SHA-256, "AB:CD:..." as openssl x509 -fingerprint prints it
};
Description Describe(X509 *certificate);
Description Describe(const QByteArray &pem);

// One verification error of OpenSSL (X509_V_ERR_...) in words: "it is self-signed",
// "it has expired", "it was issued for another name", "its issuer is not known", ...
QString ProblemText(int verifyError);

} // namespace Tls
