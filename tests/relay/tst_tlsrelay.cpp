// The relay with TLS on both legs, against real TLS peers on loopback: its client on
// 127.0.0.1 trusts the program's own certificate, its server on [::1] (at the same port
// number) has a certificate that SSL_CERT_FILE's authority signed. Bytes both ways,
// half-close, a server that ends, a client that does not speak TLS, a server certificate
// put to the user, and the client's name and protocols passed on to the server.
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QStandardPaths>

#include "Fixture.h"
#include "TlsPeer.h"
#include "platform/LogPane.h"
#include "platform/TlsCertificate.h"

namespace
{

const QByteArray LocalConnected = "Local Connected. Connecting to remote...\r\n";
const QByteArray Connected = "Connected.\r\n";
constexpr int WaitMs = 20000;

// The text of each grey run of the log: the program's own notices.
QList<QByteArray> notices(const LogPane *pane)
{
    QList<QByteArray> runs;
    qint64 pos = 0, start = 0, end = 0;
    for (int i = 0; i < 100000 && pos < pane->TextLength(); ++i, pos = end) {
        if (pane->RunAt(pos, &start, &end) == Bgr::Grey)
            runs << pane->Text(start, end - start);
        if (end <= pos)
            break;
    }
    return runs;
}

// What a peer saw of its connection through the relay.
struct Seen {
    bool handshaken = false;
    QString version, cipher;
    QByteArray alpn, serverName;
    long verifyResult = -1;
    tlspeer::Received got;
    qsizetype sent = 0;
    bool plainEnded = false;
};

Seen seen(const tlspeer::Conn &c)
{
    Seen s;
    s.handshaken = c.handshaken;
    s.version = c.version;
    s.cipher = c.cipher;
    s.alpn = c.alpn;
    s.verifyResult = c.verifyResult;
    s.plainEnded = c.plainEnded;
    if (c.ssl)
        s.serverName = SSL_get_servername(c.ssl, TLSEXT_NAMETYPE_host_name);
    return s;
}

// The relay's server: a listener on [::1] (IPv6 only) at a port free on 127.0.0.1 too.
struct Server {
    quint16 port = 0;
    int fd = raw::server(port);
    ~Server() { ::close(fd); }
};

} // namespace

class tst_TlsRelay : public QObject
{
    Q_OBJECT
    QTemporaryDir home;
    std::unique_ptr<tlspeer::TrustedAuthority> authority;
    Tls::Pem own, trusted, selfSigned;

    // "Sniffer..." with TLS chosen, towards [::1]:port; the confirmation answered Yes and
    // then `answers`.
    static Window relay(quint16 port, const QList<Toolkit::Answer> &answers = {})
    {
        Window win = loadWindow();
        win->ComboType->setCurrentText(QStringLiteral("TLS"));
        win->cCrLf->setChecked(false);
        win.tk->answers = QList<Toolkit::Answer>{Toolkit::Yes} + answers;
        win->txtIP->setText(QStringLiteral("::1"));
        win->txtPort->setText(QString::number(port));
        win->mnuPopupSniff->trigger();
        return win;
    }

    // A client that checks the relay's certificate under `name` (SNI too), offering `alpn`.
    tlspeer::Client client(const QString &name = QStringLiteral("localhost"),
                           QList<QByteArray> alpn = {}) const
    {
        tlspeer::Client c(own.certificate, name);
        c.alpn = std::move(alpn);
        return c;
    }

    // The relay has ended as a session does: both legs closed, the status line at rest.
    static void checkEnded(Window &win)
    {
        QTRY_VERIFY_WITH_TIMEOUT(!win->RelayActive, WaitMs);
        QCOMPARE(win->Sock->State(), qint16(NetSocket::Closed));
        QCOMPARE(win->Sniff->State(), qint16(NetSocket::Closed));
        QCOMPARE(win->StatusText(), QStringLiteral("Default. Closed."));
    }

private slots:
    void initTestCase()
    {
        QVERIFY(tlspeer::isolate(home));
        authority = std::make_unique<tlspeer::TrustedAuthority>();
        const QStringList names{QStringLiteral("localhost"), QStringLiteral("::1")};
        trusted = authority->issue(QStringLiteral("Relayed Test Server"), names);
        Tls::CertificateOrder order;
        order.commonName = QStringLiteral("Self Made");
        order.names = names;
        selfSigned = Tls::MakeCertificate(order);
        own = Tls::OwnCertificate();
    }

    // 16 MiB each way at once, random bytes with NULs: both peers get the other's bytes
    // exactly; the log holds the notices, both sides' TLS in one grey notice, and every byte.
    void bothWaysAtOnce()
    {
        constexpr qsizetype Size = 16 * 1024 * 1024;
        QByteArray up = raw::randomBytes(Size, 11), down = raw::randomBytes(Size, 12);
        up[5] = down[7] = '\0';
        Server srv;
        QVERIFY(srv.fd >= 0);
        auto server = tlspeer::serve(srv.fd, trusted, [=](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken) {
                s.got = c.exchange(down, Size);
                s.sent = s.got.sent;
                c.end(true);
            }
            return s;
        });
        Window win = relay(srv.port);
        QVERIFY(win->RelayActive);
        auto local = tlspeer::connect(srv.port, client(), [=](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken) {
                s.got = c.exchange(up, Size);
                s.sent = s.got.sent;
                c.end(true);
            }
            return s;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(local) && raw::ready(server), 120000);
        const Seen atClient = local.get(), atServer = server.get();
        QVERIFY(atClient.handshaken && atServer.handshaken);
        QCOMPARE(atClient.verifyResult, long(X509_V_OK)); // the program's own certificate, for localhost
        QCOMPARE(atClient.sent, Size);
        QCOMPARE(atServer.sent, Size);
        QCOMPARE(atServer.got.data.size(), Size);
        QVERIFY(atServer.got.data == up);
        QCOMPARE(atClient.got.data.size(), Size);
        QVERIFY(atClient.got.data == down);

        checkEnded(win);
        QVERIFY2(win.tk->boxes.size() == 1, qPrintable(win.tk->boxes.last().text));
        QVERIFY(win->txtRx->Text(0, LocalConnected.size() + Connected.size()) == LocalConnected + Connected);
        const QList<QByteArray> grey = notices(win->txtRx);
        QCOMPARE(grey.size(), 1);
        const QString notice = QString::fromUtf8(grey[0]);
        QCOMPARE(notice.count(u'\n'), 1);
        const int split = notice.indexOf(QStringLiteral(" | "));
        QVERIFY2(notice.startsWith(QStringLiteral("TLS with the client: ")) && split > 0, qPrintable(notice));
        const QString withClient = notice.left(split), withServer = notice.mid(split);
        for (const QString &part :
             {atClient.version, atClient.cipher, Tls::Describe(own.certificate).fingerprint})
            QVERIFY2(withClient.contains(part), qPrintable(withClient + QStringLiteral(" lacks ") + part));
        for (const QString &part :
             {atServer.version, atServer.cipher, Tls::Describe(trusted.certificate).fingerprint})
            QVERIFY2(withServer.contains(part), qPrintable(withServer + QStringLiteral(" lacks ") + part));
        QCOMPARE(win->txtRx->TextLength(),
                 LocalConnected.size() + Connected.size() + grey[0].size() + 2 * Size);
    }

    // The client ends its sending with close_notify and keeps reading: the server sees the
    // end as close_notify, and only then answers, and the client gets all of the answer.
    void halfCloseIsPassedOn()
    {
        const QByteArray request = raw::randomBytes(256 * 1024, 21) + QByteArray("\0end", 4);
        const QByteArray answer = raw::randomBytes(4 * 1024 * 1024, 22);
        Server srv;
        auto server = tlspeer::serve(srv.fd, trusted, [=](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken) {
                s.got = c.read(-1, WaitMs);
                if (s.got.ended && c.write(answer, WaitMs))
                    c.end(true);
            }
            return s;
        });
        Window win = relay(srv.port);
        auto local = tlspeer::connect(srv.port, client(), [=](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken && c.write(request, WaitMs)) {
                c.end(true);
                s.got = c.read(-1, WaitMs);
            }
            return s;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(local) && raw::ready(server), 60000);
        const Seen atClient = local.get(), atServer = server.get();
        QVERIFY(atServer.got.data == request);
        QVERIFY(atServer.got.closeNotify);
        QCOMPARE(atClient.got.data.size(), answer.size());
        QVERIFY(atClient.got.data == answer);
        QVERIFY(atClient.got.closeNotify);
        checkEnded(win);
        QCOMPARE(win.tk->boxes.size(), 1);
    }

    // The server answers and ends: the client gets the answer and the end, and the relay
    // ends whether the client then leaves or stays silent.
    void serverThatAnswersAndEnds_data()
    {
        QTest::addColumn<bool>("clientStays");
        QTest::newRow("the client leaves") << false;
        QTest::newRow("the client stays") << true;
    }
    void serverThatAnswersAndEnds()
    {
        QFETCH(bool, clientStays);
        const QByteArray answer = "HTTP/1.0 200 OK\r\n\r\n" + raw::randomBytes(1024 * 1024, 31);
        Server srv;
        auto server = tlspeer::serve(srv.fd, trusted, [=](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken && c.readUntil("\r\n\r\n", &s.got.data, WaitMs) && c.write(answer, WaitMs))
                c.end(true);
            return s;
        });
        Window win = relay(srv.port);
        auto local = tlspeer::connect(srv.port, client(), [=](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken && c.write("GET / HTTP/1.0\r\n\r\n")) {
                s.got = c.read(-1, WaitMs);
                if (clientStays) // until the relay closes the connection
                    c.readPlain(QByteArray(), WaitMs);
                s.plainEnded = c.plainEnded;
            }
            return s;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(local) && raw::ready(server), 60000);
        const Seen atClient = local.get(), atServer = server.get();
        QCOMPARE(atServer.got.data, QByteArray("GET / HTTP/1.0\r\n\r\n"));
        QCOMPARE(atClient.got.data.size(), answer.size());
        QVERIFY(atClient.got.data == answer);
        QVERIFY(atClient.got.ended && atClient.got.closeNotify);
        if (clientStays)
            QVERIFY(atClient.plainEnded);
        checkEnded(win);
        QCOMPARE(win.tk->boxes.size(), 1);
        QVERIFY(win->txtRx->Text().endsWith(answer.right(64).replace('\0', '?')));
    }

    // A client that does not speak TLS: the error box, the relay ends, and the server
    // never hears of it.
    void clientWithoutTls()
    {
        Server srv;
        Window win = relay(srv.port);
        tlspeer::Client plain;
        plain.plain = true;
        auto local = tlspeer::connect(srv.port, plain, [](tlspeer::Conn &c) { return seen(c); });
        QTRY_VERIFY_WITH_TIMEOUT(win.tk->boxes.size() > 1, WaitMs);
        QCOMPARE(win.tk->boxes.size(), 2);
        const FakeToolkit::Box box = win.tk->boxes[1];
        QCOMPARE(box.title, QStringLiteral("Error in Connection"));
        QVERIFY2(box.text.contains(QStringLiteral("is not speaking TLS")), qPrintable(box.text));
        checkEnded(win);
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(local), WaitMs);
        QVERIFY(local.get().plainEnded);
        QCOMPARE(win->txtRx->Text(), LocalConnected); // what it sent is not shown as relayed data
        QVERIFY(!raw::readable(srv.fd, 0));           // no connection towards the server
    }

    // A server certificate that does not check out is put to the user while the client
    // waits: Yes relays, No ends the relay as an unreachable server does, with no other box.
    void serverCertificateProblem_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("Yes") << true;
        QTest::newRow("No") << false;
    }
    void serverCertificateProblem()
    {
        QFETCH(bool, accept);
        Server srv;
        auto server = tlspeer::serve(srv.fd, selfSigned, [](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken && c.readUntil("ping\n", &s.got.data, WaitMs) && c.write("pong\n"))
                c.end(true);
            return s;
        });
        Window win = relay(srv.port, {accept ? Toolkit::Yes : Toolkit::No});
        auto local = tlspeer::connect(srv.port, client(), [](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken && c.write("ping\n"))
                s.got = c.read(-1, WaitMs);
            else
                c.readPlain(QByteArray(), WaitMs); // the relay's end
            s.plainEnded = c.plainEnded;
            return s;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(local) && raw::ready(server), 2 * WaitMs);
        QVERIFY(win.tk->boxes.size() >= 2);
        const FakeToolkit::Box box = win.tk->boxes[1];
        QCOMPARE(box.title, QStringLiteral("Certificate problem"));
        QVERIFY2(box.text.contains(QStringLiteral("self-signed")) &&
                     box.text.contains(Tls::Describe(selfSigned.certificate).fingerprint),
                 qPrintable(box.text));
        const Seen atClient = local.get(), atServer = server.get();
        if (accept) {
            QVERIFY(atClient.handshaken);
            QCOMPARE(atClient.got.data, QByteArray("pong\n"));
            QCOMPARE(atServer.got.data, QByteArray("ping\n"));
            QVERIFY(win->txtRx->Text().startsWith(LocalConnected + Connected));
        } else {
            QVERIFY(!atClient.handshaken || atClient.got.ended);
            QVERIFY(atClient.got.data.isEmpty());
            QVERIFY(atServer.got.data.isEmpty());
            QCOMPARE(win->txtRx->Text(), LocalConnected);
        }
        checkEnded(win);
        QVERIFY2(win.tk->boxes.size() == 2,
                 qPrintable(win.tk->boxes.last().title + u' ' + win.tk->boxes.last().text));
    }

    // The client leaves (or resets) while its hello is held and the certificate box is up
    // with the event loop running: whatever the answer, the relay ends as when a client
    // leaves a TCP relay, with no other box, and the server gets nothing.
    void clientLeavesWhileTheCertificateBoxIsUp_data()
    {
        QTest::addColumn<bool>("reset");
        QTest::addColumn<bool>("accept");
        QTest::newRow("leaves, Yes") << false << true;
        QTest::newRow("leaves, No") << false << false;
        QTest::newRow("resets, Yes") << true << true;
    }
    void clientLeavesWhileTheCertificateBoxIsUp()
    {
        QFETCH(bool, reset);
        QFETCH(bool, accept);
        Server srv;
        auto server = tlspeer::serve(srv.fd, selfSigned, [](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken)
                s.got = c.read(-1, WaitMs);
            return s;
        });
        Window win = relay(srv.port, {accept ? Toolkit::Yes : Toolkit::No});
        // A client on this thread whose hello is out: its handshake waits for the relay.
        tlspeer::Context ctx(SSL_CTX_new(TLS_client_method()));
        tlspeer::Conn client;
        client.fd = raw::connectTo(srv.port);
        QVERIFY(client.fd >= 0);
        client.nonBlocking();
        client.ssl = SSL_new(ctx.get());
        SSL_set_fd(client.ssl, client.fd);
        SSL_set_connect_state(client.ssl);
        QCOMPARE(SSL_get_error(client.ssl, SSL_do_handshake(client.ssl)), SSL_ERROR_WANT_READ);
        int open = 0, nested = 0;
        win.tk->onBox = [&](const FakeToolkit::Box &box) {
            if (open++) {
                ++nested;
            } else if (box.title == QLatin1String("Certificate problem")) {
                if (reset)
                    tlspeer::reset(client.fd);
                else
                    ::close(client.fd);
                client.fd = -1;
                QTest::qWait(300);
            }
            --open;
        };
        QTRY_VERIFY_WITH_TIMEOUT(win.tk->boxes.size() > 1, WaitMs);
        QCOMPARE(win.tk->boxes[1].title, QStringLiteral("Certificate problem"));
        checkEnded(win);
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(server), WaitMs);
        QCOMPARE(server.get().got.data, QByteArray());
        QCOMPARE(nested, 0);
        QVERIFY2(win.tk->boxes.size() == 2, qPrintable(win.tk->boxes.last().text));
        QCOMPARE(win->txtRx->Text(), LocalConnected);
    }

    // The name the client asked for reaches the server (else none: the host typed is an
    // address), the protocols it offered too, and the client gets the server's choice.
    void nameAndProtocolsPassedOn_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QList<QByteArray>>("serverTakes");
        QTest::addColumn<QByteArray>("agreed");
        const QList<QByteArray> both{"h2", "http/1.1"};
        QTest::newRow("h2") << "localhost" << QList<QByteArray>{"h2"} << QByteArray("h2");
        QTest::newRow("http/1.1 only")
            << "localhost" << QList<QByteArray>{"http/1.1"} << QByteArray("http/1.1");
        QTest::newRow("no ALPN at the server") << "localhost" << QList<QByteArray>{} << QByteArray();
        QTest::newRow("no name asked") << "" << both << QByteArray("h2");
    }
    void nameAndProtocolsPassedOn()
    {
        QFETCH(QString, name);
        QFETCH(QList<QByteArray>, serverTakes);
        QFETCH(QByteArray, agreed);
        Server srv;
        tlspeer::Server how(trusted);
        how.alpn = serverTakes;
        auto server = tlspeer::serve(srv.fd, how, [](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken && c.write("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"))
                s.got = c.read(-1, WaitMs);
            return s;
        });
        Window win = relay(srv.port);
        tlspeer::Client offer = client(name, {"h2", "http/1.1"});
        if (name.isEmpty())
            offer.trusted.clear(); // no name to check the relay's certificate against
        auto local = tlspeer::connect(srv.port, offer, [](tlspeer::Conn &c) {
            Seen s = seen(c);
            if (c.handshaken && c.readUntil("SM\r\n\r\n", &s.got.data, WaitMs))
                c.end(true);
            return s;
        });
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(local) && raw::ready(server), 60000);
        const Seen atClient = local.get(), atServer = server.get();
        QVERIFY(atClient.handshaken && atServer.handshaken);
        QCOMPARE(atServer.serverName, name.toUtf8());
        QCOMPARE(atServer.alpn, agreed);
        QCOMPARE(atClient.alpn, agreed);
        QCOMPARE(atClient.got.data, QByteArray("PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n"));
        QVERIFY(atServer.got.closeNotify);
        checkEnded(win);
        QCOMPARE(win.tk->boxes.size(), 1);
    }
};

QTEST_MAIN(tst_TlsRelay)
#include "tst_tlsrelay.moc"
