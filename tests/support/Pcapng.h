#pragma once
#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QProcess>
#include <QStandardPaths>
#include <QString>

// A small reader of the packet captures the log pane writes: section header,
// interface description and enhanced packet blocks of raw IPv4 or IPv6 packets
// carrying TCP or UDP. Anything it does not expect makes it return false.
namespace pcapng
{
struct Packet {
    qint64 micros = 0;
    QHostAddress src, dst;
    quint16 sport = 0, dport = 0;
    bool udp = false;
    quint8 flags = 0; // TCP: FIN 1, SYN 2, PSH 8, ACK 16
    quint32 seq = 0, ack = 0;
    QByteArray payload;
};
enum : quint8 { Fin = 1, Syn = 2, Psh = 8, Ack = 16 };

inline quint32 le32(const QByteArray &b, qsizetype at)
{
    return quint32(quint8(b[at])) | quint32(quint8(b[at + 1])) << 8 | quint32(quint8(b[at + 2])) << 16 |
           quint32(quint8(b[at + 3])) << 24;
}
inline quint16 be16(const QByteArray &b, qsizetype at)
{
    return quint16(quint8(b[at]) << 8 | quint8(b[at + 1]));
}
inline quint32 be32(const QByteArray &b, qsizetype at)
{
    return quint32(be16(b, at)) << 16 | be16(b, at + 2);
}

inline bool read(const QByteArray &file, QList<Packet> &out)
{
    out.clear();
    bool header = false, raw = false;
    for (qsizetype at = 0; at < file.size();) {
        if (file.size() - at < 12)
            return false;
        const quint32 type = le32(file, at), len = le32(file, at + 4);
        if (len < 12 || len % 4 || at + len > file.size() || le32(file, at + len - 4) != len)
            return false;
        const QByteArray body = file.mid(at + 8, len - 12);
        at += len;
        if (type == 0x0A0D0D0A) {
            header = le32(body, 0) == 0x1A2B3C4D;
            continue;
        }
        if (type == 1) {
            raw = (le32(body, 0) & 0xFFFF) == 101;
            continue;
        }
        if (type != 6 || !header || !raw)
            return false;
        Packet p;
        p.micros = qint64(quint64(le32(body, 4)) << 32 | le32(body, 8));
        const quint32 caplen = le32(body, 12);
        const QByteArray ip = body.mid(20, caplen);
        qsizetype l4;
        quint8 proto;
        if ((quint8(ip[0]) >> 4) == 4) {
            l4 = (ip[0] & 0xF) * 4;
            proto = quint8(ip[9]);
            if (be16(ip, 2) != ip.size())
                return false;
            p.src = QHostAddress(be32(ip, 12));
            p.dst = QHostAddress(be32(ip, 16));
        } else if ((quint8(ip[0]) >> 4) == 6) {
            l4 = 40;
            proto = quint8(ip[6]);
            if (be16(ip, 4) != ip.size() - 40)
                return false;
            p.src = QHostAddress(reinterpret_cast<const quint8 *>(ip.constData() + 8));
            p.dst = QHostAddress(reinterpret_cast<const quint8 *>(ip.constData() + 24));
        } else {
            return false;
        }
        p.sport = be16(ip, l4);
        p.dport = be16(ip, l4 + 2);
        p.udp = proto == 17;
        if (p.udp) {
            p.payload = ip.mid(l4 + 8);
        } else if (proto == 6) {
            p.seq = be32(ip, l4 + 4);
            p.ack = be32(ip, l4 + 8);
            p.flags = quint8(ip[l4 + 13]);
            p.payload = ip.mid(l4 + (quint8(ip[l4 + 12]) >> 4) * 4);
        } else {
            return false;
        }
        out.append(p);
    }
    return header && raw;
}

// The bytes tshark's "Follow TCP stream" gives for each direction of the
// capture's stream `stream` (from its client first), or false when tshark is
// not installed.
inline bool tsharkFollow(const QString &file, int stream, QByteArray *fromClient, QByteArray *fromServer)
{
    const QString tshark = QStandardPaths::findExecutable(QStringLiteral("tshark"));
    if (tshark.isEmpty())
        return false;
    QProcess p;
    p.start(tshark, {QStringLiteral("-r"), file, QStringLiteral("-q"), QStringLiteral("-z"),
                     QStringLiteral("follow,tcp,raw,%1").arg(stream)});
    if (!p.waitForFinished(60000))
        return false;
    // After the header lines, hex lines: a tab in front marks the second end's.
    fromClient->clear();
    fromServer->clear();
    bool body = false;
    for (const QByteArray &line : p.readAllStandardOutput().split('\n')) {
        if (line.startsWith("Node 1:")) {
            body = true;
            continue;
        }
        if (!body || line.startsWith("====") || line.trimmed().isEmpty())
            continue;
        (line.startsWith('\t') ? fromServer : fromClient)->append(QByteArray::fromHex(line.trimmed()));
    }
    return true;
}
} // namespace pcapng
