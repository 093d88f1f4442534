#include "store/payload.h"
#include "store/protectedstore.h"
#include "store/secretmemory.h"
#include "support/testvault.h"

#include <QElapsedTimer>
#include <QRandomGenerator>
#include <QTest>
#include <QtEndian>

#include <sodium.h>

#include <cmath>

namespace {

// Non-ASCII on purpose: the key is made from UTF-8, and "€" has no Latin-1 form.
const QString kPassword = QStringLiteral("pässwörd €");

using Tag = unsigned char;
const Tag kMessage = crypto_secretstream_xchacha20poly1305_TAG_MESSAGE;
const Tag kFinal = crypto_secretstream_xchacha20poly1305_TAG_FINAL;

const unsigned char* bytesOf(const QByteArray& array)
{
    return reinterpret_cast<const unsigned char*>(array.constData());
}

QByteArray bigEndian(quint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray fixedSalt()
{
    QByteArray salt;
    for (char i = 0; i < 16; ++i)
        salt.append(char(0xA0 + i));
    return salt;
}

QByteArray randomBytes(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    randombytes_buf(bytes.data(), size_t(size));
    return bytes;
}

QByteArray deriveDirectly(const QByteArray& passwordUtf8, const QByteArray& salt, quint32 ops, quint32 memKiB)
{
    QByteArray key(crypto_secretstream_xchacha20poly1305_KEYBYTES, Qt::Uninitialized);
    if (crypto_pwhash(reinterpret_cast<unsigned char*>(key.data()), size_t(key.size()), passwordUtf8.constData(),
                      size_t(passwordUtf8.size()), bytesOf(salt), ops, size_t(memKiB) * 1024,
                      crypto_pwhash_ALG_ARGON2ID13) != 0)
        return QByteArray();
    return key;
}

// A protected store made with libsodium alone, message by message as given.
struct Message
{
    QByteArray plain;
    Tag tag;
    bool bound; // carries bytes 0-31 as additional data
};

QByteArray craftStore(const QList<Message>& messages, const QByteArray& passwordUtf8 = kPassword.toUtf8(),
                      const QByteArray& salt = fixedSalt(), quint32 ops = kMinOpsLimit,
                      quint32 memKiB = kMinMemLimitKiB)
{
    QByteArray file = QByteArray("VYPROT01") + bigEndian(ops) + bigEndian(memKiB) + salt;
    const QByteArray prefix = file;
    const QByteArray key = deriveDirectly(passwordUtf8, salt, ops, memKiB);
    crypto_secretstream_xchacha20poly1305_state state;
    unsigned char header[crypto_secretstream_xchacha20poly1305_HEADERBYTES];
    crypto_secretstream_xchacha20poly1305_init_push(&state, header, bytesOf(key));
    file.append(reinterpret_cast<const char*>(header), sizeof header);
    for (const Message& message : messages) {
        QByteArray cipher(message.plain.size() + crypto_secretstream_xchacha20poly1305_ABYTES, Qt::Uninitialized);
        crypto_secretstream_xchacha20poly1305_push(&state, reinterpret_cast<unsigned char*>(cipher.data()), nullptr,
                                                   bytesOf(message.plain), size_t(message.plain.size()),
                                                   message.bound ? bytesOf(prefix) : nullptr,
                                                   message.bound ? size_t(prefix.size()) : 0, message.tag);
        file += bigEndian(quint32(cipher.size())) + cipher;
    }
    return file;
}

// What a reader that follows docs/protected-format.md, written with libsodium alone, makes of a file.
struct IndependentRead
{
    QByteArray payload;
    QList<qint64> messageSizes; // plaintext bytes of each message
    QString problem;            // empty when the file is sound
};

IndependentRead readIndependently(const QByteArray& file, const QByteArray& passwordUtf8)
{
    IndependentRead read;
    if (file.size() < 56 || !file.startsWith("VYPROT01")) {
        read.problem = QStringLiteral("no header");
        return read;
    }
    const quint32 ops = qFromBigEndian<quint32>(file.constData() + 8);
    const quint32 memKiB = qFromBigEndian<quint32>(file.constData() + 12);
    const QByteArray key = deriveDirectly(passwordUtf8, file.mid(16, 16), ops, memKiB);
    crypto_secretstream_xchacha20poly1305_state state;
    if (key.isEmpty() ||
        crypto_secretstream_xchacha20poly1305_init_pull(&state, bytesOf(file.mid(32, 24)), bytesOf(key)) != 0) {
        read.problem = QStringLiteral("no key");
        return read;
    }
    qint64 at = 56;
    while (true) {
        if (file.size() - at < 4) {
            read.problem = QStringLiteral("ends without the final message");
            return read;
        }
        const quint32 length = qFromBigEndian<quint32>(file.constData() + at);
        at += 4;
        const QByteArray cipher = file.mid(at, length);
        at += length;
        QByteArray plain(cipher.size(), Qt::Uninitialized);
        unsigned long long plainSize = 0;
        Tag tag = 0;
        const bool first = read.messageSizes.isEmpty();
        if (cipher.size() != qsizetype(length) ||
            crypto_secretstream_xchacha20poly1305_pull(&state, reinterpret_cast<unsigned char*>(plain.data()),
                                                       &plainSize, &tag, bytesOf(cipher), size_t(cipher.size()),
                                                       first ? bytesOf(file) : nullptr, first ? 32 : 0) != 0) {
            read.problem = QStringLiteral("message %1 not authentic").arg(read.messageSizes.size());
            return read;
        }
        read.payload += plain.left(qsizetype(plainSize));
        read.messageSizes.append(qint64(plainSize));
        if (tag == kFinal)
            break;
        if (tag != kMessage) {
            read.problem = QStringLiteral("unexpected tag %1").arg(tag);
            return read;
        }
    }
    if (at != file.size())
        read.problem = QStringLiteral("bytes after the final message");
    return read;
}

std::unique_ptr<ProtectionKey> lowCostKey()
{
    return ProtectionKey::create(kPassword, kLowestKdfLimits);
}

// Made once with craftStore (lowest limits, fixedSalt(), kPassword) over fixedPayload(), in two
// messages (20 bytes, then the rest with FINAL): it pins the format against the code's own writer.
const char kFixedFileHex[] =
    "565950524f5430310000000100000008a0a1a2a3a4a5a6a7a8a9aaabacadaeaf"
    "a7b61f44a29e4bb9810299c8de72c7df0208cc17836cd8ed"
    "00000025"
    "d8b7b64e19eabe211df5cb39ccdc2b10d505c11cf3fadd392bd9fdfff99fb6b383e6ef1557"
    "00000130"
    "fc43045014f53e36e1f9c49065e085c503705486b477c4475f7c1db911359346a137f94e21ac264b560ba8cbbcc4795f"
    "16f8c35da48886d39e0cbb3fe78d1a79f26715ee51761e903b485bda388ce5f53f2abf94d0621e8a36ac5d58ed12ab22"
    "0823f2c9ef163abacff0d67814cee8c9394a7b9dfd5450e99d80ae633da755ea10cec60a866d513cb9405479b3ea86c0"
    "91040dbb1c5e82c4fc86f34faca0570069b89ca01b117a1a8d76067fc33c54073afa953bb87aa17bfd19d9182b0b084b"
    "f835189e6467bd4229c0acb100fa694977fef1fa163280f7157f84bef7cee4818a8c82494158c3cf21caae7bed69a6bf"
    "596bed1e06d3a99ea753977d7e1a0ddf9a3e64aa3b9c62b9c2299c4142bd0dd2445780b8df0f2b89196faef5e19835e6"
    "5fa7cd9e070066069cf8cc0e3967c35e";

Payload fixedPayload()
{
    Payload payload;
    payload.preferences.masterPasswordHash = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
    payload.categories = QStringList{QStringLiteral("Email")};
    Entry entry = TestVault::makeEntry(QStringLiteral("Mail"), QStringLiteral("Email"), QStringLiteral("me"),
                                       QStringLiteral("https://mail.example"), QString(), QStringLiteral("s3cr3t-Ω"));
    entry.id = QStringLiteral("fixedIdentifierOfTheMailEntry1");
    payload.entries.append(entry);
    return payload;
}

} // namespace

class TestProtectedStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(sodiumReady()); }

    // Written by the program (in pieces of odd sizes, as a save hands them over), read by libsodium
    // calls that follow the documented format, and read back by the program.
    void writtenStoreFollowsTheFormat_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<qint64>("piece");
        QTest::newRow("empty") << qint64(0) << qint64(1);
        QTest::newRow("small") << qint64(29) << qint64(7);
        QTest::newRow("one whole message") << kProtectedMessageMax << qint64(65537);
        QTest::newRow("one byte more") << kProtectedMessageMax + 1 << qint64(65537);
        QTest::newRow("two whole messages") << 2 * kProtectedMessageMax << kProtectedMessageMax + 3;
        QTest::newRow("several, in one piece") << 5 * kProtectedMessageMax / 2 << 5 * kProtectedMessageMax / 2;
    }
    void writtenStoreFollowsTheFormat()
    {
        QFETCH(qint64, size);
        QFETCH(qint64, piece);
        const QByteArray payload = randomBytes(size);
        const auto key = lowCostKey();
        QVERIFY(key);
        QByteArray file;
        const bool written = writeProtectedStore(
            *key,
            [&](const PayloadSink& sink) {
                for (qint64 at = 0; at < size; at += piece) {
                    if (!sink(payload.constData() + at, qMin(piece, size - at)))
                        return false;
                }
                return true;
            },
            [&file](const char* data, qint64 bytes) {
                file.append(data, bytes);
                return true;
            });
        QVERIFY(written);
        QCOMPARE(file.left(8), QByteArray("VYPROT01"));
        QCOMPARE(qFromBigEndian<quint32>(file.constData() + 8), kMinOpsLimit);
        QCOMPARE(qFromBigEndian<quint32>(file.constData() + 12), kMinMemLimitKiB);
        QCOMPARE(file.mid(16, 16), key->salt());

        const IndependentRead read = readIndependently(file, kPassword.toUtf8());
        QCOMPARE(read.problem, QString());
        QVERIFY(read.payload == payload);
        // Whole 1 MiB messages, the rest in the final one.
        const qint64 messages = qMax<qint64>(1, (size + kProtectedMessageMax - 1) / kProtectedMessageMax);
        QCOMPARE(read.messageSizes.size(), messages);
        for (qsizetype i = 0; i + 1 < read.messageSizes.size(); ++i)
            QCOMPARE(read.messageSizes[i], kProtectedMessageMax);

        QByteArray decoded;
        QCOMPARE(decodeProtectedStore(file, *key, decoded), ProtectedOutcome::Opened);
        QVERIFY(decoded == payload);
        QVERIFY(encodeProtectedStore(payload, *key).size() == file.size());
    }

    void fixedFileOpens()
    {
        const QByteArray file = QByteArray::fromHex(kFixedFileHex);
        QByteArray plain;
        std::unique_ptr<ProtectionKey> key;
        QCOMPARE(openProtectedStore(file, kPassword, plain, &key), ProtectedOutcome::Opened);
        QVERIFY(key);
        QCOMPARE(key->salt(), fixedSalt());
        Payload payload;
        QVERIFY(decodePayload(plain, payload));
        QCOMPARE(payload.preferences.masterPasswordHash, fixedPayload().preferences.masterPasswordHash);
        QCOMPARE(payload.categories, fixedPayload().categories);
        QCOMPARE(TestVault::describe(payload.entries), TestVault::describe(fixedPayload().entries));

        // The derived key opens the store's next save too, without deriving again.
        const QByteArray saved = encodeProtectedStore(plain, *key);
        QByteArray again;
        QCOMPARE(decodeProtectedStore(saved, *key, again), ProtectedOutcome::Opened);
        QVERIFY(again == plain);
    }

    void everyByteChangeIsRefused()
    {
        const auto key = lowCostKey();
        const QByteArray file = encodeProtectedStore(encodePayload(fixedPayload()), *key);
        QByteArray plain;
        QCOMPARE(openProtectedStore(file, kPassword, plain), ProtectedOutcome::Opened);
        for (qsizetype i = 0; i < file.size(); ++i) {
            for (const char flip : {'\x01', '\x80', '\xFF'}) {
                QByteArray changed = file;
                changed[i] = char(changed[i] ^ flip);
                QByteArray payload("left over");
                const ProtectedOutcome outcome = openProtectedStore(changed, kPassword, payload);
                QVERIFY2(outcome != ProtectedOutcome::Opened && payload.isEmpty(),
                         qPrintable(QStringLiteral("byte %1 ^ %2").arg(i).arg(uchar(flip))));
            }
        }
    }

    void wrongPasswordNeverYieldsData_data()
    {
        QTest::addColumn<QString>("password");
        QTest::newRow("empty") << QString();
        QTest::newRow("other case") << QStringLiteral("Pässwörd €");
        QTest::newRow("trailing space") << kPassword + QLatin1Char(' ');
        QTest::newRow("prefix") << kPassword.left(kPassword.size() - 1);
        QTest::newRow("Latin-1 stand-in") << QStringLiteral("pässwörd ?");
        QTest::newRow("UTF-8 read as Latin-1") << QString::fromLatin1(kPassword.toUtf8());
    }
    void wrongPasswordNeverYieldsData()
    {
        QFETCH(QString, password);
        const QByteArray file = QByteArray::fromHex(kFixedFileHex);
        QByteArray payload("left over");
        std::unique_ptr<ProtectionKey> key;
        QCOMPARE(openProtectedStore(file, password, payload, &key), ProtectedOutcome::Refused);
        QVERIFY(payload.isEmpty());
        QVERIFY(!key);
    }

    void damagedFramesAreRefused_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<ProtectedOutcome>("outcome");
        const QByteArray a("first part"), b("second part"), c("end");
        const QByteArray sound = craftStore({{a, kMessage, true}, {b, kMessage, false}, {c, kFinal, false}});
        const qsizetype firstEnd = 56 + 4 + a.size() + 17;
        const qsizetype lastStart = sound.size() - 4 - c.size() - 17;
        QTest::newRow("sound") << sound << ProtectedOutcome::Opened;
        QTest::newRow("magic only") << sound.left(8) << ProtectedOutcome::Malformed;
        QTest::newRow("cut in the header") << sound.left(40) << ProtectedOutcome::Malformed;
        QTest::newRow("header only") << sound.left(56) << ProtectedOutcome::Refused;
        QTest::newRow("cut in a length") << sound.left(58) << ProtectedOutcome::Refused;
        QTest::newRow("cut in a message") << sound.left(firstEnd - 1) << ProtectedOutcome::Refused;
        QTest::newRow("final message dropped") << sound.left(lastStart) << ProtectedOutcome::Refused;
        QTest::newRow("a byte after") << sound + '\0' << ProtectedOutcome::Refused;
        QTest::newRow("final message twice") << sound + sound.mid(lastStart) << ProtectedOutcome::Refused;
        QTest::newRow("messages swapped")
            << sound.left(firstEnd) + sound.mid(lastStart) + sound.mid(firstEnd, lastStart - firstEnd)
            << ProtectedOutcome::Refused;
        QByteArray hugeLength = sound;
        hugeLength.replace(56, 4, bigEndian(0xFFFFFFFFu));
        QTest::newRow("length past the end") << hugeLength << ProtectedOutcome::Refused;
        QTest::newRow("no final tag") << craftStore({{a, kMessage, true}, {b, kMessage, false}, {c, kMessage, false}})
                                      << ProtectedOutcome::Refused;
        QTest::newRow("final in the middle")
            << craftStore({{a, kMessage, true}, {b, kFinal, false}, {c, kFinal, false}}) << ProtectedOutcome::Refused;
        QTest::newRow("header not bound")
            << craftStore({{a, kMessage, false}, {c, kFinal, false}}) << ProtectedOutcome::Refused;
        QTest::newRow("bound twice") << craftStore({{a, kMessage, true}, {c, kFinal, true}})
                                     << ProtectedOutcome::Refused;
        QTest::newRow("rekey tag") << craftStore({{a, crypto_secretstream_xchacha20poly1305_TAG_REKEY, true},
                                                  {c, kFinal, false}})
                                   << ProtectedOutcome::Refused;
        QTest::newRow("largest message") << craftStore({{QByteArray(kProtectedMessageMax, 'x'), kFinal, true}})
                                         << ProtectedOutcome::Opened;
        QTest::newRow("message over 1 MiB")
            << craftStore({{QByteArray(kProtectedMessageMax + 1, 'x'), kFinal, true}}) << ProtectedOutcome::Refused;
        QByteArray notOurs = sound;
        notOurs[7] = '2';
        QTest::newRow("other magic") << notOurs << ProtectedOutcome::NotProtected;
    }
    void damagedFramesAreRefused()
    {
        QFETCH(QByteArray, file);
        QFETCH(ProtectedOutcome, outcome);
        QByteArray payload("left over");
        QCOMPARE(openProtectedStore(file, kPassword, payload), outcome);
        QCOMPARE(payload.isEmpty(), outcome != ProtectedOutcome::Opened);
        if (outcome == ProtectedOutcome::Opened)
            QCOMPARE(payload, readIndependently(file, kPassword.toUtf8()).payload);
    }

    // A header's limits are checked before any key is derived from them.
    void limitsAreBounded_data()
    {
        QTest::addColumn<quint32>("ops");
        QTest::addColumn<quint32>("memKiB");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("lowest") << kMinOpsLimit << kMinMemLimitKiB << true;
        QTest::newRow("no pass") << 0u << kMinMemLimitKiB << false;
        QTest::newRow("too little memory") << kMinOpsLimit << kMinMemLimitKiB - 1 << false;
        QTest::newRow("most passes") << kMaxOpsLimit << kMinMemLimitKiB << true;
        QTest::newRow("one pass too many") << kMaxOpsLimit + 1 << kMinMemLimitKiB << false;
        QTest::newRow("most memory") << kMinOpsLimit << kMaxMemLimitKiB << true;
        QTest::newRow("memory over 1 GiB") << kMinOpsLimit << kMaxMemLimitKiB + 1 << false;
        QTest::newRow("most work") << 8u << kMaxMemLimitKiB << true;
        QTest::newRow("work over the bound") << 9u << kMaxMemLimitKiB << false;
        QTest::newRow("largest numbers") << 0xFFFFFFFFu << 0xFFFFFFFFu << false;
        QTest::newRow("calibration's ceiling")
            << quint32(kMaxKdfWork / kCalibratedMaxMemKiB) << kCalibratedMaxMemKiB << true;
    }
    void limitsAreBounded()
    {
        QFETCH(quint32, ops);
        QFETCH(quint32, memKiB);
        QFETCH(bool, accepted);
        QByteArray file = QByteArray::fromHex(kFixedFileHex);
        file.replace(8, 8, bigEndian(ops) + bigEndian(memKiB));
        const std::optional<ProtectedHeader> header = readProtectedHeader(file);
        QCOMPARE(header.has_value(), accepted);
        QCOMPARE(kdfLimitsAccepted(KdfLimits{ops, memKiB}), accepted);
        if (accepted) {
            QCOMPARE(header->limits, (KdfLimits{ops, memKiB}));
            QCOMPARE(header->salt, fixedSalt());
        } else {
            QByteArray payload;
            QCOMPARE(openProtectedStore(file, kPassword, payload), ProtectedOutcome::Malformed);
        }
    }

    // Machines as a cost model: seconds = MiB^power × (fill + passes × pass).
    void calibrationMeetsTheTarget_data()
    {
        QTest::addColumn<double>("fill");
        QTest::addColumn<double>("pass");
        QTest::addColumn<double>("power");
        QTest::newRow("this kind of machine") << 0.38e-3 << 0.44e-3 << 1.0;
        QTest::newRow("ten times faster") << 0.038e-3 << 0.044e-3 << 1.0;
        QTest::newRow("memory slow, passes fast") << 1.5e-3 << 0.1e-3 << 1.0;
        QTest::newRow("slow") << 3e-3 << 4e-3 << 1.0;
        QTest::newRow("very slow") << 20e-3 << 20e-3 << 1.0;
        QTest::newRow("absurdly fast") << 1e-9 << 1e-9 << 1.0;
        QTest::newRow("memory dearer than its share, overshoots") << 3.6e-5 << 3.6e-5 << 2.0;
    }
    void calibrationMeetsTheTarget()
    {
        QFETCH(double, fill);
        QFETCH(double, pass);
        QFETCH(double, power);
        const auto seconds = [&](const KdfLimits& limits) {
            return std::pow(limits.memLimitKiB / 1024.0, power) * (fill + limits.opsLimit * pass);
        };
        int measured = 0;
        const KdfLimits limits = calibrateKdf([&](const KdfLimits& tried) {
            ++measured;
            return seconds(tried);
        });
        QVERIFY(kdfLimitsAccepted(limits)); // a store it protects can be read back
        QVERIFY(limits.memLimitKiB >= kCalibratedMinMemKiB);
        QVERIFY(limits.memLimitKiB <= kCalibratedMaxMemKiB);
        QVERIFY(measured <= 20);
        const double cheapest = seconds(KdfLimits{kMinOpsLimit, kCalibratedMinMemKiB});
        const double dearest = seconds(KdfLimits{quint32(kMaxKdfWork / kCalibratedMaxMemKiB), kCalibratedMaxMemKiB});
        if (cheapest >= 0.5)
            QCOMPARE(limits, (KdfLimits{kMinOpsLimit, kCalibratedMinMemKiB}));
        else if (dearest < 0.5)
            QCOMPARE(seconds(limits), dearest);
        else
            QVERIFY2(seconds(limits) >= 0.5 && seconds(limits) <= 1.0, qPrintable(QString::number(seconds(limits))));
    }

    // The one test that derives at real cost: the limits chosen here, timed here.
    void calibrationOnThisMachine()
    {
        const KdfLimits limits = calibrateKdf();
        QVERIFY(kdfLimitsAccepted(limits));
        QVERIFY(limits.memLimitKiB >= kCalibratedMinMemKiB);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(ProtectionKey::create(kPassword, limits));
        const qint64 ms = timer.elapsed();
        // Loose: other work shares this machine.
        QVERIFY2(ms >= 150 && ms <= 6000, qPrintable(QString::number(ms)));
    }

    void keysFollowTheirSalt()
    {
        const auto first = lowCostKey();
        const auto second = lowCostKey();
        QVERIFY(first->salt() != second->salt());
        const QByteArray payload = encodePayload(fixedPayload());
        const QByteArray file = encodeProtectedStore(payload, *first);
        // Each save has a stream header of its own, so the same key never reuses a nonce.
        const QByteArray again = encodeProtectedStore(payload, *first);
        QVERIFY(file.mid(32, 24) != again.mid(32, 24));

        QByteArray plain;
        QCOMPARE(decodeProtectedStore(file, *second, plain), ProtectedOutcome::OtherKey);
        // The password kept in the key opens a store saved under another salt.
        const std::optional<ProtectedHeader> header = readProtectedHeader(file);
        QVERIFY(header);
        const auto rederived = second->rederive(header->salt, header->limits);
        QVERIFY(rederived);
        QCOMPARE(decodeProtectedStore(again, *rederived, plain), ProtectedOutcome::Opened);
        QVERIFY(plain == payload);
    }

    void writingStopsAtTheFirstFailure()
    {
        const auto key = lowCostKey();
        const QByteArray payload = randomBytes(3 * kProtectedMessageMax);
        int calls = 0;
        const bool written = writeProtectedStore(
            *key, [&](const PayloadSink& sink) { return sink(payload.constData(), payload.size()); },
            [&calls](const char*, qint64) { return ++calls < 4; }); // the first message's ciphertext fails
        QVERIFY(!written);
        QCOMPARE(calls, 4);
    }

    void wipingReachesSharedStorage()
    {
        QByteArray secret = QByteArrayLiteral("secret secret secret").repeated(3);
        secret.chop(20); // what was chopped off is still in the allocation
        const QByteArray copy = secret;
        const char* storage = copy.constData();
        wipeBytes(secret);
        QVERIFY(secret.isEmpty());
        QCOMPARE(QByteArray(storage, 60), QByteArray(60, '\0'));

        QString text = QString::fromUtf8("pässwörd"); // a literal would be static data, not ours to wipe
        const QString textCopy = text;
        wipeString(text);
        QCOMPARE(textCopy, QString(8, QChar(0)));

        static const char outside[] = "not ours";
        QByteArray raw = QByteArray::fromRawData(outside, 8);
        wipeBytes(raw); // storage it does not own is left as it is
        QCOMPARE(QByteArray(outside), QByteArray("not ours"));
    }
};

QTEST_GUILESS_MAIN(TestProtectedStore)
#include "tst_protectedstore.moc"
