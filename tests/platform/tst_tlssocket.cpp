// The socket component with TLS, on its own: bytes that TLS has decrypted and holds while
// the descriptor has nothing more to say, and Start TLS where it cannot run.
#include <QSignalSpy>
#include <QStandardPaths>

#include "TlsPeer.h"
#include "platform/Failure.h"
#include "platform/NetSocket.h"

template <class F> qint32 failureNo(F op)
{
    try {
        op();
    } catch (const Failure &f) {
        return f.Number;
    }
    return 0;
}

class tst_TlsSocket : public QObject
{
    Q_OBJECT
    QTemporaryDir home;
    std::unique_ptr<tlspeer::TrustedAuthority> authority;
    Tls::Pem trusted;

private slots:
    void initTestCase()
    {
        QVERIFY(tlspeer::isolate(home));
        authority = std::make_unique<tlspeer::TrustedAuthority>();
        trusted = authority->issue(QStringLiteral("Trusted Test Server"), {QStringLiteral("127.0.0.1")});
    }

    // The receive buffer fills in the middle of the last TLS record: the rest of that record
    // is held by TLS, and the descriptor stays quiet (the peer keeps the connection open).
    // Once the buffer is fetched those bytes still come.
    void bytesHeldByTlsAfterAFullBuffer()
    {
        QByteArray data;
        for (int i = 0; data.size() < NetSocket::ReadChunk + 100; ++i)
            data += QByteArray::number(i % 10).repeated(10000);
        data.truncate(NetSocket::ReadChunk + 100);
        quint16 port = 0;
        const int lfd = tlspeer::listener(port);
        QVERIFY(lfd >= 0);
        auto peer = tlspeer::serve(lfd, trusted, [data](tlspeer::Conn &c) {
            // Records of 10,000 bytes: the buffer's size falls inside the last one.
            for (qsizetype at = 0; c.handshaken && at < data.size(); at += 10000)
                if (!c.write(data.mid(at, 10000)))
                    return tlspeer::Received();
            return c.read(-1, 20000); // open until the socket closes
        });
        NetSocket s;
        s.SetProtocol(NetSocket::TLS);
        qint64 arrived = 0;
        connect(&s, &NetSocket::DataArrival, this, [&](qint64 total) { arrived = total; });
        s.Connect(QStringLiteral("127.0.0.1"), port);
        QTRY_COMPARE_WITH_TIMEOUT(arrived, NetSocket::ReadChunk, 10000); // full, and not fetched
        QByteArray got = s.GetData();
        connect(&s, &NetSocket::DataArrival, this, [&] { got += s.GetData(); });
        QTRY_COMPARE_WITH_TIMEOUT(got.size(), data.size(), 5000);
        QVERIFY(got == data);
        s.Close();
        QTRY_VERIFY_WITH_TIMEOUT(raw::ready(peer), 20000);
        QVERIFY(peer.get().closeNotify);
        ::close(lfd);
    }
};

QTEST_GUILESS_MAIN(tst_TlsSocket)
#include "tst_tlssocket.moc"
