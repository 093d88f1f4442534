#include "app/mainwindow.h"
#include "prefs/generator.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "vault/randomsource.h"
#include "vault/treemodel.h"

#include <QtTest>
#include <QtWidgets>

namespace {

using TestVault::describe;

// The real main window over the test's store, its tree model checked by the tester.
struct Window
{
    explicit Window(TestVault::Fixture& fixture) : vault(fixture.state.vault), window(fixture.state, fixture.store) {}

    const Vault& vault;
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
    std::unique_ptr<TestVault::Fixture> store;
    QList<QUrl> opened;
    const QStringList both{QStringLiteral("General"), QStringLiteral("Work")};

    // General holds Shop; Work holds Mail, Wiki and Note; the window loads them from the store.
    void seed(const QStringList& categories)
    {
        store = std::make_unique<TestVault::Fixture>();
        QList<Entry> entries;
        if (categories.contains(QStringLiteral("General")))
            entries << TestVault::makeEntry("Shop", "General", "buyer", "shop.example", "note", "s3cret");
        for (const char* title : {"Mail", "Wiki", "Note"})
            entries << TestVault::makeEntry(QLatin1String(title), QStringLiteral("Work"));
        QVERIFY(store->seed(categories, entries));
    }

private slots:
    void initTestCase() { DialogDriver::install(); }
    void init() { seed(both); }
    void cleanup()
    {
        VERIFY_DIALOGS_ANSWERED();
        store.reset();
    }

    void addCategory_data()
    {
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<QStringList>("added");
        QTest::newRow("trimmed") << QStringList{" Home \t", " Work "} << true << QStringList{"Home"};
        QTest::newRow("blank") << QStringList{"   "} << true << QStringList();
        QTest::newRow("cancelled") << QStringList{"Home"} << false << QStringList();
    }

    void addCategory()
    {
        QFETCH(QStringList, typed);
        QFETCH(bool, confirmed);
        QFETCH(QStringList, added);
        Window w(*store);
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
        QCOMPARE(w.vault.categoryNames(), expected);
        QCOMPARE(shown, expected);
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
        Window w(*store);
        const int row = categories.contains(QStringLiteral("General")) ? 1 : 0;

        w.click("btnAddEntry");

        QCOMPARE(w.vault.categoryNames(), both);
        QCOMPARE(w.vault.entries().size(), row + 4);
        const Entry added = w.vault.entries().last();
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

    // Saving stores every field of the panel and moves dateChanged; the saved row stays
    // current when it moves to another category.
    void save()
    {
        Window w(*store);
        w.open(QStringLiteral("Wiki"));
        const Entry before = w.model->entryAt(w.current());
        // "Alpha" sorts first, so the proxy order differs from the row order.
        Entry expected = TestVault::makeEntry("Alpha", "General", "editor", " wiki.example ", "line 1\nline 2", "pw");
        expected.id = before.id;
        expected.dateCreated = before.dateCreated;
        w.widget("txtEntryTitle")->setText(expected.title);
        w.widget("txtEntryUrl")->setText(expected.url);
        w.widget("txtEntryAccount")->setText(expected.account);
        w.widget("txtEntryPassword")->setText(expected.password);
        w.widget<QPlainTextEdit>("txtEntryNotes")->setPlainText(expected.notes);
        w.widget<QComboBox>("comboBoxCategory")->setCurrentText(expected.category);
        const QDateTime earliest = QDateTime::currentDateTime().addSecs(-1);

        w.click("btnSaveEntry");

        const Entry* stored = w.vault.entries().findById(before.id);
        QVERIFY(stored && stored->dateChanged >= earliest);
        expected.dateChanged = stored->dateChanged;
        QCOMPARE(describe(*stored), describe(expected));
        QCOMPARE(describe(w.model->entryAt(w.current())), describe(expected));
        QCOMPARE(w.current(), w.model->index(1, 0, w.category("General")));
        QCOMPARE(w.tree->currentIndex().row(), 0); // first in its category once sorted
        QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->currentText(), expected.category);
        QCOMPARE(w.shownTitle(), expected.title);
        QCOMPARE(w.widget<QLabel>("lblDateChanged")->text(), expected.dateChanged.toString(Qt::TextDate));
    }

    void deleteRow_data()
    {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<bool>("cleared");
        QTest::newRow("category holding the current entry") << "Work" << true << "Wiki" << true;
        QTest::newRow("category, current entry elsewhere") << "Work" << true << "Shop" << false;
        QTest::newRow("entry") << "Mail" << true << "Shop" << false;
        QTest::newRow("the current entry") << "Mail" << true << "Mail" << true;
        QTest::newRow("General stays") << "General" << false << "Shop" << false;
        QTest::newRow("no current row") << "" << false << "Shop" << false;
    }

    // The selected row goes; the panel keeps its entry unless that went too.
    void deleteRow()
    {
        QFETCH(QString, selected);
        QFETCH(bool, changed);
        QFETCH(QString, shown);
        QFETCH(bool, cleared);
        Window w(*store);
        w.open(shown);
        w.makeCurrent(selected.isEmpty() ? QModelIndex() : w.row(selected));
        const QModelIndex before = w.current();

        w.click("btnDeleteEntry");

        QCOMPARE(w.removed.count(), int(changed));
        QCOMPARE(w.row(selected).isValid(), !changed && !selected.isEmpty());
        QCOMPARE(w.panelEnabled(), !cleared);
        QCOMPARE(w.shownTitle(), cleared ? QString() : shown);
        // Nothing deleted: not even re-selected.
        QCOMPARE(w.current(), !changed ? before : cleared ? QModelIndex() : w.row(shown));
    }

    void openCategoryRow()
    {
        Window w(*store);
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
        QTest::addColumn<QString>("report"); // in the status bar
        QTest::newRow("password while masked") << "Password" << false << "s3cret"
                                               << "Password copied";
        QTest::newRow("unsaved password") << "Password" << true << " new pass "
                                          << "Password copied";
        QTest::newRow("account") << "Account" << false << "buyer"
                                 << "Account copied";
        QTest::newRow("url") << "Url" << false << "shop.example"
                             << "Website copied";
    }

    void copyToClipboard()
    {
        QFETCH(QString, field);
        QFETCH(bool, typed);
        QFETCH(QString, copied);
        QFETCH(QString, report);
        Window w(*store);
        w.open(QStringLiteral("Shop"));
        QCOMPARE(w.widget("txtEntryPassword")->echoMode(), QLineEdit::Password);
        if (typed)
            w.widget(qPrintable("txtEntry" + field))->setText(copied);
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));

        w.click(qPrintable("btnCopy" + field));

        QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), copied);
        // Clipboard managers are asked not to keep a password, and only a password.
        const QMimeData* data = QGuiApplication::clipboard()->mimeData(QClipboard::Clipboard);
        QCOMPARE(data->data(QStringLiteral("x-kde-passwordManagerHint")),
                 field == QLatin1String("Password") ? QByteArray("secret") : QByteArray());
        QVERIFY(w.window.statusBar()->currentMessage().startsWith(report));
    }

    void searchAfterSave_data()
    {
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("category"); // chosen before saving
        QTest::addColumn<bool>("shown");
        QTest::newRow("leaves the search") << "wiki"
                                           << "Work" << false;
        QTest::newRow("joins the search") << "beta"
                                          << "Work" << true;
        QTest::newRow("moved, leaves the search") << "wiki"
                                                  << "General" << false;
        QTest::newRow("moved, joins the search") << "beta"
                                                 << "General" << true;
    }

    // The search judges the saved record at once, not the one before the save.
    void searchAfterSave()
    {
        QFETCH(QString, search);
        QFETCH(QString, category);
        QFETCH(bool, shown);
        Window w(*store);
        w.open(QStringLiteral("Wiki"));
        const QString id = w.model->entryAt(w.current()).id;
        w.widget("txtSearch")->setText(search);
        w.widget("txtEntryTitle")->setText(QStringLiteral("Beta"));
        w.widget<QComboBox>("comboBoxCategory")->setCurrentText(category);

        w.click("btnSaveEntry");

        const QModelIndex row = w.model->findEntry(*w.vault.entries().findById(id));
        QVERIFY(row.isValid());
        QCOMPARE(w.proxy->mapFromSource(row).isValid(), shown);
    }

    // Keys that the menus do not offer.
    void keyboard()
    {
        Window w(*store);
        w.window.show();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        auto* search = w.widget("txtSearch");
        w.tree->setFocus();
        QTest::keyClick(&w.window, Qt::Key_F, Qt::ControlModifier);
        QVERIFY(search->hasFocus());
        QTest::keyClicks(search, QStringLiteral("mai"));
        QCOMPARE(w.proxy->rowCount(w.proxy->mapFromSource(w.category("Work"))), 1);
        QTest::keyClick(search, Qt::Key_Escape);
        QCOMPARE(search->text(), QString());

        w.makeCurrent(w.row(QStringLiteral("Mail")));
        w.tree->setFocus();
        QTest::keyClick(w.tree, Qt::Key_Return);
        QCOMPARE(w.shownTitle(), QStringLiteral("Mail"));
        QTest::keyClick(w.tree, Qt::Key_Delete);
        QVERIFY(!w.row(QStringLiteral("Mail")).isValid());
        QVERIFY(!w.panelEnabled());

        w.click("btnAddEntry");
        QVERIFY(w.widget("txtEntryTitle")->hasFocus());
        QCOMPARE(w.widget("txtEntryTitle")->selectedText(), QStringLiteral("New"));
        QVERIFY(w.widget<QPlainTextEdit>("txtEntryNotes")->tabChangesFocus());
    }

    // Down in the search goes to the first entry found; Ctrl+S saves the open entry from its
    // fields; Ctrl+N adds one, ready to be named.
    void entryKeys()
    {
        Window w(*store);
        w.window.show();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        auto* search = w.widget("txtSearch");
        search->setFocus();
        QTest::keyClicks(search, QStringLiteral("iki"));
        QTest::keyClick(search, Qt::Key_Down);
        QVERIFY(w.tree->hasFocus());
        QCOMPARE(w.current(), w.row(QStringLiteral("Wiki")));
        QTest::keyClick(w.tree, Qt::Key_Return);
        QCOMPARE(w.shownTitle(), QStringLiteral("Wiki"));

        auto* title = w.widget("txtEntryTitle");
        title->setFocus();
        title->setText(QStringLiteral("Wiki pages"));
        QTest::keyClick(title, Qt::Key_S, Qt::ControlModifier);
        QStringList titles;
        for (const Entry& entry : w.vault.entries().toList())
            titles << entry.title;
        QVERIFY2(titles.contains(QStringLiteral("Wiki pages")), qPrintable(titles.join(',')));

        const qsizetype before = w.vault.entries().size();
        QTest::keyClick(w.tree, Qt::Key_N, Qt::ControlModifier);
        QCOMPARE(w.vault.entries().size(), before + 1);
        QVERIFY(title->hasFocus());
        QCOMPARE(title->selectedText(), QStringLiteral("New"));
    }

    void visit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QUrl>("opened"); // empty: nothing
        QTest::newRow("blanks") << " \t  " << QUrl();
        QTest::newRow("with scheme") << "https://example.com/login?a=1" << QUrl("https://example.com/login?a=1");
        QTest::newRow("without scheme") << "example.com/login" << QUrl("http://example.com/login");
        QTest::newRow("untrimmed") << " example.com " << QUrl("http://example.com");
        // A list from elsewhere could name a program or a file: only web addresses are opened.
        QTest::newRow("not a web address") << "file:///bin/sh" << QUrl();
    }

    void visit()
    {
        QFETCH(QString, text);
        QFETCH(QUrl, opened);
        this->opened.clear();
        for (const QString scheme : {"http", "https", "file"})
            QDesktopServices::setUrlHandler(scheme, this, "openUrl");
        Window w(*store);
        w.open(QStringLiteral("Shop"));
        w.widget("txtEntryUrl")->setText(text);
        if (opened.isEmpty() && !text.trimmed().isEmpty())
            DialogDriver::answerMessage(QStringLiteral("Notice"), QStringLiteral("is not a web address"));
        w.click("btnVisitUrl");
        for (const QString scheme : {"http", "https", "file"})
            QDesktopServices::unsetUrlHandler(scheme);

        QCOMPARE(this->opened, opened.isEmpty() ? QList<QUrl>() : QList<QUrl>{opened});
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
        Window w(*store);
        w.open(QStringLiteral("Shop"));
        Preferences& preferences = store->state.preferences;
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
        QCOMPARE(w.vault.entries().first().password, QStringLiteral("s3cret"));
    }
};

QTEST_MAIN(TestEditing)
#include "tst_editing.moc"
