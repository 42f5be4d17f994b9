#include "LogFiles.h"
#include "LogStore.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHostAddress>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include <array>

namespace
{
// Collects small writes into large ones for the sink.
class Out
{
public:
    explicit Out(const LogFiles::Sink &sink) : m_sink(sink) { m_buf.reserve(Size); }
    void Put(const char *data, qint64 n)
    {
        if (m_buf.size() + n > Size)
            Flush();
        if (n > Size) {
            m_ok = m_ok && m_sink(data, n);
            return;
        }
        m_buf.append(data, n);
    }
    void Put(const QByteArray &b) { Put(b.constData(), b.size()); }
    void Put(char c)
    {
        if (m_buf.size() == Size)
            Flush();
        m_buf.append(c);
    }
    bool Flush()
    {
        if (!m_buf.isEmpty())
            m_ok = m_ok && m_sink(m_buf.constData(), m_buf.size());
        m_buf.clear();
        return m_ok;
    }
    bool Ok() const { return m_ok; }

private:
    static constexpr qint64 Size = 1024 * 1024;
    const LogFiles::Sink &m_sink;
    QByteArray m_buf;
    bool m_ok = true;
};

// ---- Transcript ----

QByteArray timeText(qint64 micros)
{
    const QDateTime t = QDateTime::fromMSecsSinceEpoch(micros / 1000);
    return t.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.")).toLatin1() +
           QByteArray::number(micros % 1000000).rightJustified(6, '0');
}

void writeTranscript(const LogStore &store, Out &out)
{
    QByteArray bytes, line;
    store.ForEachArrival(store.Begin(), store.End(), [&](const LogStore::Arrival &a) {
        bytes.clear();
        store.WireBytes(a.Start, a.End, bytes);
        out.Put(timeText(a.Micros) + ' ' + LogStore::DirectionName(a.Dir) + ' ' +
                QByteArray::number(bytes.size()) + (bytes.size() == 1 ? " byte\n" : " bytes\n"));
        // Each line of the bytes indented, so none can pass for a heading.
        line = "  ";
        for (const char ch : std::as_const(bytes)) {
            const auto c = quint8(ch);
            if (c >= 0x20 && c < 0x7F && c != '\\') {
                line += char(c);
                continue;
            }
            switch (c) {
            case '\\': line += "\\\\"; break;
            case '\r': line += "\\r"; break;
            case '\t': line += "\\t"; break;
            case '\0': line += "\\0"; break;
            case '\n':
                line += "\\n\n";
                out.Put(line);
                line = "  ";
                break;
            default:
                line += "\\x";
                line += "0123456789abcdef"[c >> 4];
                line += "0123456789abcdef"[c & 15];
            }
        }
        if (line.size() > 2)
            out.Put(line + '\n');
        return out.Ok();
    });
}

// ---- Raw ----

void writeRaw(const LogStore &store, Out &out)
{
    QByteArray bytes;
    store.ForEachArrival(store.Begin(), store.End(), [&](const LogStore::Arrival &a) {
        if (a.Dir == LogStore::Notice)
            return true;
        bytes.clear();
        store.WireBytes(a.Start, a.End, bytes);
        out.Put(bytes);
        return out.Ok();
    });
}

// ---- Packet capture ----

// Little-endian fields of the capture's blocks; big-endian ones of the packets.
void le16(QByteArray &b, quint16 v)
{
    b.append(char(v & 0xFF)).append(char(v >> 8));
}
void le32(QByteArray &b, quint32 v)
{
    le16(b, quint16(v & 0xFFFF));
    le16(b, quint16(v >> 16));
}
void be16(QByteArray &b, quint16 v)
{
    b.append(char(v >> 8)).append(char(v & 0xFF));
}
void be32(QByteArray &b, quint32 v)
{
    be16(b, quint16(v >> 16));
    be16(b, quint16(v & 0xFFFF));
}

// The internet checksum of b, added to sum.
quint32 sumOf(const char *p, qint64 n, quint32 sum = 0)
{
    for (qint64 i = 0; i + 1 < n; i += 2)
        sum += quint32(quint8(p[i])) << 8 | quint8(p[i + 1]);
    if (n % 2)
        sum += quint32(quint8(p[n - 1])) << 8;
    return sum;
}
quint16 fold(quint32 sum)
{
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return quint16(~sum);
}

struct Endpoint {
    std::array<quint8, 16> Address{}; // IPv4 in the first four bytes
    quint16 Port = 0;
};

class Capture
{
public:
    explicit Capture(Out &out) : m_out(out)
    {
        QByteArray b;
        // Section header: byte-order magic, version 1.0, length unknown.
        le32(b, 0x0A0D0D0A);
        le32(b, 28);
        le32(b, 0x1A2B3C4D);
        le16(b, 1);
        le16(b, 0);
        le32(b, 0xFFFFFFFF);
        le32(b, 0xFFFFFFFF);
        le32(b, 28);
        // One interface carrying raw IP packets, times in microseconds (the default).
        le32(b, 1);
        le32(b, 20);
        le16(b, 101); // LINKTYPE_RAW
        le16(b, 0);
        le32(b, 0); // no snapshot limit
        le32(b, 20);
        m_out.Put(b);
    }

    // Starts a conversation between client and server; IPv6 when either end is.
    void Begin(const LogStore::Session &s)
    {
        m_udp = s.Udp;
        const QHostAddress c(s.ClientAddress), v(s.ServerAddress);
        bool c4 = false, v4 = false;
        const quint32 cv4 = c.toIPv4Address(&c4), sv4 = v.toIPv4Address(&v4);
        m_v6 = (!c4 && !c.isNull()) || (!v4 && !v.isNull());
        m_ends[0] = endpoint(c, cv4, s.ClientPort);
        m_ends[1] = endpoint(v, sv4, s.ServerPort);
        m_next = {1000, 5000}; // initial sequence numbers
        m_open = false;
        m_sent = false;
    }

    // A TCP conversation opens with its handshake before its first bytes.
    void Open(qint64 micros)
    {
        if (m_open || m_udp)
            return;
        m_open = true;
        Segment(0, micros, Syn, {});
        ++m_next[0];
        Segment(1, micros, Syn | Ack, {});
        ++m_next[1];
        Segment(0, micros, Ack, {});
    }

    // Bytes from one end (0: client) at their time, in segments or datagrams.
    void Data(int from, qint64 micros, const QByteArray &bytes)
    {
        Open(micros);
        constexpr qint64 Most = 32 * 1024;
        for (qint64 at = 0; at < bytes.size(); at += Most) {
            const QByteArray piece = bytes.mid(at, Most);
            Segment(from, micros, Psh | Ack, piece);
            m_next[from] += quint32(piece.size());
        }
        m_sent = true;
        m_last = micros;
    }

    // Each end's FIN, the last one acknowledged.
    void End()
    {
        if (!m_open)
            return;
        Segment(0, m_last, Fin | Ack, {});
        ++m_next[0];
        Segment(1, m_last, Fin | Ack, {});
        ++m_next[1];
        Segment(0, m_last, Ack, {});
        m_open = false;
    }

private:
    enum Flags : quint8 { Fin = 0x01, Syn = 0x02, Psh = 0x08, Ack = 0x10 };

    Endpoint endpoint(const QHostAddress &a, quint32 v4, quint16 port) const
    {
        Endpoint e;
        e.Port = port;
        if (!m_v6) {
            for (int i = 0; i < 4; ++i)
                e.Address[size_t(i)] = quint8(v4 >> (24 - 8 * i));
        } else if (!a.isNull()) {
            const Q_IPV6ADDR six = a.toIPv6Address(); // an IPv4 address as ::ffff:a.b.c.d
            for (int i = 0; i < 16; ++i)
                e.Address[size_t(i)] = six[i];
        }
        return e;
    }

    // One packet from end `from` to the other: the transport header after an IP one.
    void Segment(int from, qint64 micros, quint8 flags, const QByteArray &payload)
    {
        const Endpoint &src = m_ends[size_t(from)], &dst = m_ends[size_t(1 - from)];
        const int addrLen = m_v6 ? 16 : 4;
        QByteArray transport;
        be16(transport, src.Port);
        be16(transport, dst.Port);
        if (m_udp) {
            be16(transport, quint16(8 + payload.size()));
            be16(transport, 0);
        } else {
            be32(transport, m_next[size_t(from)]);
            be32(transport, flags & Ack ? m_next[size_t(1 - from)] : 0);
            transport.append(char(5 << 4)).append(char(flags));
            be16(transport, 65535); // window
            be16(transport, 0);     // checksum, below
            be16(transport, 0);
        }
        transport += payload;
        // Checksum over the pseudo-header and the segment.
        const quint8 proto = m_udp ? 17 : 6;
        quint32 sum = sumOf(reinterpret_cast<const char *>(src.Address.data()), addrLen);
        sum = sumOf(reinterpret_cast<const char *>(dst.Address.data()), addrLen, sum);
        sum += proto + quint32(transport.size() >> 16) + quint32(transport.size() & 0xFFFF);
        quint16 check = fold(sumOf(transport.constData(), transport.size(), sum));
        if (m_udp && check == 0)
            check = 0xFFFF;
        const int at = m_udp ? 6 : 16;
        transport[at] = char(check >> 8);
        transport[at + 1] = char(check & 0xFF);

        QByteArray ip;
        if (m_v6) {
            be32(ip, 0x60000000);
            be16(ip, quint16(transport.size()));
            ip.append(char(proto)).append(char(64));
        } else {
            ip.append(char(0x45)).append(char(0));
            be16(ip, quint16(20 + transport.size()));
            be16(ip, m_id++);
            be16(ip, 0x4000); // do not fragment
            ip.append(char(64)).append(char(proto));
            be16(ip, 0);
        }
        ip.append(reinterpret_cast<const char *>(src.Address.data()), addrLen);
        ip.append(reinterpret_cast<const char *>(dst.Address.data()), addrLen);
        if (!m_v6) {
            const quint16 ipCheck = fold(sumOf(ip.constData(), ip.size()));
            ip[10] = char(ipCheck >> 8);
            ip[11] = char(ipCheck & 0xFF);
        }
        const qint64 len = ip.size() + transport.size();
        const qint64 padded = (len + 3) & ~qint64(3);
        QByteArray b;
        le32(b, 6); // enhanced packet block
        le32(b, quint32(32 + padded));
        le32(b, 0);
        le32(b, quint32(quint64(micros) >> 32));
        le32(b, quint32(quint64(micros) & 0xFFFFFFFF));
        le32(b, quint32(len));
        le32(b, quint32(len));
        b += ip;
        b += transport;
        b.append(QByteArray(int(padded - len), '\0'));
        le32(b, quint32(32 + padded));
        m_out.Put(b);
    }

    Out &m_out;
    bool m_udp = false, m_v6 = false, m_open = false, m_sent = false;
    std::array<Endpoint, 2> m_ends;
    std::array<quint32, 2> m_next{};
    quint16 m_id = 1;
    qint64 m_last = 0;
};

void writePcapng(const LogStore &store, Out &out)
{
    Capture capture(out);
    const std::deque<LogStore::Session> &sessions = store.Sessions();
    size_t next = 0; // the next session to begin
    bool begun = false;
    // Bytes before any session known: a conversation between unknown ends.
    if (sessions.empty() || sessions.front().Pos > store.Begin()) {
        capture.Begin(LogStore::Session{});
        begun = true;
    }
    QByteArray bytes;
    store.ForEachArrival(store.Begin(), store.End(), [&](const LogStore::Arrival &a) {
        while (next < sessions.size() && sessions[next].Pos <= a.Start) {
            if (begun)
                capture.End();
            capture.Begin(sessions[next]);
            capture.Open(std::min(sessions[next].Micros, a.Micros));
            begun = true;
            ++next;
        }
        if (a.Dir == LogStore::Notice)
            return true;
        const LogStore::Session &s = next > 0 ? sessions[next - 1] : LogStore::Session{};
        const bool fromClient = a.Dir == LogStore::ClientToServer ||
                                (a.Dir == LogStore::Sent && s.LocalIsClient) ||
                                (a.Dir == LogStore::Received && !s.LocalIsClient);
        bytes.clear();
        store.WireBytes(a.Start, a.End, bytes);
        capture.Data(fromClient ? 0 : 1, a.Micros, bytes);
        return out.Ok();
    });
    if (begun)
        capture.End();
}
} // namespace

namespace LogFiles
{
Form FormOf(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    return suffix == QLatin1String("txt") ? Transcript : suffix == QLatin1String("pcapng") ? Pcapng : Raw;
}

bool Write(const LogStore &store, Form form, const Sink &sink)
{
    Out out(sink);
    switch (form) {
    case Transcript: writeTranscript(store, out); break;
    case Pcapng: writePcapng(store, out); break;
    case Raw: writeRaw(store, out); break;
    }
    return out.Flush();
}

QByteArray ToBytes(const LogStore &store, Form form)
{
    QByteArray all;
    Write(store, form, [&](const char *data, qint64 n) {
        all.append(data, n);
        return true;
    });
    return all;
}

QString Save(const LogStore &store, const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    // A name of its own beside the target, created with the usual permissions.
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = name + ".part" + QByteArray::number(::getpid()) + "-" + QByteArray::number(attempt);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return QString::fromLocal8Bit(std::strerror(errno));
    }
    if (fd < 0)
        return QString::fromLocal8Bit(std::strerror(EEXIST));
    int error = 0;
    const bool written = Write(store, FormOf(path), [&](const char *data, qint64 n) {
        while (n > 0) {
            const ssize_t w = ::write(fd, data, size_t(n));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0) {
                error = w < 0 ? errno : ENOSPC;
                return false;
            }
            data += w;
            n -= w;
        }
        return true;
    });
    if (written && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && written && ::rename(temp.constData(), name.constData()) != 0)
        error = errno;
    if (error != 0 || !written) {
        ::unlink(temp.constData());
        return QString::fromLocal8Bit(std::strerror(error != 0 ? error : EIO));
    }
    return QString();
}
} // namespace LogFiles
