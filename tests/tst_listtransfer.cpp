#include "app/mainwindow.h"
#include "store/listcodec.h"
#include "store/preferences.h"
#include "store/sealeddata.h"
#include "store/settingsstore.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "vault/entrylist.h"

#include <QAction>
#include <QDataStream>
#include <QDialog>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <functional>
#include <memory>

namespace {

const QString kExportCaption = QStringLiteral("Export Vaultry list");
const QString kImportCaption = QStringLiteral("Import Vaultry list");
const QString kPasswordTitle = QStringLiteral("Vaultry list password");
const QString kLockLabel = QStringLiteral("Enter a password to lock the exported list.");
const QString kConfirmLabel = QStringLiteral("Re-enter the password.");
const QString kUnlockLabel = QStringLiteral("Enter a password to unlock the imported list.");

// Every field, not just the id that Entry's operator== compares.
Entry entryWithId(const QString& id, const QString& title, const QString& category)
{
    Entry entry = TestVault::makeEntry(title, category);
    entry.id = id;
    return entry;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// DialogDriver::answerFile, with something to do once the file is chosen.
void answerFile(const QString& caption, const QString& path, const std::function<void()>& afterwards = {})
{
    DialogDriver::answerWith(caption, [=](QWidget* dialog) {
        DialogDriver::chooseFile(dialog, path);
        if (afterwards)
            afterwards();
    });
}

void trigger(MainWindow& window, const char* name)
{
    window.findChild<QAction*>(QLatin1String(name))->trigger();
}

} // namespace

class TestListTransfer : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;

    QString path(const char* name) const { return dir->filePath(QLatin1String(name)); }

    // Puts the vault into the store, so the next window starts with exactly these.
    void storeVault(const QStringList& categories, const QList<Entry>& vaultEntries)
    {
        TestVault::reset(dir->path());
        preferences.firstRun = false;
        TestVault::add(categories, vaultEntries);
        QVERIFY(saveSettings().ok);
    }

    static QList<Entry> sampleEntries()
    {
        Entry mail = TestVault::makeEntry(QStringLiteral("Mail"), QStringLiteral("Work"), QStringLiteral("me"),
                                          QStringLiteral("https://mail.example"), QStringLiteral("two\nlines"),
                                          QStringLiteral("pa55"));
        mail.dateChanged = QDateTime(QDate(2025, 3, 4), QTime(5, 6, 7, 890));
        return {mail, TestVault::makeEntry(QStringLiteral("Shop"), QStringLiteral("General")),
                TestVault::makeEntry(QStringLiteral("Bank"), QStringLiteral("Money"), QStringLiteral("acct"))};
    }

    static int topLevelRows(MainWindow& window)
    {
        return window.findChild<QTreeView*>(QStringLiteral("treeView"))->model()->rowCount();
    }

private slots:
    void initTestCase() { DialogDriver::install(); }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
    }

    void cleanup() { VERIFY_DIALOGS_ANSWERED(); }

    void exportThenImportElsewhere_data()
    {
        QTest::addColumn<bool>("withEntries");
        QTest::addColumn<bool>("cancelLockPrompt");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("cancelUnlockPrompt");
        QTest::newRow("entries") << true << false << "s3cret" << false;
        QTest::newRow("empty vault") << false << false << "s3cret" << false;
        // Cancel on the first prompt means the empty password, which an empty or a
        // cancelled unlock prompt opens.
        QTest::newRow("lock cancelled, unlock empty") << true << true << "" << false;
        QTest::newRow("lock cancelled, unlock cancelled") << true << true << "" << true;
    }

    void exportThenImportElsewhere()
    {
        QFETCH(bool, withEntries);
        QFETCH(bool, cancelLockPrompt);
        QFETCH(QString, password);
        QFETCH(bool, cancelUnlockPrompt);

        const QList<Entry> exported = withEntries ? sampleEntries() : QList<Entry>();
        QStringList categories{QStringLiteral("General")};
        for (const Entry& entry : exported) {
            if (!categories.contains(entry.category))
                categories << entry.category;
        }
        storeVault(categories, exported);
        {
            MainWindow source;
            answerFile(kExportCaption, path("out.vydl"));
            DialogDriver::answerInput(kPasswordTitle, kLockLabel, cancelLockPrompt ? "typed, then cancelled" : password,
                                      !cancelLockPrompt);
            DialogDriver::answerInput(kPasswordTitle, kConfirmLabel, password);
            DialogDriver::answerMessage(QStringLiteral("Vaultry Export"), QStringLiteral("Export complete."));
            trigger(source, "action_Export");
            VERIFY_DIALOGS_ANSWERED();
        }
        QVERIFY(QFile::exists(path("out.vydl")));

        storeVault({QStringLiteral("General")}, {});
        MainWindow target;
        answerFile(kImportCaption, path("out.vydl"));
        DialogDriver::answerInput(kPasswordTitle, kUnlockLabel, cancelUnlockPrompt ? "typed, then cancelled" : password,
                                  !cancelUnlockPrompt);
        trigger(target, "action_Import");
        VERIFY_DIALOGS_ANSWERED();

        QCOMPARE(TestVault::describe(entries), TestVault::describe(exported));
        QStringList sortedCategories = categories;
        sortedCategories.sort();
        QStringList imported = categoryNames;
        imported.sort();
        QCOMPARE(imported, sortedCategories);
        QCOMPARE(topLevelRows(target), categories.size());
    }

    void importIntoTheExportingVaultAddsNothing()
    {
        storeVault({QStringLiteral("General"), QStringLiteral("Work"), QStringLiteral("Money")}, sampleEntries());
        MainWindow window;
        const QStringList before = TestVault::describe(entries);
        answerFile(kExportCaption, path("self.vydl"));
        DialogDriver::answerInput(kPasswordTitle, kLockLabel, QStringLiteral("pw"));
        DialogDriver::answerInput(kPasswordTitle, kConfirmLabel, QStringLiteral("pw"));
        DialogDriver::answerMessage(QStringLiteral("Vaultry Export"), QStringLiteral("Export complete."));
        trigger(window, "action_Export");
        answerFile(kImportCaption, path("self.vydl"));
        DialogDriver::answerInput(kPasswordTitle, kUnlockLabel, QStringLiteral("pw"));
        trigger(window, "action_Import");
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(TestVault::describe(entries), before);
        QCOMPARE(categoryNames.size(), 3);
    }

    void mergeSkipsKnownIdsAndKeepsCategoryCase()
    {
        const Entry local = entryWithId(QStringLiteral("ID-1"), QStringLiteral("Local"), QStringLiteral("Work"));
        storeVault({QStringLiteral("General"), QStringLiteral("Work")}, {local});
        // Same id, other fields and a category unknown here: the entry stays local, the
        // category still arrives. "work" differs from "Work" only in case.
        const Entry remote = entryWithId(QStringLiteral("ID-1"), QStringLiteral("Remote"), QStringLiteral("Travel"));
        const Entry lower = entryWithId(QStringLiteral("ID-2"), QStringLiteral("Lower"), QStringLiteral("work"));
        QVERIFY(writeFile(path("merge.vydl"), encodeList(QList<Entry>{remote, lower}, QStringLiteral("pw"))));

        MainWindow window;
        answerFile(kImportCaption, path("merge.vydl"));
        DialogDriver::answerInput(kPasswordTitle, kUnlockLabel, QStringLiteral("pw"));
        trigger(window, "action_Import");
        VERIFY_DIALOGS_ANSWERED();

        QCOMPARE(TestVault::describe(entries), TestVault::describe(QList<Entry>{local, lower}));
        QStringList names = categoryNames;
        names.sort(Qt::CaseSensitive);
        QCOMPARE(names, QStringList({"General", "Travel", "Work", "work"}));
        QCOMPARE(topLevelRows(window), 4);
    }

    void exportPrompts_data()
    {
        QTest::addColumn<bool>("chooseFile");
        QTest::addColumn<QStringList>("confirmations"); // the last one is cancelled unless it matches
        QTest::addColumn<bool>("written");
        QTest::newRow("mismatch asks again for the confirmation only")
            << true << QStringList{"abd", "ABC", "abc"} << true;
        QTest::newRow("cancelled confirmation") << true << QStringList{"abc"} << false;
        QTest::newRow("mismatch, then cancelled") << true << QStringList{"x", "y"} << false;
        QTest::newRow("no file chosen") << false << QStringList() << false;
    }

    void exportPrompts()
    {
        QFETCH(bool, chooseFile);
        QFETCH(QStringList, confirmations);
        QFETCH(bool, written);
        const QString password = QStringLiteral("abc");
        storeVault({QStringLiteral("General")},
                   {TestVault::makeEntry(QStringLiteral("Shop"), QStringLiteral("General"))});
        MainWindow window;
        answerFile(kExportCaption, chooseFile ? path("p.vydl") : QString());
        if (chooseFile)
            DialogDriver::answerInput(kPasswordTitle, kLockLabel, password);
        for (qsizetype i = 0; i < confirmations.size(); ++i) {
            const bool last = i == confirmations.size() - 1;
            DialogDriver::answerInput(kPasswordTitle, kConfirmLabel, confirmations[i], !last || written);
        }
        if (written)
            DialogDriver::answerMessage(QStringLiteral("Vaultry Export"), QStringLiteral("Export complete."));
        trigger(window, "action_Export");
        VERIFY_DIALOGS_ANSWERED();

        QCOMPARE(QFile::exists(path("p.vydl")), written);
        if (written) {
            const ListDecodeResult list = decodeList(readFile(path("p.vydl")), password);
            QCOMPARE(list.status, ListDecodeResult::Ok);
            QCOMPARE(TestVault::describe(list.entries), TestVault::describe(entries));
        }
    }

    void exportFailureIsReported()
    {
        storeVault({QStringLiteral("General")}, {});
        QVERIFY(writeFile(path("plain-file"), "not a directory"));
        const QString target = path("plain-file") + QStringLiteral("/data.vydl");
        MainWindow window;
        answerFile(kExportCaption, target);
        DialogDriver::answerInput(kPasswordTitle, kLockLabel, QStringLiteral("pw"));
        DialogDriver::answerInput(kPasswordTitle, kConfirmLabel, QStringLiteral("pw"));
        DialogDriver::answerMessage(QStringLiteral("Vaultry Export"),
                                    QStringLiteral("could not be written to ") + target);
        trigger(window, "action_Export");
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(readFile(path("plain-file")), QByteArray("not a directory"));
    }

    void refusedImportsChangeNothing_data()
    {
        QTest::addColumn<QByteArray>("file"); // null: gone by the time it is read
        QTest::addColumn<bool>("asksPassword");
        QTest::addColumn<QString>("message");

        const QString password = QStringLiteral("pw");
        const QList<Entry> incoming{TestVault::makeEntry(QStringLiteral("New"), QStringLiteral("Elsewhere"))};
        const QByteArray good = encodeList(incoming, password);

        // The right check string in front of sealed bytes that are no entry list.
        QByteArray notAList("\0\0\0\x07garbage", 11);
        encryptData(notAList, password);
        QByteArray forged;
        {
            QDataStream stream(&forged, QIODevice::WriteOnly);
            stream << listCheckString(password) << notAList;
        }

        QTest::newRow("missing file") << QByteArray() << false << "does not exist";
        QTest::newRow("wrong password") << encodeList(incoming, QStringLiteral("other")) << true
                                        << "The password does not unlock";
        QTest::newRow("sealed content is no list") << forged << true << "is damaged";
        QTest::newRow("truncated") << good.left(good.size() - 40) << true << "is damaged";
        QTest::newRow("empty file") << QByteArray("") << true << "is damaged";
    }

    void refusedImportsChangeNothing()
    {
        QFETCH(QByteArray, file);
        QFETCH(bool, asksPassword);
        QFETCH(QString, message);
        storeVault({QStringLiteral("General"), QStringLiteral("Work")}, sampleEntries().mid(0, 1));
        QVERIFY(writeFile(path("in.vydl"), file));

        MainWindow window;
        const QStringList entriesBefore = TestVault::describe(entries);
        const QStringList categoriesBefore = categoryNames;
        // The file dialog takes only existing files; a missing one is removed once chosen.
        answerFile(kImportCaption, path("in.vydl"), [this, file] {
            if (file.isNull())
                QFile::remove(path("in.vydl"));
        });
        if (asksPassword)
            DialogDriver::answerInput(kPasswordTitle, kUnlockLabel, QStringLiteral("pw"));
        DialogDriver::answerMessage(QStringLiteral("Vaultry Import"), message);
        trigger(window, "action_Import");
        VERIFY_DIALOGS_ANSWERED();

        QCOMPARE(TestVault::describe(entries), entriesBefore);
        QCOMPARE(categoryNames, categoriesBefore);
        QCOMPARE(topLevelRows(window), 2);
    }
};

QTEST_MAIN(TestListTransfer)
#include "tst_listtransfer.moc"
