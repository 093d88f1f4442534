#include "prefs/generator.h"
#include "vault/randomsource.h"

#include <QHash>
#include <QSet>
#include <QTest>

#include <climits>

namespace {

const QString lower = QStringLiteral("abcdefghijklmnopqrstuvwxyz");
const QString digits = QStringLiteral("0123456789");
const QString upper = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
const QString special = QStringLiteral("!@#$%^&*()-=+*/?<>");

QSet<QChar> charactersOf(const QString& text)
{
    return QSet<QChar>(text.begin(), text.end());
}

} // namespace

class TestGenerator : public QObject
{
    Q_OBJECT

private slots:
    void init() { RandomSource::useSeed(4242); }
    void cleanupTestCase() { RandomSource::useSystem(); }

    void randomIntStaysInRange_data()
    {
        QTest::addColumn<int>("low");
        QTest::addColumn<int>("high");
        QTest::addColumn<int>("expectedLow");
        QTest::addColumn<int>("expectedHigh");
        QTest::newRow("single value") << 5 << 5 << 5 << 5;
        QTest::newRow("two values") << 0 << 1 << 0 << 1;
        QTest::newRow("negative to positive") << -3 << 3 << -3 << 3;
        QTest::newRow("reversed") << 10 << 1 << 1 << 10;
        // The span does not fit an int.
        QTest::newRow("whole int range") << INT_MIN << INT_MAX << INT_MIN << INT_MAX;
    }

    void randomIntStaysInRange()
    {
        QFETCH(int, low);
        QFETCH(int, high);
        QFETCH(int, expectedLow);
        QFETCH(int, expectedHigh);
        QSet<int> seen;
        for (int i = 0; i < 2000; ++i) {
            const int value = randomInt(low, high);
            QVERIFY2(value >= expectedLow && value <= expectedHigh, qPrintable(QString::number(value)));
            seen.insert(value);
        }
        // Small ranges are covered completely.
        const qint64 span = qint64(expectedHigh) - expectedLow + 1;
        if (span <= 10)
            QCOMPARE(seen.size(), span);
    }

    void equalLengths_data()
    {
        QTest::addColumn<int>("length");
        QTest::newRow("1") << 1;
        QTest::newRow("16") << 16;
        QTest::newRow("99") << 99;
    }

    void equalLengths()
    {
        QFETCH(int, length);
        for (int i = 0; i < 100; ++i)
            QCOMPARE(generatePassword(length, length, true, true, true).size(), length);
    }

    void poolFollowsPolicy_data()
    {
        QTest::addColumn<bool>("mixedCase");
        QTest::addColumn<bool>("alphanumeric");
        QTest::addColumn<bool>("specialChars");
        QTest::addColumn<QString>("pool");
        QTest::newRow("lower case only") << false << false << false << lower;
        QTest::newRow("digits") << false << true << false << lower + digits;
        QTest::newRow("upper case") << true << false << false << lower + upper;
        QTest::newRow("special") << false << false << true << lower + special;
        QTest::newRow("digits and upper case") << true << true << false << lower + digits + upper;
        QTest::newRow("digits and special") << false << true << true << lower + digits + special;
        QTest::newRow("upper case and special") << true << false << true << lower + upper + special;
        QTest::newRow("all") << true << true << true << lower + digits + upper + special;
    }

    // Every character of the pool turns up, and nothing else does.
    void poolFollowsPolicy()
    {
        QFETCH(bool, mixedCase);
        QFETCH(bool, alphanumeric);
        QFETCH(bool, specialChars);
        QFETCH(QString, pool);
        QSet<QChar> seen;
        for (int i = 0; i < 400; ++i)
            seen.unite(charactersOf(generatePassword(20, 20, mixedCase, alphanumeric, specialChars)));
        QCOMPARE(seen, charactersOf(pool));
    }

    void starIsTwiceAsLikely()
    {
        QHash<QChar, int> counts;
        const int passwords = 20000;
        for (int i = 0; i < passwords; ++i) {
            for (QChar ch : generatePassword(10, 10, true, true, true))
                ++counts[ch];
        }
        // 200,000 characters over 80 slots: 2,500 a slot, so "*" near 5,000.
        double others = 0;
        for (QChar ch : special) {
            if (ch != u'*')
                others += counts.value(ch);
        }
        others /= special.size() - 2;
        const double ratio = counts.value(u'*') / others;
        QVERIFY2(ratio > 1.8 && ratio < 2.2, qPrintable(QString::number(ratio)));
        QVERIFY2(counts.value(u'a') > 2200 && counts.value(u'a') < 2800,
                 qPrintable(QString::number(counts.value(u'a'))));
    }

    // One draw for the length, then one per character, left to right; no draw more. The
    // same seed therefore gives the same password.
    void drawOrder_data()
    {
        QTest::addColumn<int>("minLength");
        QTest::addColumn<int>("maxLength");
        QTest::addColumn<bool>("mixedCase");
        QTest::addColumn<bool>("alphanumeric");
        QTest::addColumn<bool>("specialChars");
        QTest::addColumn<QString>("pool");
        QTest::newRow("all classes") << 3 << 9 << true << true << true << lower + digits + upper + special;
        QTest::newRow("lower case only") << 40 << 40 << false << false << false << lower;
        QTest::newRow("digits and special") << 1 << 99 << false << true << true << lower + digits + special;
    }

    void drawOrder()
    {
        QFETCH(int, minLength);
        QFETCH(int, maxLength);
        QFETCH(bool, mixedCase);
        QFETCH(bool, alphanumeric);
        QFETCH(bool, specialChars);
        QFETCH(QString, pool);
        for (quint32 seed : {1u, 99u, 123456u}) {
            RandomSource::useSeed(seed);
            const QString password = generatePassword(minLength, maxLength, mixedCase, alphanumeric, specialChars);
            const quint32 following = RandomSource::next();

            RandomSource::useSeed(seed);
            const int length = minLength + int(RandomSource::next() % quint32(maxLength - minLength + 1));
            QString expected;
            for (int i = 0; i < length; ++i)
                expected += pool.at(RandomSource::next() % quint32(pool.size()));
            QCOMPARE(password, expected);
            QCOMPARE(RandomSource::next(), following);
        }
    }
};

QTEST_GUILESS_MAIN(TestGenerator)
#include "tst_generator.moc"
