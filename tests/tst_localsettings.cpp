#include "store/localsettings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestLocalSettings : public QObject
{
    Q_OBJECT

private slots:
    void missingFileGivesDefaults()
    {
        QTemporaryDir dir;
        const LocalSettings settings = loadLocalSettings(dir.path());
        QCOMPARE(settings.idleLockMinutes, 0);
        QCOMPARE(settings.clipboardClearSeconds, 30);
        QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("vaultry.ini")))); // reading writes nothing
    }

    void roundTrip()
    {
        QTemporaryDir dir;
        QVERIFY(saveLocalSettings(dir.path(), LocalSettings{15, 0}));
        const LocalSettings settings = loadLocalSettings(dir.path());
        QCOMPARE(settings.idleLockMinutes, 15);
        QCOMPARE(settings.clipboardClearSeconds, 0);
    }

    // A file edited by hand: what is not a whole number within range falls back to the default.
    void badValuesGiveDefaults_data()
    {
        QTest::addColumn<QByteArray>("ini");
        QTest::addColumn<int>("minutes");
        QTest::addColumn<int>("seconds");
        QTest::newRow("as written") << QByteArray("[lock]\nidleMinutes=5\n[clipboard]\nclearSeconds=45\n") << 5 << 45;
        QTest::newRow("spaces") << QByteArray("[lock]\nidleMinutes = 7 \n") << 7 << 30;
        QTest::newRow("negative") << QByteArray("[lock]\nidleMinutes=-1\n[clipboard]\nclearSeconds=-5\n") << 0 << 30;
        QTest::newRow("too large") << QByteArray("[lock]\nidleMinutes=1441\n[clipboard]\nclearSeconds=3601\n") << 0
                                   << 30;
        QTest::newRow("largest") << QByteArray("[lock]\nidleMinutes=1440\n[clipboard]\nclearSeconds=3600\n") << 1440
                                 << 3600;
        QTest::newRow("not numbers") << QByteArray("[lock]\nidleMinutes=soon\n[clipboard]\nclearSeconds=1.5\n") << 0
                                     << 30;
        QTest::newRow("overflow") << QByteArray("[clipboard]\nclearSeconds=99999999999999999999\n") << 0 << 30;
        QTest::newRow("not an ini file") << QByteArray("\x00\xff garbage", 10) << 0 << 30;
    }
    void badValuesGiveDefaults()
    {
        QFETCH(QByteArray, ini);
        QFETCH(int, minutes);
        QFETCH(int, seconds);
        QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("vaultry.ini")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
        file.close();
        const LocalSettings settings = loadLocalSettings(dir.path());
        QCOMPARE(settings.idleLockMinutes, minutes);
        QCOMPARE(settings.clipboardClearSeconds, seconds);
    }

    void unwritablePlaceIsReported()
    {
        QTemporaryDir dir;
        QFile blocker(dir.filePath(QStringLiteral("file")));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        QString error;
        QVERIFY(!saveLocalSettings(blocker.fileName(), LocalSettings{}, &error));
        QVERIFY(error.contains(QLatin1String("vaultry.ini")));
    }
};

QTEST_GUILESS_MAIN(TestLocalSettings)
#include "tst_localsettings.moc"
