#include "TlsCertificate.h"

#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QStandardPaths>
#include <QSysInfo>

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Failure.h"

namespace Tls
{
namespace
{

template <auto Free> struct Deleter {
    template <class T> void operator()(T *p) const { Free(p); }
};
using BioPtr = std::unique_ptr<BIO, Deleter<BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using BnPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
using ExtPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION_free>>;

// The last error OpenSSL queued, in its own words; the queue is emptied.
QString openSslText()
{
    const unsigned long e = ERR_peek_last_error();
    char buf[256] = "unknown error";
    if (e)
        ERR_error_string_n(e, buf, sizeof buf);
    ERR_clear_error();
    return QString::fromLatin1(buf);
}

// Failures of the machinery itself (no memory, no random numbers), not of the user's files.
[[noreturn]] void fail(const char *what)
{
    throw Failure(FailureNo::TlsCertificate,
                  QStringLiteral("Cannot %1: %2.").arg(QLatin1String(what), openSslText()));
}

BioPtr readBio(const QByteArray &data)
{
    return BioPtr(BIO_new_mem_buf(data.constData(), int(data.size())));
}

QByteArray bioText(BIO *bio)
{
    char *p = nullptr;
    const long n = BIO_get_mem_data(bio, &p);
    return QByteArray(p, n);
}

// A key is never asked for a pass phrase on the terminal: an encrypted key does not load.
int noPassword(char *, int, int, void *)
{
    return 0;
}

X509Ptr readCertificate(const QByteArray &pem)
{
    BioPtr bio = readBio(pem);
    X509Ptr x(bio ? PEM_read_bio_X509(bio.get(), nullptr, noPassword, nullptr) : nullptr);
    ERR_clear_error();
    return x;
}

KeyPtr readKey(const QByteArray &pem)
{
    BioPtr bio = readBio(pem);
    KeyPtr k(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassword, nullptr) : nullptr);
    ERR_clear_error();
    return k;
}

void addExtension(X509 *x, X509V3_CTX *ctx, int nid, const QString &value)
{
    ExtPtr ext(X509V3_EXT_conf_nid(nullptr, ctx, nid, value.toUtf8().constData()));
    if (!ext || !X509_add_ext(x, ext.get(), -1))
        fail("add a certificate extension");
}

QDateTime fromAsn1(const ASN1_TIME *t)
{
    tm parts{};
    if (!t || !ASN1_TIME_to_tm(t, &parts))
        return QDateTime();
    return QDateTime(QDate(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday),
                     QTime(parts.tm_hour, parts.tm_min, parts.tm_sec), Qt::UTC);
}

// A distinguished name on one line, most specific part first as people read it:
// "CN=example.org, O=Example, C=NL". UTF-8 stays as it is, controls are escaped.
QString oneLine(const X509_NAME *name)
{
    constexpr unsigned long flags = (ASN1_STRFLGS_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) | XN_FLAG_SEP_CPLUS_SPC |
                                    XN_FLAG_DN_REV | XN_FLAG_FN_SN;
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || X509_NAME_print_ex(bio.get(), name, 0, flags) < 0)
        return QString();
    return QString::fromUtf8(bioText(bio.get()));
}

QString systemText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

enum class Read { Missing, Done };

// The whole file, or Missing when there is none; anything else that stops the
// reading is a failure naming the file.
Read readFile(const QString &path, QByteArray *data)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return Read::Missing;
        throw Failure(FailureNo::TlsCertificate,
                      QStringLiteral("The file %1 cannot be read: %2.").arg(path, systemText(errno)));
    }
    data->clear();
    char buf[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || data->size() > 1024 * 1024) {
            const int error = n < 0 ? errno : EFBIG;
            ::close(fd);
            throw Failure(FailureNo::TlsCertificate,
                          QStringLiteral("The file %1 cannot be read: %2.").arg(path, systemText(error)));
        }
        data->append(buf, n);
    }
    ::close(fd);
    return Read::Done;
}

// Writes a new file in one step: a temporary file in the same directory with the
// final mode, synced, then linked under its name, which fails rather than replace
// a file that appeared meanwhile.
void writeNewFile(const QString &path, const QByteArray &data, mode_t mode)
{
    const auto failure = [&](int error) {
        return Failure(FailureNo::TlsCertificate,
                       QStringLiteral("The file %1 cannot be written: %2.").arg(path, systemText(error)));
    };
    QByteArray temp = QFile::encodeName(path) + ".XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC); // created with mode 0600
    if (fd < 0)
        throw failure(errno);
    int error = 0;
    for (qsizetype done = 0; done < data.size() && !error;) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n >= 0)
            done += n;
        else if (errno != EINTR)
            error = errno;
    }
    if (!error && (::fchmod(fd, mode) != 0 || ::fsync(fd) != 0))
        error = errno;
    if (::close(fd) != 0 && !error)
        error = errno;
    if (!error && ::link(temp.constData(), QFile::encodeName(path).constData()) != 0)
        error = errno;
    ::unlink(temp.constData());
    if (error)
        throw failure(error);
}

const QString CertFile = QStringLiteral("cert.pem");
const QString KeyFile = QStringLiteral("key.pem");

// The pair as found: the first certificate in the file must belong to the key
// (any others are its chain and must parse too).
Pem checkedPair(const QString &certPath, const QByteArray &cert, const QString &keyPath,
                const QByteArray &key)
{
    const auto broken = [](const QString &text) { return Failure(FailureNo::TlsCertificate, text); };
    X509Ptr leaf = readCertificate(cert);
    if (!leaf)
        throw broken(QStringLiteral("The file %1 does not hold a certificate in PEM form.").arg(certPath));
    BioPtr bio = readBio(cert);
    int count = 0;
    while (X509Ptr(PEM_read_bio_X509(bio.get(), nullptr, noPassword, nullptr)))
        ++count;
    const unsigned long last = ERR_peek_last_error();
    ERR_clear_error();
    if (ERR_GET_REASON(last) != PEM_R_NO_START_LINE)
        throw broken(QStringLiteral("The file %1 holds a damaged certificate after the first of %2.")
                         .arg(certPath)
                         .arg(count));
    KeyPtr k = readKey(key);
    if (!k)
        throw broken(QStringLiteral("The file %1 does not hold a private key in PEM form "
                                    "(a key protected by a pass phrase cannot be used).")
                         .arg(keyPath));
    if (X509_check_private_key(leaf.get(), k.get()) != 1) {
        ERR_clear_error();
        throw broken(
            QStringLiteral("The key in %1 does not belong to the certificate in %2.").arg(keyPath, certPath));
    }
    return {cert, key};
}

} // namespace

Pem MakeCertificate(const CertificateOrder &order)
{
    KeyPtr key(EVP_EC_gen("P-256"));
    if (!key)
        fail("make a key");
    X509Ptr x(X509_new());
    if (!x || !X509_set_version(x.get(), X509_VERSION_3))
        fail("make a certificate");

    // A random positive serial of 159 bits, as RFC 5280 allows at most 20 octets.
    BnPtr serial(BN_new());
    if (!serial || !BN_rand(serial.get(), 159, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY) ||
        !BN_to_ASN1_INTEGER(serial.get(), X509_get_serialNumber(x.get())))
        fail("make a serial number");

    if (!X509_time_adj_ex(X509_getm_notBefore(x.get()), order.validFromDays, 0, nullptr) ||
        !X509_time_adj_ex(X509_getm_notAfter(x.get()), order.validFromDays + order.validDays, 0, nullptr))
        fail("set the validity");

    X509_NAME *subject = X509_get_subject_name(x.get());
    if (!X509_NAME_add_entry_by_NID(
            subject, NID_commonName, MBSTRING_UTF8,
            reinterpret_cast<const unsigned char *>(order.commonName.toUtf8().constData()), -1, -1, 0))
        fail("set the subject");
    if (!X509_set_pubkey(x.get(), key.get()))
        fail("set the public key");

    // The issuer: another certificate and its key, or this one itself.
    X509Ptr issuerCert;
    KeyPtr issuerKey;
    if (!order.issuer.certificate.isEmpty()) {
        issuerCert = readCertificate(order.issuer.certificate);
        issuerKey = readKey(order.issuer.key);
        if (!issuerCert || !issuerKey || X509_check_private_key(issuerCert.get(), issuerKey.get()) != 1)
            throw Failure(
                FailureNo::TlsCertificate,
                QStringLiteral("The issuer of a new certificate is not a certificate with its key."));
    }
    X509 *signer = issuerCert ? issuerCert.get() : x.get();
    if (!X509_set_issuer_name(x.get(), X509_get_subject_name(signer)))
        fail("set the issuer");

    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, signer, x.get(), nullptr, nullptr, 0);
    QStringList names;
    for (const QString &n : order.names)
        names << (QHostAddress(n).isNull() ? QStringLiteral("DNS:") : QStringLiteral("IP:")) + n;
    if (!names.isEmpty())
        addExtension(x.get(), &ctx, NID_subject_alt_name, names.join(u','));
    addExtension(x.get(), &ctx, NID_basic_constraints,
                 order.authority ? QStringLiteral("critical,CA:TRUE") : QStringLiteral("CA:FALSE"));
    addExtension(x.get(), &ctx, NID_subject_key_identifier, QStringLiteral("hash"));
    if (order.authority)
        addExtension(x.get(), &ctx, NID_key_usage,
                     QStringLiteral("critical,keyCertSign,cRLSign,digitalSignature"));
    else if (issuerCert) // a self-signed leaf has no key usage, so that it may stand as its own anchor
        addExtension(x.get(), &ctx, NID_key_usage, QStringLiteral("critical,digitalSignature"));
    if (issuerCert)
        addExtension(x.get(), &ctx, NID_authority_key_identifier, QStringLiteral("keyid"));
    if (!order.authority)
        addExtension(x.get(), &ctx, NID_ext_key_usage, QStringLiteral("serverAuth,clientAuth"));

    if (!X509_sign(x.get(), issuerKey ? issuerKey.get() : key.get(), EVP_sha256()))
        fail("sign the certificate");

    BioPtr certOut(BIO_new(BIO_s_mem())), keyOut(BIO_new(BIO_s_mem()));
    if (!certOut || !keyOut || !PEM_write_bio_X509(certOut.get(), x.get()) ||
        !PEM_write_bio_PrivateKey(keyOut.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr))
        fail("write the certificate");
    return {bioText(certOut.get()), bioText(keyOut.get())};
}

QString OwnCertificateDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/tls");
}

Pem OwnCertificate()
{
    const QString dir = OwnCertificateDirectory();
    const QString certPath = dir + u'/' + CertFile, keyPath = dir + u'/' + KeyFile;
    QByteArray cert, key;
    const Read certRead = readFile(certPath, &cert);
    const Read keyRead = readFile(keyPath, &key);
    if (certRead == Read::Done && keyRead == Read::Done)
        return checkedPair(certPath, cert, keyPath, key);
    if (certRead != keyRead) // one of the two: the other is not made up to match it
        throw Failure(FailureNo::TlsCertificate, QStringLiteral("The file %1 is missing while %2 is there.")
                                                     .arg(certRead == Read::Missing ? certPath : keyPath,
                                                          certRead == Read::Missing ? keyPath : certPath));

    // First use: a key and a self-signed certificate for the names this machine answers to.
    if (!QDir().mkpath(dir))
        throw Failure(FailureNo::TlsCertificate, QStringLiteral("The directory %1 cannot be made.").arg(dir));
    ::chmod(QFile::encodeName(dir).constData(), 0700);
    CertificateOrder order;
    order.commonName = QStringLiteral("Wirebench");
    order.names = {QStringLiteral("localhost"), QStringLiteral("127.0.0.1"), QStringLiteral("::1")};
    const QString host = QSysInfo::machineHostName();
    if (!host.isEmpty() && !order.names.contains(host, Qt::CaseInsensitive))
        order.names << host;
    order.validDays = 825;
    const Pem made = MakeCertificate(order);
    // The key goes first: a certificate on its own is never left behind for a key that is not there.
    writeNewFile(keyPath, made.key, 0600);
    writeNewFile(certPath, made.certificate, 0644);
    return made;
}

Description Describe(X509 *certificate)
{
    Description d;
    if (!certificate)
        return d;
    d.subject = oneLine(X509_get_subject_name(certificate));
    d.issuer = oneLine(X509_get_issuer_name(certificate));
    d.notBefore = fromAsn1(X509_get0_notBefore(certificate));
    d.notAfter = fromAsn1(X509_get0_notAfter(certificate));
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), md, &size))
        d.fingerprint =
            QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(md), size).toHex(':').toUpper());
    ERR_clear_error();
    return d;
}

Description Describe(const QByteArray &pem)
{
    return Describe(readCertificate(pem).get());
}

QString ProblemText(int verifyError)
{
    switch (verifyError) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN: return QStringLiteral("it is self-signed");
    case X509_V_ERR_CERT_HAS_EXPIRED: return QStringLiteral("it has expired");
    case X509_V_ERR_CERT_NOT_YET_VALID: return QStringLiteral("it is not valid yet");
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH: return QStringLiteral("it was issued for another name");
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE: return QStringLiteral("its issuer is not known");
    case X509_V_ERR_CERT_REVOKED: return QStringLiteral("it has been revoked");
    default:
        return QStringLiteral("it could not be verified (%1)")
            .arg(QString::fromUtf8(X509_verify_cert_error_string(verifyError)));
    }
}

} // namespace Tls
