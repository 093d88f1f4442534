#include "prefs/masterpassword.h"
#include "store/payload.h"
#include "store/protectedstore.h"
#include "store/settingsstore.h"
#include "support/testvault.h"

#include <QDir>
#include <QFile>
#include <QTest>

namespace {

const QString kPassword = QStringLiteral("correct horse");

using TestVault::readFile;

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray payloadOf(const StoreState& state)
{
    return encodePayload(state.preferences, state.vault.categoryNames(), state.vault.entries());
}

// The texts of a vault as a file could hold them: QDataStream writes UTF-16, big-endian.
QList<QByteArray> textForms(const QString& text)
{
    QByteArray utf16;
    for (QChar c : text)
        utf16 += char(c.unicode() >> 8) + QByteArray(1, char(c.unicode() & 0xFF));
    return {text.toUtf8(), utf16};
}

} // namespace

// The settings store written and read in the protected form: every caller's save follows the
// session's key, and a protected file is opened only whole and with the right password.
class TestStoreProtection : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestVault::Fixture> fixture;
    QStringList answers;    // what the password prompt is given, in turn; none left: cancelled
    QList<bool> askedAgain; // the prompt's `again` each time it was asked

    SettingsStore& store() const { return fixture->store; }
    StoreState& state() const { return fixture->state; }
    QString storePath() const { return store().filePath(); }

    // Answers the prompt of `target` from `answers`.
    void answerPrompts(SettingsStore& target)
    {
        target.setPasswordPrompt([this](bool again, QString& password) {
            askedAgain << again;
            if (answers.isEmpty())
                return false;
            password = answers.takeFirst();
            return true;
        });
        target.setKdfCalibration([] { return kLowestKdfLimits; });
    }

    void fillVault()
    {
        state().preferences.masterPasswordHash = hashMasterPassword(kPassword);
        state().preferences.maxLoginAttempts = 3;
        state().preferences.firstRun = false;
        state().vault.reset(
            {QStringLiteral("General"), QStringLiteral("Banking")},
            TestVault::entryList({TestVault::makeEntry(QStringLiteral("Mailbox"), QStringLiteral("General"),
                                                       QStringLiteral("alice"), QStringLiteral("https://mail.example"),
                                                       QStringLiteral("memo"), QStringLiteral("hunter2")),
                                  TestVault::makeEntry(QStringLiteral("Savings"), QStringLiteral("Banking"))}));
    }

    // Saves the filled vault protected and forgets it in memory.
    void saveProtected()
    {
        fillVault();
        QVERIFY(store().protect(kPassword));
        QVERIFY(store().save(state()).ok);
        expected = payloadOf(state());
        fixture->forget();
    }

    QByteArray expected; // the payload of the vault saved

private slots:
    void initTestCase() { QVERIFY(sodiumReady()); }

    void init()
    {
        fixture = std::make_unique<TestVault::Fixture>();
        answers.clear();
        askedAgain.clear();
        answerPrompts(store());
    }

    void cleanup() { fixture.reset(); }

    // On: the documented form, none of the vault's texts, the payload exactly; off again: the
    // ordinary file byte for byte as a store never protected writes it.
    void onAndOffRoundTrip()
    {
        fillVault();
        const QByteArray plainFile = sealStore(payloadOf(state()));
        QVERIFY(store().save(state()).ok);
        QCOMPARE(readFile(storePath()), plainFile);

        QVERIFY(store().protect(kPassword));
        QVERIFY(store().save(state()).ok);
        const QByteArray file = readFile(storePath());
        QVERIFY(file.startsWith("VYPROT01"));
        for (const QString& text :
             {QStringLiteral("Mailbox"), QStringLiteral("alice"), QStringLiteral("hunter2"), QStringLiteral("Banking"),
              QStringLiteral("mail.example"), QStringLiteral("memo")}) {
            for (const QByteArray& form : textForms(text))
                QVERIFY2(!file.contains(form), qPrintable(text));
        }
        QByteArray payload;
        QCOMPARE(openProtectedStore(file, kPassword, payload), ProtectedOutcome::Opened);
        QCOMPARE(payload, payloadOf(state()));
        const std::optional<ProtectedHeader> header = readProtectedHeader(file);
        QVERIFY(header);
        QVERIFY(header->limits == kLowestKdfLimits);

        // Read back by a new session, which asks for the password first.
        const QByteArray saved = payloadOf(state());
        fixture->forget();
        answers = {kPassword};
        QCOMPARE(store().load(state()).outcome, StoreLoadResult::Loaded);
        QCOMPARE(askedAgain, QList<bool>{false});
        QVERIFY(store().isProtected());
        QCOMPARE(payloadOf(state()), saved);

        store().unprotect();
        QVERIFY(store().save(state()).ok);
        QCOMPARE(readFile(storePath()), plainFile);
        fixture->forget();
        QCOMPARE(store().load(state()).outcome, StoreLoadResult::Loaded);
        QVERIFY(!store().isProtected());
        QCOMPARE(payloadOf(state()), saved);
        QCOMPARE(askedAgain.size(), 1); // an ordinary file asks nothing
    }

    // Each save has a new nonce; each protect() and each new master password a new salt, and
    // only the newest password opens the file.
    void saltsAndPasswords()
    {
        fillVault();
        QVERIFY(store().protect(kPassword));
        QVERIFY(store().save(state()).ok);
        const QByteArray first = readFile(storePath());
        QVERIFY(store().save(state()).ok);
        const QByteArray second = readFile(storePath());
        QCOMPARE(second.left(32), first.left(32));
        QVERIFY(second.mid(32, 24) != first.mid(32, 24));

        QVERIFY(store().protect(kPassword));
        QVERIFY(store().save(state()).ok);
        QVERIFY(readFile(storePath()).mid(16, 16) != first.mid(16, 16));

        const QByteArray beforeChange = readFile(storePath());
        QVERIFY(store().changeProtectionPassword(QStringLiteral("new one")));
        QVERIFY(store().save(state()).ok);
        const QByteArray changed = readFile(storePath());
        QVERIFY(changed.mid(16, 16) != beforeChange.mid(16, 16));
        QByteArray payload;
        QCOMPARE(openProtectedStore(changed, kPassword, payload), ProtectedOutcome::Refused);
        QVERIFY(payload.isEmpty());
        QCOMPARE(openProtectedStore(changed, QStringLiteral("new one"), payload), ProtectedOutcome::Opened);
    }

    void opening_data()
    {
        QTest::addColumn<QStringList>("given");
        QTest::addColumn<QList<bool>>("asked");
        QTest::addColumn<bool>("opens");
        QTest::newRow("right at once") << QStringList{kPassword} << QList<bool>{false} << true;
        QTest::newRow("wrong, then right")
            << QStringList{QStringLiteral("nope"), QString(), kPassword} << QList<bool>{false, true, true} << true;
        QTest::newRow("cancelled") << QStringList() << QList<bool>{false} << false;
        QTest::newRow("wrong, then cancelled")
            << QStringList{kPassword + QLatin1Char(' ')} << QList<bool>{false, true} << false;
    }

    // A wrong password never yields data and asks again; a cancel leaves nothing loaded and the
    // file as it was, without a copy or another file beside it.
    void opening()
    {
        QFETCH(QStringList, given);
        QFETCH(QList<bool>, asked);
        QFETCH(bool, opens);
        saveProtected();
        const QByteArray file = readFile(storePath());
        const QStringList files = QDir(fixture->dir.path()).entryList(QDir::Files | QDir::Hidden);
        answers = given;

        const StoreLoadResult result = store().load(state());
        QCOMPARE(askedAgain, asked);
        QCOMPARE(result.outcome, opens ? StoreLoadResult::Loaded : StoreLoadResult::NotOpened);
        QVERIFY2(result.message.isEmpty(), qPrintable(result.message));
        QCOMPARE(store().isProtected(), opens);
        if (opens) {
            QCOMPARE(payloadOf(state()), expected);
        } else {
            QVERIFY(state().vault.entries().isEmpty());
            QVERIFY(state().vault.categoryNames().isEmpty());
            QVERIFY(state().preferences.masterPasswordHash.isEmpty());
        }
        QCOMPARE(readFile(storePath()), file);
        QCOMPARE(QDir(fixture->dir.path()).entryList(QDir::Files | QDir::Hidden), files);
    }

    // Every single-byte change of a protected file, and every cut, is refused with the right
    // password: nothing loaded in part, the file kept byte for byte, nothing written beside it.
    void changedFileIsNeverLoaded()
    {
        saveProtected();
        const QByteArray sound = readFile(storePath());
        const QStringList files = QDir(fixture->dir.path()).entryList(QDir::Files | QDir::Hidden);
        QList<QByteArray> changes;
        for (qsizetype at = 0; at < sound.size(); ++at) {
            QByteArray changed = sound;
            changed[at] = char(changed[at] ^ 0x01);
            changes << changed;
        }
        changes << sound.left(sound.size() - 1) << sound + QByteArray(1, '\0');
        for (const QByteArray& changed : std::as_const(changes)) {
            writeFile(storePath(), changed);
            fixture->forget();
            answers = {kPassword};
            askedAgain.clear();
            const StoreLoadResult result = store().load(state());
            QCOMPARE(result.outcome, StoreLoadResult::NotOpened);
            QVERIFY(state().vault.entries().isEmpty() && state().vault.categoryNames().isEmpty());
            QVERIFY(state().preferences.masterPasswordHash.isEmpty());
            QCOMPARE(readFile(storePath()), changed);
            QCOMPARE(QDir(fixture->dir.path()).entryList(QDir::Files | QDir::Hidden), files);
            // Changed where the limits are read, a file may be refused before any password.
            QVERIFY(askedAgain.size() <= 2);
            QVERIFY(!askedAgain.isEmpty() || !result.message.isEmpty());
        }
    }

    // Locked over a protected store: saves write nothing while the vault is out of memory; the
    // vault comes back only with the right password, and with it the key for later saves.
    void cutBelowItsMark_data()
    {
        QTest::addColumn<int>("length");
        for (int length : {0, 1, 4, 7})
            QTest::addRow("%d bytes", length) << length;
    }

    // A vault known here to be protected never falls back to the ordinary form: a file cut below
    // its mark is damaged protection, not opened and kept as it is, and nothing writes the ordinary
    // form over it. Protection turned off elsewhere (a whole ordinary store) is still taken.
    void cutBelowItsMark()
    {
        QFETCH(int, length);
        saveProtected();
        const QByteArray protectedBytes = readFile(storePath());
        const QByteArray cut = protectedBytes.left(length);
        writeFile(storePath(), cut);
        SettingsStore again(fixture->dir.path());
        StoreState loaded;
        const StoreLoadResult result = again.load(loaded);
        QCOMPARE(result.outcome, StoreLoadResult::NotOpened);
        QVERIFY(result.message.contains(QDir::toNativeSeparators(storePath())));
        QVERIFY(!again.save(loaded).ok);
        QCOMPARE(readFile(storePath()), cut);

        // Turned off on another computer: the whole ordinary store opens, and is saved so.
        fillVault();
        writeFile(storePath(), sealStore(payloadOf(state())));
        StoreState plain;
        QCOMPARE(SettingsStore(fixture->dir.path()).load(plain).outcome, StoreLoadResult::Loaded);
        QCOMPARE(plain.vault.entries().size(), 2);
        QVERIFY(SettingsStore(fixture->dir.path()).save(plain).ok);
    }

    void releaseAndReopen()
    {
        saveProtected();
        answers = {kPassword};
        QCOMPARE(store().load(state()).outcome, StoreLoadResult::Loaded);
        const QByteArray file = readFile(storePath());

        store().setVaultReleased(true);
        state().vault.clear();
        QVERIFY(store().save(state()).ok);
        QCOMPARE(readFile(storePath()), file);

        QCOMPARE(store().reopen(state(), QStringLiteral("wrong")), SettingsStore::ReopenOutcome::Refused);
        QVERIFY(state().vault.entries().isEmpty());
        QVERIFY(store().isVaultReleased());
        QCOMPARE(store().reopen(state(), kPassword), SettingsStore::ReopenOutcome::Opened);
        QVERIFY(!store().isVaultReleased());
        QCOMPARE(payloadOf(state()), expected);

        QVERIFY(store().save(state()).ok);
        QByteArray payload;
        QCOMPARE(openProtectedStore(readFile(storePath()), kPassword, payload), ProtectedOutcome::Opened);
        QCOMPARE(payload, expected);
    }
};

QTEST_GUILESS_MAIN(TestStoreProtection)
#include "tst_storeprotection.moc"
