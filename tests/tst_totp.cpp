#include "vault/totp.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTest>

namespace {

const char* algorithmName(TotpSecret::Algorithm algorithm)
{
    switch (algorithm) {
    case TotpSecret::Algorithm::Sha256:
        return "SHA256";
    case TotpSecret::Algorithm::Sha512:
        return "SHA512";
    default:
        return "SHA1";
    }
}

QString base32Of(const QByteArray& bytes)
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    QString text;
    quint32 buffer = 0;
    int bits = 0;
    for (const char byte : bytes) {
        buffer = (buffer << 8) | uchar(byte);
        bits += 8;
        while (bits >= 5) {
            bits -= 5;
            text += QLatin1Char(alphabet[(buffer >> bits) & 31]);
        }
    }
    if (bits > 0)
        text += QLatin1Char(alphabet[(buffer << (5 - bits)) & 31]);
    return text;
}

// What `oathtool --totp` says for the secret at `time`; empty when it could not run.
QString oathtoolCode(const QString& base32, TotpSecret::Algorithm algorithm, int digits, int period, qint64 time)
{
    // oathtool reads a secret without its padding wrongly.
    QString padded = base32;
    while (padded.size() % 8 != 0)
        padded += QLatin1Char('=');
    QProcess oathtool;
    oathtool.start(QStringLiteral("oathtool"),
                   {QStringLiteral("--totp=") + QLatin1String(algorithmName(algorithm)), QStringLiteral("--base32"),
                    QStringLiteral("--digits=%1").arg(digits), QStringLiteral("--time-step-size=%1s").arg(period),
                    QStringLiteral("--now=@%1").arg(time), padded});
    if (!oathtool.waitForFinished(10000) || oathtool.exitCode() != 0)
        return QString();
    return QString::fromLatin1(oathtool.readAllStandardOutput()).trimmed();
}

} // namespace

class TestTotp : public QObject
{
    Q_OBJECT

private slots:
    // RFC 6238's vectors, then random secrets, algorithms, digits, periods and times, each written
    // into notes in one of the forms an entry may hold it: every code matches oathtool's.
    void codesMatchOathtool()
    {
        const bool haveOathtool = !QStandardPaths::findExecutable(QStringLiteral("oathtool")).isEmpty();
        struct Case
        {
            QByteArray key;
            TotpSecret::Algorithm algorithm;
            int digits, period;
            qint64 time;
            QString expected; // known for RFC 6238's vectors; else from oathtool
        };
        const QByteArray seed20("12345678901234567890");
        const QByteArray seed32("12345678901234567890123456789012");
        const QByteArray seed64("1234567890123456789012345678901234567890123456789012345678901234");
        using A = TotpSecret::Algorithm;
        QList<Case> cases = {
            {seed20, A::Sha1, 8, 30, 59, "94287082"},
            {seed32, A::Sha256, 8, 30, 59, "46119246"},
            {seed64, A::Sha512, 8, 30, 59, "90693936"},
            {seed20, A::Sha1, 8, 30, 1111111109, "07081804"},
            {seed32, A::Sha256, 8, 30, 1111111109, "68084774"},
            {seed64, A::Sha512, 8, 30, 1111111109, "25091201"},
            {seed20, A::Sha1, 8, 30, 1111111111, "14050471"},
            {seed32, A::Sha256, 8, 30, 1111111111, "67062674"},
            {seed64, A::Sha512, 8, 30, 1111111111, "99943326"},
            {seed20, A::Sha1, 8, 30, 1234567890, "89005924"},
            {seed32, A::Sha256, 8, 30, 1234567890, "91819424"},
            {seed64, A::Sha512, 8, 30, 1234567890, "93441116"},
            {seed20, A::Sha1, 8, 30, 2000000000, "69279037"},
            {seed32, A::Sha256, 8, 30, 2000000000, "90698825"},
            {seed64, A::Sha512, 8, 30, 2000000000, "38618901"},
            {seed20, A::Sha1, 8, 30, 20000000000, "65353130"},
            {seed32, A::Sha256, 8, 30, 20000000000, "77737706"},
            {seed64, A::Sha512, 8, 30, 20000000000, "47863826"},
        };
        // VAULTRY_SEED runs other cases than the suite's, for longer runs by hand.
        QRandomGenerator random(6238 + qEnvironmentVariableIntValue("VAULTRY_SEED"));
        for (int i = 0; haveOathtool && i < 60; ++i) {
            QByteArray key(10 + random.bounded(55), '\0');
            for (char& byte : key)
                byte = char(random.bounded(256));
            cases.append({key, A(random.bounded(3)), kTotpMinDigits + random.bounded(3),
                          kTotpMinPeriod + random.bounded(kTotpMaxPeriod - kTotpMinPeriod + 1),
                          random.bounded(qint64(1) << 33), QString()});
        }
        if (!haveOathtool)
            qWarning("oathtool is not installed: only RFC 6238's vectors are checked");

        for (int i = 0; i < cases.size(); ++i) {
            const Case& c = cases[i];
            const QString base32 = base32Of(c.key);
            const QString expected =
                c.expected.isEmpty() ? oathtoolCode(base32, c.algorithm, c.digits, c.period, c.time) : c.expected;
            QVERIFY2(!expected.isEmpty(), "oathtool failed");
            if (haveOathtool)
                QCOMPARE(oathtoolCode(base32, c.algorithm, c.digits, c.period, c.time), expected);

            const QString uri = QStringLiteral("otpauth://totp/Example:me%40example.com?secret=%1&issuer=Example"
                                               "&algorithm=%2&digits=%3&period=%4")
                                    .arg(base32.toLower(), QLatin1String(algorithmName(c.algorithm)))
                                    .arg(c.digits)
                                    .arg(c.period);
            const bool defaults = c.algorithm == A::Sha1 && c.digits == 6 && c.period == 30;
            QString spaced = base32;
            for (int at = 4; at < spaced.size(); at += 5)
                spaced.insert(at, QLatin1Char(' '));
            const QStringList notesForms = {
                QStringLiteral("first line\n%1\nlast").arg(uri),
                QStringLiteral("TOTP: %1").arg(uri),           // KeePassXC's CSV and Bitwarden, as imported
                QStringLiteral("Tags: x\notp: %1\n").arg(uri), // KeePassXC's XML, as imported
                QStringLiteral("TOTP: %1=").arg(spaced),       // a bare secret
            };
            const QString notes = notesForms[defaults ? i % 4 : i % 3];
            const std::optional<TotpSecret> secret = totpSecretInNotes(notes);
            QVERIFY2(secret, qPrintable(notes));
            QCOMPARE(secret->key, c.key);
            QCOMPARE(totpCode(*secret, c.time), expected);
            QCOMPARE(totpCodeInNotes(notes, c.time), expected);
            const int left = totpSecondsLeft(*secret, c.time);
            QVERIFY(left >= 1 && left <= c.period);
            QCOMPARE(totpCode(*secret, c.time + left - 1), expected);

            // Written back as a URI, the secret reads the same.
            const std::optional<TotpSecret> again = totpSecretInNotes(notesWithTotpUri(notes, totpUri(*secret)));
            QVERIFY(again);
            QCOMPARE(totpCode(*again, c.time), expected);
            QCOMPARE(again->issuer, secret->issuer);
            QCOMPARE(again->account, secret->account);
        }
    }

    void refusesOutOfRange_data()
    {
        QTest::addColumn<QString>("text");
        const QString uri = QStringLiteral("otpauth://totp/x?secret=JBSWY3DPEHPK3PXPJBSWY3DP");
        QTest::newRow("5 digits") << uri + "&digits=5";
        QTest::newRow("9 digits") << uri + "&digits=9";
        QTest::newRow("14 s") << uri + "&period=14";
        QTest::newRow("61 s") << uri + "&period=61";
        QTest::newRow("MD5") << uri + "&algorithm=MD5";
        QTest::newRow("counter based") << QStringLiteral("otpauth://hotp/x?secret=JBSWY3DPEHPK3PXPJBSWY3DP");
        QTest::newRow("no secret") << QStringLiteral("otpauth://totp/x?digits=6");
        QTest::newRow("not base32") << QStringLiteral("JBSWY3DPEHPK3PXP1890");
        QTest::newRow("too short") << QStringLiteral("JBSWY3DP");
        QTest::newRow("empty") << QString();
    }

    // A secret outside what the codes allow is refused with a reason, and notes holding only such
    // a line have no secret.
    void refusesOutOfRange()
    {
        QFETCH(QString, text);
        QString error;
        QVERIFY(!parseTotpSecret(text, &error));
        QVERIFY(!error.isEmpty());
        QVERIFY(!totpSecretInNotes(QStringLiteral("TOTP: ") + text));
        QCOMPARE(totpCodeInNotes(QStringLiteral("TOTP: ") + text, 59), QString());
        QVERIFY(parseTotpSecret(QStringLiteral("otpauth://totp/x?secret=JBSWY3DPEHPK3PXPJBSWY3DP&digits=8&period=60")));
    }

    // A new secret replaces the line that held the old one and leaves every other line; notes
    // without one get it as a last line.
    void writesIntoNotes()
    {
        const QString uri = QStringLiteral("otpauth://totp/new?secret=JBSWY3DPEHPK3PXPJBSWY3DP");
        QCOMPARE(notesWithTotpUri(QString(), uri), uri);
        QCOMPARE(notesWithTotpUri(QStringLiteral("a\n"), uri), QStringLiteral("a\n") + uri);
        QCOMPARE(notesWithTotpUri(QStringLiteral("a\nTOTP: GEZDGNBVGY3TQOJQGEZDGNBV\nb"), uri),
                 QStringLiteral("a\n") + uri + QStringLiteral("\nb"));
        QCOMPARE(notesWithTotpUri(QStringLiteral("TOTP: not a secret"), uri),
                 QStringLiteral("TOTP: not a secret\n") + uri);
    }
};

QTEST_GUILESS_MAIN(TestTotp)
#include "tst_totp.moc"
