#include <QTest>

#include "platform/Failure.h"
#include "platform/Numbers.h"

class tst_Numbers : public QObject {
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
    }
    void leadingNumber()
    {
        QFETCH(QString, text);
        QFETCH(double, value);
        QCOMPARE(LeadingNumber(text), value);
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
    }
};

QTEST_GUILESS_MAIN(tst_Numbers)
#include "tst_numbers.moc"
