#include <QCheckBox>

#include <cstring>

#include "app/frmMain.h"
#include "platform/NetSocket.h"

namespace {
// Each LF becomes CR LF, nothing else changes: one pass, into a buffer that is
// kept from one arrival to the next.
void lfToCrLf(const QByteArray &in, QByteArray &out)
{
    const char *p = in.constData();
    const char *const end = p + in.size();
    out.resize(in.size() * 2);
    char *o = out.data();
    for (const char *lf; (lf = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p))));) {
        std::memcpy(o, p, size_t(lf - p));
        o += lf - p;
        *o++ = '\r';
        *o++ = '\n';
        p = lf + 1;
    }
    std::memcpy(o, p, size_t(end - p));
    o += end - p;
    out.truncate(o - out.constData());
}
} // namespace

void frmMain::Sock_DataArrival(qint64 bytesTotal)
{
    Q_UNUSED(bytesTotal);
    try {
        // The buffers are the window's, reused by every arrival.
        Sock->GetData(RxData);
        if (RelayActive) {
            Sniff->SendData(RxData);
            RelayThrottle();
        }
        if (cCrLf->isChecked() && std::memchr(RxData.constData(), '\n', size_t(RxData.size()))) {
            lfToCrLf(RxData, RxShown);
            RxData.swap(RxShown);
        }
        LogIt(RxData, false);
    } catch (const Failure &f) {
        Tk().MsgBox(QStringLiteral("DataArrival: %1\r\n").arg(f.Number) + f.Description, Toolkit::Exclamation,
                    Toolkit::OkOnly, QStringLiteral("DataArrival error..."));
        Sock->Close();
    }
}
