#include "Numbers.h"

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "Failure.h"

namespace {

bool isBlank(QChar c) { return c == u' ' || c == u'\t'; }

// Reads a number at the start of s (no blanks inside). Returns the value and
// how many characters it used, or nothing when s begins with no number.
std::optional<std::pair<double, qsizetype>> readNumber(const QString &s)
{
    qsizetype i = 0;
    const qsizetype n = s.size();
    if (n >= 2 && s[0] == u'&') {
        const QChar kind = s[1].toUpper();
        const int base = kind == u'H' ? 16 : kind == u'O' ? 8 : 0;
        if (base) {
            i = 2;
            double v = 0;
            bool any = false;
            while (i < n) {
                int digit = (s[i] >= u'0' && s[i] <= u'9') ? s[i].unicode() - u'0' : -1;
                if (base == 16 && digit < 0) {
                    const QChar c = s[i].toUpper();
                    if (c >= u'A' && c <= u'F')
                        digit = 10 + (c.unicode() - u'A');
                }
                if (digit < 0 || digit >= base)
                    break;
                v = v * base + digit;
                any = true;
                ++i;
            }
            if (!any)
                return std::nullopt;
            return std::pair{v, i};
        }
    }
    QByteArray number;
    if (i < n && (s[i] == u'+' || s[i] == u'-'))
        number += char(s[i++].unicode());
    qsizetype digits = 0;
    while (i < n && s[i] >= u'0' && s[i] <= u'9') {
        number += char(s[i++].unicode());
        ++digits;
    }
    if (i < n && s[i] == u'.') {
        qsizetype j = i + 1;
        QByteArray frac = ".";
        while (j < n && s[j] >= u'0' && s[j] <= u'9')
            frac += char(s[j++].unicode());
        if (frac.size() > 1 || digits > 0) {
            digits += frac.size() - 1;
            number += frac;
            i = j;
        }
    }
    if (digits == 0)
        return std::nullopt;
    if (i < n && (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
        qsizetype j = i + 1;
        QByteArray exp = "e";
        if (j < n && (s[j] == u'+' || s[j] == u'-'))
            exp += char(s[j++].unicode());
        qsizetype expDigits = 0;
        while (j < n && s[j] >= u'0' && s[j] <= u'9') {
            exp += char(s[j++].unicode());
            ++expDigits;
        }
        if (expDigits > 0) {
            number += exp;
            i = j;
        }
    }
    double v = std::strtod(number.constData(), nullptr);
    if (std::isinf(v))
        v = std::copysign(DBL_MAX, v);
    return std::pair{v, i};
}

} // namespace

double LeadingNumber(const QString &text)
{
    QString s;
    s.reserve(text.size());
    for (QChar c : text)
        if (!isBlank(c) && c != u'\n')
            s += c;
    const auto r = readNumber(s);
    return r ? r->first : 0.0;
}

qint32 RoundToInt32(double value)
{
    const double r = std::nearbyint(value); // the default rounding mode sends halves to even
    if (!(r >= -2147483648.0 && r <= 2147483647.0))
        throw Failure(FailureNo::Overflow,
                      QStringLiteral("The number %1 does not fit in a 32-bit whole number.")
                          .arg(ShortestNumber(value)));
    return qint32(r);
}

qint32 WholeNumber(const QString &text)
{
    qsizetype b = 0, e = text.size();
    while (b < e && isBlank(text[b]))
        ++b;
    while (e > b && isBlank(text[e - 1]))
        --e;
    const QString body = text.mid(b, e - b);
    const auto r = readNumber(body);
    if (!r || r->second != body.size())
        throw Failure(FailureNo::TypeMismatch, QStringLiteral("\"%1\" is not a number.").arg(text));
    return RoundToInt32(r->first);
}

QString ShortestNumber(double value)
{
    if (value == 0)
        return QStringLiteral("0");
    return QString::asprintf("%.15G", value);
}
