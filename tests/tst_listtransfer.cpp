#include "app/mainwindow.h"
#include "store/listcodec.h"
#include "store/preferences.h"
#include "store/settingsstore.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "vault/entrylist.h"

#include <QAction>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>

#include <memory>

namespace {

const QString kUnlockLabel = QStringLiteral("Enter a password to unlock the imported list.");
// A password prompt answered with Cancel.
const QString kCancel = QStringLiteral("<cancel>");

void answerPassword(const QString& label, const QString& text)
{
    DialogDriver::answerInput(QStringLiteral("Vaultry list password"), label, text, text != kCancel);
}

// The file (empty: none chosen), the lock password then each confirmation, the closing message.
void answerExport(const QString& file, const QStringList& passwords, const QString& message)
{
    DialogDriver::answerFile(QStringLiteral("Export Vaultry list"), file);
    for (qsizetype i = 0; i < passwords.size(); ++i)
        answerPassword(i == 0 ? QStringLiteral("Enter a password to lock the exported list.")
                              : QStringLiteral("Re-enter the password."),
                       passwords[i]);
    if (!message.isEmpty())
        DialogDriver::answerMessage(QStringLiteral("Vaultry Export"), message);
}

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

// The sorted category names, and a note when the tree does not show one row for each.
QStringList shownCategories(MainWindow& window)
{
    QStringList names = categoryNames;
    names.sort(Qt::CaseSensitive);
    const int rows = window.findChild<QTreeView*>(QStringLiteral("treeView"))->model()->rowCount();
    if (rows != names.size())
        names << QStringLiteral("(the tree shows %1 rows)").arg(rows);
    return names;
}

} // namespace

class TestListTransfer : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;

    QString path(const QString& name) const { return dir->filePath(name); }

    // Puts the vault into the store, so the next window starts with exactly these.
    void storeVault(const QStringList& categories, const QList<Entry>& vaultEntries)
    {
        TestVault::reset(dir->path());
        preferences.firstRun = false;
        TestVault::add(categories, vaultEntries);
        QVERIFY(saveSettings().ok);
    }

private slots:
    void initTestCase() { DialogDriver::install(); }

    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
    }

    void cleanup() { VERIFY_DIALOGS_ANSWERED(); }

    void exportThenImport_data()
    {
        QTest::addColumn<bool>("withEntries");
        QTest::addColumn<bool>("sameVault");
        QTest::addColumn<QStringList>("passwords"); // lock, each confirmation, unlock
        QTest::newRow("entries") << true << false << QStringList{"s3cret", "s3cret", "s3cret"};
        QTest::newRow("empty vault") << false << false << QStringList{"s3cret", "s3cret", "s3cret"};
        QTest::newRow("mismatch asks again for the confirmation only")
            << true << false << QStringList{"abc", "abd", "ABC", "abc", "abc"};
        // Cancel on the first prompt means the empty password, which an empty or a
        // cancelled unlock prompt opens.
        QTest::newRow("lock cancelled, unlock empty") << true << false << QStringList{kCancel, "", ""};
        QTest::newRow("lock cancelled, unlock cancelled") << true << false << QStringList{kCancel, "", kCancel};
        QTest::newRow("into the exporting vault adds nothing") << true << true << QStringList{"pw", "pw", "pw"};
    }

    void exportThenImport()
    {
        QFETCH(bool, withEntries);
        QFETCH(bool, sameVault);
        QFETCH(QStringList, passwords);
        Entry mail = TestVault::makeEntry("Mail", "Work", "me", "https://mail.example", "two\nlines", "pa55");
        mail.dateChanged = QDateTime(QDate(2025, 3, 4), QTime(5, 6, 7, 890));
        const QList<Entry> exported =
            withEntries ? QList<Entry>{mail, TestVault::makeEntry("Bank", "Money")} : QList<Entry>();
        const QStringList categories = withEntries ? QStringList{"General", "Money", "Work"} : QStringList{"General"};
        storeVault(categories, exported);

        auto window = std::make_unique<MainWindow>();
        const QString unlock = passwords.takeLast();
        answerExport(path("out.vydl"), passwords, QStringLiteral("Export complete."));
        window->findChild<QAction*>(QStringLiteral("action_Export"))->trigger();
        VERIFY_DIALOGS_ANSWERED();
        if (!sameVault) {
            window.reset();
            storeVault({QStringLiteral("General")}, {});
            window = std::make_unique<MainWindow>();
        }
        DialogDriver::answerFile(QStringLiteral("Import Vaultry list"), path("out.vydl"));
        answerPassword(kUnlockLabel, unlock);
        window->findChild<QAction*>(QStringLiteral("action_Import"))->trigger();
        VERIFY_DIALOGS_ANSWERED();

        QCOMPARE(TestVault::describe(entries), TestVault::describe(exported));
        QCOMPARE(shownCategories(*window), categories);
    }

    void exportRefused_data()
    {
        QTest::addColumn<QString>("target");        // empty: no file chosen
        QTest::addColumn<QStringList>("passwords"); // lock, each confirmation
        QTest::addColumn<QString>("message");       // %1: the target's path
        QTest::newRow("confirmation cancelled after a mismatch")
            << "out.vydl" << QStringList{"abc", "x", kCancel} << "";
        QTest::newRow("no file chosen") << "" << QStringList() << "";
        QTest::newRow("unwritable") << "plain-file/out.vydl" << QStringList{"abc", "abc"}
                                    << "could not be written to %1";
    }

    void exportRefused()
    {
        QFETCH(QString, target);
        QFETCH(QStringList, passwords);
        QFETCH(QString, message);
        storeVault({QStringLiteral("General")},
                   {TestVault::makeEntry(QStringLiteral("Shop"), QStringLiteral("General"))});
        // A plain file where the unwritable target needs a directory.
        QVERIFY(writeFile(path("plain-file"), "not a directory"));
        const QString file = target.isEmpty() ? QString() : path(target);
        MainWindow window;
        answerExport(file, passwords, QString(message).replace(QLatin1String("%1"), file));
        window.findChild<QAction*>(QStringLiteral("action_Export"))->trigger();
        VERIFY_DIALOGS_ANSWERED();

        QVERIFY(!QFile::exists(path("out.vydl")));
        QFile plain(path("plain-file"));
        QVERIFY(plain.open(QIODevice::ReadOnly));
        QCOMPARE(plain.readAll(), QByteArray("not a directory"));
    }

    void import_data()
    {
        QTest::addColumn<QByteArray>("file"); // null: gone by the time it is read
        QTest::addColumn<QString>("message"); // empty: none expected
        QTest::addColumn<QStringList>("expectedEntries");
        QTest::addColumn<QStringList>("expectedCategories");
        // Same id as the local entry, other fields and a category unknown here: the entry
        // stays local, the category still arrives. "work" differs from "Work" only in case.
        const Entry local = entryWithId(QStringLiteral("ID-1"), QStringLiteral("Local"), QStringLiteral("Work"));
        const Entry remote = entryWithId(QStringLiteral("ID-1"), QStringLiteral("Remote"), QStringLiteral("Travel"));
        const Entry lower = entryWithId(QStringLiteral("ID-2"), QStringLiteral("Lower"), QStringLiteral("work"));
        const QByteArray list = encodeList(QList<Entry>{remote, lower}, QStringLiteral("pw"));
        const QStringList unchanged = TestVault::describe(QList<Entry>{local});
        const QStringList localCategories{"General", "Work"};

        QTest::newRow("known id skipped, categories added")
            << list << QString() << TestVault::describe(QList<Entry>{local, lower})
            << QStringList{"General", "Travel", "Work", "work"};
        QTest::newRow("missing file") << QByteArray() << "does not exist" << unchanged << localCategories;
        QTest::newRow("wrong password") << encodeList(QList<Entry>{remote, lower}, QStringLiteral("other"))
                                        << "The password does not unlock" << unchanged << localCategories;
        // Every entry parses, yet a damaged list is not merged in part.
        QTest::newRow("bytes after the list") << list + "!"
                                              << "is damaged" << unchanged << localCategories;
        QTest::newRow("empty file") << QByteArray("") << "is damaged" << unchanged << localCategories;
    }

    void import()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, message);
        QFETCH(QStringList, expectedEntries);
        QFETCH(QStringList, expectedCategories);
        storeVault({QStringLiteral("General"), QStringLiteral("Work")},
                   {entryWithId(QStringLiteral("ID-1"), QStringLiteral("Local"), QStringLiteral("Work"))});
        QVERIFY(writeFile(path("in.vydl"), file));

        MainWindow window;
        // The file dialog takes only existing files; a missing one is removed once chosen.
        DialogDriver::answerWith(QStringLiteral("Import Vaultry list"), [this, file](QWidget* dialog) {
            DialogDriver::chooseFile(dialog, path("in.vydl"));
            if (file.isNull())
                QFile::remove(path("in.vydl"));
        });
        if (!file.isNull())
            answerPassword(kUnlockLabel, QStringLiteral("pw"));
        if (!message.isEmpty())
            DialogDriver::answerMessage(QStringLiteral("Vaultry Import"), message);
        window.findChild<QAction*>(QStringLiteral("action_Import"))->trigger();
        VERIFY_DIALOGS_ANSWERED();

        QCOMPARE(TestVault::describe(entries), expectedEntries);
        QCOMPARE(shownCategories(window), expectedCategories);
    }
};

QTEST_MAIN(TestListTransfer)
#include "tst_listtransfer.moc"
