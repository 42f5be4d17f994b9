#include <QAccessible>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/resource.h>

#include "Pcapng.h"
#include "platform/LogFiles.h"
#include "platform/LogHexRows.h"
#include "platform/LogPane.h"
#include "platform/LogStore.h"

namespace
{
constexpr qint64 T0 = 1'760'000'000'000'000; // microseconds since 1970

void append(LogStore &store, LogStore::Direction dir, const QByteArray &bytes, unsigned conversion,
            qint64 micros)
{
    store.Append(bytes.constData(), bytes.size(), dir == LogStore::Sent ? 0xFF0000 : 0, conversion, dir,
                 micros);
}

LogStore::Session session(const char *client, quint16 clientPort, const char *server, quint16 serverPort,
                          bool localIsClient = true, bool udp = false)
{
    LogStore::Session s;
    s.ClientAddress = QString::fromLatin1(client);
    s.ClientPort = clientPort;
    s.ServerAddress = QString::fromLatin1(server);
    s.ServerPort = serverPort;
    s.LocalIsClient = localIsClient;
    s.Udp = udp;
    return s;
}

// Each direction's payload bytes, in order, of the packets between a and b.
QByteArray payloadFrom(const QList<pcapng::Packet> &packets, const QHostAddress &a, quint16 port)
{
    QByteArray out;
    for (const pcapng::Packet &p : packets)
        if (p.src.isEqual(a, QHostAddress::TolerantConversion) && p.sport == port)
            out += p.payload;
    return out;
}

// What a mail server and its client say, with the awkward bytes a peer may send:
// CR LF, a bare LF, a NUL, bytes that are not UTF-8.
const QByteArray Greeting("220 mail.example ESMTP\r\n");
const QByteArray Helo("HELO me\r\n");
const QByteArray Reply(QByteArray("250 ok\r\nbare\nnul\0end\n\xff\xfe", 23));
} // namespace

class TestLogFiles : public QObject
{
    Q_OBJECT
private slots:
    // One session with "Use CR/LF" on and off: the text view as before, and the
    // hex rows, the raw bytes, the transcript and the capture with the wire's bytes.
    void wireBytesInEveryForm_data()
    {
        QTest::addColumn<bool>("crlf");
        QTest::newRow("CR/LF") << true;
        QTest::newRow("as is") << false;
    }
    void wireBytesInEveryForm()
    {
        QFETCH(bool, crlf);
        const unsigned shown = LogStore::NulToQuestion | (crlf ? LogStore::LfToCrLf : LogStore::AsIs);
        LogStore store;
        store.AddSession(session("127.0.0.1", 40001, "127.0.0.2", 25));
        append(store, LogStore::Received, Greeting, shown, T0 + 1000);
        append(store, LogStore::Sent, Helo, LogStore::NulToQuestion, T0 + 2500);
        append(store, LogStore::Received, Reply, shown, T0 + 4000);
        append(store, LogStore::Notice, "Closed.\r\n", LogStore::AsIs, T0 + 5000);
        const QByteArray wire = Greeting + Helo + Reply;

        // The text view reads as it always has.
        QByteArray text = Greeting + Helo + QByteArray(Reply).replace('\0', '?') + "Closed.\r\n";
        if (crlf)
            text = QByteArray(Greeting).replace("\n", "\r\n") + Helo +
                   QByteArray(Reply).replace('\0', '?').replace("\n", "\r\n") + "Closed.\r\n";
        QCOMPARE(store.TextBytes(store.Begin(), store.End()), text);

        // Hex rows: the wire's bytes, 16 a row, offsets counting them.
        LogHexRows rows(store);
        QCOMPARE(rows.Count(), (wire.size() + 9 + 15) / 16);
        QByteArray hex;
        LogHexRows::Row row;
        for (qint64 r = 0; r < rows.Count(); ++r) {
            rows.At(r, row);
            QCOMPARE(row.Text.left(8), QByteArray::number(r * 16, 16).rightJustified(8, '0'));
            QCOMPARE(row.Text.size(), rows.Width());
            for (size_t i = 0; i < row.Pos.size(); ++i) {
                hex += row.Text.mid(rows.HexColumn(int(i)), 2);
                QCOMPARE(rows.RowOf(row.Pos[i]), r);
            }
        }
        QCOMPARE(QByteArray::fromHex(hex), wire + "Closed.\r\n");

        // Raw: the wire's bytes without the notice.
        QCOMPARE(LogFiles::ToBytes(store, LogFiles::Raw), wire);

        // Transcript: a heading per arrival, then its bytes escaped, a line per LF.
        const QList<QByteArray> lines = LogFiles::ToBytes(store, LogFiles::Transcript).split('\n');
        const QRegularExpression heading(QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.(\d{6}) (.*)$)"));
        QStringList headings, micros;
        QByteArrayList bodies;
        for (const QByteArray &line : lines) {
            const QRegularExpressionMatch m = heading.match(QString::fromLatin1(line));
            if (m.hasMatch()) {
                headings << m.captured(2);
                micros << m.captured(1);
            } else if (!line.isEmpty()) {
                QVERIFY2(line.startsWith("  "), line.constData());
                bodies << line.mid(2);
            }
        }
        QCOMPARE(headings,
                 (QStringList{"received 24 bytes", "sent 9 bytes", "received 23 bytes", "note 9 bytes"}));
        QCOMPARE(micros, (QStringList{"001000", "002500", "004000", "005000"}));
        QCOMPARE(bodies, (QByteArrayList{"220 mail.example ESMTP\\r\\n", "HELO me\\r\\n", "250 ok\\r\\n",
                                         "bare\\n", "nul\\0end\\n", "\\xff\\xfe", "Closed.\\r\\n"}));

        // The capture: a handshake, each arrival at its time from its end, FINs.
        QTemporaryDir dir;
        const QString file = dir.filePath(QStringLiteral("s.pcapng"));
        QCOMPARE(LogFiles::Save(store, file), QString());
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        QList<pcapng::Packet> packets;
        QVERIFY(pcapng::read(f.readAll(), packets));
        QVERIFY(packets.size() >= 9);
        QCOMPARE(packets[0].flags, pcapng::Syn);
        QCOMPARE(packets[1].flags, pcapng::Syn | pcapng::Ack);
        QCOMPARE(packets[1].ack, packets[0].seq + 1);
        QCOMPARE(packets.last().flags, pcapng::Ack);
        QCOMPARE(packets[packets.size() - 2].flags & pcapng::Fin, pcapng::Fin);
        const QHostAddress client(QStringLiteral("127.0.0.1")), server(QStringLiteral("127.0.0.2"));
        QCOMPARE(payloadFrom(packets, client, 40001), Helo);
        QCOMPARE(payloadFrom(packets, server, 25), Greeting + Reply);
        std::array<quint32, 2> next{packets[0].seq + 1,
                                    packets[1].seq + 1}; // sequence numbers follow the bytes
        for (qsizetype i = 3; i < packets.size(); ++i) {
            const pcapng::Packet &p = packets[i];
            QVERIFY(!p.udp && p.micros >= packets[i - 1].micros);
            QVERIFY(p.dst.isEqual(p.src == client ? server : client));
            const int from = p.sport == 25;
            QCOMPARE(p.seq, next[size_t(from)]);
            QCOMPARE(p.ack, next[size_t(1 - from)]);
            next[size_t(from)] += quint32(p.payload.size()) + ((p.flags & pcapng::Fin) ? 1 : 0);
        }
        QCOMPARE(packets[3].micros, T0 + 1000);
        QCOMPARE(packets.last().micros, T0 + 4000); // the notice is not on the wire
        // tshark, where installed, follows the same bytes.
        QByteArray fromClient, fromServer;
        if (pcapng::tsharkFollow(file, 0, &fromClient, &fromServer)) {
            QCOMPARE(fromClient, Helo);
            QCOMPARE(fromServer, Greeting + Reply);
        }
    }

    // The relay's two directions between its client and its server (IPv4 and
    // IPv6 ends: all IPv6 then), and UDP datagrams, in sessions one after another.
    void relayAndUdpSessions()
    {
        LogStore store;
        append(store, LogStore::Notice, "Local Connected. Connecting to remote...\r\n", 0, T0);
        store.AddSession(session("127.0.0.1", 50000, "::1", 8025));
        append(store, LogStore::ClientToServer, "GET / HTTP/1.0\r\n\r\n", LogStore::LfToCrLf, T0 + 10);
        append(store, LogStore::ServerToClient, QByteArray(70000, 'x') + "\n", LogStore::LfToCrLf, T0 + 20);
        append(store, LogStore::ClientToServer, "more", 0, T0 + 30);
        store.AddSession(session("127.0.0.1", 9000, "127.0.0.1", 53, false, true)); // a peer of a listener
        append(store, LogStore::Received, "query", 0, T0 + 40);
        append(store, LogStore::Sent, "answer", 0, T0 + 50);

        QList<pcapng::Packet> packets;
        QVERIFY(pcapng::read(LogFiles::ToBytes(store, LogFiles::Pcapng), packets));
        QList<pcapng::Packet> tcp, udp;
        for (const pcapng::Packet &p : std::as_const(packets))
            (p.udp ? udp : tcp).append(p);
        const QHostAddress client(QStringLiteral("::ffff:127.0.0.1")), server(QStringLiteral("::1"));
        QCOMPARE(tcp.first().src, client);
        QCOMPARE(tcp.first().dst, server);
        QCOMPARE(payloadFrom(tcp, client, 50000), QByteArray("GET / HTTP/1.0\r\n\r\nmore"));
        QCOMPARE(payloadFrom(tcp, server, 8025), QByteArray(70000, 'x') + "\n");
        QVERIFY(std::all_of(tcp.begin(), tcp.end(),
                            [](const pcapng::Packet &p) { return p.payload.size() <= 65000; }));
        QCOMPARE(udp.size(), 2);
        QCOMPARE(udp[0].sport, 9000);
        QCOMPARE(udp[0].payload, QByteArray("query"));
        QCOMPARE(udp[1].sport, 53);
        QCOMPARE(udp[1].payload, QByteArray("answer"));
        for (qsizetype i = 1; i < packets.size(); ++i)
            QVERIFY(packets[i].micros >= packets[i - 1].micros);
        QVERIFY(udp[0].micros > tcp.last().micros);
    }

    // With times, each arrival starts a row of its own after a heading with its
    // time and direction; the pane's accessible text is the rows as shown.
    void hexRowsWithTimes()
    {
        LogPane pane;
        pane.resize(900, 300);
        pane.show();
        const QDateTime at = QDateTime::currentDateTime();
        pane.InsertAtCaret("hello\n", LogStore::LfToCrLf, LogStore::Sent);
        pane.InsertAtCaret(QByteArray(20, 'a'), LogStore::AsIs, LogStore::Received);
        pane.SetHexView(true);
        pane.SetShowTimes(true);
        const QByteArrayList expected{"sent, 6 bytes", "00000000  68 65 6c 6c 6f 0a", "received, 20 bytes",
                                      "00000006  61 61", "00000016  61 61 61 61"};
        QByteArrayList rows;
        for (qint64 r = 0; !pane.HexRow(r).isEmpty(); ++r)
            rows << pane.HexRow(r);
        QCOMPARE(rows.size(), 5);
        for (int r = 0; r < 5; ++r) {
            if (r == 0 || r == 2) {
                const QTime shown =
                    QTime::fromString(QString::fromLatin1(rows[r].left(12)), QStringLiteral("HH:mm:ss.zzz"));
                QVERIFY2(shown.isValid() && (at.time().msecsTo(shown) + 86'400'000) % 86'400'000 < 60'000,
                         rows[r].constData());
                QCOMPARE(rows[r].mid(13).trimmed(), expected[r]);
            } else {
                QVERIFY2(rows[r].startsWith(expected[r]), rows[r].constData());
            }
        }
        QAccessibleTextInterface *text = QAccessible::queryAccessibleInterface(&pane)->textInterface();
        QCOMPARE(text->text(0, text->characterCount()), QString::fromLatin1(rows.join('\n') + '\n'));
        // The caret on the 'o' of "hello" is on its two digits in the second row.
        pane.SetCaret(4);
        const int line = int(rows[0].size()) + 1;
        QCOMPARE(text->cursorPosition(), line + LogHexRows::HexFirst + 3 * 4);
        text->setCursorPosition(3 * line + LogHexRows::HexFirst + 3 * 1);
        QCOMPARE(pane.Caret(), 7 + 1); // "hello\r\n" is 7 in the text view, then the second 'a'
        pane.SetShowTimes(false);      // one run of rows again
        QCOMPARE(pane.HexRow(1).left(8), QByteArray("00000010"));
        QCOMPARE(pane.HexRow(2), QByteArray());
    }

    // A failed save names the system's reason and leaves no file at all.
    void failedSaveLeavesNothing()
    {
        LogStore store;
        const QByteArray big(4 * 1024 * 1024, 'b');
        append(store, LogStore::Received, big, 0, T0);
        QTemporaryDir dir;
        QCOMPARE(LogFiles::Save(store, dir.filePath(QStringLiteral("no/such/dir.txt"))),
                 QString::fromLocal8Bit(strerror(ENOENT)));
        // Files may grow to 1 MiB only: the write fails half-way.
        rlimit old{};
        getrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old;
        small.rlim_cur = 1024 * 1024;
        setrlimit(RLIMIT_FSIZE, &small);
        const QString error = LogFiles::Save(store, dir.filePath(QStringLiteral("big.bin")));
        setrlimit(RLIMIT_FSIZE, &old);
        QCOMPARE(error, QString::fromLocal8Bit(strerror(EFBIG)));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
        // The same store saved whole once there is room.
        QCOMPARE(LogFiles::Save(store, dir.filePath(QStringLiteral("big.bin"))), QString());
        QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("big.bin"))).size(), big.size());
        QCOMPARE(LogFiles::FormOf(QStringLiteral("a/b.TXT")), LogFiles::Transcript);
        QCOMPARE(LogFiles::FormOf(QStringLiteral("c.pcapng")), LogFiles::Pcapng);
        QCOMPARE(LogFiles::FormOf(QStringLiteral("d.log")), LogFiles::Raw);
    }

    // A flood of 10-byte datagrams keeps its arrivals in little memory.
    void arrivalsAreCompact()
    {
        LogStore store;
        store.SetCapacity(8 * 1024 * 1024);
        const QByteArray datagram("0123456789");
        for (int i = 0; i < 2'000'000; ++i)
            store.Append(datagram.constData(), datagram.size(), 0, LogStore::NulToQuestion,
                         LogStore::Received, T0 + i);
        QVERIFY2(store.MemoryUse() <= 3 * store.Size(),
                 qPrintable(QStringLiteral("%1 bytes for %2").arg(store.MemoryUse()).arg(store.Size())));
        QCOMPARE(store.ArrivalAt(store.End() - 1).Micros, T0 + 1'999'999);
        QCOMPARE(store.ArrivalAt(store.End() - 1).Start, store.End() - 10);
    }
};

QTEST_MAIN(TestLogFiles)
#include "tst_logfiles.moc"
