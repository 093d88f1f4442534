#include "app/mainwindow.h"
#include "app/windowsettings.h"
#include "prefs/generator.h"
#include "store/listfile.h"
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

    QAction* action(const char* name) const { return window.findChild<QAction*>(QLatin1String(name)); }

    // The names in order, then every record in list order: what a step must give back.
    QStringList snapshot() const
    {
        return QStringList{vault.categoryNames().join(QLatin1Char(','))} + describe(vault.entries());
    }

    // Each category with its entries' titles, sorted, as the tree shows them and as the vault
    // holds them: the two must agree.
    QStringList shownLines() const
    {
        QStringList lines;
        for (int c = 0; c < model->rowCount(); ++c) {
            const QModelIndex category = model->index(c, 0);
            QStringList line = titles(category);
            line.sort();
            lines << category.data().toString() + QLatin1Char('|') + line.join(QLatin1Char('|'));
        }
        lines.sort();
        return lines;
    }
    QStringList heldLines() const
    {
        QStringList lines;
        for (const QString& name : vault.categoryNames()) {
            QStringList line;
            for (const Entry& entry : vault.entries()) {
                if (entry.category == name)
                    line << entry.title;
            }
            line.sort();
            lines << name + QLatin1Char('|') + line.join(QLatin1Char('|'));
        }
        lines.sort();
        return lines;
    }

    void showActive()
    {
        window.show();
        if (!QTest::qWaitForWindowActive(&window))
            qFatal("the window did not become active");
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

// User actions that make one step of the history.
using Step = std::function<void(Window&, const QString& dir)>;

const QString kUnsaved = QStringLiteral("Unsaved Changes");

} // namespace

Q_DECLARE_METATYPE(Step)

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
        // An unsaved edit survives every outcome's refresh.
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
        QCOMPARE(w.shownTitle(), QStringLiteral("edited"));
    }

    void addEntry_data()
    {
        QTest::addColumn<QStringList>("categories");
        QTest::addColumn<QString>("selected"); // the tree's current row; empty: none
        QTest::addColumn<QString>("category"); // the new entry's
        QTest::newRow("nothing selected") << both << ""
                                          << "General";
        QTest::newRow("a category selected") << both << "Work"
                                             << "Work";
        QTest::newRow("an entry selected") << both << "Wiki"
                                           << "Work";
        QTest::newRow("General selected") << both << "General"
                                          << "General";
        QTest::newRow("General missing") << QStringList{"Work"} << ""
                                         << "General";
    }

    // A new entry starts in the selected category and lives in the panel alone: the vault (and
    // so the file) gets it only at its first save.
    void addEntry()
    {
        QFETCH(QStringList, categories);
        QFETCH(QString, selected);
        QFETCH(QString, category);
        seed(categories);
        Window w(*store);
        if (!selected.isEmpty())
            w.makeCurrent(w.row(selected));
        const QStringList before = w.snapshot();

        w.click("btnAddEntry");

        QCOMPARE(w.vault.categoryNames(), categories.contains("General") ? categories : both);
        QCOMPARE(w.snapshot().mid(1), before.mid(1));
        QCOMPARE(w.current(), w.category(category));
        QVERIFY(w.panelEnabled());
        QCOMPARE(w.shownTitle(), QStringLiteral("New"));
        QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->currentText(), category);

        w.widget("txtEntryTitle")->setText(QStringLiteral("Fresh"));
        w.click("btnSaveEntry");
        const Entry* added = w.vault.entries().findById(w.model->entryAt(w.current()).id);
        QVERIFY(added);
        QCOMPARE(added->title, QStringLiteral("Fresh"));
        QCOMPARE(added->category, category);
        QCOMPARE(w.vault.entries().size(), before.size());
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
        if (selected == QLatin1String("Work"))
            DialogDriver::answerMessage(QStringLiteral("Delete Category"),
                                        QStringLiteral("Delete the category \"Work\" and the 3 entries in it?"),
                                        QMessageBox::Yes);

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
        QCOMPARE(w.vault.entries().size(), before); // in the panel until saved
        QVERIFY(title->hasFocus());
        QCOMPARE(title->selectedText(), QStringLiteral("New"));
    }

    // Keys of the details panel: Tab walks through the fields only (a key on Generate would
    // replace the password), Escape cancels the edits, and Delete on the tree says what went
    // and how to get it back.
    void panelKeys()
    {
        Window w(*store);
        w.showActive();
        w.open(QStringLiteral("Shop"));
        QWidget* focus = w.widget("txtEntryTitle");
        focus->setFocus();
        QStringList chain;
        for (int i = 0; i < 5; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            chain << QApplication::focusWidget()->objectName();
        }
        QCOMPARE(chain, (QStringList{"comboBoxCategory", "txtEntryUrl", "txtEntryAccount", "txtEntryPassword",
                                     "txtEntryNotes"}));

        for (const char* field : {"txtEntryTitle", "txtEntryUrl", "txtEntryPassword", "txtEntryNotes"}) {
            QWidget* edit = w.window.findChild<QWidget*>(QLatin1String(field));
            edit->setFocus();
            QTest::keyClicks(edit, QStringLiteral("typed"));
            QTest::keyClick(edit, Qt::Key_Escape);
            QCOMPARE(w.shownTitle(), QStringLiteral("Shop"));
            QCOMPARE(w.widget("txtEntryPassword")->text(), QStringLiteral("s3cret"));
            QCOMPARE(w.widget<QPlainTextEdit>("txtEntryNotes")->toPlainText(), QStringLiteral("note"));
        }

        w.makeCurrent(w.row(QStringLiteral("Wiki")));
        w.tree->setFocus();
        QTest::keyClick(w.tree, Qt::Key_Delete);
        const QString said = w.window.statusBar()->currentMessage();
        QVERIFY2(said.contains(QStringLiteral("\"Wiki\"")) && said.contains(QStringLiteral("Undo")), qPrintable(said));
    }

    // The buttons of "Unsaved Changes" answer to their access keys.
    void unsavedChangesAccessKeys_data()
    {
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("kept"); // Mail's title afterwards
        QTest::newRow("Alt+S saves") << int(Qt::Key_S) << "Typed";
        QTest::newRow("Alt+D discards") << int(Qt::Key_D) << "Mail";
    }

    void unsavedChangesAccessKeys()
    {
        QFETCH(int, key);
        QFETCH(QString, kept);
        Window w(*store);
        w.showActive();
        w.open(QStringLiteral("Mail"));
        const QString id = w.model->entryAt(w.current()).id;
        w.widget("txtEntryTitle")->setText(QStringLiteral("Typed"));
        DialogDriver::answerWith(kUnsaved, [key](QWidget* question) {
            QVERIFY(QTest::qWaitForWindowActive(question));
            QTest::keyClick(question, Qt::Key(key), Qt::AltModifier);
            // A button's access key clicks it after a short press animation.
            if (!QTest::qWaitFor([question] { return !question->isVisible(); })) {
                static_cast<QMessageBox*>(question)->button(QMessageBox::Cancel)->click();
                QFAIL("the access key did nothing");
            }
        });
        w.makeCurrent(w.row(QStringLiteral("Wiki")));
        w.click("btnOpenEntry");
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(w.vault.entries().findById(id)->title, kept);
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

    // No browser to start (as here, offscreen without a handler): the user is told.
    void visitWithoutABrowser()
    {
        Window w(*store);
        w.open(QStringLiteral("Shop"));
        DialogDriver::answerMessage(QStringLiteral("Notice"), QStringLiteral("No web browser could be started"));
        w.click("btnVisitUrl");
        VERIFY_DIALOGS_ANSWERED();
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

    void deleteCategoryAsks_data()
    {
        QTest::addColumn<QString>("category");
        QTest::addColumn<QString>("question"); // empty: none asked
        QTest::addColumn<QMessageBox::StandardButton>("answer");
        QTest::addColumn<bool>("deleted");
        const QString work = QStringLiteral("Delete the category \"Work\" and the 3 entries in it?");
        QTest::newRow("entries, No") << "Work" << work << QMessageBox::No << false;
        QTest::newRow("entries, Yes") << "Work" << work << QMessageBox::Yes << true;
        QTest::newRow("entries, the default is No") << "Work" << work << QMessageBox::NoButton << false;
        QTest::newRow("one entry") << "Home"
                                   << "Delete the category \"Home\" and the entry in it?" << QMessageBox::Yes << true;
        QTest::newRow("empty, not asked") << "Empty" << QString() << QMessageBox::NoButton << true;
    }

    // A category that holds entries goes only when the user says so, told how many go with it.
    void deleteCategoryAsks()
    {
        QFETCH(QString, category);
        QFETCH(QString, question);
        QFETCH(QMessageBox::StandardButton, answer);
        QFETCH(bool, deleted);
        Window w(*store);
        store->state.vault.addCategory(QStringLiteral("Home"));
        store->state.vault.addCategory(QStringLiteral("Empty"));
        store->state.vault.addEntry(TestVault::makeEntry("Bank", "Home"));
        const QStringList before = w.snapshot();
        w.makeCurrent(w.row(category));
        if (!question.isEmpty())
            DialogDriver::answerMessage(QStringLiteral("Delete Category"), question, answer);

        w.click("btnDeleteEntry");

        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(w.vault.categoryNames().contains(category), !deleted);
        QCOMPARE(w.category(category).isValid(), !deleted);
        if (!deleted)
            QCOMPARE(w.snapshot(), before);
        QCOMPARE(w.action("actionUndo")->isEnabled(), deleted);
    }

    void undoRedo_data()
    {
        QTest::addColumn<Step>("step");
        QTest::addColumn<QString>("undoText");
        QTest::addColumn<QString>("undone"); // the panel's title after Undo; empty when closed
        QTest::addColumn<QString>("redone"); // and after Redo
        const auto open = [](const char* title) {
            return Step([=](Window& w, const QString&) { w.open(QLatin1String(title)); });
        };
        const auto then = [](const Step& first, const Step& second) {
            return Step([=](Window& w, const QString& dir) {
                first(w, dir);
                second(w, dir);
            });
        };
        const Step removeMail = [](Window& w, const QString&) {
            w.makeCurrent(w.row(QStringLiteral("Mail")));
            w.click("btnDeleteEntry");
        };
        const Step removeWork = [](Window& w, const QString&) {
            DialogDriver::answerMessage(QStringLiteral("Delete Category"), QStringLiteral("3 entries"),
                                        QMessageBox::Yes);
            w.makeCurrent(w.row(QStringLiteral("Work")));
            w.click("btnDeleteEntry");
        };
        const Step saveMoved = [](Window& w, const QString&) {
            w.widget("txtEntryTitle")->setText(QStringLiteral("Alpha"));
            w.widget<QComboBox>("comboBoxCategory")->setCurrentText(QStringLiteral("General"));
            w.click("btnSaveEntry");
        };
        const Step import = [](Window& w, const QString& dir) {
            const QString file = dir + QStringLiteral("/in.vydl");
            if (!writeListFile(file,
                               TestVault::entryList({TestVault::makeEntry("Train", "Travel"),
                                                     TestVault::makeEntry("Bus", "Travel"),
                                                     TestVault::makeEntry("Pool", "General")}),
                               QStringLiteral("pw"))
                     .ok)
                qFatal("no list file");
            DialogDriver::answerFile(QStringLiteral("Import into Vaultry"), file);
            DialogDriver::answerInput(QStringLiteral("Vaultry list password"),
                                      QStringLiteral("Enter a password to unlock the imported list."),
                                      QStringLiteral("pw"));
            w.action("action_Import")->trigger();
        };
        const Step addHome = [](Window& w, const QString&) {
            DialogDriver::answerInput(QStringLiteral("Add Category"),
                                      QStringLiteral("Please enter the new category's name:"), QStringLiteral("Home"));
            w.click("btnAddCategory");
        };
        const Step renameWork = [](Window& w, const QString&) {
            DialogDriver::answerInput(QStringLiteral("Rename Category"),
                                      QStringLiteral("New name for the category \"Work\":"), QStringLiteral("Office"));
            w.makeCurrent(w.row(QStringLiteral("Work")));
            w.tree->setFocus();
            QTest::keyClick(w.tree, Qt::Key_F2);
        };
        QTest::newRow("add a category") << then(open("Shop"), addHome) << "&Undo Add Category \"Home\""
                                        << "Shop"
                                        << "Shop";
        QTest::newRow("rename a category with the open entry")
            << then(open("Wiki"), renameWork) << "&Undo Rename Category \"Work\" to \"Office\""
            << "Wiki"
            << "Wiki";
        QTest::newRow("delete an entry, another open") << then(open("Shop"), removeMail) << "&Undo Delete \"Mail\""
                                                       << "Shop"
                                                       << "Shop";
        QTest::newRow("delete the open entry") << then(open("Mail"), removeMail) << "&Undo Delete \"Mail\""
                                               << ""
                                               << "";
        QTest::newRow("delete a category with the open entry")
            << then(open("Wiki"), removeWork) << "&Undo Delete Category \"Work\""
            << ""
            << "";
        QTest::newRow("save with a move, the panel follows")
            << then(open("Wiki"), saveMoved) << "&Undo Move \"Alpha\" to \"General\""
            << "Wiki"
            << "Alpha";
        QTest::newRow("import") << then(open("Shop"), import) << "&Undo Import 3 Entries"
                                << "Shop"
                                << "Shop";
        QTest::newRow("import, an imported entry open") << then(import, open("Train")) << "&Undo Import 3 Entries"
                                                        << ""
                                                        << "";
    }

    // Ctrl+Z takes the step back exactly and Ctrl+Shift+Z makes it again; the actions are on
    // only while there is something to take back or make again, and the panel follows.
    void undoRedo()
    {
        QFETCH(Step, step);
        QFETCH(QString, undoText);
        QFETCH(QString, undone);
        QFETCH(QString, redone);
        Window w(*store);
        w.showActive();
        QAction* undo = w.action("actionUndo");
        QAction* redo = w.action("actionRedo");
        QVERIFY(!undo->isEnabled() && !redo->isEnabled());
        const QStringList before = w.snapshot();

        step(w, store->dir.path());
        VERIFY_DIALOGS_ANSWERED();
        const QStringList after = w.snapshot();
        QVERIFY(after != before);
        QVERIFY(undo->isEnabled() && !redo->isEnabled());
        QCOMPARE(undo->text(), undoText);

        // A dialog of the step may have taken the activation.
        w.window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&w.window));
        for (int round = 0; round < 2; ++round) {
            w.tree->setFocus();
            QTest::keyClick(w.tree, Qt::Key_Z, Qt::ControlModifier);
            QCOMPARE(w.snapshot(), before);
            QCOMPARE(w.shownLines(), w.heldLines());
            QVERIFY(!undo->isEnabled() && redo->isEnabled());
            QCOMPARE(w.shownTitle(), undone);
            QCOMPARE(w.panelEnabled(), !undone.isEmpty());

            QTest::keyClick(w.tree, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
            QCOMPARE(w.snapshot(), after);
            QCOMPARE(w.shownLines(), w.heldLines());
            QVERIFY(undo->isEnabled() && !redo->isEnabled());
            QCOMPARE(w.shownTitle(), redone);
        }
    }

    // Undo that would change the open entry under unsaved edits asks first.
    void undoOverUnsavedEdits_data()
    {
        QTest::addColumn<QMessageBox::StandardButton>("answer");
        QTest::newRow("No keeps the edits") << QMessageBox::No;
        QTest::newRow("Yes undoes") << QMessageBox::Yes;
    }

    void undoOverUnsavedEdits()
    {
        QFETCH(QMessageBox::StandardButton, answer);
        Window w(*store);
        w.open(QStringLiteral("Wiki"));
        w.widget("txtEntryTitle")->setText(QStringLiteral("Saved"));
        w.click("btnSaveEntry");
        w.widget("txtEntryTitle")->setText(QStringLiteral("Typed"));
        DialogDriver::answerMessage(kUnsaved, QStringLiteral("Undo changes the entry \"Saved\" that is open"), answer);

        w.action("actionUndo")->trigger();

        VERIFY_DIALOGS_ANSWERED();
        const bool undone = answer == QMessageBox::Yes;
        QCOMPARE(w.shownTitle(), undone ? QStringLiteral("Wiki") : QStringLiteral("Typed"));
        QCOMPARE(w.model->entryAt(w.current()).title, undone ? QStringLiteral("Wiki") : QStringLiteral("Saved"));
    }

    void unsavedEdits_data()
    {
        QTest::addColumn<QString>("leave"); // how the panel's entry is left
        QTest::addColumn<bool>("edited");
        QTest::addColumn<QMessageBox::StandardButton>("answer"); // NoButton: nothing asked
        QTest::addColumn<QString>("shown");                      // the panel's title afterwards
        for (const auto answer : {QMessageBox::Save, QMessageBox::Discard, QMessageBox::Cancel}) {
            const QString name = answer == QMessageBox::Save      ? "Save"
                                 : answer == QMessageBox::Discard ? "Discard"
                                                                  : "Cancel";
            const bool stays = answer == QMessageBox::Cancel;
            QTest::newRow(qPrintable("open another, " + name))
                << "open" << true << answer << (stays ? "Typed" : "Wiki");
            QTest::newRow(qPrintable("close, " + name))
                << "close" << true << answer << (answer == QMessageBox::Discard ? "Mail" : "Typed");
        }
        QTest::newRow("Return on another, Cancel") << "Return" << true << QMessageBox::Cancel << "Typed";
        QTest::newRow("Return on another, Save") << "Return" << true << QMessageBox::Save << "Wiki";
        QTest::newRow("open a category row, Discard") << "category" << true << QMessageBox::Discard << "";
        QTest::newRow("add entry, Save") << "add" << true << QMessageBox::Save << "New";
        QTest::newRow("add entry, Cancel") << "add" << true << QMessageBox::Cancel << "Typed";
        QTest::newRow("File > Close, Cancel") << "Close" << true << QMessageBox::Cancel << "Typed";
        QTest::newRow("File > Close, Save") << "Close" << true << QMessageBox::Save << "Typed";
        QTest::newRow("signal, not asked, not saved") << "signal" << true << QMessageBox::NoButton << "Typed";
        QTest::newRow("signal while a close asks")
            << "close, then a signal" << true << QMessageBox::NoButton << "Typed";
        QTest::newRow("open another, no edits") << "open" << false << QMessageBox::NoButton << "Wiki";
        QTest::newRow("close, no edits") << "close" << false << QMessageBox::NoButton << "Mail";
        QTest::newRow("delete another, edits kept") << "delete" << true << QMessageBox::NoButton << "Typed";
    }

    // Unsaved edits in the panel are never dropped without the user's word, except when the
    // program is told to end (a signal, the session's end).
    void unsavedEdits()
    {
        QFETCH(QString, leave);
        QFETCH(bool, edited);
        QFETCH(QMessageBox::StandardButton, answer);
        QFETCH(QString, shown);
        Window w(*store);
        w.showActive();
        w.open(QStringLiteral("Mail"));
        const QString id = w.model->entryAt(w.current()).id;
        if (edited) {
            w.widget("txtEntryTitle")->setText(QStringLiteral("Typed"));
            w.widget<QComboBox>("comboBoxCategory")->setCurrentText(QStringLiteral("General"));
        }
        if (answer != QMessageBox::NoButton)
            DialogDriver::answerMessage(kUnsaved, QStringLiteral("Save the changes to \"Typed\"?"), answer);

        const bool closing = leave.contains("close") || leave == "Close" || leave == "signal";
        bool leftOpen = false;
        if (leave == "close, then a signal")
            DialogDriver::answerWith(kUnsaved, [&w, &leftOpen](QWidget* question) {
                w.window.closeWithoutQuestions();
                // Left open, the close would wait on it for ever.
                leftOpen = question->isVisible();
                if (leftOpen)
                    static_cast<QMessageBox*>(question)->button(QMessageBox::Cancel)->click();
            });
        if (leave == "open" || leave == "Return" || leave == "category" || leave == "delete")
            w.makeCurrent(w.row(leave == "category" ? QStringLiteral("General") : QStringLiteral("Wiki")));
        if (leave == "open" || leave == "category")
            w.click("btnOpenEntry");
        else if (leave == "Return") {
            w.tree->setFocus();
            QTest::keyClick(w.tree, Qt::Key_Return);
        } else if (leave == "delete")
            w.click("btnDeleteEntry");
        else if (leave == "add")
            w.click("btnAddEntry");
        else if (leave.startsWith("close"))
            w.window.close();
        else if (leave == "Close")
            w.action("actionClose")->trigger();
        else if (leave == "signal")
            w.window.closeWithoutQuestions();

        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(!leftOpen);
        const bool cancelled = answer == QMessageBox::Cancel;
        QCOMPARE(w.window.hasClosed(), closing && !cancelled);
        const Entry* mail = w.vault.entries().findById(id);
        QVERIFY(mail);
        const bool saved = answer == QMessageBox::Save;
        QCOMPARE(mail->title, saved ? QStringLiteral("Typed") : QStringLiteral("Mail"));
        QCOMPARE(mail->category, saved ? QStringLiteral("General") : QStringLiteral("Work"));
        QCOMPARE(w.shownTitle(), shown);
        if (w.window.hasClosed()) {
            StoreState stored;
            QCOMPARE(store->store.load(stored).outcome, StoreLoadResult::Loaded);
            QCOMPARE(stored.vault.entries().findById(id)->title, mail->title);
        } else if (shown == QLatin1String("Typed")) {
            // The edits wait where they were, on their own entry's row.
            QCOMPARE(w.model->entryAt(w.current()).id, id);
            QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->currentText(), QStringLiteral("General"));
        }
    }

    void renameCategory_data()
    {
        QTest::addColumn<QString>("row");       // the tree's current row when F2 is pressed
        QTest::addColumn<QStringList>("typed"); // each name typed; "!" cancels
        QTest::addColumn<QString>("told");      // a message on the way; empty: none
        QTest::addColumn<QStringList>("names"); // afterwards
        QTest::newRow("renamed from an entry's row")
            << "Wiki" << QStringList{" Office "} << "" << QStringList{"General", "Office"};
        QTest::newRow("a name taken, then another")
            << "Work" << QStringList{"General", "Office"} << "already a category" << QStringList{"General", "Office"};
        QTest::newRow("cancelled") << "Work" << QStringList{"!"} << "" << both;
        QTest::newRow("General stays") << "General" << QStringList() << "cannot be renamed" << both;
    }

    // F2 (or the tree's context menu) renames the selected category; its entries, the open entry
    // and its open state follow, and the file gets it like any change.
    void renameCategory()
    {
        QFETCH(QString, row);
        QFETCH(QStringList, typed);
        QFETCH(QString, told);
        QFETCH(QStringList, names);
        Window w(*store);
        w.showActive();
        w.open(QStringLiteral("Mail"));
        w.tree->expand(w.proxy->mapFromSource(w.category(QStringLiteral("Work"))));
        const QString label = QStringLiteral("New name for the category \"%1\":").arg(row == "Wiki" ? "Work" : row);
        for (const QString& name : typed) {
            DialogDriver::answerInput(QStringLiteral("Rename Category"), label, name, name != QLatin1String("!"));
            if (!told.isEmpty() && name == typed.first())
                DialogDriver::answerMessage(QStringLiteral("Rename Category"), told);
        }
        if (typed.isEmpty())
            DialogDriver::answerMessage(QStringLiteral("Rename Category"), told);
        w.makeCurrent(w.row(row));
        QAction* rename = w.action("actionRenameCategory");
        QVERIFY(w.tree->actions().contains(rename));
        QCOMPARE(w.tree->contextMenuPolicy(), Qt::ActionsContextMenu);
        w.tree->setFocus();
        QTest::keyClick(w.tree, Qt::Key_F2);
        VERIFY_DIALOGS_ANSWERED();

        QCOMPARE(w.vault.categoryNames(), names);
        QCOMPARE(w.shownLines(), w.heldLines());
        const QString work = names.contains("Office") ? QStringLiteral("Office") : QStringLiteral("Work");
        QCOMPARE(w.heldLines().last(), work + QStringLiteral("|Mail|Note|Wiki"));
        QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->currentText(), work);
        QVERIFY(w.tree->isExpanded(w.proxy->mapFromSource(w.category(work))));
        w.window.close();
        StoreState stored;
        QCOMPARE(store->store.load(stored).outcome, StoreLoadResult::Loaded);
        QCOMPARE(stored.vault.categoryNames(), names);
    }

    // Which categories were open comes back after a restart, kept outside the vault file and
    // without their names.
    void openCategoriesAreKept()
    {
        for (const bool expandAll : {false, true}) {
            {
                Window w(*store);
                w.tree->collapseAll();
                if (expandAll)
                    w.click("btnExpandAll");
                else
                    w.tree->expand(w.proxy->mapFromSource(w.category(QStringLiteral("Work"))));
                w.window.close();
            }
            store->forget();
            Window again(*store);
            QVERIFY(again.tree->isExpanded(again.proxy->mapFromSource(again.category(QStringLiteral("Work")))));
            QCOMPARE(again.tree->isExpanded(again.proxy->mapFromSource(again.category(QStringLiteral("General")))),
                     expandAll);
            again.click("btnCollapseAll");
            again.window.close();
            store->forget();
        }
        Window collapsed(*store);
        QVERIFY(
            !collapsed.tree->isExpanded(collapsed.proxy->mapFromSource(collapsed.category(QStringLiteral("Work")))));
        QVERIFY(!TestVault::readFile(WindowSettings::filePath()).contains("Work"));
    }

    void newEntry_data()
    {
        QTest::addColumn<QStringList>("then"); // what the user does after Add Entry
        QTest::addColumn<bool>("kept");
        QTest::addColumn<bool>("undoable"); // Undo is on at the end
        QTest::newRow("Cancel") << QStringList{"cancel"} << false << false;
        QTest::newRow("typed, Cancel") << QStringList{"type", "cancel"} << false << false;
        QTest::newRow("Escape") << QStringList{"type", "escape"} << false << false;
        QTest::newRow("saved, Cancel") << QStringList{"type", "save", "cancel"} << true << true;
        QTest::newRow("open another, Discard") << QStringList{"open: Discard"} << false << false;
        QTest::newRow("open another, Save") << QStringList{"open: Save"} << true << true;
        QTest::newRow("close, Discard") << QStringList{"close: Discard"} << false << false;
        QTest::newRow("saved, undone") << QStringList{"type", "save", "undo"} << false << false;
        QTest::newRow("saved, undone, redone") << QStringList{"type", "save", "undo", "redo"} << true << true;
    }

    // A new entry never saved goes away when left without saving, and leaves no step behind;
    // its first save is the step that adds it.
    void newEntry()
    {
        QFETCH(QStringList, then);
        QFETCH(bool, kept);
        QFETCH(bool, undoable);
        Window w(*store);
        const QStringList before = w.snapshot();
        QSignalSpy changed(&store->state.vault, &Vault::entryAdded);
        w.showActive();
        QTest::keyClick(w.tree, Qt::Key_N, Qt::ControlModifier);
        // Nothing reaches the vault, or the saver, before the first save.
        QCOMPARE(w.snapshot(), before);
        QCOMPARE(changed.count(), 0);

        for (const QString& action : then) {
            const QString answer = action.section(QLatin1String(": "), 1);
            if (!answer.isEmpty())
                DialogDriver::answerMessage(kUnsaved, QStringLiteral("Save the new entry \"New\"?"),
                                            answer == QLatin1String("Save") ? QMessageBox::Save : QMessageBox::Discard);
            if (action == "type") {
                w.widget("txtEntryUrl")->setText(QStringLiteral("typed.example"));
            } else if (action == "cancel") {
                w.click("btnCancelEntryChanges");
            } else if (action == "save") {
                w.click("btnSaveEntry");
            } else if (action == "escape") {
                QTest::keyClick(w.widget("txtEntryUrl"), Qt::Key_Escape);
            } else if (action == "undo") {
                w.action("actionUndo")->trigger();
            } else if (action == "redo") {
                w.action("actionRedo")->trigger();
            } else if (action.startsWith("open")) {
                w.makeCurrent(w.row(QStringLiteral("Shop")));
                w.click("btnOpenEntry");
            } else if (action.startsWith("close")) {
                w.window.close();
            }
            VERIFY_DIALOGS_ANSWERED();
        }

        const QString id = changed.isEmpty() ? QString() : changed.first().at(0).value<Entry>().id;
        QCOMPARE(!id.isEmpty() && w.vault.entries().containsId(id), kept);
        QCOMPARE(w.row(QStringLiteral("New")).isValid(), kept);
        QCOMPARE(w.action("actionUndo")->isEnabled(), undoable);
        if (!kept)
            QCOMPARE(w.snapshot(), before);
        if (w.window.hasClosed()) {
            StoreState stored;
            QCOMPARE(store->store.load(stored).outcome, StoreLoadResult::Loaded);
            QCOMPARE(stored.vault.entries().containsId(id), kept);
        }
    }
};

QTEST_MAIN(TestEditing)
#include "tst_editing.moc"
