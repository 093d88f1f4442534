#include "app/mainwindow.h"
#include "formats/csvformat.h"
#include "formats/keepassxml.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTableWidget>
#include <QTest>
#include <QTimer>

#include <memory>

// File > Import and File > Export with the formats of other password managers.

namespace {

const QString kImportCaption = QStringLiteral("Import into Vaultry");
const QString kExportCaption = QStringLiteral("Export Vaultry list");
const QString kAllFiles = QStringLiteral("All files (*)");
const QString kCsvFilter = QStringLiteral("CSV from KeePassXC, Bitwarden, Chrome, Edge, Firefox (*.csv)");
const QString kJsonFilter = QStringLiteral("Bitwarden JSON, unencrypted (*.json)");
const QString kXmlFilter = QStringLiteral("KeePass 2 XML (*.xml)");
const QString kListFilter = QStringLiteral("Vaultry files (*.vydl)");

QByteArray sample(const QString& name)
{
    QFile file(QStringLiteral(VAULTRY_TEST_SAMPLES "/") + name);
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing sample %s", qPrintable(file.fileName()));
    return file.readAll();
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

using TestVault::readFile;

// A file dialog answered with a name filter chosen first, as the user picks it from the list
// (none: the one shown as the dialog opens).
void answerFileWithFilter(const QString& caption, const QString& filter, const QString& path)
{
    DialogDriver::answerWith(caption, [filter, path](QWidget* dialog) {
        auto* files = qobject_cast<QFileDialog*>(dialog);
        auto* types = dialog->findChild<QComboBox*>(QStringLiteral("fileTypeCombo"));
        if (files && types && !filter.isEmpty()) {
            files->selectNameFilter(filter);
            emit types->activated(types->currentIndex());
            emit types->textActivated(types->currentText());
        }
        DialogDriver::chooseFile(dialog, path);
    });
}

// The preview's summary line, then its rows as "category entries already", then Import (or Cancel).
void answerPreview(QStringList* rows, bool import = true)
{
    DialogDriver::answerWith(QStringLiteral("Import preview"), [rows, import](QWidget* dialog) {
        if (auto* summary = dialog->findChild<QLabel*>(QStringLiteral("lblSummary")))
            *rows << summary->text();
        if (auto* leftOut = dialog->findChild<QLabel*>(QStringLiteral("lblLeftOut")))
            *rows << leftOut->text().split(QLatin1Char('\n'));
        auto* table = dialog->findChild<QTableWidget*>(QStringLiteral("tablePreview"));
        for (int row = 0; table && row < table->rowCount(); ++row)
            *rows << QStringLiteral("%1 %2 %3")
                         .arg(table->item(row, 0)->text(), table->item(row, 1)->text(), table->item(row, 2)->text());
        auto* buttons = dialog->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
        if (import) {
            for (QAbstractButton* button : buttons->buttons()) {
                if (buttons->buttonRole(button) == QDialogButtonBox::AcceptRole)
                    button->click();
            }
        } else {
            buttons->button(QDialogButtonBox::Cancel)->click();
        }
    });
}

QStringList titles(const Vault& vault)
{
    QStringList list;
    for (const Entry& entry : vault.entries())
        list << entry.category + QLatin1Char('/') + entry.title;
    list.sort();
    return list;
}

} // namespace

class TestForeignTransfer : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestVault::Fixture> store;

    QString path(const QString& name) const { return store->path(name); }
    const Vault& vault() const { return store->state.vault; }

    void triggerImport(MainWindow& window)
    {
        window.findChild<QAction*>(QStringLiteral("action_Import"))->trigger();
        VERIFY_DIALOGS_ANSWERED();
    }

private slots:
    void initTestCase() { DialogDriver::install(); }
    void init() { store = std::make_unique<TestVault::Fixture>(); }

    void cleanup()
    {
        VERIFY_DIALOGS_ANSWERED();
        store.reset();
    }

    // Each peer's file, by its own filter or recognised under "All files": the preview counts
    // per category, the merge, the report.
    void importFormats_data()
    {
        QTest::addColumn<QString>("sampleName");
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QStringList>("preview");
        QTest::addColumn<QStringList>("entries");
        QTest::addColumn<QString>("report");

        QTest::newRow("KeePassXC CSV") << "keepassxc.csv" << kCsvFilter
                                       << QStringList{"keepassxc.csv (KeePassXC CSV) holds 3 entries: 3 new.",
                                                      "Work/Sub 1 0", "General 1 0", "Über 1 0"}
                                       << QStringList{"General/Bank", "General/Local", "Work/Sub/Mail", "Über/Café ☕"}
                                       << "Imported 3 entries into 3 categories.";
        QTest::newRow("Bitwarden CSV, recognised")
            << "bitwarden.csv" << kAllFiles
            << QStringList{"bitwarden.csv (Bitwarden CSV) holds 3 entries: 3 new.", "Social 2 0", "General 1 0"}
            << QStringList{"General/Local", "General/Recipe", "Social/Chat", "Social/Forum"}
            << "Imported 3 entries into 2 categories.";
        QTest::newRow("KeePassXC CSV, as the dialog opens")
            << "keepassxc.csv" << QString()
            << QStringList{"keepassxc.csv (KeePassXC CSV) holds 3 entries: 3 new.", "Work/Sub 1 0", "General 1 0",
                           "Über 1 0"}
            << QStringList{"General/Bank", "General/Local", "Work/Sub/Mail", "Über/Café ☕"}
            << "Imported 3 entries into 3 categories.";
        QTest::newRow("Chrome CSV") << "chrome.csv" << kCsvFilter
                                    << QStringList{"chrome.csv (Chrome or Edge CSV) holds 2 entries: 2 new.",
                                                   "General 2 0"}
                                    << QStringList{"General/Local", "General/bank.example", "General/shop.example"}
                                    << "Imported 2 entries into 1 category.";
        QTest::newRow("Firefox CSV, recognised")
            << "firefox.csv" << kAllFiles
            << QStringList{"firefox.csv (Firefox CSV) holds 2 entries: 2 new.", "General 2 0"}
            << QStringList{"General/Local", "General/intranet.example", "General/www.mozilla.org"}
            << "Imported 2 entries into 1 category.";
        QTest::newRow("Bitwarden JSON, recognised")
            << "bitwarden.json" << kAllFiles
            << QStringList{"bitwarden.json (Bitwarden JSON) holds 4 entries: 4 new.",
                           "Left out: 1 entry in the recycle bin or trash.", "Social 1 0", "Empty/Sub 0 0",
                           "General 3 0"}
            << QStringList{"General/Alarm code", "General/Local", "General/Visa", "General/bank.example",
                           "Social/Forum"}
            << "Imported 4 entries into 2 categories.";
        QTest::newRow("KeePass XML") << "keepassxc.xml" << kXmlFilter
                                     << QStringList{"keepassxc.xml (KeePass 2 XML) holds 2 entries: 2 new.",
                                                    "Left out: 1 old version of an entry (history).",
                                                    "Left out: 2 entries in the recycle bin or trash.",
                                                    "Work/Mäil 1 0",
                                                    "Work/Empty 0 0",
                                                    "General 1 0"}
                                     << QStringList{"General/In root", "General/Local", "Work/Mäil/Mail"}
                                     << "Imported 2 entries into 2 categories.";
    }

    void importFormats()
    {
        QFETCH(QString, sampleName);
        QFETCH(QString, filter);
        QFETCH(QStringList, preview);
        QFETCH(QStringList, entries);
        QFETCH(QString, report);
        QVERIFY(store->seed({QStringLiteral("General")}, {TestVault::makeEntry("Local", "General")}));
        QVERIFY(writeFile(path(sampleName), sample(sampleName)));
        MainWindow window(store->state, store->store);
        answerFileWithFilter(kImportCaption, filter, path(sampleName));
        QStringList shown;
        answerPreview(&shown);
        triggerImport(window);

        QCOMPARE(shown, preview);
        QCOMPARE(titles(vault()), entries);
        QCOMPARE(window.statusBar()->currentMessage(), report);
        // Groups and folders left empty come along as categories.
        for (const QString& row : preview.mid(1).filter(QRegularExpression(QStringLiteral(" \\d+ \\d+$"))))
            QVERIFY2(vault().categoryNames().contains(row.section(QLatin1Char(' '), 0, -3)), qPrintable(row));
    }

    // Bringing the same file in again adds nothing, though every reading gives fresh ids.
    void importTwice()
    {
        Entry local = TestVault::makeEntry("shop.example", "General", "ann", "https://shop.example/login", "two\nlines",
                                           "S3cret!");
        QVERIFY(store->seed({QStringLiteral("General")}, {local}));
        QVERIFY(writeFile(path("chrome.csv"), sample("chrome.csv")));
        MainWindow window(store->state, store->store);
        QStringList shown;
        answerFileWithFilter(kImportCaption, kCsvFilter, path("chrome.csv"));
        answerPreview(&shown);
        triggerImport(window);
        QCOMPARE(shown, (QStringList{"chrome.csv (Chrome or Edge CSV) holds 2 entries: 1 new, 1 already in the vault.",
                                     "General 2 1"}));
        QCOMPARE(window.statusBar()->currentMessage(),
                 QStringLiteral("Imported 1 entry into 1 category; 1 was already in the vault."));

        shown.clear();
        answerFileWithFilter(kImportCaption, kCsvFilter, path("chrome.csv"));
        answerPreview(&shown);
        triggerImport(window);
        QCOMPARE(shown, (QStringList{"chrome.csv (Chrome or Edge CSV) holds 2 entries: 0 new, 2 already in the vault.",
                                     "General 2 2"}));
        QCOMPARE(window.statusBar()->currentMessage(),
                 QStringLiteral("Imported no entries; 2 were already in the vault."));
        QCOMPARE(titles(vault()), (QStringList{"General/bank.example", "General/shop.example"}));
    }

    // A table of unknown layout asks for its columns; leftover columns land in the notes.
    void csvColumnsAsked_data()
    {
        QTest::addColumn<bool>("accept");
        QTest::newRow("mapped") << true;
        QTest::newRow("cancelled") << false;
    }

    void csvColumnsAsked()
    {
        QFETCH(bool, accept);
        QVERIFY(store->seed({QStringLiteral("General")}));
        QVERIFY(writeFile(path("other.csv"), "Site,E-mail,Secret,Kind\nShop,ann@shop.example,pw,web\n"));
        MainWindow window(store->state, store->store);
        answerFileWithFilter(kImportCaption, kAllFiles, path("other.csv"));
        QStringList guessed;
        DialogDriver::answerWith(QStringLiteral("CSV columns"), [&guessed, accept](QWidget* dialog) {
            for (const char* name : {"comboTitle", "comboAccount", "comboPassword", "comboWebsite"}) {
                auto* combo = dialog->findChild<QComboBox*>(QLatin1String(name));
                guessed << (combo ? combo->currentText() : QStringLiteral("missing %1").arg(QLatin1String(name)));
            }
            dialog->findChild<QComboBox*>(QStringLiteral("comboTitle"))->setCurrentIndex(1);    // Site
            dialog->findChild<QComboBox*>(QStringLiteral("comboWebsite"))->setCurrentIndex(0);  // (none)
            dialog->findChild<QComboBox*>(QStringLiteral("comboPassword"))->setCurrentIndex(3); // Secret
            if (accept)
                static_cast<QDialog*>(dialog)->accept();
            else
                static_cast<QDialog*>(dialog)->reject();
        });
        QStringList shown;
        if (accept)
            answerPreview(&shown);
        triggerImport(window);

        QCOMPARE(guessed,
                 (QStringList{"(none)", "E-mail (e.g. \"ann@shop.example\")", "(none)", "Site (e.g. \"Shop\")"}));
        if (!accept) {
            QVERIFY(vault().entries().isEmpty());
            return;
        }
        QCOMPARE(vault().entries().size(), 1);
        const Entry& entry = vault().entries().first();
        QCOMPARE(QStringList({entry.title, entry.account, entry.password, entry.url, entry.notes, entry.category}),
                 QStringList({"Shop", "ann@shop.example", "pw", "", "Kind: web", "General"}));
    }

    // Refused files say why and change nothing; no preview is shown.
    void importRefused_data()
    {
        QTest::addColumn<QByteArray>("file"); // "<huge>": a sparse file over 1 GiB
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("message");
        QTest::newRow("JSON chosen as XML") << sample("bitwarden.json") << kXmlFilter
                                            << "is not a KeePass 2 XML file; it looks like a Bitwarden JSON file";
        QTest::newRow("XML chosen as a list") << sample("keepassxc.xml") << kListFilter
                                              << "is not a Vaultry list file; it looks like a KeePass 2 XML file";
        QTest::newRow("CSV chosen as a list")
            << sample("chrome.csv") << kListFilter << "is not a Vaultry list file; it looks like a CSV file";
        QTest::newRow("CSV chosen as JSON")
            << sample("chrome.csv") << kJsonFilter << "could not be imported as Bitwarden JSON:\nline 1, column";
        QTest::newRow("broken CSV") << QByteArray("name,url,username,password\na,b,c,d\n\"open\n") << kCsvFilter
                                    << "could not be imported as CSV:\nline 3: a quoted field";
        QTest::newRow("truncated XML") << sample("keepassxc.xml").left(900) << kAllFiles
                                       << "could not be imported as KeePass 2 XML:\nline";
        QTest::newRow("Latin-1 CSV") << QByteArray("name,url,username,password\ncaf\xE9,u,a,p\n") << kCsvFilter
                                     << "line 2 is not UTF-8 text";
        QTest::newRow("unknown bytes") << QByteArray("\x89PNG\r\n\x1A\n\0\0", 10) << kAllFiles
                                       << "is in none of the formats Vaultry imports";
        QTest::newRow("over 1 GiB") << QByteArray("<huge>") << kAllFiles << "larger than 1 GiB";
        // Judged by the content alike under every filter, and never taken for a list.
        for (const auto& [name, filter] : {std::pair{"as the dialog opens", QString()}, std::pair{"CSV", kCsvFilter}}) {
            QTest::addRow("empty, %s", name) << QByteArray() << filter << "the file is empty";
            QTest::addRow("a zero byte, %s", name)
                << QByteArray("name,url,username,password\na,b,\0,d\n", 35) << filter << "line 2 holds a zero byte";
            QTest::addRow("UTF-16 without a mark, %s", name)
                << QByteArray("n\0a\0m\0e\0\n\0", 10) << filter << "UTF-16 without a byte-order mark";
            QTest::addRow("1 GiB of zeros, %s", name) << QByteArray("<sparse>") << filter << "line 1 holds a zero byte";
        }
    }

    void importRefused()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, filter);
        QFETCH(QString, message);
        const QList<Entry> local{TestVault::makeEntry("Local", "General")};
        QVERIFY(store->seed({QStringLiteral("General")}, local));
        if (file == "<huge>" || file == "<sparse>") {
            QFile huge(path("in.dat"));
            QVERIFY(huge.open(QIODevice::WriteOnly));
            // Sparse: nothing is written, and nothing past the start may be read.
            QVERIFY(huge.resize((qint64(1) << 30) + (file == "<huge>" ? 1 : 0)));
        } else {
            QVERIFY(writeFile(path("in.dat"), file));
        }
        MainWindow window(store->state, store->store);
        answerFileWithFilter(kImportCaption, filter, path("in.dat"));
        DialogDriver::answerMessage(QStringLiteral("Vaultry Import"), message);
        QElapsedTimer clock;
        clock.start();
        triggerImport(window);
        QVERIFY2(clock.elapsed() < 3000, "the whole file was read");
        QCOMPARE(TestVault::describe(vault().entries()), TestVault::describe(local));
        QCOMPARE(vault().categoryNames(), QStringList{"General"});
    }

    // A large file is read with a progress bar and Cancel in the status bar; cancelled it leaves
    // the vault alone, read again it comes in as one step that Undo takes back whole.
    void largeImportCancelledThenUndone()
    {
        QVERIFY(store->seed({QStringLiteral("General")}, {TestVault::makeEntry("Local", "General")}));
        QByteArray csv = "name,url,username,password\n";
        const int rows = 30000;
        for (int i = 0; i < rows; ++i)
            csv += "site " + QByteArray::number(i * 7919 % rows) + ",https://s.example/" + QByteArray::number(i) +
                   ",user,pw\n";
        QVERIFY(writeFile(path("big.csv"), csv));
        MainWindow window(store->state, store->store);
        QPointer<QWidget> seenProgress;
        QTimer canceller;
        canceller.setInterval(1);
        connect(&canceller, &QTimer::timeout, &window, [&] {
            auto* cancel = window.statusBar()->findChild<QPushButton*>(QStringLiteral("btnCancelImport"));
            if (!cancel)
                return;
            seenProgress = window.statusBar()->findChild<QWidget*>(QStringLiteral("importProgress"));
            cancel->click();
            canceller.stop();
        });
        canceller.start();
        answerFileWithFilter(kImportCaption, kCsvFilter, path("big.csv"));
        triggerImport(window);
        QVERIFY(seenProgress.isNull()); // it was there, and is gone
        QVERIFY(!canceller.isActive());
        QCOMPARE(vault().entries().size(), 1);
        QVERIFY(window.statusBar()->currentMessage().contains(QStringLiteral("cancelled")));
        QVERIFY(window.findChild<QAction*>(QStringLiteral("action_Import"))->isEnabled());

        QStringList shown;
        answerFileWithFilter(kImportCaption, kCsvFilter, path("big.csv"));
        answerPreview(&shown);
        triggerImport(window);
        QCOMPARE(shown.value(0), QStringLiteral("big.csv (Chrome or Edge CSV) holds %1 entries: %1 new.").arg(rows));
        QCOMPARE(vault().entries().size(), rows + 1);
        const auto shownInGeneral = [&window] {
            const auto* tree = window.findChild<QAbstractItemView*>(QStringLiteral("treeView"));
            return tree->model()->rowCount(tree->model()->index(0, 0));
        };
        QCOMPARE(shownInGeneral(), rows + 1);
        QAction* undo = window.findChild<QAction*>(QStringLiteral("actionUndo"));
        QVERIFY(undo->isEnabled());
        undo->trigger();
        QCOMPARE(vault().entries().size(), 1);
        QCOMPARE(shownInGeneral(), 1);
        window.findChild<QAction*>(QStringLiteral("actionRedo"))->trigger();
        QCOMPARE(shownInGeneral(), rows + 1);
    }

    // The XML export names the entries whose control characters it cannot carry, and goes on
    // only when told to.
    void exportWarnsOfControlCharacters()
    {
        QVERIFY(store->seed({"General", "Work"}, {TestVault::makeEntry("Bell", "Work", "", "", "ring\x07", ""),
                                                  TestVault::makeEntry("Plain", "General")}));
        MainWindow window(store->state, store->store);
        for (const bool go : {false, true}) {
            answerFileWithFilter(kExportCaption, QStringLiteral("KeePass 2 XML, unencrypted (*.xml)"), path("out.xml"));
            DialogDriver::answerMessage(QStringLiteral("Vaultry Export"), QStringLiteral("Work/Bell"),
                                        go ? QMessageBox::Save : QMessageBox::Cancel);
            if (go) {
                DialogDriver::answerMessage(QStringLiteral("Vaultry Export"), QStringLiteral("unencrypted"),
                                            QMessageBox::Save);
                DialogDriver::answerMessage(QStringLiteral("Vaultry Export"), QStringLiteral("Export complete."));
            }
            window.findChild<QAction*>(QStringLiteral("action_Export"))->trigger();
            VERIFY_DIALOGS_ANSWERED();
            QCOMPARE(QFile::exists(path("out.xml")), go);
        }
    }

    void previewCancelled()
    {
        QVERIFY(store->seed({QStringLiteral("General")}));
        QVERIFY(writeFile(path("in.xml"), sample("keepassxc.xml")));
        MainWindow window(store->state, store->store);
        answerFileWithFilter(kImportCaption, kXmlFilter, path("in.xml"));
        QStringList shown;
        answerPreview(&shown, false);
        triggerImport(window);
        QCOMPARE(shown.size(), 6);
        QVERIFY(vault().entries().isEmpty());
        QCOMPARE(vault().categoryNames(), QStringList{"General"});
    }

    // Plain-text exports warn first, are owner-only, and read back into the same entries.
    void exportPlainText_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<QString>("typedName");
        QTest::addColumn<QString>("writtenName"); // empty: the warning is cancelled
        QTest::newRow("KeePassXC CSV") << "KeePassXC CSV, unencrypted (*.csv)"
                                       << "out"
                                       << "out.csv";
        QTest::newRow("KeePass 2 XML") << "KeePass 2 XML, unencrypted (*.xml)"
                                       << "out.xml"
                                       << "out.xml";
        QTest::newRow("warning cancelled") << "KeePass 2 XML, unencrypted (*.xml)"
                                           << "out.xml"
                                           << "";
    }

    void exportPlainText()
    {
        QFETCH(QString, filter);
        QFETCH(QString, typedName);
        QFETCH(QString, writtenName);
        Entry mail =
            TestVault::makeEntry("Mail", "Work/Sub", "me", "https://mail.example", "two\r\nlines, \"q\"", "pa,55\"");
        const QList<Entry> entries{mail, TestVault::makeEntry("Bank", "Money")};
        QVERIFY(store->seed({"General", "Money", "Work/Sub"}, entries));
        MainWindow window(store->state, store->store);
        answerFileWithFilter(kExportCaption, filter, path(typedName));
        DialogDriver::answerMessage(QStringLiteral("Vaultry Export"),
                                    QStringLiteral("will hold every password unencrypted"),
                                    writtenName.isEmpty() ? QMessageBox::Cancel : QMessageBox::Save);
        if (!writtenName.isEmpty())
            DialogDriver::answerMessage(QStringLiteral("Vaultry Export"), QStringLiteral("Export complete."));
        window.findChild<QAction*>(QStringLiteral("action_Export"))->trigger();
        VERIFY_DIALOGS_ANSWERED();
        if (writtenName.isEmpty()) {
            QVERIFY(QDir(store->dir.path()).entryList({"out*"}).isEmpty());
            return;
        }
        QCOMPARE(QFile::permissions(path(writtenName)) & QFile::Permissions(0x0077), QFile::Permissions());
        const QByteArray written = readFile(path(writtenName));
        const ImportedEntries read =
            writtenName.endsWith(QLatin1String(".csv")) ? decodeCsv(written).entries : decodeKeePassXml(written);
        QVERIFY2(read.ok, qPrintable(read.error));
        // Everything but the ids, which the importer draws afresh; XML lists entries group by group.
        const auto withoutIds = [](const EntryList& list) {
            QStringList lines;
            for (Entry entry : list) {
                entry.id.clear();
                lines << TestVault::describe(entry).replace(QLatin1String("<null>"), QString());
            }
            lines.sort();
            return lines;
        };
        QCOMPARE(withoutIds(read.entries), withoutIds(vault().entries()));
        QVERIFY(window.statusBar()->currentMessage().startsWith(QStringLiteral("Exported 2 entries to ")));
    }
};

QTEST_MAIN(TestForeignTransfer)
#include "tst_foreigntransfer.moc"
