// Certificates: the program's own, made once and kept; broken files named and left alone;
// descriptions as the openssl tool prints them; verification errors in words.
#include <QDir>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcess>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTest>

#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>
#include <sys/stat.h>

#include "platform/Failure.h"
#include "platform/TlsCertificate.h"

namespace
{

struct X509Free {
    void operator()(X509 *x) const { X509_free(x); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;

X509Ptr parse(const QByteArray &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.constData(), int(pem.size()));
    X509Ptr x(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    return x;
}

// What OpenSSL says of `leaf` (with `chain` as the untrusted certificates the peer sent)
// against a store that trusts `anchors`, checked for `name` as a TLS client checks it.
int verify(const QByteArray &leaf, const QList<QByteArray> &chain, const QList<QByteArray> &anchors,
           const QString &name, int purpose = X509_PURPOSE_SSL_SERVER)
{
    X509_STORE *store = X509_STORE_new();
    for (const QByteArray &a : anchors)
        X509_STORE_add_cert(store, parse(a).get());
    STACK_OF(X509) *untrusted = sk_X509_new_null();
    for (const QByteArray &c : chain)
        sk_X509_push(untrusted, parse(c).release());
    X509Ptr x = parse(leaf);
    X509_STORE_CTX *ctx = X509_STORE_CTX_new();
    X509_STORE_CTX_init(ctx, store, x.get(), untrusted);
    X509_STORE_CTX_set_purpose(ctx, purpose);
    X509_VERIFY_PARAM *param = X509_STORE_CTX_get0_param(ctx);
    if (!QHostAddress(name).isNull())
        X509_VERIFY_PARAM_set1_ip_asc(param, name.toLatin1().constData());
    else
        X509_VERIFY_PARAM_set1_host(param, name.toLatin1().constData(), 0);
    const int result = X509_verify_cert(ctx) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(ctx);
    X509_STORE_CTX_free(ctx);
    sk_X509_pop_free(untrusted, X509_free);
    X509_STORE_free(store);
    return result;
}

Tls::Pem make(const QString &cn, const QStringList &names, const Tls::Pem &issuer = {},
              bool authority = false, int from = 0, int days = 30)
{
    Tls::CertificateOrder order;
    order.commonName = cn;
    order.names = names;
    order.issuer = issuer;
    order.authority = authority;
    order.validFromDays = from;
    order.validDays = days;
    return Tls::MakeCertificate(order);
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<unreadable>");
}

void writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
}

// The openssl tool's answer to `arguments` about the certificate in `pem`; empty when it cannot run.
QString openssl(const QByteArray &pem, const QStringList &arguments, const QString &dir)
{
    const QString file = dir + QStringLiteral("/probe.pem");
    writeFile(file, pem);
    QProcess p;
    p.start(QStringLiteral("openssl"), QStringList{"x509", "-noout", "-in", file} + arguments);
    if (!p.waitForFinished(20000) || p.exitCode() != 0)
        return QString();
    return QString::fromUtf8(p.readAllStandardOutput()).trimmed();
}

QString afterEquals(const QString &line)
{
    return line.mid(line.indexOf(u'=') + 1);
}

} // namespace

class tst_TlsCertificate : public QObject
{
    Q_OBJECT
    std::unique_ptr<QTemporaryDir> home;
    QString dir() const { return Tls::OwnCertificateDirectory(); }

private slots:
    // Each case has a data directory of its own, and nothing reaches the real one.
    void init()
    {
        home = std::make_unique<QTemporaryDir>();
        QVERIFY(home->isValid());
        qputenv("HOME", home->path().toUtf8());
        qputenv("XDG_DATA_HOME", (home->path() + QStringLiteral("/data")).toUtf8());
        QVERIFY(dir().startsWith(home->path()));
    }

    void ownCertificateIsMadeOnceAndKept()
    {
        QVERIFY(!QFileInfo::exists(dir()));
        const Tls::Pem first = Tls::OwnCertificate();
        const QString certPath = dir() + QStringLiteral("/cert.pem"),
                      keyPath = dir() + QStringLiteral("/key.pem");
        QCOMPARE(readFile(certPath), first.certificate);
        QCOMPARE(readFile(keyPath), first.key);
        struct stat key {
        }, directory{};
        QCOMPARE(::stat(QFile::encodeName(keyPath).constData(), &key), 0);
        QCOMPARE(::stat(QFile::encodeName(dir()).constData(), &directory), 0);
        QCOMPARE(key.st_mode & 0777, mode_t(0600));
        QCOMPARE(directory.st_mode & 0077, mode_t(0));
        QCOMPARE(QDir(dir()).entryList(QDir::Files).size(), 2); // no temporary file left behind

        const Tls::Description d = Tls::Describe(first.certificate);
        QCOMPARE(d.subject, QStringLiteral("CN=Wirebench"));
        QCOMPARE(d.issuer, d.subject);
        QCOMPARE(d.notBefore.daysTo(d.notAfter), 825);
        QVERIFY(qAbs(d.notBefore.secsTo(QDateTime::currentDateTimeUtc())) < 600);

        // A client that pins it finds every name the machine answers to.
        for (const QString &name : {QStringLiteral("localhost"), QStringLiteral("127.0.0.1"),
                                    QStringLiteral("::1"), QSysInfo::machineHostName()})
            QVERIFY2(verify(first.certificate, {}, {first.certificate}, name) == X509_V_OK, qPrintable(name));
        QCOMPARE(verify(first.certificate, {}, {first.certificate}, QStringLiteral("example.org")),
                 X509_V_ERR_HOSTNAME_MISMATCH);

        const Tls::Pem second = Tls::OwnCertificate();
        QCOMPARE(Tls::Describe(second.certificate).fingerprint, d.fingerprint);
        QCOMPARE(second.key, first.key);
    }

    // Files that cannot be used: a failure that names the file at fault, and both files as they were.
    void brokenFilesAreNamedAndLeftAlone()
    {
        const Tls::Pem good = make(QStringLiteral("a"), {}), other = make(QStringLiteral("b"), {});
        QByteArray cut = good.certificate;
        cut.truncate(cut.size() / 2);
        const QString certPath = dir() + QStringLiteral("/cert.pem"),
                      keyPath = dir() + QStringLiteral("/key.pem");
        // What cert.pem and key.pem hold (a null array: no such file), which one is named, and a word of why.
        using Row = std::tuple<const char *, QByteArray, QByteArray, QString, QString>;
        for (const auto &[what, cert, key, named, why] :
             {Row{"not PEM", "hello\n", good.key, certPath, "certificate"},
              Row{"cut short", cut, good.key, certPath, "certificate"},
              Row{"damaged chain", good.certificate + cut, good.key, certPath, "damaged"},
              Row{"key not PEM", good.certificate, "hello\n", keyPath, "key"},
              Row{"key of another", good.certificate, other.key, keyPath, "does not belong"},
              Row{"key missing", good.certificate, QByteArray(), keyPath, "missing"},
              Row{"certificate missing", QByteArray(), good.key, certPath, "missing"}}) {
            QDir(dir()).removeRecursively();
            QVERIFY(QDir().mkpath(dir()));
            if (!cert.isNull())
                writeFile(certPath, cert);
            if (!key.isNull())
                writeFile(keyPath, key);
            try {
                Tls::OwnCertificate();
                QFAIL(what);
            } catch (const Failure &f) {
                QCOMPARE(f.Number, FailureNo::TlsCertificate);
                QVERIFY2(f.Description.contains(named) && f.Description.contains(why),
                         qPrintable(f.Description));
            }
            QCOMPARE(QFileInfo::exists(certPath), !cert.isNull());
            QCOMPARE(QFileInfo::exists(keyPath), !key.isNull());
            if (!cert.isNull())
                QCOMPARE(readFile(certPath), cert);
            if (!key.isNull())
                QCOMPARE(readFile(keyPath), key);
            QCOMPARE(QDir(dir()).entryList(QDir::Files).size(), int(!cert.isNull()) + int(!key.isNull()));
        }

        // A name that cannot be read as a file (here a directory, as root reads any file).
        QDir(dir()).removeRecursively();
        QVERIFY(QDir().mkpath(certPath));
        writeFile(keyPath, good.key);
        try {
            Tls::OwnCertificate();
            QFAIL("a directory read as the certificate");
        } catch (const Failure &f) {
            QVERIFY2(f.Description.contains(certPath) &&
                         f.Description.contains(QStringLiteral("cannot be read")),
                     qPrintable(f.Description));
        }
        QVERIFY(QFileInfo(certPath).isDir());
    }

    // The description says what the openssl tool says, in the order people read names.
    void describedAsTheOpenSslToolPrintsIt()
    {
        if (QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty())
            QSKIP("openssl not found");
        const Tls::Pem made = make(QStringLiteral("Zürich test"), {QStringLiteral("localhost")});
        const Tls::Description d = Tls::Describe(made.certificate);
        QCOMPARE(d.fingerprint,
                 afterEquals(openssl(made.certificate, {"-fingerprint", "-sha256"}, home->path())));
        QCOMPARE(d.subject, QStringLiteral("CN=Zürich test"));
        const QDateTime from = QDateTime::fromString(
                            afterEquals(openssl(made.certificate, {"-startdate", "-dateopt", "iso_8601"},
                                                home->path())),
                            Qt::ISODate),
                        to = QDateTime::fromString(
                            afterEquals(openssl(made.certificate, {"-enddate", "-dateopt", "iso_8601"},
                                                home->path())),
                            Qt::ISODate);
        QVERIFY(from.isValid() && to.isValid());
        QCOMPARE(d.notBefore, from.toUTC());
        QCOMPARE(d.notAfter, to.toUTC());
        QCOMPARE(d.notBefore.timeSpec(), Qt::UTC);

        // A name of several parts, made by the tool itself.
        const QString key = home->path() + QStringLiteral("/k.pem"),
                      cert = home->path() + QStringLiteral("/c.pem");
        QProcess req;
        req.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                   "-keyout", key, "-out", cert, "-days", "2", "-subj",
                   "/C=NL/O=Example, Inc/OU=Ops/CN=example.test"});
        QVERIFY(req.waitForFinished(20000) && req.exitCode() == 0);
        const QByteArray pem = readFile(cert);
        const Tls::Description multi = Tls::Describe(pem);
        QCOMPARE(multi.subject, QStringLiteral("CN=example.test, OU=Ops, O=Example\\, Inc, C=NL"));
        QCOMPARE(multi.issuer, multi.subject);
        QCOMPARE(multi.fingerprint, afterEquals(openssl(pem, {"-fingerprint", "-sha256"}, home->path())));

        QCOMPARE(Tls::Describe(QByteArray("not a certificate")).fingerprint, QString());
    }

    // What a real verification reports, in words.
    void problemsInWords()
    {
        const Tls::Pem ca = make(QStringLiteral("Test CA"), {}, {}, true, -1, 30);
        const Tls::Pem stranger =
            make(QStringLiteral("Test CA"), {}, {}, true, -1, 30); // same name, other key
        const QStringList names{QStringLiteral("localhost"), QStringLiteral("127.0.0.1")};
        const Tls::Pem good = make(QStringLiteral("localhost"), names, ca, false, -1, 30);
        const Tls::Pem selfSigned = make(QStringLiteral("localhost"), names);
        const Tls::Pem expired = make(QStringLiteral("localhost"), names, ca, false, -30, 10);
        const Tls::Pem early = make(QStringLiteral("localhost"), names, ca, false, 5, 30);
        const Tls::Pem unknown = make(QStringLiteral("localhost"), names, stranger, false, -1, 30);

        QCOMPARE(verify(good.certificate, {}, {ca.certificate}, QStringLiteral("localhost")), X509_V_OK);
        QCOMPARE(verify(good.certificate, {}, {ca.certificate}, QStringLiteral("127.0.0.1")), X509_V_OK);
        using Row = std::tuple<QByteArray, QList<QByteArray>, QString, int, QString>;
        for (const auto &[leaf, chain, name, purpose, words] :
             {Row{selfSigned.certificate, {}, "localhost", X509_PURPOSE_SSL_SERVER, "it is self-signed"},
              Row{unknown.certificate,
                  {stranger.certificate},
                  "localhost",
                  X509_PURPOSE_SSL_SERVER,
                  "it is self-signed"},
              Row{expired.certificate, {}, "localhost", X509_PURPOSE_SSL_SERVER, "it has expired"},
              Row{early.certificate, {}, "127.0.0.1", X509_PURPOSE_SSL_SERVER, "it is not valid yet"},
              Row{good.certificate,
                  {},
                  "example.org",
                  X509_PURPOSE_SSL_SERVER,
                  "it was issued for another name"},
              Row{good.certificate,
                  {},
                  "127.0.0.2",
                  X509_PURPOSE_SSL_SERVER,
                  "it was issued for another name"},
              Row{unknown.certificate, {}, "localhost", X509_PURPOSE_SSL_SERVER, "its issuer is not known"},
              Row{good.certificate,
                  {},
                  "localhost",
                  X509_PURPOSE_SMIME_SIGN,
                  "it could not be verified (unsuitable certificate purpose)"}}) {
            const int error = verify(leaf, chain, {ca.certificate}, name, purpose);
            QCOMPARE(Tls::ProblemText(error), words);
        }
    }
};

QTEST_GUILESS_MAIN(tst_TlsCertificate)
#include "tst_tlscertificate.moc"
