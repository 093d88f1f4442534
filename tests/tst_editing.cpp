#include "app/mainwindow.h"
#include "prefs/generator.h"
#include "store/preferences.h"
#include "store/settingsstore.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "vault/entrylist.h"
#include "vault/randomsource.h"
#include "vault/treemodel.h"

#include <QtTest>
#include <QtWidgets>

namespace {

using TestVault::describe;

// The real main window over the process-wide vault, its tree model checked by the tester.
struct Window
{
    MainWindow window;
    QTreeView* tree = window.findChild<QTreeView*>(QStringLiteral("treeView"));
    QAbstractProxyModel* proxy = qobject_cast<QAbstractProxyModel*>(tree->model());
    TreeModel* model = qobject_cast<TreeModel*>(proxy->sourceModel());
    QAbstractItemModelTester tester{model, QAbstractItemModelTester::FailureReportingMode::QtTest};
    QSignalSpy inserted{model, &QAbstractItemModel::rowsInserted};
    QSignalSpy removed{model, &QAbstractItemModel::rowsRemoved};

    template <typename T = QLineEdit> T* widget(const char* name) const
    {
        T* found = window.findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }

    void click(const char* button) const { QTest::mouseClick(widget<QPushButton>(button), Qt::LeftButton); }
    QModelIndex category(const QString& name) const { return model->findCategory(name); }
    // The category row with this name, else the first entry row with this title.
    QModelIndex row(const QString& name) const
    {
        return model->match(model->index(0, 0), Qt::DisplayRole, name, 1, Qt::MatchExactly | Qt::MatchRecursive)
            .value(0);
    }
    void makeCurrent(const QModelIndex& source) const { tree->setCurrentIndex(proxy->mapFromSource(source)); }
    QModelIndex current() const { return proxy->mapToSource(tree->currentIndex()); }
    QString shownTitle() const { return widget("txtEntryTitle")->text(); }
    bool panelEnabled() const { return widget("txtEntryTitle")->isEnabled(); }

    // Opens the row and starts the signal spies afresh.
    void open(const QString& name)
    {
        makeCurrent(row(name));
        click("btnOpenEntry");
        inserted.clear();
        removed.clear();
    }

    // The titles of the rows under `parent`, in row order.
    QStringList titles(const QModelIndex& parent = QModelIndex()) const
    {
        QStringList titles;
        for (int r = 0; r < model->rowCount(parent); ++r)
            titles << model->index(r, 0, parent).data().toString();
        return titles;
    }
};

} // namespace

class TestEditing : public QObject
{
    Q_OBJECT

public slots:
    // The desktop's URL handler while visit() runs.
    void openUrl(const QUrl& url) { opened << url; }

private:
    QTemporaryDir dir;
    QList<QUrl> opened;
    const QStringList both{QStringLiteral("General"), QStringLiteral("Work")};

    // General holds Shop; Work holds Mail, Wiki and Note; the window loads them from the store.
    void seed(const QStringList& categories)
    {
        TestVault::reset(dir.path());
        preferences.firstRun = false;
        QList<Entry> vault;
        if (categories.contains(QStringLiteral("General")))
            vault << TestVault::makeEntry("Shop", "General", "buyer", "shop.example", "note", "s3cret");
        for (const char* title : {"Mail", "Wiki", "Note"})
            vault << TestVault::makeEntry(QLatin1String(title), QStringLiteral("Work"));
        TestVault::add(categories, vault);
        QVERIFY(saveSettings().ok);
        categoryNames.clear();
        entries.clear();
    }

private slots:
    void initTestCase() { DialogDriver::install(); }
    void init() { seed(both); }
    void cleanup() { VERIFY_DIALOGS_ANSWERED(); }

    void addCategory_data()
    {
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<QStringList>("added");
        QTest::newRow("twice") << QStringList{"Home", "Home"} << true << QStringList{"Home"};
        QTest::newRow("trimmed") << QStringList{" Home \t", " Work "} << true << QStringList{"Home"};
        QTest::newRow("case differs") << QStringList{"work"} << true << QStringList{"work"};
        QTest::newRow("blank") << QStringList{"   "} << true << QStringList();
        QTest::newRow("cancelled") << QStringList{"Home"} << false << QStringList();
    }

    void addCategory()
    {
        QFETCH(QStringList, typed);
        QFETCH(bool, confirmed);
        QFETCH(QStringList, added);
        Window w;
        w.open(QStringLiteral("Mail"));
        const QModelIndex mail = w.current();
        // An unsaved edit: every outcome refreshes the panel and so drops it.
        w.widget("txtEntryTitle")->setText(QStringLiteral("edited"));

        for (const QString& text : typed) {
            DialogDriver::answerInput(QStringLiteral("Add Category"),
                                      QStringLiteral("Please enter the new category's name:"), text, confirmed);
            w.click("btnAddCategory");
            VERIFY_DIALOGS_ANSWERED();
        }

        QStringList expected = both + added, shown = w.titles();
        expected.sort();
        shown.sort();
        QCOMPARE(categoryNames, expected);
        QCOMPARE(shown, expected);
        QCOMPARE(w.inserted.count(), added.size());
        for (const QList<QVariant>& signal : std::as_const(w.inserted))
            QVERIFY(!signal.at(0).value<QModelIndex>().isValid());
        QCOMPARE(w.current(), mail);
        QCOMPARE(w.shownTitle(), QStringLiteral("Mail"));
    }

    void addEntry_data()
    {
        QTest::addColumn<QStringList>("categories");
        QTest::newRow("into General") << both;
        QTest::newRow("General missing") << QStringList{"Work"};
    }

    void addEntry()
    {
        QFETCH(QStringList, categories);
        seed(categories);
        Window w;
        const int row = categories.contains(QStringLiteral("General")) ? 1 : 0;
        const QDateTime earliest = QDateTime::currentDateTime().addSecs(-1);

        w.click("btnAddEntry");

        QCOMPARE(categoryNames, both);
        QCOMPARE(entries.size(), row + 4);
        const Entry added = entries.last();
        QCOMPARE(added.title, QStringLiteral("New"));
        QCOMPARE(added.category, QStringLiteral("General"));
        QCOMPARE(added.id.size(), 30);
        QVERIFY(added.dateCreated >= earliest && added.dateCreated <= QDateTime::currentDateTime());
        QCOMPARE(added.dateChanged, added.dateCreated);

        const QModelIndex general = w.category(QStringLiteral("General"));
        QCOMPARE(w.inserted.count(), 2 - row); // the category row first when it was missing
        QCOMPARE(w.inserted.last().at(0).value<QModelIndex>(), general);
        QCOMPARE(w.inserted.last().at(1).toInt(), row);
        QCOMPARE(w.current(), w.model->index(row, 0, general));
        QCOMPARE(describe(w.model->entryAt(w.current())), describe(added));
        QVERIFY(w.tree->isExpanded(w.proxy->mapFromSource(general)));
        QVERIFY(w.panelEnabled());
        QCOMPARE(w.shownTitle(), QStringLiteral("New"));
        QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->currentText(), QStringLiteral("General"));
    }

    void save_data()
    {
        QTest::addColumn<QString>("title");
        QTest::addColumn<QStringList>("general"); // the rows afterwards
        QTest::addColumn<QStringList>("work");
        QTest::newRow("without changes") << "Shop" << QStringList{"Shop"} << QStringList{"Mail", "Wiki", "Note"};
        QTest::newRow("edited into another category")
            << "Wiki" << QStringList{"Shop", "Alpha"} << QStringList{"Mail", "Note"};
    }

    // Saving stores the panel into the list and the tree row and moves dateChanged; another
    // category moves the row to the end of that category.
    void save()
    {
        QFETCH(QString, title);
        QFETCH(QStringList, general);
        QFETCH(QStringList, work);
        Window w;
        w.open(title);
        const Entry before = w.model->entryAt(w.current());
        Entry expected = before;
        if (title == QLatin1String("Wiki")) {
            // "Alpha" sorts first, so the proxy order differs from the row order.
            expected = TestVault::makeEntry("Alpha", "General", "editor", " wiki.example ", "line 1\nline 2", "pw");
            expected.id = before.id;
            expected.dateCreated = before.dateCreated;
            w.widget("txtEntryTitle")->setText(expected.title);
            w.widget("txtEntryUrl")->setText(expected.url);
            w.widget("txtEntryAccount")->setText(expected.account);
            w.widget("txtEntryPassword")->setText(expected.password);
            w.widget<QPlainTextEdit>("txtEntryNotes")->setPlainText(expected.notes);
            w.widget<QComboBox>("comboBoxCategory")->setCurrentText(expected.category);
        }
        const QDateTime earliest = QDateTime::currentDateTime().addSecs(-1);

        w.click("btnSaveEntry");

        const Entry* stored = entries.findById(before.id);
        QVERIFY(stored && stored->dateChanged >= earliest);
        expected.dateChanged = stored->dateChanged;
        QCOMPARE(describe(*stored), describe(expected));
        QCOMPARE(describe(w.model->entryAt(w.current())), describe(expected));
        const int moved = expected.category != before.category;
        QCOMPARE(w.removed.count(), moved);
        QCOMPARE(w.inserted.count(), moved);
        QCOMPARE(w.titles(w.category("General")), general);
        QCOMPARE(w.titles(w.category("Work")), work);
        QCOMPARE(w.current(), w.model->index(general.size() - 1, 0, w.category("General")));
        QCOMPARE(w.tree->currentIndex().row(), 0); // first in its category once sorted
        QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->currentText(), expected.category);
        QCOMPARE(w.shownTitle(), expected.title);
        QCOMPARE(w.widget<QLabel>("lblDateChanged")->text(), expected.dateChanged.toString(Qt::TextDate));
    }

    void deleteRow_data()
    {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QStringList>("left"); // entry titles
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("cleared");
        const QStringList all{"Shop", "Mail", "Wiki", "Note"}, noMail{"Shop", "Wiki", "Note"};
        QTest::newRow("category holding the current entry") << "Work" << QStringList{"Shop"} << "Wiki" << true;
        QTest::newRow("category, current entry elsewhere") << "Work" << QStringList{"Shop"} << "Shop" << false;
        QTest::newRow("entry") << "Mail" << noMail << "Shop" << false;
        QTest::newRow("the current entry") << "Mail" << noMail << "Mail" << true;
        QTest::newRow("General stays") << "General" << all << "Shop" << false;
        QTest::newRow("no current row") << "" << all << "Shop" << false;
    }

    void deleteRow()
    {
        QFETCH(QString, selected);
        QFETCH(QStringList, left);
        QFETCH(QString, shown);
        QFETCH(bool, cleared);
        Window w;
        w.open(shown);
        w.makeCurrent(selected.isEmpty() ? QModelIndex() : w.row(selected));
        const QModelIndex before = w.current();

        w.click("btnDeleteEntry");

        const bool changed = left.size() < 4;
        const QStringList categoriesLeft = left == QStringList{"Shop"} ? QStringList{"General"} : both; // Work gone
        QStringList entriesLeft, rowsLeft;
        for (const Entry& entry : entries)
            entriesLeft << entry.title;
        for (int c = 0; c < w.model->rowCount(); ++c)
            rowsLeft += w.titles(w.model->index(c, 0));
        QCOMPARE(w.removed.count(), int(changed));
        QCOMPARE(categoryNames, categoriesLeft);
        QCOMPARE(w.titles(), categoriesLeft);
        QCOMPARE(entriesLeft, left);
        QCOMPARE(rowsLeft, left);
        QCOMPARE(w.panelEnabled(), !cleared);
        QCOMPARE(w.shownTitle(), cleared ? QString() : shown);
        // Nothing deleted: not even re-selected.
        QCOMPARE(w.current(), !changed ? before : cleared ? QModelIndex() : w.row(shown));
    }

    void openCategoryRow()
    {
        Window w;
        w.open(QStringLiteral("Mail"));
        w.open(QStringLiteral("Work"));
        QVERIFY(!w.panelEnabled());
        QCOMPARE(w.shownTitle(), QString());
        QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->count(), 0);
        QVERIFY(!w.tree->currentIndex().isValid());
    }

    void copyToClipboard_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<bool>("typed"); // into the field, unsaved
        QTest::addColumn<QString>("copied");
        QTest::newRow("password while masked") << "Password" << false << "s3cret";
        QTest::newRow("unsaved password") << "Password" << true << " new pass ";
        QTest::newRow("account") << "Account" << false << "buyer";
        QTest::newRow("url") << "Url" << false << "shop.example";
    }

    void copyToClipboard()
    {
        QFETCH(QString, field);
        QFETCH(bool, typed);
        QFETCH(QString, copied);
        Window w;
        w.open(QStringLiteral("Shop"));
        QCOMPARE(w.widget("txtEntryPassword")->echoMode(), QLineEdit::Password);
        if (typed)
            w.widget(qPrintable("txtEntry" + field))->setText(copied);
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));

        w.click(qPrintable("btnCopy" + field));

        QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), copied);
    }

    void visit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("opens");
        QTest::newRow("blanks") << " \t  " << false;
        QTest::newRow("with scheme") << "https://example.com/login?a=1" << true;
        QTest::newRow("without scheme") << "example.com/login" << true;
        QTest::newRow("untrimmed") << " example.com " << true;
    }

    void visit()
    {
        QFETCH(QString, text);
        QFETCH(bool, opens);
        opened.clear();
        QDesktopServices::setUrlHandler(QString(), this, "openUrl");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), this, "openUrl");
        Window w;
        w.open(QStringLiteral("Shop"));
        w.widget("txtEntryUrl")->setText(text);
        w.click("btnVisitUrl");
        QDesktopServices::unsetUrlHandler(QString());
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

        QCOMPARE(opened, opens ? QList<QUrl>{QUrl(text)} : QList<QUrl>());
        QCOMPARE(opened.value(0).toString(), opens ? text : QString());
    }

    void generate_data()
    {
        QTest::addColumn<bool>("mixedCase");
        QTest::addColumn<bool>("alphanumeric");
        QTest::addColumn<bool>("specialChars");
        QTest::newRow("upper case only") << true << false << false;
        QTest::newRow("digits only") << false << true << false;
        QTest::newRow("special only") << false << false << true;
    }

    // The field gets what the generator gives for the current policy, argument for argument;
    // the entry keeps its password until saved.
    void generate()
    {
        QFETCH(bool, mixedCase);
        QFETCH(bool, alphanumeric);
        QFETCH(bool, specialChars);
        Window w;
        w.open(QStringLiteral("Shop"));
        preferences.genMinLength = 1;
        preferences.genMaxLength = 99;
        preferences.genMixedCase = mixedCase;
        preferences.genAlphanum = alphanumeric;
        preferences.genSpecialChars = specialChars;
        RandomSource::useSeed(2024);
        const QString expected = generatePassword(1, 99, mixedCase, alphanumeric, specialChars);
        RandomSource::useSeed(2024);

        w.click("btnGeneratePassword");

        QCOMPARE(w.widget("txtEntryPassword")->text(), expected);
        QCOMPARE(entries.first().password, QStringLiteral("s3cret"));
    }
};

QTEST_MAIN(TestEditing)
#include "tst_editing.moc"
