#include "Numbers.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "Failure.h"

namespace
{

bool isBlank(QChar c)
{
    return c == u' ' || c == u'\t';
}
bool isDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

// Exponents are read up to this size; beyond it every value is 0 or out of
// range anyway, and the sums below cannot overflow.
constexpr qint64 ExponentCap = qint64(1) << 40;

// A number as written at the start of a text, kept exactly.
struct Number {
    qsizetype used = 0; // characters it takes up
    bool negative = false;
    bool radix = false; // &H or &O: `digits` holds the integer in hex digits
    // Significant digits without leading zeros (decimal: nor trailing zeros);
    // empty for zero. A decimal value is digits x 10^exponent.
    QByteArray digits;
    qint64 exponent = 0;
};

char hexDigit(unsigned v)
{
    return "0123456789ABCDEF"[v & 15];
}

// Octal digits (most significant first) regrouped as hex digits: three bits
// each, read from the low end four bits at a time.
QByteArray octalToHex(const QByteArray &octal)
{
    QByteArray hex;
    hex.reserve(octal.size());
    unsigned bits = 0;
    int count = 0;
    for (qsizetype k = octal.size(); k-- > 0;) {
        bits |= unsigned(octal[k] - '0') << count;
        count += 3;
        for (; count >= 4; count -= 4, bits >>= 4)
            hex += hexDigit(bits);
    }
    if (bits)
        hex += hexDigit(bits);
    std::reverse(hex.begin(), hex.end());
    return hex;
}

// Reads a &H / &O number at the start of s, if there is one.
std::optional<Number> readRadix(const QString &s)
{
    const qsizetype n = s.size();
    const QChar kind = s[1].toUpper();
    const int base = kind == u'H' ? 16 : kind == u'O' ? 8 : 0;
    if (!base)
        return std::nullopt;
    Number r;
    r.radix = true;
    qsizetype i = 2;
    for (; i < n; ++i) {
        const QChar c = s[i].toUpper();
        const bool ok = base == 16 ? isDigit(c) || (c >= u'A' && c <= u'F') : c >= u'0' && c <= u'7';
        if (!ok)
            break;
        if (!r.digits.isEmpty() || c != u'0')
            r.digits += char(c.unicode());
    }
    if (i == 2)
        return std::nullopt;
    if (base == 8)
        r.digits = octalToHex(r.digits);
    r.used = i;
    return r;
}

// Reads a number at the start of s (no blanks inside): sign, digits, a point
// with digits, an exponent after e/E/d/D; or a &H / &O number.
std::optional<Number> readNumber(const QString &s)
{
    const qsizetype n = s.size();
    if (n >= 2 && s[0] == u'&')
        return readRadix(s);
    Number r;
    qsizetype i = 0;
    if (i < n && (s[i] == u'+' || s[i] == u'-'))
        r.negative = s[i++] == u'-';
    qsizetype whole = 0, fraction = 0; // digits before and after the point
    auto takeDigit = [&r](QChar c) {
        if (!r.digits.isEmpty() || c != u'0')
            r.digits += char(c.unicode());
    };
    for (; i < n && isDigit(s[i]); ++i, ++whole)
        takeDigit(s[i]);
    if (i < n && s[i] == u'.' && (whole > 0 || (i + 1 < n && isDigit(s[i + 1])))) {
        for (++i; i < n && isDigit(s[i]); ++i, ++fraction)
            takeDigit(s[i]);
    }
    if (whole + fraction == 0)
        return std::nullopt;
    qint64 exponent = 0;
    if (i < n && (s[i] == u'e' || s[i] == u'E' || s[i] == u'd' || s[i] == u'D')) {
        qsizetype j = i + 1;
        const bool negative = j < n && s[j] == u'-';
        if (j < n && (s[j] == u'+' || s[j] == u'-'))
            ++j;
        if (j < n && isDigit(s[j])) {
            for (; j < n && isDigit(s[j]); ++j)
                exponent = std::min(exponent * 10 + (s[j].unicode() - u'0'), ExponentCap);
            if (negative)
                exponent = -exponent;
            i = j;
        }
    }
    r.exponent = exponent - fraction;
    // Trailing zeros go into the exponent.
    qsizetype last = r.digits.size();
    while (last > 0 && r.digits[last - 1] == '0')
        --last;
    r.exponent += r.digits.size() - last;
    r.digits.truncate(last);
    r.used = i;
    return r;
}

// The double nearest to the number; out of range gives the largest finite
// double with the number's sign.
double toDouble(const Number &r)
{
    if (r.digits.isEmpty())
        return r.negative ? -0.0 : 0.0;
    const QByteArray text =
        r.radix ? "0x" + r.digits : (r.negative ? "-" : "") + r.digits + 'e' + QByteArray::number(r.exponent);
    const double v = std::strtod(text.constData(), nullptr);
    return std::isinf(v) ? std::copysign(DBL_MAX, v) : v;
}

// The number rounded to a whole number, halves to the even neighbour, when
// the result has at most ten decimal digits; nothing otherwise.
std::optional<qint64> roundedWhole(const Number &r)
{
    if (r.radix) {
        if (r.digits.size() > 8)
            return std::nullopt;
        return r.digits.isEmpty() ? 0 : r.digits.toLongLong(nullptr, 16);
    }
    if (r.digits.isEmpty())
        return 0;
    const qint64 size = r.digits.size();
    const qint64 wholeDigits = size + r.exponent; // digits before the decimal point
    if (wholeDigits > 10)
        return std::nullopt;
    qint64 whole = 0;
    for (qint64 k = 0; k < wholeDigits; ++k)
        whole = whole * 10 + (k < size ? r.digits[k] - '0' : 0);
    // The first digit after the point decides, and any digit after that one
    // (no trailing zeros are kept) puts a 5 above one half.
    if (wholeDigits >= 0 && wholeDigits < size) {
        const char first = r.digits[wholeDigits];
        const bool aboveHalf = first > '5' || (first == '5' && wholeDigits + 1 < size);
        if (aboveHalf || (first == '5' && whole % 2))
            ++whole;
    }
    return r.negative ? -whole : whole;
}

Failure overflow(double value)
{
    return Failure(
        FailureNo::Overflow,
        QStringLiteral("The number %1 does not fit in a 32-bit whole number.").arg(ShortestNumber(value)));
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
    return r ? toDouble(*r) : 0.0;
}

qint32 RoundToInt32(double value)
{
    const double r = std::nearbyint(value); // the default rounding mode sends halves to even
    if (!(r >= -2147483648.0 && r <= 2147483647.0))
        throw overflow(value);
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
    if (!r || r->used != body.size())
        throw Failure(FailureNo::TypeMismatch, QStringLiteral("\"%1\" is not a number.").arg(text));
    // Rounded from the digits as written: going through a double first would
    // round twice (2.5000000000000000001 would become 2.5, then 2).
    const auto whole = roundedWhole(*r);
    if (!whole || *whole < -2147483648LL || *whole > 2147483647LL)
        throw overflow(toDouble(*r));
    return qint32(*whole);
}

QString ShortestNumber(double value)
{
    if (value == 0)
        return QStringLiteral("0");
    return QString::asprintf("%.15G", value);
}
