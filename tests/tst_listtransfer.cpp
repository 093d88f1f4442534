#include "app/mainwindow.h"
#include "store/listcodec.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"

#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QFile>
#include <QStatusBar>
#include <QTest>
#include <QTreeView>

#include <memory>
#include <sys/stat.h>

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
QStringList shownCategories(MainWindow& window, const Vault& vault)
{
    QStringList names = vault.categoryNames();
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
    std::unique_ptr<TestVault::Fixture> store;

    QString path(const QString& name) const { return store->path(name); }
    const Vault& vault() const { return store->state.vault; }

private slots:
    void initTestCase() { DialogDriver::install(); }
    void init() { store = std::make_unique<TestVault::Fixture>(); }

    void cleanup()
    {
        VERIFY_DIALOGS_ANSWERED();
        store.reset();
    }

    void exportThenImport_data()
    {
        QTest::addColumn<bool>("withEntries");
        QTest::addColumn<QStringList>("passwords"); // lock, each confirmation, unlock
        QTest::addColumn<QString>("typedName");     // the suffix is added when missing
        QTest::newRow("entries") << true << QStringList{"s3cret", "s3cret", "s3cret"} << "out.vydl";
        QTest::newRow("empty vault") << false << QStringList{"s3cret", "s3cret", "s3cret"} << "out.vydl";
        QTest::newRow("mismatch asks again for the confirmation only")
            << true << QStringList{"abc", "abd", "ABC", "abc", "abc"} << "out.vydl";
        QTest::newRow("empty password, name without suffix") << true << QStringList{"", "", ""} << "out";
    }

    void exportThenImport()
    {
        QFETCH(bool, withEntries);
        QFETCH(QStringList, passwords);
        QFETCH(QString, typedName);
        Entry mail = TestVault::makeEntry("Mail", "Work", "me", "https://mail.example", "two\nlines", "pa55");
        mail.dateChanged = QDateTime(QDate(2025, 3, 4), QTime(5, 6, 7, 890));
        const QList<Entry> exported =
            withEntries ? QList<Entry>{mail, TestVault::makeEntry("Bank", "Money")} : QList<Entry>();
        const QStringList categories = withEntries ? QStringList{"General", "Money", "Work"} : QStringList{"General"};
        QVERIFY(store->seed(categories, exported));

        const QString unlock = passwords.takeLast();
        {
            MainWindow window(store->state, store->store);
            answerExport(path(typedName), passwords, QStringLiteral("Export complete."));
            window.findChild<QAction*>(QStringLiteral("action_Export"))->trigger();
            VERIFY_DIALOGS_ANSWERED();
            QVERIFY(
                window.statusBar()->currentMessage().startsWith(QStringLiteral("Exported %1 ").arg(exported.size())));
        }
        // The list holds every password: owner-only, like the vault.
        QCOMPARE(QFile::permissions(path("out.vydl")) & QFile::Permissions(0x0077), QFile::Permissions());
        QVERIFY(store->seed({QStringLiteral("General")}));
        MainWindow window(store->state, store->store);
        DialogDriver::answerFile(QStringLiteral("Import into Vaultry"), path("out.vydl"));
        answerPassword(kUnlockLabel, unlock);
        window.findChild<QAction*>(QStringLiteral("action_Import"))->trigger();
        VERIFY_DIALOGS_ANSWERED();

        QCOMPARE(TestVault::describe(vault().entries()), TestVault::describe(exported));
        QCOMPARE(shownCategories(window, vault()), categories);
        QCOMPARE(window.statusBar()->currentMessage(),
                 exported.size() == 2 ? QStringLiteral("Imported 2 entries.") : QStringLiteral("Imported 0 entries."));
    }

    void exportRefused_data()
    {
        QTest::addColumn<QString>("target");        // empty: no file chosen
        QTest::addColumn<QStringList>("passwords"); // lock, each confirmation
        QTest::addColumn<QString>("message");       // %1: the target's path
        QTest::newRow("password cancelled") << "out.vydl" << QStringList{kCancel} << "";
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
        QVERIFY(store->seed({QStringLiteral("General")},
                            {TestVault::makeEntry(QStringLiteral("Shop"), QStringLiteral("General"))}));
        // A plain file where the unwritable target needs a directory.
        QVERIFY(writeFile(path("plain-file"), "not a directory"));
        const QString file = target.isEmpty() ? QString() : path(target);
        MainWindow window(store->state, store->store);
        answerExport(file, passwords, QString(message).replace(QLatin1String("%1"), file));
        window.findChild<QAction*>(QStringLiteral("action_Export"))->trigger();
        VERIFY_DIALOGS_ANSWERED();

        QVERIFY(!QFile::exists(path("out.vydl")));
        QFile plain(path("plain-file"));
        QVERIFY(plain.open(QIODevice::ReadOnly));
        QCOMPARE(plain.readAll(), QByteArray("not a directory"));
    }

    // Every failure is reported and leaves the vault as it was; a cancelled password prompt
    // ends the import without a word.
    void import_data()
    {
        QTest::addColumn<QByteArray>("file"); // null: gone by the time it is read
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("message"); // empty: none expected
        const Entry remote = entryWithId(QStringLiteral("ID-2"), QStringLiteral("Remote"), QStringLiteral("Travel"));
        const QByteArray list = encodeList(QList<Entry>{remote}, QStringLiteral("pw"));

        QTest::newRow("missing file") << QByteArray() << QString() << "does not exist";
        QTest::newRow("wrong password") << list << QStringLiteral("other") << "The password does not unlock";
        QTest::newRow("password cancelled") << list << kCancel << "";
        // Every entry parses, yet a damaged list is not merged in part.
        QTest::newRow("bytes after the list") << list + "!" << QStringLiteral("pw") << "is damaged";
        QTest::newRow("empty file") << QByteArray("") << QStringLiteral("pw") << "is damaged";
        // Reading a pipe would wait for a writer forever.
        QTest::newRow("named pipe") << QByteArray("<fifo>") << QString() << "not a regular file";
    }

    void import()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, password);
        QFETCH(QString, message);
        const QList<Entry> local{entryWithId(QStringLiteral("ID-1"), QStringLiteral("Local"), QStringLiteral("Work"))};
        const QStringList categories{"General", "Work"};
        QVERIFY(store->seed(categories, local));
        const bool pipe = file == "<fifo>";
        if (pipe)
            QVERIFY(::mkfifo(QFile::encodeName(path("in.vydl")).constData(), 0600) == 0);
        else
            QVERIFY(writeFile(path("in.vydl"), file));

        MainWindow window(store->state, store->store);
        // The file dialog takes only existing files; a missing one is removed once chosen.
        DialogDriver::answerWith(QStringLiteral("Import into Vaultry"), [this, file](QWidget* dialog) {
            DialogDriver::chooseFile(dialog, path("in.vydl"));
            if (file.isNull())
                QFile::remove(path("in.vydl"));
        });
        if (!file.isNull() && !pipe)
            answerPassword(kUnlockLabel, password);
        if (!message.isEmpty())
            DialogDriver::answerMessage(QStringLiteral("Vaultry Import"), message);
        window.findChild<QAction*>(QStringLiteral("action_Import"))->trigger();
        VERIFY_DIALOGS_ANSWERED();

        QCOMPARE(TestVault::describe(vault().entries()), TestVault::describe(local));
        QCOMPARE(shownCategories(window, vault()), categories);
    }

    // The file dialog's title names the format its filter chooses; the warning before a
    // plain-text export saves on its access key.
    void fileDialogTitlesAndExportKey()
    {
        QVERIFY(store->seed({"General"}, {TestVault::makeEntry("Mail", "General")}));
        MainWindow window(store->state, store->store);
        window.show();
        QStringList titles;
        const auto filters = [&titles](QWidget* dialog, int upTo) {
            auto* combo = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
            for (int i = 0; i < combo->count() && i <= upTo; ++i) {
                combo->setCurrentIndex(i);
                emit combo->activated(i);
                emit combo->textActivated(combo->itemText(i));
                titles << dialog->windowTitle();
            }
        };
        DialogDriver::answerWith(QStringLiteral("Import into Vaultry"), [&](QWidget* dialog) {
            filters(dialog, 99);
            static_cast<QDialog*>(dialog)->reject();
        });
        window.findChild<QAction*>(QStringLiteral("action_Import"))->trigger();
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(titles, (QStringList{"Import into Vaultry", "Import Vaultry list", "Import CSV",
                                      "Import Bitwarden JSON", "Import KeePass 2 XML", "Import into Vaultry"}));

        titles.clear();
        DialogDriver::answerWith(QStringLiteral("Export Vaultry list"), [&](QWidget* dialog) {
            filters(dialog, 1); // ends on the CSV
            DialogDriver::chooseFile(dialog, path("plain.csv"));
        });
        DialogDriver::answerWith(QStringLiteral("Vaultry Export"), [](QWidget* warning) {
            QVERIFY(QTest::qWaitForWindowActive(warning));
            QTest::keyClick(warning, Qt::Key_S, Qt::AltModifier);
            // The access key clicks after a short press animation.
            if (!QTest::qWaitFor([warning] { return !warning->isVisible(); }))
                static_cast<QDialog*>(warning)->reject();
        });
        DialogDriver::answerMessage(QStringLiteral("Vaultry Export"), QStringLiteral("Export complete."));
        window.findChild<QAction*>(QStringLiteral("action_Export"))->trigger();
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(titles, (QStringList{"Export Vaultry list", "Export KeePassXC CSV"}));
        QVERIFY(QFile::exists(path("plain.csv")));
    }
};

QTEST_MAIN(TestListTransfer)
#include "tst_listtransfer.moc"
