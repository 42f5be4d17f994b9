// TLS sessions as the window runs them, against real TLS peers on loopback: a trusted
// server, certificates that do not check out, peers that fail the handshake, Start TLS,
// Listen with the program's own certificate, the key log, and a box that is up while
// the connection goes away.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QMenu>
#include <QSet>
#include <QStandardPaths>

#include "Fixture.h"
#include "TlsPeer.h"
#include "platform/LogPane.h"
#include "platform/TlsCertificate.h"

namespace
{

constexpr quint32 Grey = 0x808080;
constexpr int ConnectMs = 10000;

// A listener of the test's own, closed when it goes.
struct Listener {
    explicit Listener(bool ipv6 = false) : fd(tlspeer::listener(port, ipv6)) {}
    ~Listener() { ::close(fd); }
    quint16 port = 0;
    int fd;
};

// The text of each grey run of the log: the program's own notices.
QList<QByteArray> notices(const LogPane *pane)
{
    QList<QByteArray> runs;
    qint64 pos = 0, start = 0, end = 0;
    for (int i = 0; i < 10000 && pos < pane->TextLength(); ++i, pos = end) {
        if (pane->RunAt(pos, &start, &end) == Grey)
            runs << pane->Text(start, end - start);
        if (end <= pos)
            break;
    }
    return runs;
}

// What the server sends: line ends of both kinds, a NUL, UTF-8, and enough text to
// span many TLS records.
QByteArray serverData()
{
    QByteArray b = QByteArray("first line\r\nsecond line\nnul:") + '\0' + QByteArray("!\nGrüße ✓ 日本\n");
    for (int i = 0; b.size() < 256 * 1024; ++i)
        b += "record filler " + QByteArray::number(i).rightJustified(8, '0') + '\n';
    return b;
}

// The log shows a NUL as "?" (Use CR/LF unchecked: line ends as they came).
QByteArray shown(QByteArray data)
{
    return data.replace('\0', '?');
}

// The date of `when` as people read it in a box: ISO (2026-12-07) or as OpenSSL prints it (Dec  7 ... 2026).
bool mentionsDate(const QString &text, const QDateTime &when)
{
    const QDate d = when.toUTC().date();
    return text.contains(d.toString(Qt::ISODate)) ||
           (text.contains(QLocale::c().toString(d, QStringLiteral("MMM"))) &&
            text.contains(QString::number(d.year())));
}

QStringList keyLogLines(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QString::fromLatin1(f.readAll()).split(u'\n', Qt::SkipEmptyParts);
}

// What a server peer saw of a session.
struct Seen {
    bool handshaken = false;
    QString version, cipher;
    QByteArray clientRandom;
    QList<QByteArray> keyLog;
    QByteArray plain; // before TLS, or instead of it
    bool plainEnded = false;
    tlspeer::Received got;  // from the window, over TLS
    long verifyResult = -1; // a client's check of the program's certificate
};

Seen seen(const tlspeer::Conn &c)
{
    Seen s;
    s.handshaken = c.handshaken;
    s.version = c.version;
    s.cipher = c.cipher;
    s.clientRandom = c.clientRandom;
    s.keyLog = c.keyLog;
    s.plain = c.plain;
    s.plainEnded = c.plainEnded;
    s.verifyResult = c.verifyResult;
    return s;
}

} // namespace

class tst_Tls : public QObject
{
    Q_OBJECT
    QTemporaryDir home;
    std::unique_ptr<tlspeer::TrustedAuthority> authority;
    Tls::Pem trusted, selfSigned, otherName, expired;
    const QStringList loopbackNames{QStringLiteral("localhost"), QStringLiteral("127.0.0.1"),
                                    QStringLiteral("::1")};

    Window tlsWindow(const char *protocol = "TLS")
    {
        Window win = loadWindow();
        win->ComboType->setCurrentText(QString::fromLatin1(protocol));
        win->cCrLf->setChecked(false);
        return win;
    }

    static void connectTo(Window &win, const QString &host, quint16 port)
    {
        win->txtIP->setText(host);
        win->txtPort->setText(QString::number(port));
        win->cmdConnect->click();
    }

    static void type(Window &win, const QString &line)
    {
        win->txtTx->setText(line);
        QTest::keyClick(win->txtTx, Qt::Key_Return);
    }

    // The one grey notice of a session, which names version, cipher and certificate.
    static void checkNotice(Window &win, const QString &version, const QString &cipher,
                            const QByteArray &certificate)
    {
        const QList<QByteArray> runs = notices(win->txtRx);
        QCOMPARE(runs.size(), 1);
        const QString notice = QString::fromUtf8(runs[0]);
        QCOMPARE(notice.count(u'\n'), 1);
        const Tls::Description d = Tls::Describe(certificate);
        for (const QString &part : {version, cipher, d.subject, d.fingerprint})
            QVERIFY2(notice.contains(part), qPrintable(notice + QStringLiteral(" lacks ") + part));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tlspeer::isolate(home));
        authority = std::make_unique<tlspeer::TrustedAuthority>();
        trusted = authority->issue(QStringLiteral("Trusted Test Server"), loopbackNames);
        otherName = authority->issue(QStringLiteral("Other Server"), {QStringLiteral("other.test")});
        expired = authority->issue(QStringLiteral("Expired Server"), loopbackNames, -40, 10);
        Tls::CertificateOrder order;
        order.commonName = QStringLiteral("Self Made");
        order.names = loopbackNames;
        selfSigned = Tls::MakeCertificate(order);
    }

    // A server the system trusts: no box, the version in the status line, one grey notice,
    // bytes both ways as they are; the peer's end (with or without close_notify) or the
    // user's Close ends the session quietly.
    void trustedServer_data()
    {
        QTest::addColumn<QString>("host");
        QTest::addColumn<int>("ending");
        QTest::newRow("by name, the peer's close_notify") << "localhost" << 0;
        QTest::newRow("by address, the peer closes TCP only") << "127.0.0.1" << 1;
        QTest::newRow("by address, the user's Close") << "127.0.0.1" << 2;
        QTest::newRow("by IPv6 address, the peer's close_notify") << "::1" << 0;
    }
    void trustedServer()
    {
        QFETCH(QString, host);
        QFETCH(int, ending);
        enum { PeerCloseNotify, PeerTcpEnd, UserClose };
        const QByteArray data = serverData(), line = QStringLiteral("Grüße ✓ from the window").toUtf8();
        const QByteArray queued = raw::randomBytes(1024 * 1024, 3); // still queued when Close is pressed
        const QString address = host == QLatin1String("::1") ? host : QStringLiteral("127.0.0.1");
        Listener l(address == QLatin1String("::1"));
        QVERIFY(l.fd >= 0);
        auto peer = tlspeer::serve(l.fd, trusted, [=](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (!c.handshaken || !c.write(data))
                return s;
            s.got = c.read(ending == UserClose ? -1 : line.size(), 20000);
            if (ending != UserClose)
                c.end(ending == PeerCloseNotify);
            return s;
        });

        Window win = tlsWindow();
        connectTo(win, host, l.port);
        QTRY_VERIFY_WITH_TIMEOUT(win->Sock->State() == NetSocket::Connected || !win.tk->boxes.isEmpty(),
                                 ConnectMs);
        QVERIFY2(win.tk->boxes.isEmpty(), qPrintable(win.tk->boxes.value(0).text));
        QCOMPARE(win->Sock->TlsVersion(), QStringLiteral("TLSv1.3"));
        const QString status = win->StatusText();
        QVERIFY2(status.startsWith(QStringLiteral("Connected to ") + address) &&
                     status.endsWith(QStringLiteral(" (TLSv1.3)")),
                 qPrintable(status));
        QVERIFY(win->cmdSend->isEnabled());

        // The notice first, then the server's bytes as they came.
        QTRY_VERIFY(!notices(win->txtRx).isEmpty());
        const qint64 noticeSize = notices(win->txtRx).first().size();
        QTRY_COMPARE_WITH_TIMEOUT(win->txtRx->TextLength(), noticeSize + data.size(), 10000);
        QCOMPARE(win->txtRx->Text(noticeSize), shown(data));
        QCOMPARE(win->txtRx->ColorAt(noticeSize), Bgr::Black);

        type(win, QString::fromUtf8(line));
        if (ending == UserClose) {
            win->Sock->SendData(queued);
            win->cmdClose->click();
            QCOMPARE(win->StatusText(), QStringLiteral("Default. Closed."));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(win->Sock->State(), qint16(NetSocket::Closed), 10000);
            QCOMPARE(win->StatusText(), QStringLiteral("Default. Closed."));
        }
        QVERIFY(!win->cmdSend->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(peer), 20000);
        const Seen s = peer.get();
        QVERIFY(s.handshaken);
        checkNotice(win, s.version, s.cipher, trusted.certificate);
        if (ending == UserClose) {
            // What was queued went out first, then TLS's own end.
            QCOMPARE(s.got.data.size(), line.size() + queued.size());
            QVERIFY(s.got.data == line + queued);
            QVERIFY(s.got.closeNotify);
        } else {
            QCOMPARE(s.got.data, line);
        }
        QVERIFY2(win.tk->boxes.isEmpty(), qPrintable(win.tk->boxes.value(0).text));
        QVERIFY(win->txtRx->Text().endsWith(line));
    }

    // A certificate that does not check out is put to the user: No ends the attempt
    // quietly, Yes goes on.
    void certificateProblems_data()
    {
        QTest::addColumn<int>("which");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("words");
        QTest::addColumn<bool>("accept");
        QTest::newRow("self-signed, No") << 0 << "127.0.0.1"
                                         << "self-signed" << false;
        QTest::newRow("self-signed, Yes") << 0 << "localhost"
                                          << "self-signed" << true;
        QTest::newRow("another name") << 1 << "127.0.0.1"
                                      << "issued for another name" << false;
        QTest::newRow("expired") << 2 << "localhost"
                                 << "expired" << false;
    }
    void certificateProblems()
    {
        QFETCH(int, which);
        QFETCH(QString, host);
        QFETCH(QString, words);
        QFETCH(bool, accept);
        const Tls::Pem pem = QList<Tls::Pem>{selfSigned, otherName, expired}.at(which);
        Listener l;
        auto peer = tlspeer::serve(l.fd, pem, [](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (!c.handshaken)
                return s;
            c.write("hello from the server\r\n");
            s.got = c.read(-1, 15000); // what the window sends, until its end
            return s;
        });
        Window win = tlsWindow();
        win.tk->answers = {accept ? Toolkit::Yes : Toolkit::No};
        connectTo(win, host, l.port);
        QTRY_VERIFY_WITH_TIMEOUT(!win.tk->boxes.isEmpty(), ConnectMs);
        const FakeToolkit::Box box = win.tk->boxes[0];
        QCOMPARE(box.title, QStringLiteral("Certificate problem"));
        QCOMPARE(box.icon, Toolkit::Exclamation);
        QCOMPARE(box.buttons, Toolkit::YesNo);
        const Tls::Description d = Tls::Describe(pem.certificate);
        for (const QString &part : {host, words, d.subject, d.issuer, d.fingerprint})
            QVERIFY2(box.text.contains(part), qPrintable(box.text + QStringLiteral("\n lacks ") + part));
        QVERIFY2(mentionsDate(box.text, d.notBefore) && mentionsDate(box.text, d.notAfter),
                 qPrintable(box.text));
        QVERIFY2(box.text.trimmed().endsWith(QStringLiteral("Connect anyway?")), qPrintable(box.text));

        if (!accept) {
            QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Closed));
            QCOMPARE(win->StatusText(), QStringLiteral("Default. Closed."));
            QVERIFY(!win->cmdSend->isEnabled());
            QTRY_VERIFY_WITH_TIMEOUT(raw::ready(peer), 20000);
            const Seen s = peer.get();
            QVERIFY(s.got.ended || !s.handshaken);
            QCOMPARE(s.got.data, QByteArray()); // nothing was sent on a connection the user refused
            QCOMPARE(win.tk->boxes.size(), 1);
            QVERIFY(notices(win->txtRx).isEmpty() && win->txtRx->TextLength() == 0);
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(win->Sock->State(), qint16(NetSocket::Connected), ConnectMs);
        QVERIFY(win->StatusText().endsWith(QStringLiteral("(TLSv1.3)")));
        QTRY_VERIFY(win->txtRx->Text().endsWith("hello from the server\r\n"));
        type(win, QStringLiteral("hello from the window"));
        win->cmdClose->click();
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(peer), 20000);
        const Seen s = peer.get();
        QCOMPARE(s.got.data, QByteArray("hello from the window"));
        checkNotice(win, s.version, s.cipher, pem.certificate);
        QCOMPARE(win.tk->boxes.size(), 1);
    }

    // A handshake that fails is reported as a refused connection is, with the reason.
    void handshakeFailures_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<int>("maxVersion");
        QTest::addColumn<QString>("words");
        QTest::newRow("not TLS") << QByteArray("220 not tls\r\n") << 0 << "is not speaking TLS";
        QTest::newRow("no version in common") << QByteArray() << TLS1_1_VERSION << "no TLS version in common";
        QTest::newRow("closed at once") << QByteArray() << 0 << "TLS handshake";
    }
    void handshakeFailures()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(int, maxVersion);
        QFETCH(QString, words);
        Listener l;
        tlspeer::Server server(trusted, maxVersion ? tlspeer::Server::Tls : tlspeer::Server::Plain);
        server.greeting = greeting;
        server.maxVersion = maxVersion;
        if (greeting.isEmpty())
            server.waitMs = 0; // goes at once, without waiting for the hello
        auto peer = tlspeer::serve(l.fd, server, [](tlspeer::Conn &c) { return seen(c); });
        Window win = tlsWindow();
        connectTo(win, QStringLiteral("127.0.0.1"), l.port);
        QTRY_VERIFY_WITH_TIMEOUT(!win.tk->boxes.isEmpty(), ConnectMs);
        QCOMPARE(win.tk->boxes.size(), 1);
        const FakeToolkit::Box box = win.tk->boxes[0];
        QCOMPARE(box.title, QStringLiteral("Error in Connection"));
        QVERIFY2(box.text.startsWith(QStringLiteral("Error #: %1\r\n").arg(FailureNo::TlsFailure)) &&
                     box.text.contains(words) && box.text.contains(QStringLiteral("127.0.0.1")),
                 qPrintable(box.text));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QCOMPARE(win->StatusText(), QStringLiteral("Default. Closed."));
        QVERIFY(!win->cmdSend->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(peer), 20000);
        const Seen s = peer.get();
        if (!greeting.isEmpty()) // it saw the program's hello, then the program's end
            QVERIFY(s.plain.startsWith("\x16\x03") && s.plainEnded);
        QVERIFY(!s.handshaken);
        QVERIFY(win->txtRx->Text().isEmpty()); // nothing of the failed attempt is shown as session data
    }

    // A peer that takes the connection and never answers: the handshake gives up after its time.
    void silentPeerTimesOut()
    {
        Listener l;
        tlspeer::Server server(trusted, tlspeer::Server::Silent);
        server.waitMs = 20000;
        auto peer = tlspeer::serve(l.fd, server, [](tlspeer::Conn &c) { return seen(c); });
        Window win = tlsWindow();
        QElapsedTimer clock;
        clock.start();
        connectTo(win, QStringLiteral("127.0.0.1"), l.port);
        QTRY_COMPARE(win->StatusText(), QStringLiteral("TLS handshake with 127.0.0.1..."));
        QTRY_VERIFY_WITH_TIMEOUT(!win.tk->boxes.isEmpty(), 15000);
        QVERIFY2(clock.elapsed() >= 9000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(win.tk->boxes.size(), 1);
        const QString text = win.tk->boxes[0].text;
        QVERIFY2(text.startsWith(QStringLiteral("Error #: %1\r\n").arg(FailureNo::TimedOut)) &&
                     text.contains(QStringLiteral("handshake")) && text.contains(QStringLiteral("timed out")),
                 qPrintable(text));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(peer), 10000);
        QVERIFY(peer.get().plainEnded); // the program closed its end
    }

    // "Start TLS" on a TCP session after the protocol's own command: the log keeps what came
    // before, then TLS carries the session.
    void startTlsOnATcpSession()
    {
        Listener l;
        auto peer =
            tlspeer::serve(l.fd, tlspeer::Server(trusted, tlspeer::Server::StartTls), [](tlspeer::Conn &c) {
                Seen s = seen(c);
                QByteArray got;
                if (c.handshaken && c.write("250 hello over TLS\r\n") &&
                    c.readUntil("EHLO me\r\n", &got, 20000))
                    c.end(true);
                s.got.data = got;
                return s;
            });
        Window win = tlsWindow("TCP");
        win->cCrLf->setChecked(true);
        connectTo(win, QStringLiteral("127.0.0.1"), l.port);
        QTRY_VERIFY_WITH_TIMEOUT(win->txtRx->Text().startsWith("220 ready"), ConnectMs);
        emit win->mnuPopup->aboutToShow();
        QVERIFY(win->mnuPopupStartTls->isEnabled());
        type(win, QStringLiteral("STARTTLS"));
        QTRY_VERIFY(win->txtRx->Text().contains("220 go ahead"));
        const qint64 before = win->txtRx->TextLength();
        const QByteArray plainLog = win->txtRx->Text();

        win->mnuPopupStartTls->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(win->Sock->TlsVersion(), QStringLiteral("TLSv1.3"), ConnectMs);
        QVERIFY2(win->StatusText().endsWith(QStringLiteral("(TLSv1.3)")), qPrintable(win->StatusText()));
        QVERIFY(win.tk->boxes.isEmpty());
        emit win->mnuPopup->aboutToShow();
        QVERIFY(!win->mnuPopupStartTls->isEnabled()); // once is enough
        QTRY_VERIFY(win->txtRx->Text().endsWith("250 hello over TLS\r\r\n"));
        type(win, QStringLiteral("EHLO me"));
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(peer), 20000);
        const Seen s = peer.get();
        QCOMPARE(s.plain, QByteArray("STARTTLS\r\n"));
        QCOMPARE(s.got.data, QByteArray("EHLO me\r\n"));
        QCOMPARE(win->txtRx->Text(0, before), plainLog); // what came before stays as it was
        checkNotice(win, s.version, s.cipher, trusted.certificate);
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(win.tk->boxes.isEmpty());
    }

    // Listen with TLS serves the program's own certificate, which a client can pin and
    // which the notice names.
    void listenWithTls()
    {
        Window win = tlsWindow();
        const quint16 port = closedPort();
        win->txtPort->setText(QString::number(port));
        win->cmdListen->click();
        QVERIFY2(win.tk->boxes.isEmpty(), qPrintable(win.tk->boxes.value(0).text));
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Listening));
        const Tls::Pem own = Tls::OwnCertificate();
        auto client = tlspeer::connect(port, tlspeer::Client(own.certificate, QStringLiteral("127.0.0.1")),
                                       [](tlspeer::Conn &c) {
                                           Seen s = seen(c);
                                           QByteArray got;
                                           if (c.handshaken && c.write("hello from the client\n") &&
                                               c.readUntil("from the window", &got, 20000))
                                               c.end(true);
                                           s.got.data = got;
                                           return s;
                                       });
        QTRY_COMPARE_WITH_TIMEOUT(win->Sock->TlsVersion(), QStringLiteral("TLSv1.3"), ConnectMs);
        QTRY_VERIFY(win->txtRx->Text().endsWith("hello from the client\n"));
        QVERIFY(win->StatusText().startsWith(QStringLiteral("Connected to 127.0.0.1")));
        type(win, QStringLiteral("from the window"));
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(client), 20000);
        const Seen s = client.get();
        QVERIFY(s.handshaken);
        QCOMPARE(s.verifyResult, long(X509_V_OK)); // the program's certificate, good for 127.0.0.1
        QCOMPARE(s.got.data, QByteArray("from the window"));
        checkNotice(win, s.version, s.cipher, own.certificate);
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QVERIFY(win.tk->boxes.isEmpty());
    }

    // A client that does not speak TLS: the error, the connection closed, and Auto Listen
    // listening again.
    void listenWithAPlainClient()
    {
        Window win = tlsWindow();
        const quint16 port = closedPort();
        win->txtPort->setText(QString::number(port));
        win->mnuListenAuto->trigger();
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Listening));
        tlspeer::Client plain;
        plain.plain = true;
        auto client = tlspeer::connect(port, plain, [](tlspeer::Conn &c) { return seen(c); });
        QTRY_VERIFY_WITH_TIMEOUT(!win.tk->boxes.isEmpty(), ConnectMs);
        const FakeToolkit::Box box = win.tk->boxes[0];
        QCOMPARE(box.title, QStringLiteral("Error in Connection"));
        QVERIFY2(box.text.contains(QStringLiteral("is not speaking TLS")), qPrintable(box.text));
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(client), 20000);
        QVERIFY(client.get().plainEnded);
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Listening));
        QCOMPARE(win->Sock->LocalPort(), qint32(port));
        QCOMPARE(win.tk->boxes.size(), 1);
    }

    // A certificate of the user's own in the data directory, issued under an intermediate
    // authority: Listen serves it with its chain, so a client that trusts only the root
    // verifies it.
    void listenWithTheUsersCertificateChain()
    {
        Tls::CertificateOrder order;
        order.validFromDays = -1;
        order.validDays = 30;
        order.authority = true;
        order.commonName = QStringLiteral("Users Root");
        const Tls::Pem root = Tls::MakeCertificate(order);
        order.commonName = QStringLiteral("Users Intermediate");
        order.issuer = root;
        const Tls::Pem intermediate = Tls::MakeCertificate(order);
        order.commonName = QStringLiteral("users.test");
        order.names = {QStringLiteral("users.test")};
        order.authority = false;
        order.issuer = intermediate;
        const Tls::Pem server = Tls::MakeCertificate(order);
        const QString dir = Tls::OwnCertificateDirectory();
        QDir(dir).removeRecursively();
        const auto madeAgainLater = qScopeGuard([dir] { QDir(dir).removeRecursively(); });
        QVERIFY(QDir().mkpath(dir));
        for (const auto &[name, pem] : {std::pair{"/cert.pem", server.certificate + intermediate.certificate},
                                        std::pair{"/key.pem", server.key}}) {
            QFile f(dir + QLatin1String(name));
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(pem) == pem.size());
        }

        Window win = tlsWindow();
        const quint16 port = closedPort();
        win->txtPort->setText(QString::number(port));
        win->cmdListen->click();
        QVERIFY2(win.tk->boxes.isEmpty(), qPrintable(win.tk->boxes.value(0).text));
        auto client = tlspeer::connect(port, tlspeer::Client(root.certificate, QStringLiteral("users.test")),
                                       [](tlspeer::Conn &c) {
                                           Seen s = seen(c);
                                           if (c.handshaken)
                                               s.got = c.read(-1, 20000); // until the program's Close
                                           return s;
                                       });
        QTRY_VERIFY_WITH_TIMEOUT(!win->Sock->TlsVersion().isEmpty() || raw::ready(client), ConnectMs);
        win->cmdClose->click();
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(client), 20000);
        const Seen s = client.get();
        QVERIFY2(s.verifyResult == X509_V_OK, X509_verify_cert_error_string(s.verifyResult));
        QVERIFY(s.handshaken);
        checkNotice(win, s.version, s.cipher, server.certificate);
    }

    // SSLKEYLOGFILE gets each session's secrets, as the other side computed them, on either side.
    void keyLogHoldsTheSessionSecrets()
    {
        QTemporaryDir dir;
        const QString path = dir.path() + QStringLiteral("/keys.log");
        qputenv("SSLKEYLOGFILE", QFile::encodeName(path));
        const auto unset = qScopeGuard([] { qunsetenv("SSLKEYLOGFILE"); });

        Listener l;
        auto server = tlspeer::serve(l.fd, trusted, [](tlspeer::Conn &c) {
            Seen s = seen(c);
            c.end(true);
            return s;
        });
        Window win = tlsWindow();
        connectTo(win, QStringLiteral("localhost"), l.port);
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(server), 20000);
        const Seen asClient = server.get();
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Closed));

        win->txtPort->setText(QString::number(closedPort()));
        win->cmdListen->click();
        auto client =
            tlspeer::connect(quint16(win->Sock->LocalPort()), tlspeer::Client(), [](tlspeer::Conn &c) {
                Seen s = seen(c);
                if (c.handshaken)
                    s.got = c.read(-1, 20000); // until the program's Close
                return s;
            });
        QTRY_COMPARE_WITH_TIMEOUT(win->Sock->TlsVersion(), QStringLiteral("TLSv1.3"), ConnectMs);
        win->cmdClose->click();
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(client), 20000);
        const Seen asServer = client.get();
        QTRY_COMPARE(win->Sock->State(), qint16(NetSocket::Closed));

        const QStringList lines = keyLogLines(path);
        for (const Seen *s : {&asClient, &asServer}) {
            QVERIFY(s->handshaken && s->clientRandom.size() == 64);
            QSet<QString> labels;
            for (const QByteArray &expected : s->keyLog) {
                QVERIFY2(lines.contains(QString::fromLatin1(expected)), expected.constData());
                QCOMPARE(expected.split(' ').value(1), s->clientRandom);
                labels << QString::fromLatin1(expected.split(' ').first());
            }
            for (const char *label : {"CLIENT_HANDSHAKE_TRAFFIC_SECRET", "SERVER_HANDSHAKE_TRAFFIC_SECRET",
                                      "CLIENT_TRAFFIC_SECRET_0", "SERVER_TRAFFIC_SECRET_0"})
                QVERIFY2(labels.contains(QLatin1String(label)), label);
        }
        for (const QString &line : lines)
            QVERIFY2(line.section(u' ', 1, 1) == QLatin1String(asClient.clientRandom) ||
                         line.section(u' ', 1, 1) == QLatin1String(asServer.clientRandom),
                     qPrintable(line));
    }

    // The certificate box is up while the server resets the connection and the event loop
    // runs: the socket is not freed under the box, and the answer ends or continues cleanly.
    void certificateBoxOutlivesTheConnection_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("No") << false;
        QTest::newRow("Yes") << true;
    }
    void certificateBoxOutlivesTheConnection()
    {
        QFETCH(bool, accept);
        Listener l;
        tlspeer::Server server(selfSigned);
        auto resetNow = server.resetNow;
        auto peer = tlspeer::serve(l.fd, server, [](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken)
                s.got = c.read(-1, 15000); // until the reset asked for below
            return s;
        });
        Window win = tlsWindow();
        win.tk->answers = {accept ? Toolkit::Yes : Toolkit::No};
        int open = 0, nested = 0;
        win.tk->onBox = [&](const FakeToolkit::Box &) {
            if (open++) {
                ++nested;
            } else {
                resetNow->store(true);
                QTest::qWait(300);
            }
            --open;
        };
        connectTo(win, QStringLiteral("127.0.0.1"), l.port);
        QTRY_VERIFY_WITH_TIMEOUT(!win.tk->boxes.isEmpty(), ConnectMs);
        QCOMPARE(win.tk->boxes[0].title, QStringLiteral("Certificate problem"));
        QTRY_COMPARE_WITH_TIMEOUT(win->Sock->State(), qint16(NetSocket::Closed), ConnectMs);
        QVERIFY(!win->cmdSend->isEnabled());
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(peer), 20000);
        QCOMPARE(peer.get().got.data, QByteArray());
        QCOMPARE(nested, 0); // no box over the certificate's
        for (const FakeToolkit::Box &box : win.tk->boxes.mid(1))
            QCOMPARE(box.title, QStringLiteral("Error in Connection"));
        if (!accept)
            QCOMPARE(win.tk->boxes.size(), 1);
    }

    // Clients that leave as soon as the handshake is done (as "openssl s_client < /dev/null"
    // does), while the program still writes its session tickets: each session ends, the
    // program carries on (a write to the closed connection must not raise SIGPIPE), and
    // Auto Listen takes the next one.
    void listenClientsThatLeaveAtOnce()
    {
        Window win = tlsWindow();
        win->txtPort->setText(QString::number(closedPort()));
        win->mnuListenAuto->trigger();
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Listening));
        const quint16 port = quint16(win->Sock->LocalPort());
        for (int round = 0; round < 3; ++round) {
            auto client = tlspeer::connect(port, tlspeer::Client(), [](tlspeer::Conn &c) {
                Seen s = seen(c);
                c.end(true);
                return s;
            });
            QTRY_VERIFY_WITH_TIMEOUT(raw::ready(client), 20000);
            QVERIFY(client.get().handshaken);
            QTRY_COMPARE_WITH_TIMEOUT(win->Sock->State(), qint16(NetSocket::Listening), ConnectMs);
        }
        for (const FakeToolkit::Box &box : win.tk->boxes)
            QCOMPARE(box.title, QStringLiteral("Error in Connection"));
    }
};

QTEST_MAIN(tst_Tls)
#include "tst_tls.moc"
