#include "store/rijndael.h"
#include "store/sealeddata.h"

#include <QtEndian>
#include <QtTest>

#include <climits>

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

QByteArray ecb(const QByteArray& key, const QByteArray& in, int blockSize, bool forward)
{
    Rijndael cipher;
    cipher.makeKey(key.constData(), Rijndael::zeroChain, int(key.size()), blockSize);
    QByteArray out(in.size(), '\0');
    if (forward)
        cipher.encrypt(in.constData(), out.data(), unsigned(in.size()), Rijndael::ECB);
    else
        cipher.decrypt(in.constData(), out.data(), unsigned(in.size()), Rijndael::ECB);
    return out;
}

QByteArray xored(QByteArray a, const QByteArray& b)
{
    for (int i = 0; i < a.size(); ++i)
        a[i] = char(a[i] ^ b[i]);
    return a;
}

void setPrefix(QByteArray& data, qint32 value)
{
    qToLittleEndian<qint32>(value, data.data());
}

} // namespace

class TestCipher : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void knownAnswers_data();
    void knownAnswers();
    void roundTrip_data();
    void roundTrip();
    void chainingModes_data();
    void chainingModes();

    void sealedLayout_data();
    void sealedLayout();
    void keyRule_data();
    void keyRule();
    void byteAndTextKeysAgree();
    void wrongKeyKeepsStoredLength();
    void malformedPrefix_data();
    void malformedPrefix();
    void trailingPartialBlockStaysZero();
    void shortInput_data();
    void shortInput();
};

void TestCipher::knownAnswers_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<QByteArray>("cipher");

    const QByteArray fipsPlain = "00112233445566778899aabbccddeeff";
    const QByteArray seq = "000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f";
    QTest::newRow("AES-128 C.1") << seq.left(32) << fipsPlain << QByteArray("69c4e0d86a7b0430d8cdb78070b4c55a");
    QTest::newRow("AES-192 C.2") << seq.left(48) << fipsPlain << QByteArray("dda97ca4864cdfe06eaf70a0ec0d7191");
    QTest::newRow("AES-256 C.3") << seq << fipsPlain << QByteArray("8ea2b7ca516745bfeafc49904b496089");

    // Rijndael table vectors: key and plaintext are prefixes of these two strings.
    const QByteArray key = "2b7e151628aed2a6abf7158809cf4f3c762e7160f38b4da56a784d9045190cfe";
    const QByteArray plain = "3243f6a8885a308d313198a2e03707344a4093822299f31d0082efa98ec4e6c8";
    QTest::newRow("AES-128 B") << key.left(32) << plain.left(32) << QByteArray("3925841d02dc09fbdc118597196a0b32");
    QTest::newRow("k16 b24") << key.left(32) << plain.left(48)
                             << QByteArray("b24d275489e82bb8f7375e0d5fcdb1f481757c538b65148a");
    QTest::newRow("k24 b24") << key.left(48) << plain.left(48)
                             << QByteArray("725ae43b5f3161de806a7c93e0bca93c967ec1ae1b71e1cf");
    QTest::newRow("k32 b24") << key << plain.left(48) << QByteArray("0ebacf199e3315c2e34b24fcc7c46ef4388aa475d66c194c");
    QTest::newRow("k16 b32") << key.left(32) << plain
                             << QByteArray("7d15479076b69a46ffb3b3beae97ad8313f622f67fedb487de9f06b9ed9c8f19");
    QTest::newRow("k24 b32") << key.left(48) << plain
                             << QByteArray("5d7101727bb25781bf6715b0e6955282b9610e23a43c2eb062699f0ebf5887b2");
    QTest::newRow("k32 b32") << key << plain
                             << QByteArray("a49406115dfb30a40418aafa4869b7c6a886ff31602a7dd19c889dc64f7e4e7a");
    QTest::newRow("k32 b32 counting") << seq << seq
                                      << QByteArray("623d2bd4ca3796dc3d02ecf2f37fb637fd3da58509cebb67ab9265b04db51e7d");
}

void TestCipher::knownAnswers()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, plain);
    QFETCH(QByteArray, cipher);
    key = QByteArray::fromHex(key);
    plain = QByteArray::fromHex(plain);
    cipher = QByteArray::fromHex(cipher);
    const int blockSize = int(plain.size());

    Rijndael r;
    r.makeKey(key.constData(), Rijndael::zeroChain, int(key.size()), blockSize);
    QByteArray out(blockSize, '\0');
    r.encryptBlock(plain.constData(), out.data());
    QCOMPARE(out.toHex(), cipher.toHex());
    r.decryptBlock(cipher.constData(), out.data());
    QCOMPARE(out.toHex(), plain.toHex());

    // The multi-block path in ECB gives the same block twice.
    QCOMPARE(ecb(key, plain + plain, blockSize, true), cipher + cipher);
    QCOMPARE(ecb(key, cipher + cipher, blockSize, false), plain + plain);
}

void TestCipher::roundTrip_data()
{
    QTest::addColumn<int>("keyLength");
    QTest::addColumn<int>("blockSize");
    QTest::addColumn<int>("mode");

    const struct
    {
        int mode;
        const char* name;
    } modes[] = {{Rijndael::ECB, "ECB"}, {Rijndael::CBC, "CBC"}, {Rijndael::CFB, "CFB"}};
    for (int keyLength : {16, 24, 32})
        for (int blockSize : {16, 24, 32})
            for (const auto& m : modes)
                QTest::addRow("k%d b%d %s", keyLength, blockSize, m.name) << keyLength << blockSize << m.mode;
}

// Decrypt inverts encrypt; calls split across the data continue the chain; the tail is untouched.
void TestCipher::roundTrip()
{
    QFETCH(int, keyLength);
    QFETCH(int, blockSize);
    QFETCH(int, mode);

    const QByteArray key = pattern(keyLength, 1);
    const QByteArray chain = pattern(blockSize, 2);
    const int blocks = 5;
    const int whole = blocks * blockSize;
    const QByteArray plain = pattern(whole + 7, 3);

    Rijndael one;
    one.makeKey(key.constData(), chain.constData(), keyLength, blockSize);
    QByteArray cipher(plain.size(), '\x5a');
    one.encrypt(plain.constData(), cipher.data(), unsigned(plain.size()), mode);
    QCOMPARE(cipher.mid(whole), QByteArray(7, '\x5a'));
    QVERIFY(cipher.left(blockSize) != plain.left(blockSize));

    Rijndael split;
    split.makeKey(key.constData(), chain.constData(), keyLength, blockSize);
    QByteArray pieces(whole, '\0');
    split.encrypt(plain.constData(), pieces.data(), unsigned(2 * blockSize + 3), mode);
    split.encrypt(plain.constData() + 2 * blockSize, pieces.data() + 2 * blockSize, unsigned(3 * blockSize), mode);
    QCOMPARE(pieces.toHex(), cipher.left(whole).toHex());

    Rijndael back;
    back.makeKey(key.constData(), chain.constData(), keyLength, blockSize);
    QByteArray decrypted(whole, '\0');
    back.decrypt(cipher.constData(), decrypted.data(), unsigned(blockSize), mode);
    back.decrypt(cipher.constData() + blockSize, decrypted.data() + blockSize, unsigned(4 * blockSize), mode);
    QCOMPARE(decrypted.toHex(), plain.left(whole).toHex());
}

void TestCipher::chainingModes_data()
{
    QTest::addColumn<int>("blockSize");
    QTest::newRow("16") << 16;
    QTest::newRow("24") << 24;
    QTest::newRow("32") << 32;
}

// Each mode built from single-block ECB calls, with a nonzero initial chain.
void TestCipher::chainingModes()
{
    QFETCH(int, blockSize);
    const QByteArray key = pattern(32, 4);
    const QByteArray iv = pattern(blockSize, 5);
    const QByteArray p1 = pattern(blockSize, 6);
    const QByteArray p2 = pattern(blockSize, 7);
    // One object re-keyed for every run, so each run also checks that makeKey reloads the chain.
    Rijndael r;
    auto run = [&](int mode) {
        r.makeKey(key.constData(), iv.constData(), 32, blockSize);
        const QByteArray plain = p1 + p2;
        QByteArray out(plain.size(), '\0');
        r.encrypt(plain.constData(), out.data(), unsigned(plain.size()), mode);
        return out;
    };
    auto e = [&](const QByteArray& block) { return ecb(key, block, blockSize, true); };

    const QByteArray cbc1 = e(xored(p1, iv));
    QCOMPARE(run(Rijndael::CBC), cbc1 + e(xored(p2, cbc1)));
    QCOMPARE(run(Rijndael::CBC), cbc1 + e(xored(p2, cbc1)));
    const QByteArray cfb1 = xored(e(iv), p1);
    QCOMPARE(run(Rijndael::CFB), cfb1 + xored(e(cfb1), p2));
    const QByteArray plainEcb = e(p1) + e(p2);
    QCOMPARE(run(Rijndael::ECB), plainEcb);
    QCOMPARE(run(3), plainEcb);
    QCOMPARE(run(-1), plainEcb);
}

void TestCipher::sealedLayout_data()
{
    QTest::addColumn<QByteArray>("plain");
    QTest::addColumn<int>("sealedSize");

    QTest::newRow("empty") << QByteArray() << 36;
    QTest::newRow("1") << QByteArray("x") << 36;
    QTest::newRow("31") << pattern(31, 10) << 36;
    QTest::newRow("32, whole padding block") << pattern(32, 11) << 68;
    QTest::newRow("33") << pattern(33, 12) << 68;
    QTest::newRow("trailing zeros") << QByteArray("abc\0\0\0\0", 7) << 36;
    QTest::newRow("32 zeros") << QByteArray(32, '\0') << 68;
    QTest::newRow("1000") << pattern(1000, 13) << 1028;
}

// The prefix, the zero padding and the key rule checked against the raw cipher.
void TestCipher::sealedLayout()
{
    QFETCH(QByteArray, plain);
    QFETCH(int, sealedSize);
    const QString key = QStringLiteral("k\u00e9y");

    const QByteArray data = sealed(plain, key);
    QCOMPARE(data.size(), sealedSize);
    QCOMPARE(qFromLittleEndian<qint32>(data.constData()), qint32(plain.size()));
    QByteArray rawKey("k\xe9y");
    rawKey.append(32 - rawKey.size(), '\0');
    QByteArray padded = plain;
    padded.append(sealedSize - 4 - plain.size(), '\0');
    QCOMPARE(data.mid(4).toHex(), ecb(rawKey, padded, 32, true).toHex());

    QCOMPARE(opened(data, key), plain);
    QByteArray again = data;
    QVERIFY(openSealed(again, key.toLatin1()));
    QCOMPARE(again, plain);
}

void TestCipher::keyRule_data()
{
    QTest::addColumn<QString>("key1");
    QTest::addColumn<QString>("key2");
    QTest::addColumn<bool>("same");

    const QString a31(31, QLatin1Char('a'));
    QTest::newRow("empty is 32 NULs") << QString() << QString(32, QChar(0)) << true;
    QTest::newRow("trailing NUL") << QStringLiteral("abc") << QStringLiteral("abc") + QChar(0) << true;
    QTest::newRow("cut at 32") << a31 + QStringLiteral("bxyz") << a31 + QStringLiteral("b123") << true;
    QTest::newRow("32nd byte counts") << a31 + QStringLiteral("b") << a31 + QStringLiteral("c") << false;
    QTest::newRow("above U+00FF is ?") << QStringLiteral("pass\u20acword") << QStringLiteral("pass?word") << true;
    QTest::newRow("any two wide chars") << QStringLiteral("\u0100") << QStringLiteral("\u4e2d") << true;
    QTest::newRow("Latin-1 stays itself") << QStringLiteral("\u00e9") << QStringLiteral("?") << false;
    QTest::newRow("wide char at 33 ignored") << a31 + QStringLiteral("b\u20ac") << a31 + QStringLiteral("b") << true;
}

void TestCipher::keyRule()
{
    QFETCH(QString, key1);
    QFETCH(QString, key2);
    QFETCH(bool, same);
    const QByteArray plain = pattern(45, 14);
    QCOMPARE(sealed(plain, key1) == sealed(plain, key2), same);
    QCOMPARE(opened(sealed(plain, key1), key2) == plain, same);
}

void TestCipher::byteAndTextKeysAgree()
{
    const QByteArray plain = pattern(70, 15);
    QByteArray bytes = plain;
    encryptData(bytes, QByteArray("caf\xe9"));
    QCOMPARE(bytes, sealed(plain, QStringLiteral("caf\u00e9")));
    decryptData(bytes, QByteArray("caf\xe9"));
    QCOMPARE(bytes, plain);
}

void TestCipher::wrongKeyKeepsStoredLength()
{
    const QByteArray plain = pattern(50, 16);
    QByteArray data = sealed(plain, QStringLiteral("right"));
    QVERIFY(openSealed(data, QByteArray("wrong")));
    QCOMPARE(data.size(), plain.size());
    QVERIFY(data != plain);
}

void TestCipher::malformedPrefix_data()
{
    QTest::addColumn<qint32>("prefix");
    QTest::addColumn<int>("expectedSize");
    QTest::addColumn<bool>("wellFormed");

    // 40 bytes of plaintext seal into 64 bytes of ciphertext.
    QTest::newRow("zero") << 0 << 0 << true;
    QTest::newRow("last in range") << 63 << 63 << true;
    QTest::newRow("equal to size") << 64 << 64 << false;
    QTest::newRow("beyond size") << 65 << 64 << false;
    QTest::newRow("-1") << -1 << 64 << false;
    QTest::newRow("INT_MAX") << INT_MAX << 64 << false;
    QTest::newRow("INT_MIN") << INT_MIN << 64 << false;
}

void TestCipher::malformedPrefix()
{
    QFETCH(qint32, prefix);
    QFETCH(int, expectedSize);
    QFETCH(bool, wellFormed);

    const QByteArray plain = pattern(40, 17);
    QByteArray data = sealed(plain, QStringLiteral("key"));
    setPrefix(data, prefix);
    QByteArray viaDecrypt = data;
    decryptData(viaDecrypt, QStringLiteral("key"));
    QCOMPARE(openSealed(data, QByteArray("key")), wellFormed);
    QCOMPARE(data, viaDecrypt);

    QCOMPARE(data.size(), expectedSize);
    const QByteArray whole = plain + QByteArray(24, '\0');
    QCOMPARE(data, whole.left(expectedSize));
}

void TestCipher::trailingPartialBlockStaysZero()
{
    const QByteArray plain = pattern(20, 18);
    QByteArray data = sealed(plain, QStringLiteral("key")) + QByteArray("\x01\x02\x03\x04\x05");
    setPrefix(data, 37);
    QVERIFY(!openSealed(data, QByteArray("key")));
    QCOMPARE(data, plain + QByteArray(12 + 5, '\0'));
}

void TestCipher::shortInput_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("1") << QByteArray("\x01");
    QTest::newRow("3") << QByteArray("\xff\xff\xff");
}

void TestCipher::shortInput()
{
    QFETCH(QByteArray, data);
    QByteArray viaDecrypt = data;
    decryptData(viaDecrypt, QStringLiteral("key"));
    QVERIFY(!openSealed(data, QByteArray("key")));
    QVERIFY(data.isEmpty());
    QVERIFY(viaDecrypt.isEmpty());
}

QTEST_GUILESS_MAIN(TestCipher)
#include "tst_cipher.moc"
