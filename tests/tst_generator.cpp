#include "prefs/generator.h"
#include "vault/randomsource.h"

#include <QHash>
#include <QSet>
#include <QTest>

#include <algorithm>
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

    // A reversed range is taken the right way round; the span of the whole int range does not
    // fit an int, yet the value is still low + draw.
    void randomIntRange()
    {
        QSet<int> reversed;
        for (int i = 0; i < 2000; ++i)
            reversed.insert(randomInt(10, 1));
        QCOMPARE(reversed, QSet<int>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
        RandomSource::useSeed(7);
        const quint32 draw = RandomSource::next();
        RandomSource::useSeed(7);
        QCOMPARE(randomInt(INT_MIN, INT_MAX), int(INT_MIN + qint64(draw)));
    }

    void followsPolicy_data()
    {
        QTest::addColumn<int>("minLength");
        QTest::addColumn<int>("maxLength");
        QTest::addColumn<QString>("pool"); // the options are those whose class it holds
        QTest::newRow("lower case only, equal lengths") << 40 << 40 << lower;
        QTest::newRow("digits, equal lengths") << 1 << 1 << lower + digits;
        QTest::newRow("upper case") << 5 << 20 << lower + upper;
        QTest::newRow("digits and special") << 1 << 99 << lower + digits + special;
        QTest::newRow("all") << 3 << 9 << lower + digits + upper + special;
    }

    // One draw for the length, then one per character from the pool in this order, and no
    // draw more; over many passwords every pool character turns up and nothing else does.
    void followsPolicy()
    {
        QFETCH(int, minLength);
        QFETCH(int, maxLength);
        QFETCH(QString, pool);
        const bool mixedCase = pool.contains(u'A'), alphanumeric = pool.contains(u'0'),
                   specialChars = pool.contains(u'!');
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
        QSet<QChar> seen;
        for (int i = 0; i < 3000; ++i)
            seen.unite(charactersOf(generatePassword(minLength, maxLength, mixedCase, alphanumeric, specialChars)));
        QCOMPARE(seen, charactersOf(pool));
    }

    // Lengths a damaged or hand-made store can hold: a password of 1 to 99 characters, never
    // empty, never an allocation that fails, whatever the pair.
    void lengthsAreClamped_data()
    {
        QTest::addColumn<int>("minLength");
        QTest::addColumn<int>("maxLength");
        QTest::addColumn<int>("shortest");
        QTest::addColumn<int>("longest");
        QTest::newRow("zero") << 0 << 0 << 1 << 1;
        QTest::newRow("negative") << -5 << -1 << 1 << 1;
        QTest::newRow("huge") << INT_MAX << INT_MAX << 99 << 99;
        QTest::newRow("whole int range") << INT_MIN << INT_MAX << 1 << 99;
        QTest::newRow("minimum above maximum") << 30 << 8 << 8 << 8;
    }

    void lengthsAreClamped()
    {
        QFETCH(int, minLength);
        QFETCH(int, maxLength);
        QFETCH(int, shortest);
        QFETCH(int, longest);
        QSet<int> lengths;
        for (int i = 0; i < 500; ++i)
            lengths.insert(int(generatePassword(minLength, maxLength, true, true, true).size()));
        QCOMPARE(*std::min_element(lengths.cbegin(), lengths.cend()), shortest);
        QCOMPARE(*std::max_element(lengths.cbegin(), lengths.cend()), longest);
    }

    void starIsTwiceAsLikely()
    {
        QHash<QChar, int> counts;
        for (int i = 0; i < 20000; ++i) {
            for (QChar ch : generatePassword(10, 10, true, true, true))
                ++counts[ch];
        }
        // 200,000 characters over 80 slots: 2,500 a slot, so "*" near 5,000.
        double others = 0;
        for (QChar ch : special)
            others += ch == u'*' ? 0 : counts.value(ch);
        const double ratio = counts.value(u'*') / (others / (special.size() - 2));
        QVERIFY2(ratio > 1.8 && ratio < 2.2, qPrintable(QString::number(ratio)));
        QVERIFY2(counts.value(u'a') > 2200 && counts.value(u'a') < 2800,
                 qPrintable(QString::number(counts.value(u'a'))));
    }
};

QTEST_GUILESS_MAIN(TestGenerator)
#include "tst_generator.moc"
