#include "store/rijndael.h"
#include "store/sealeddata.h"

#include <QtEndian>
#include <QtTest>

namespace {

QByteArray pattern(int size, int seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 37 + seed * 101 + (i >> 3)) & 0xff);
    return bytes;
}

QByteArray sealed(QByteArray plain, const QString& key)
{
    encryptData(plain, key);
    return plain;
}

QByteArray opened(QByteArray data, const QString& key)
{
    decryptData(data, key);
    return data;
}

QByteArray ecb(const QByteArray& key, const QByteArray& in, int blockSize)
{
    Rijndael cipher;
    cipher.makeKey(key.constData(), Rijndael::zeroChain, int(key.size()), blockSize);
    QByteArray out(in.size(), '\0');
    cipher.encrypt(in.constData(), out.data(), unsigned(in.size()), Rijndael::ECB);
    return out;
}

QByteArray xored(QByteArray a, const QByteArray& b)
{
    for (int i = 0; i < a.size(); ++i)
        a[i] = char(a[i] ^ b[i]);
    return a;
}

} // namespace

class TestCipher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { Rijndael::setAcceleration(true); }

    void knownAnswers_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QByteArray>("cipher");
        QTest::addColumn<bool>("accelerated");
        // 32-byte blocks run once on the tables and once on the AES instructions.
        const auto row = [](const QByteArray& key, const QByteArray& plain, const char* cipher) {
            for (bool accelerated : {false, true}) {
                if (accelerated && plain.size() != 64)
                    continue;
                QTest::addRow("k%d b%d %.8s%s", int(key.size() / 2), int(plain.size() / 2), cipher,
                              accelerated ? " AES-NI" : "")
                    << QByteArray::fromHex(key) << QByteArray::fromHex(plain) << QByteArray::fromHex(cipher)
                    << accelerated;
            }
        };

        // FIPS-197 appendix C, and appendix B for AES-128.
        const QByteArray fips = "00112233445566778899aabbccddeeff";
        const QByteArray seq = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
        row(seq.left(32), fips, "69c4e0d86a7b0430d8cdb78070b4c55a");
        row(seq.left(48), fips, "dda97ca4864cdfe06eaf70a0ec0d7191");
        row(seq, fips, "8ea2b7ca516745bfeafc49904b496089");
        // Rijndael table vectors: key and plaintext are prefixes of these two strings.
        const QByteArray k = "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe";
        const QByteArray p = "3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8";
        row(k.left(32), p.left(32), "3925841d02dc09fbdc118597196a0b32");
        row(k.left(32), p.left(48), "b24d275489e82bb8f7375e0d5fcdb1f481757c538b65148a");
        row(k.left(48), p.left(48), "725ae43b5f3161de806a7c93e0bca93c967ec1ae1b71e1cf");
        row(k, p.left(48), "0ebacf199e3315c2e34b24fcc7c46ef4388aa475d66c194c");
        row(k.left(32), p, "7d15479076b69a46ffb3b3beae97ad8313f622f67fedb487de9f06b9ed9c8f19");
        row(k.left(48), p, "5d7101727bb25781bf6715b0e6955282b9610e23a43c2eb062699f0ebf5887b2");
        row(k, p, "a49406115dfb30a40418aafa4869b7c6a886ff31602a7dd19c889dc64f7e4e7a");
    }

    void knownAnswers()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, cipher);
        QFETCH(bool, accelerated);
        const int blockSize = int(plain.size());

        if (accelerated && !Rijndael::accelerationAvailable())
            QSKIP("This processor has no AES instructions");
        Rijndael::setAcceleration(accelerated);
        Rijndael r;
        r.makeKey(key.constData(), Rijndael::zeroChain, int(key.size()), blockSize);
        QCOMPARE(r.accelerated(), accelerated);
        QByteArray out(blockSize, '\0');
        r.encryptBlock(plain.constData(), out.data());
        QCOMPARE(out.toHex(), cipher.toHex());
        r.decryptBlock(cipher.constData(), out.data());
        QCOMPARE(out.toHex(), plain.toHex());

        // The multi-block path in ECB gives the same block five times (the AES instructions take four
        // blocks at a time, then one).
        QByteArray many(5 * blockSize, '\0');
        r.encrypt(plain.repeated(5).constData(), many.data(), unsigned(many.size()), Rijndael::ECB);
        QCOMPARE(many, cipher.repeated(5));
        r.decrypt(cipher.repeated(5).constData(), many.data(), unsigned(many.size()), Rijndael::ECB);
        QCOMPARE(many, plain.repeated(5));
    }

    void chaining_data()
    {
        QTest::addColumn<int>("blockSize");
        QTest::addColumn<int>("mode");
        for (int blockSize : {16, 24, 32}) {
            QTest::addRow("b%d ECB", blockSize) << blockSize << int(Rijndael::ECB);
            QTest::addRow("b%d CBC", blockSize) << blockSize << int(Rijndael::CBC);
            QTest::addRow("b%d CFB", blockSize) << blockSize << int(Rijndael::CFB);
            QTest::addRow("b%d unknown mode as ECB", blockSize) << blockSize << 3;
        }
    }

    // Each mode against its definition over single-block ECB, with a nonzero initial chain. One
    // object is re-keyed for every run, so each run also checks that makeKey reloads the chain;
    // calls split across the data continue the chain; bytes past the whole blocks are untouched.
    void chaining()
    {
        QFETCH(int, blockSize);
        QFETCH(int, mode);
        const int whole = 5 * blockSize;
        const QByteArray key = pattern(32, 4);
        const QByteArray iv = pattern(blockSize, 5);
        const QByteArray plain = pattern(whole + 7, 6);
        const auto e = [&](const QByteArray& block) { return ecb(key, block, blockSize); };

        QByteArray expected;
        QByteArray previous = iv;
        for (int at = 0; at < whole; at += blockSize) {
            const QByteArray p = plain.mid(at, blockSize);
            previous = mode == Rijndael::CBC   ? e(xored(p, previous))
                       : mode == Rijndael::CFB ? xored(e(previous), p)
                                               : e(p);
            expected += previous;
        }

        Rijndael r;
        r.makeKey(key.constData(), iv.constData(), 32, blockSize);
        QByteArray cipher(plain.size(), '\x5a');
        r.encrypt(plain.constData(), cipher.data(), unsigned(plain.size()), mode);
        QCOMPARE(cipher.left(whole).toHex(), expected.toHex());
        QCOMPARE(cipher.mid(whole), QByteArray(7, '\x5a'));

        r.makeKey(key.constData(), iv.constData(), 32, blockSize);
        QByteArray pieces(whole, '\0');
        r.encrypt(plain.constData(), pieces.data(), unsigned(2 * blockSize + 3), mode);
        r.encrypt(plain.constData() + 2 * blockSize, pieces.data() + 2 * blockSize, unsigned(3 * blockSize), mode);
        QCOMPARE(pieces.toHex(), expected.toHex());

        r.makeKey(key.constData(), iv.constData(), 32, blockSize);
        QByteArray decrypted(whole, '\0');
        r.decrypt(expected.constData(), decrypted.data(), unsigned(blockSize), mode);
        r.decrypt(expected.constData() + blockSize, decrypted.data() + blockSize, unsigned(4 * blockSize), mode);
        QCOMPARE(decrypted.toHex(), plain.left(whole).toHex());
    }

    void acceleratedMatchesTables_data()
    {
        QTest::addColumn<int>("keyLength");
        QTest::addColumn<int>("mode");
        for (int keyLength : {16, 24, 32}) {
            QTest::addRow("k%d ECB", keyLength) << keyLength << int(Rijndael::ECB);
            QTest::addRow("k%d CBC", keyLength) << keyLength << int(Rijndael::CBC);
            QTest::addRow("k%d CFB", keyLength) << keyLength << int(Rijndael::CFB);
        }
    }

    // Random keys, chains and data of 0 to 13 blocks (the accelerated path takes four blocks at a
    // time) plus a partial block, through both paths: the same bytes both ways, nothing written
    // past the whole blocks.
    void acceleratedMatchesTables()
    {
        QFETCH(int, keyLength);
        QFETCH(int, mode);
        if (!Rijndael::accelerationAvailable())
            QSKIP("This processor has no AES instructions");
        QRandomGenerator random(quint32(keyLength * 10 + mode));
        const auto bytes = [&](int n) {
            QByteArray b(n, Qt::Uninitialized);
            for (char& c : b)
                c = char(random.generate());
            return b;
        };
        for (int trial = 0; trial < 40; ++trial) {
            const QByteArray key = bytes(keyLength);
            const QByteArray iv = bytes(32);
            const QByteArray data = bytes(32 * (trial % 14) + trial % 32);
            QByteArray results[2][2];
            for (bool accelerated : {false, true}) {
                Rijndael::setAcceleration(accelerated);
                Rijndael r;
                r.makeKey(key.constData(), iv.constData(), keyLength, 32);
                QCOMPARE(r.accelerated(), accelerated);
                QByteArray& encrypted = results[accelerated][0];
                QByteArray& decrypted = results[accelerated][1];
                encrypted = QByteArray(data.size(), '\x5a');
                r.encrypt(data.constData(), encrypted.data(), unsigned(data.size()), mode);
                r.makeKey(key.constData(), iv.constData(), keyLength, 32);
                decrypted = QByteArray(data.size(), '\x5a');
                r.decrypt(data.constData(), decrypted.data(), unsigned(data.size()), mode);
            }
            QCOMPARE(results[1][0].toHex(), results[0][0].toHex());
            QCOMPARE(results[1][1].toHex(), results[0][1].toHex());
        }
    }

    void sealing_data()
    {
        QTest::addColumn<QByteArray>("plain");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QByteArray>("keyBytes"); // before the zero padding to 32
        QTest::addColumn<int>("sealedSize");

        const QString latinKey = QStringLiteral("k\u00e9y"); // Latin-1 characters stay themselves
        const QString a31(31, QLatin1Char('a'));
        QTest::newRow("empty") << QByteArray() << latinKey << QByteArray("k\xe9y") << 36;
        QTest::newRow("31") << pattern(31, 10) << latinKey << QByteArray("k\xe9y") << 36;
        QTest::newRow("32, whole padding block") << pattern(32, 11) << latinKey << QByteArray("k\xe9y") << 68;
        QTest::newRow("trailing zeros") << QByteArray("abc\0\0\0\0", 7) << latinKey << QByteArray("k\xe9y") << 36;
        QTest::newRow("1000") << pattern(1000, 13) << latinKey << QByteArray("k\xe9y") << 1028;
        // Enough to be shared out among threads, in chunks of unequal block counts.
        QTest::newRow("above 1 MiB") << pattern((1 << 20) + 45, 15) << latinKey << QByteArray("k\xe9y")
                                     << (1 << 20) + 68;
        QTest::newRow("empty key is 32 NULs") << pattern(45, 14) << QString() << QByteArray() << 68;
        QTest::newRow("key cut at 32") << pattern(45, 14) << a31 + QStringLiteral("bxyz") << (a31 + "b").toLatin1()
                                       << 68;
        QTest::newRow("above U+00FF is ?")
            << pattern(45, 14) << QStringLiteral("pass\u20acword") << QByteArray("pass?word") << 68;
    }

    // The prefix, the zero padding and the key rule checked against the raw cipher.
    void sealing()
    {
        QFETCH(QByteArray, plain);
        QFETCH(QString, key);
        QFETCH(QByteArray, keyBytes);
        QFETCH(int, sealedSize);

        const QByteArray data = sealed(plain, key);
        QCOMPARE(data.size(), sealedSize);
        QCOMPARE(qFromLittleEndian<qint32>(data.constData()), qint32(plain.size()));
        QByteArray padded = plain;
        padded.append(sealedSize - 4 - plain.size(), '\0');
        QCOMPARE(data.mid(4).toHex(), ecb(keyBytes.leftJustified(32, '\0'), padded, 32).toHex());

        QCOMPARE(opened(data, key), plain);
        QByteArray again = data;
        QVERIFY(openSealed(again, keyBytes));
        QCOMPARE(again, plain);
    }

    void malformed_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<QByteArray>("expected");
        QTest::addColumn<bool>("wellFormed");

        // 40 bytes of plaintext seal into 64 bytes of ciphertext.
        const QByteArray plain = pattern(40, 17);
        const QByteArray all = plain + QByteArray(24, '\0');
        const auto withPrefix = [&](qint32 prefix, const QByteArray& tail = {}) {
            QByteArray data = sealed(plain, QStringLiteral("key")) + tail;
            qToLittleEndian<qint32>(prefix, data.data());
            return data;
        };
        QTest::newRow("prefix zero") << withPrefix(0) << QByteArray() << true;
        QTest::newRow("last in range") << withPrefix(63) << all.left(63) << true;
        QTest::newRow("equal to size") << withPrefix(64) << all << false;
        QTest::newRow("-1") << withPrefix(-1) << all << false;
        // A trailing partial block is not deciphered: it reads as zeros.
        QTest::newRow("partial block") << withPrefix(69, "\x01\x02\x03\x04\x05") << all + QByteArray(5, '\0') << false;
        QTest::newRow("short of the prefix") << QByteArray("\xff\xff\xff") << QByteArray() << false;
    }

    void malformed()
    {
        QFETCH(QByteArray, data);
        QFETCH(QByteArray, expected);
        QFETCH(bool, wellFormed);
        QCOMPARE(opened(data, QStringLiteral("key")), expected);
        QCOMPARE(openSealed(data, QByteArray("key")), wellFormed);
        QCOMPARE(data, expected);
    }
};

QTEST_GUILESS_MAIN(TestCipher)
#include "tst_cipher.moc"
