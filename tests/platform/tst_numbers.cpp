#include <QTest>
#include <cfloat>
#include <cmath>

#include "platform/Failure.h"
#include "platform/Numbers.h"

class tst_Numbers : public QObject
{
    Q_OBJECT
private slots:
    void leadingNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("value");
        QTest::newRow("plain") << "80" << 80.0;
        QTest::newRow("trailing letters") << "80abc" << 80.0;
        QTest::newRow("letters") << "abc" << 0.0;
        QTest::newRow("empty") << "" << 0.0;
        QTest::newRow("negative") << "-5" << -5.0;
        QTest::newRow("fraction") << "80.5" << 80.5;
        QTest::newRow("leading point") << ".5" << 0.5;
        QTest::newRow("exponent") << "1e9" << 1e9;
        QTest::newRow("exponent sign") << "2.5E-1x" << 0.25;
        QTest::newRow("bare exponent") << "7e" << 7.0;
        QTest::newRow("blanks inside") << " 6 5 5\t3\n5 " << 65535.0;
        QTest::newRow("sign then blank") << "- 5" << -5.0;
        QTest::newRow("second point stops") << "1.2.3" << 1.2;
        QTest::newRow("hex") << "&H1F" << 31.0;
        QTest::newRow("octal") << "&o17" << 15.0;
        QTest::newRow("huge") << "1e400" << 1.7976931348623157e308;
        QTest::newRow("just sign") << "+" << 0.0;
        // &H and &O give the double nearest the whole integer, halves to even,
        // and DBL_MAX past the largest double, as the decimal path does.
        QTest::newRow("hex 2^53-1 exact") << "&H1FFFFFFFFFFFFF" << 9007199254740991.0;
        QTest::newRow("hex 2^53+1 to even") << "&H20000000000001" << 9007199254740992.0;
        QTest::newRow("hex rounded once") << "&H200000000000018" << 144115188075855904.0;
        QTest::newRow("hex just above half")
            << "&H200000000000010000000001" << std::ldexp(9007199254740994.0, 40);
        QTest::newRow("octal regrouped") << "&O1234567012345670123" << 23528931761549396.0;
        QTest::newRow("hex 400 digits") << "&H" + QString(400, u'F') << DBL_MAX;
        QTest::newRow("hex rounds up past the largest") << "&H" + QString(256, u'F') << DBL_MAX;
    }
    void leadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        const double read = LeadingNumber(text);
        // Exactly: QCOMPARE on doubles would let the last bits differ.
        QVERIFY2(read == value, qPrintable(QString::number(read, 'g', 17)));
    }

    void wholeNumber_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << "23" << 23;
        QTest::newRow("blanks around") << "  23 \t" << 23;
        QTest::newRow("half down to even") << "2.5" << 2;
        QTest::newRow("half up to even") << "3.5" << 4;
        QTest::newRow("1.5") << "1.5" << 2;
        QTest::newRow("80.5") << "80.5" << 80;
        QTest::newRow("81.5") << "81.5" << 82;
        QTest::newRow("negative") << "-7" << -7;
        QTest::newRow("exponent") << "1e3" << 1000;
        QTest::newRow("max") << "2147483647" << 2147483647;
        QTest::newRow("min") << "-2147483648" << int(-2147483647 - 1);
        QTest::newRow("hex") << "&HFF" << 255;
        // Rounded from the digits as written, never through a double.
        QTest::newRow("just above half") << "2.5000000000000000001" << 3;
        QTest::newRow("just below half") << "1.49999999999999999999" << 1;
        QTest::newRow("negative half to even") << "-2.5" << -2;
        QTest::newRow("max just below half") << "2147483647.4999999999999999999" << 2147483647;
        QTest::newRow("min half to even") << "-2147483648.5" << int(-2147483647 - 1);
        QTest::newRow("exponent fraction") << "1.5e1" << 15;
        QTest::newRow("exponent half down") << "25e-1" << 2;
        QTest::newRow("exponent half up") << "35E-1" << 4;
        QTest::newRow("zero, large exponent") << "0.0e15" << 0;
        QTest::newRow("tiny huge exponent") << "7e-999999999999999999999999" << 0;
        QTest::newRow("leading point") << ".5" << 0;
        QTest::newRow("trailing point") << "5." << 5;
        QTest::newRow("zeros after point") << "0.000000000000000000000000000015e29" << 2;
        QTest::newRow("zeros before exponent") << "+2500000000000000000000000000e-27" << 2;
        QTest::newRow("octal") << "&O17" << 15;
        QTest::newRow("hex max, zeros first") << "&H00000000007FFFFFFF" << 2147483647;
        const QString zeros(1000000, u'0');
        QTest::newRow("long, exactly half") << "2.5" + zeros << 2;
        QTest::newRow("long, just above half") << "2.5" + zeros + "1" << 3;
        QTest::newRow("long, scaled down") << "3" + zeros + "e-1000000" << 3;
    }
    void wholeNumber()
    {
        QFETCH(QString, text);
        QFETCH(int, value);
        QCOMPARE(WholeNumber(text), value);
    }

    void wholeNumberRejects_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("number");
        QTest::newRow("letters") << "abc" << FailureNo::TypeMismatch;
        QTest::newRow("trailing letters") << "80abc" << FailureNo::TypeMismatch;
        QTest::newRow("empty") << "" << FailureNo::TypeMismatch;
        QTest::newRow("blank") << "   " << FailureNo::TypeMismatch;
        QTest::newRow("blank inside") << "8 0" << FailureNo::TypeMismatch;
        QTest::newRow("too big") << "2147483648" << FailureNo::Overflow;
        QTest::newRow("1e9 fits, 1e10 does not") << "1e10" << FailureNo::Overflow;
        QTest::newRow("NUL") << QString(QChar(0)) << FailureNo::TypeMismatch;
        QTest::newRow("hex without digits") << "&H" << FailureNo::TypeMismatch;
        QTest::newRow("max and a half") << "2147483647.5" << FailureNo::Overflow;
        QTest::newRow("min, just above half")
            << "-2147483648.500000000000000000000000003" << FailureNo::Overflow;
        QTest::newRow("huge exponent") << "1e99999999999" << FailureNo::Overflow;
        QTest::newRow("hex past max") << "&H80000000" << FailureNo::Overflow;
        QTest::newRow("octal 400 digits") << "&O" + QString(400, u'7') << FailureNo::Overflow;
        QTest::newRow("a million digits") << "1" + QString(1000000, u'0') << FailureNo::Overflow;
    }
    void wholeNumberRejects()
    {
        QFETCH(QString, text);
        QFETCH(int, number);
        try {
            WholeNumber(text);
            QFAIL("no failure raised");
        } catch (const Failure &f) {
            QCOMPARE(f.Number, number);
            QVERIFY(!f.Description.isEmpty());
        }
    }

    void shortestNumber()
    {
        QCOMPARE(ShortestNumber(0), QStringLiteral("0"));
        QCOMPARE(ShortestNumber(70000), QStringLiteral("70000"));
        QCOMPARE(ShortestNumber(-5), QStringLiteral("-5"));
        QCOMPARE(ShortestNumber(0.5), QStringLiteral("0.5"));
        QCOMPARE(ShortestNumber(1e20), QStringLiteral("1E+20"));
        QCOMPARE(ShortestNumber(65536), QStringLiteral("65536"));
        QCOMPARE(ShortestNumber(1e9), QStringLiteral("1000000000"));
        QCOMPARE(ShortestNumber(80.25), QStringLiteral("80.25"));
        QCOMPARE(ShortestNumber(LeadingNumber("&H" + QString(400, u'F'))),
                 QStringLiteral("1.79769313486232E+308"));
    }
};

QTEST_GUILESS_MAIN(tst_Numbers)
#include "tst_numbers.moc"
