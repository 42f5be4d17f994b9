#include <QTest>
#include <cfloat>

#include "platform/Failure.h"
#include "platform/Numbers.h"

class tst_Numbers : public QObject
{
    Q_OBJECT
private slots:
    void leadingNumber()
    {
        // &H and &O give the double nearest the whole integer, halves to even.
        const std::pair<QString, double> cases[] = {
            {"80abc", 80},
            {"-5", -5},
            {"80.5", 80.5},
            {"2.5E-1x", 0.25},
            {" 6 5 5\t3\n5 ", 65535},
            {"1e400", DBL_MAX},
            {"&o17", 15},
            {"&H20000000000001", 9007199254740992.0},
            {"&H200000000000010000000001", 9007199254740994.0 * 0x1p40},
            {"&H" + QString(256, u'F'), DBL_MAX}};
        for (const auto &[text, value] : cases) {
            const double read = LeadingNumber(text);
            QVERIFY2(read == value, qPrintable(text + " -> " + QString::number(read, 'g', 17))); // to the bit
        }
    }

    void wholeNumber()
    {
        // Rounded from the digits as written, halves to even, never through a double.
        const std::pair<QString, int> cases[] = {{"80.5", 80},
                                                 {"81.5", 82},
                                                 {"-2.5", -2},
                                                 {"35E-1", 4},
                                                 {"2.5000000000000000001", 3},
                                                 {"2147483647.4999999999999999999", 2147483647},
                                                 {"2.5" + QString(1000000, u'0'), 2}};
        for (const auto &[text, value] : cases)
            QCOMPARE(WholeNumber(text), value);

        const std::pair<QString, int> rejected[] = {
            {"abc", FailureNo::TypeMismatch},    {"", FailureNo::TypeMismatch},
            {"1e10", FailureNo::Overflow},       {"2147483647.5", FailureNo::Overflow},
            {"&H80000000", FailureNo::Overflow}, {"1" + QString(1000000, u'0'), FailureNo::Overflow}};
        for (const auto &[text, number] : rejected) {
            try {
                WholeNumber(text);
                QFAIL(qPrintable(text.left(20) + " was taken"));
            } catch (const Failure &f) {
                QCOMPARE(f.Number, number);
            }
        }
    }

    // The port field is read by LeadingNumber for Connect and by WholeNumber for Listen and
    // UDP: a whole text both can read must give the same port, also with a bare decimal point.
    void bothReadersAgree()
    {
        for (const QString text : {"80.", " 80. ", "80.0", "8.E1", ".8e2", "&H50", "80.4"}) {
            qint32 whole = -1;
            try {
                whole = WholeNumber(text);
            } catch (const Failure &f) {
                QFAIL(qPrintable(text + ": " + f.Description));
            }
            QCOMPARE(whole, RoundToInt32(LeadingNumber(text)));
            QCOMPARE(whole, 80);
        }
    }

    void shortestNumber()
    {
        QCOMPARE(ShortestNumber(80.25), QStringLiteral("80.25"));
        QCOMPARE(ShortestNumber(DBL_MAX), QStringLiteral("1.79769313486232E+308"));
    }
};

QTEST_GUILESS_MAIN(tst_Numbers)
#include "tst_numbers.moc"
