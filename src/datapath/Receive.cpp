#include <QCheckBox>

#include <cstring>

#include "app/frmMain.h"
#include "platform/NetSocket.h"

namespace {
// Each LF becomes CR LF, nothing else changes: one pass over the data.
QByteArray lfToCrLf(const QByteArray &in)
{
    const char *p = in.constData();
    const char *const end = p + in.size();
    const char *lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
    if (!lf)
        return in;
    QByteArray out(in.size() * 2, Qt::Uninitialized);
    char *o = out.data();
    while (lf) {
        std::memcpy(o, p, size_t(lf - p));
        o += lf - p;
        *o++ = '\r';
        *o++ = '\n';
        p = lf + 1;
        lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)));
    }
    std::memcpy(o, p, size_t(end - p));
    o += end - p;
    out.truncate(o - out.constData());
    return out;
}
} // namespace

void frmMain::Sock_DataArrival(qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    try {
        QByteArray data = Sock->GetData();
        if (RelayActive) {
            Sniff->SendData(data);
            RelayThrottle();
        }
        if (cCrLf->isChecked())
            data = lfToCrLf(data);
        LogIt(data, false);
    } catch (const Failure &f) {
        Tk().MsgBox(QStringLiteral("DataArrival: %1\r\n").arg(f.Number) + f.Description, Toolkit::Exclamation,
                    Toolkit::OkOnly, QStringLiteral("DataArrival error..."));
        Sock->Close();
    }
}
