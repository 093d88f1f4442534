#include "app/mainwindow.h"
#include "prefs/generator.h"
#include "store/preferences.h"
#include "store/settingsstore.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "vault/entrylist.h"
#include "vault/randomsource.h"
#include "vault/treeitem.h"
#include "vault/treemodel.h"

#include <QAbstractItemModelTester>
#include <QAbstractProxyModel>
#include <QClipboard>
#include <QComboBox>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTreeView>
#include <QUrl>

#include <memory>

namespace {

const QString addCategoryTitle = QStringLiteral("Add Category");
const QString addCategoryLabel = QStringLiteral("Please enter the new category's name:");

// Receives what the desktop's URL handler would have opened.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> opened;

public slots:
    void open(const QUrl& url) { opened << url; }
};

// The real main window over the process-wide vault, with its tree model checked by the tester.
struct Window
{
    MainWindow window;
    QTreeView* tree = nullptr;
    QAbstractProxyModel* proxy = nullptr;
    TreeModel* model = nullptr;
    std::unique_ptr<QAbstractItemModelTester> tester;

    Window()
    {
        tree = window.findChild<QTreeView*>(QStringLiteral("treeView"));
        proxy = qobject_cast<QAbstractProxyModel*>(tree->model());
        model = qobject_cast<TreeModel*>(proxy->sourceModel());
        tester =
            std::make_unique<QAbstractItemModelTester>(model, QAbstractItemModelTester::FailureReportingMode::QtTest);
    }

    template <typename T> T* widget(const char* name) const
    {
        T* found = window.findChild<T*>(QLatin1String(name));
        if (!found)
            qFatal("no widget %s", name);
        return found;
    }

    void click(const char* button) const { QTest::mouseClick(widget<QPushButton>(button), Qt::LeftButton); }

    QModelIndex category(const QString& name) const { return model->findCategory(name); }

    // The first entry row with this title, under any category.
    QModelIndex entryRow(const QString& title) const
    {
        for (int c = 0; c < model->rowCount(); ++c) {
            const QModelIndex parent = model->index(c, 0);
            for (int r = 0; r < model->rowCount(parent); ++r) {
                const QModelIndex row = model->index(r, 0, parent);
                if (row.data().toString() == title)
                    return row;
            }
        }
        return QModelIndex();
    }

    void makeCurrent(const QModelIndex& source) const { tree->setCurrentIndex(proxy->mapFromSource(source)); }
    QModelIndex current() const { return proxy->mapToSource(tree->currentIndex()); }

    void open(const QString& title) const
    {
        makeCurrent(entryRow(title));
        click("btnOpenEntry");
    }

    QString shownTitle() const { return widget<QLineEdit>("txtEntryTitle")->text(); }
    bool panelEnabled() const { return widget<QWidget>("txtEntryTitle")->isEnabled(); }

    QStringList topLevelNames() const
    {
        QStringList names;
        for (int r = 0; r < model->rowCount(); ++r)
            names << model->index(r, 0).data().toString();
        names.sort();
        return names;
    }

    QStringList childTitles(const QString& categoryName) const
    {
        QStringList titles;
        const QModelIndex parent = category(categoryName);
        for (int r = 0; r < model->rowCount(parent); ++r)
            titles << model->index(r, 0, parent).data().toString();
        return titles;
    }
};

QStringList sorted(QStringList list)
{
    list.sort();
    return list;
}

} // namespace

class TestEditing : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir dir;

    // General holds Shop; Work holds Mail, Wiki and Note.
    void seed(const QStringList& categories = {QStringLiteral("General"), QStringLiteral("Work")})
    {
        TestVault::reset(dir.path());
        preferences.firstRun = false;
        QList<Entry> vault;
        if (categories.contains(QStringLiteral("General")))
            vault << TestVault::makeEntry(QStringLiteral("Shop"), QStringLiteral("General"), QStringLiteral("buyer"),
                                          QStringLiteral("shop.example"), QString(), QStringLiteral("s3cret"));
        for (const char* title : {"Mail", "Wiki", "Note"})
            vault << TestVault::makeEntry(QLatin1String(title), QStringLiteral("Work"));
        TestVault::add(categories, vault);
        QVERIFY(saveSettings().ok);
        // Start from what the store holds, as the window will.
        categoryNames.clear();
        entries.clear();
    }

    static const Entry* entryTitled(const QString& title)
    {
        for (const Entry& entry : entries) {
            if (entry.title == title)
                return &entry;
        }
        return nullptr;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(dir.isValid());
        DialogDriver::install();
    }

    void init() { seed(); }
    void cleanup() { VERIFY_DIALOGS_ANSWERED(); }

    void addCategory_data()
    {
        QTest::addColumn<QStringList>("typed");
        QTest::addColumn<bool>("confirmed");
        QTest::addColumn<QStringList>("expected");
        const QStringList start{QStringLiteral("General"), QStringLiteral("Work")};
        QTest::newRow("new") << QStringList{"Home"} << true << (start + QStringList{"Home"});
        QTest::newRow("existing twice") << QStringList{"Home", "Home"} << true << (start + QStringList{"Home"});
        QTest::newRow("trimmed") << QStringList{"  Home \t"} << true << (start + QStringList{"Home"});
        QTest::newRow("trimmed onto existing") << QStringList{" Work "} << true << start;
        QTest::newRow("case differs") << QStringList{"work"} << true << (start + QStringList{"work"});
        QTest::newRow("blank") << QStringList{"   "} << true << start;
        QTest::newRow("empty") << QStringList{""} << true << start;
        QTest::newRow("cancelled") << QStringList{"Home"} << false << start;
    }

    void addCategory()
    {
        QFETCH(QStringList, typed);
        QFETCH(bool, confirmed);
        QFETCH(QStringList, expected);
        Window w;
        w.open(QStringLiteral("Mail"));
        const QModelIndex mail = w.current();
        // An unsaved edit: every outcome refreshes the panel and so drops it.
        w.widget<QLineEdit>("txtEntryTitle")->setText(QStringLiteral("edited"));
        QSignalSpy inserted(w.model, &QAbstractItemModel::rowsInserted);

        for (const QString& text : typed) {
            DialogDriver::answerInput(addCategoryTitle, addCategoryLabel, text, confirmed);
            w.click("btnAddCategory");
            VERIFY_DIALOGS_ANSWERED();
        }

        QCOMPARE(categoryNames, sorted(expected));
        QCOMPARE(w.topLevelNames(), sorted(expected));
        QCOMPARE(inserted.count(), expected.size() - 2);
        for (const QList<QVariant>& signal : std::as_const(inserted))
            QVERIFY(!signal.at(0).value<QModelIndex>().isValid());
        QCOMPARE(w.current(), mail);
        QCOMPARE(w.shownTitle(), QStringLiteral("Mail"));
    }

    void addEntry()
    {
        Window w;
        QSignalSpy inserted(w.model, &QAbstractItemModel::rowsInserted);
        const qsizetype before = entries.size();
        const QDateTime earliest = QDateTime::currentDateTime().addSecs(-1);

        w.click("btnAddEntry");

        QCOMPARE(entries.size(), before + 1);
        const Entry added = entries.last();
        QCOMPARE(added.title, QStringLiteral("New"));
        QCOMPARE(added.category, QStringLiteral("General"));
        QCOMPARE(added.id.size(), 30);
        QVERIFY(added.dateCreated >= earliest && added.dateCreated <= QDateTime::currentDateTime());
        QCOMPARE(added.dateChanged, added.dateCreated);

        const QModelIndex general = w.category(QStringLiteral("General"));
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(inserted.first().at(0).value<QModelIndex>(), general);
        QCOMPARE(inserted.first().at(1).toInt(), 1);
        QCOMPARE(w.current(), w.model->index(1, 0, general));
        QCOMPARE(w.model->entryAt(w.current()).id, added.id);
        QVERIFY(w.tree->isExpanded(w.proxy->mapFromSource(general)));

        QVERIFY(w.panelEnabled());
        QCOMPARE(w.shownTitle(), QStringLiteral("New"));
        QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->currentText(), QStringLiteral("General"));
        QCOMPARE(w.widget<QLabel>("lblDateCreated")->text(), added.dateCreated.toString(Qt::TextDate));
        QCOMPARE(w.widget<QLabel>("lblDateChanged")->text(), added.dateChanged.toString(Qt::TextDate));
    }

    void addEntryWithoutGeneral()
    {
        seed({QStringLiteral("Work")});
        Window w;
        QCOMPARE(categoryNames, QStringList{QStringLiteral("Work")});

        w.click("btnAddEntry");

        QCOMPARE(categoryNames, QStringList({QStringLiteral("General"), QStringLiteral("Work")}));
        QCOMPARE(w.childTitles(QStringLiteral("General")), QStringList{QStringLiteral("New")});
        QCOMPARE(w.current(), w.model->index(0, 0, w.category(QStringLiteral("General"))));
        QCOMPARE(w.shownTitle(), QStringLiteral("New"));
        QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->currentText(), QStringLiteral("General"));
    }

    void saveWithoutChanges()
    {
        Window w;
        w.open(QStringLiteral("Shop"));
        const Entry before = *entryTitled(QStringLiteral("Shop"));
        const QDateTime earliest = QDateTime::currentDateTime().addSecs(-1);

        w.click("btnSaveEntry");

        const Entry after = *entryTitled(QStringLiteral("Shop"));
        QCOMPARE(after.id, before.id);
        QCOMPARE(after.title, before.title);
        QCOMPARE(after.category, before.category);
        QCOMPARE(after.url, before.url);
        QCOMPARE(after.account, before.account);
        QCOMPARE(after.password, before.password);
        QCOMPARE(after.notes, before.notes);
        QCOMPARE(after.dateCreated, before.dateCreated);
        QVERIFY(after.dateChanged >= earliest);
        // The tree row carries the same record as the list.
        const Entry row = w.model->entryAt(w.current());
        QCOMPARE(row.id, before.id);
        QCOMPARE(row.dateChanged, after.dateChanged);
        QCOMPARE(w.widget<QLabel>("lblDateChanged")->text(), after.dateChanged.toString(Qt::TextDate));
    }

    void saveEditsAndMove_data()
    {
        QTest::addColumn<QString>("category");
        QTest::newRow("same category") << "Work";
        QTest::newRow("other category") << "General";
    }

    void saveEditsAndMove()
    {
        QFETCH(QString, category);
        Window w;
        w.open(QStringLiteral("Wiki"));
        const QString id = w.model->entryAt(w.current()).id;
        QSignalSpy removed(w.model, &QAbstractItemModel::rowsRemoved);
        QSignalSpy inserted(w.model, &QAbstractItemModel::rowsInserted);

        // "Alpha" sorts first, so the proxy order differs from the row order.
        w.widget<QLineEdit>("txtEntryTitle")->setText(QStringLiteral("Alpha"));
        w.widget<QLineEdit>("txtEntryUrl")->setText(QStringLiteral(" wiki.example "));
        w.widget<QLineEdit>("txtEntryAccount")->setText(QString());
        w.widget<QLineEdit>("txtEntryPassword")->setText(QStringLiteral("pw"));
        w.widget<QPlainTextEdit>("txtEntryNotes")->setPlainText(QStringLiteral("line 1\nline 2"));
        w.widget<QComboBox>("comboBoxCategory")->setCurrentText(category);
        w.click("btnSaveEntry");

        const Entry* stored = entries.findById(id);
        QVERIFY(stored);
        QCOMPARE(stored->title, QStringLiteral("Alpha"));
        QCOMPARE(stored->url, QStringLiteral(" wiki.example "));
        QCOMPARE(stored->account, QString());
        QCOMPARE(stored->password, QStringLiteral("pw"));
        QCOMPARE(stored->notes, QStringLiteral("line 1\nline 2"));
        QCOMPARE(stored->category, category);

        const bool moved = category != QLatin1String("Work");
        QCOMPARE(removed.count(), moved ? 1 : 0);
        QCOMPARE(inserted.count(), moved ? 1 : 0);
        const QModelIndex parent = w.category(category);
        const QModelIndex row = w.current();
        QCOMPARE(row.parent(), parent);
        if (moved) {
            QCOMPARE(inserted.first().at(0).value<QModelIndex>(), parent);
            QCOMPARE(row.row(), w.model->rowCount(parent) - 1);
            QCOMPARE(w.childTitles(QStringLiteral("Work")), QStringList({"Mail", "Note"}));
        }
        QCOMPARE(w.model->entryAt(row).title, QStringLiteral("Alpha"));
        QCOMPARE(w.model->entryAt(row).category, category);
        QCOMPARE(w.tree->currentIndex().row(), 0); // first in its category once sorted
        QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->currentText(), category);
        QCOMPARE(w.shownTitle(), QStringLiteral("Alpha"));
    }

    void deleteCategory_data()
    {
        QTest::addColumn<QString>("shown");
        QTest::newRow("current entry inside") << "Wiki";
        QTest::newRow("current entry elsewhere") << "Shop";
    }

    void deleteCategory()
    {
        QFETCH(QString, shown);
        Window w;
        w.open(shown);
        QSignalSpy removed(w.model, &QAbstractItemModel::rowsRemoved);
        w.makeCurrent(w.category(QStringLiteral("Work")));

        w.click("btnDeleteEntry");

        QCOMPARE(removed.count(), 1);
        QCOMPARE(categoryNames, QStringList{QStringLiteral("General")});
        QCOMPARE(w.topLevelNames(), QStringList{QStringLiteral("General")});
        QCOMPARE(entries.size(), 1);
        QCOMPARE(entries.first().title, QStringLiteral("Shop"));
        const bool cleared = shown == QLatin1String("Wiki");
        QCOMPARE(w.panelEnabled(), !cleared);
        QCOMPARE(w.shownTitle(), cleared ? QString() : shown);
        QCOMPARE(w.current().isValid(), !cleared);
    }

    void deleteDoesNothing_data()
    {
        QTest::addColumn<bool>("selectGeneral");
        QTest::newRow("General") << true;
        QTest::newRow("no current row") << false;
    }

    void deleteDoesNothing()
    {
        QFETCH(bool, selectGeneral);
        Window w;
        w.open(QStringLiteral("Shop"));
        w.makeCurrent(selectGeneral ? w.category(QStringLiteral("General")) : QModelIndex());
        const QModelIndex before = w.current();
        QSignalSpy removed(w.model, &QAbstractItemModel::rowsRemoved);

        w.click("btnDeleteEntry");

        QCOMPARE(removed.count(), 0);
        QCOMPARE(categoryNames, QStringList({QStringLiteral("General"), QStringLiteral("Work")}));
        QCOMPARE(entries.size(), 4);
        QCOMPARE(w.current(), before); // not even re-selected
        QCOMPARE(w.shownTitle(), QStringLiteral("Shop"));
    }

    void deleteEntry_data()
    {
        QTest::addColumn<QString>("shown");
        QTest::newRow("another entry") << "Shop";
        QTest::newRow("the current entry") << "Mail";
    }

    void deleteEntry()
    {
        QFETCH(QString, shown);
        Window w;
        w.open(shown);
        const QString id = entryTitled(QStringLiteral("Mail"))->id;
        w.makeCurrent(w.entryRow(QStringLiteral("Mail")));
        QSignalSpy removed(w.model, &QAbstractItemModel::rowsRemoved);

        w.click("btnDeleteEntry");

        QCOMPARE(removed.count(), 1);
        QVERIFY(!entries.containsId(id));
        QCOMPARE(entries.size(), 3);
        QCOMPARE(w.childTitles(QStringLiteral("Work")), QStringList({"Wiki", "Note"}));
        const bool cleared = shown == QLatin1String("Mail");
        QCOMPARE(w.shownTitle(), cleared ? QString() : shown);
        QCOMPARE(w.panelEnabled(), !cleared);
        if (!cleared)
            QCOMPARE(w.current(), w.entryRow(shown));
    }

    void openCategoryRow()
    {
        Window w;
        w.open(QStringLiteral("Mail"));
        QVERIFY(w.panelEnabled());
        w.makeCurrent(w.category(QStringLiteral("Work")));

        w.click("btnOpenEntry");

        QVERIFY(!w.panelEnabled());
        QCOMPARE(w.shownTitle(), QString());
        QCOMPARE(w.widget<QComboBox>("comboBoxCategory")->count(), 0);
        QVERIFY(!w.tree->currentIndex().isValid());
    }

    void copyToClipboard_data()
    {
        QTest::addColumn<QByteArray>("button");
        QTest::addColumn<QByteArray>("field");
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("copied");
        QTest::newRow("password while masked")
            << QByteArray("btnCopyPassword") << QByteArray("txtEntryPassword") << QString() << "s3cret";
        QTest::newRow("unsaved password")
            << QByteArray("btnCopyPassword") << QByteArray("txtEntryPassword") << " new pass "
            << " new pass ";
        QTest::newRow("account") << QByteArray("btnCopyAccount") << QByteArray("txtEntryAccount") << QString()
                                 << "buyer";
        QTest::newRow("url") << QByteArray("btnCopyUrl") << QByteArray("txtEntryUrl") << QString() << "shop.example";
    }

    void copyToClipboard()
    {
        QFETCH(QByteArray, button);
        QFETCH(QByteArray, field);
        QFETCH(QString, typed);
        QFETCH(QString, copied);
        Window w;
        w.open(QStringLiteral("Shop"));
        auto* edit = w.widget<QLineEdit>(field.constData());
        QCOMPARE(w.widget<QLineEdit>("txtEntryPassword")->echoMode(), QLineEdit::Password);
        if (!typed.isNull())
            edit->setText(typed);
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));

        w.click(button.constData());

        QCOMPARE(QGuiApplication::clipboard()->text(QClipboard::Clipboard), copied);
    }

    void visit_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("opens");
        QTest::newRow("empty") << "" << false;
        QTest::newRow("blanks") << " \t  " << false;
        QTest::newRow("with scheme") << "https://example.com/login?a=1" << true;
        QTest::newRow("without scheme") << "example.com/login" << true;
        QTest::newRow("untrimmed") << " example.com " << true;
    }

    void visit()
    {
        QFETCH(QString, text);
        QFETCH(bool, opens);
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler(QString(), &catcher, "open");
        QDesktopServices::setUrlHandler(QStringLiteral("https"), &catcher, "open");
        {
            Window w;
            w.open(QStringLiteral("Shop"));
            w.widget<QLineEdit>("txtEntryUrl")->setText(text);
            w.click("btnVisitUrl");
        }
        QDesktopServices::unsetUrlHandler(QString());
        QDesktopServices::unsetUrlHandler(QStringLiteral("https"));

        QCOMPARE(catcher.opened.size(), opens ? 1 : 0);
        if (opens) {
            QCOMPARE(catcher.opened.first(), QUrl(text));
            QCOMPARE(catcher.opened.first().toString(), text);
        }
    }

    void generate_data()
    {
        QTest::addColumn<int>("minLength");
        QTest::addColumn<int>("maxLength");
        QTest::addColumn<bool>("mixedCase");
        QTest::addColumn<bool>("alphanumeric");
        QTest::addColumn<bool>("specialChars");
        QTest::newRow("defaults") << 10 << 12 << true << true << true;
        QTest::newRow("upper case only") << 30 << 30 << true << false << false;
        QTest::newRow("digits only") << 30 << 30 << false << true << false;
        QTest::newRow("special only") << 1 << 99 << false << false << true;
    }

    void generate()
    {
        QFETCH(int, minLength);
        QFETCH(int, maxLength);
        QFETCH(bool, mixedCase);
        QFETCH(bool, alphanumeric);
        QFETCH(bool, specialChars);
        Window w;
        w.open(QStringLiteral("Shop"));
        preferences.genMinLength = minLength;
        preferences.genMaxLength = maxLength;
        preferences.genMixedCase = mixedCase;
        preferences.genAlphanum = alphanumeric;
        preferences.genSpecialChars = specialChars;

        // The same seed must give what the generator gives for this policy, argument for argument.
        RandomSource::useSeed(2024);
        const QString expected = generatePassword(minLength, maxLength, mixedCase, alphanumeric, specialChars);
        RandomSource::useSeed(2024);
        w.click("btnGeneratePassword");

        QCOMPARE(w.widget<QLineEdit>("txtEntryPassword")->text(), expected);
        QCOMPARE(entryTitled(QStringLiteral("Shop"))->password, QStringLiteral("s3cret"));
    }
};

QTEST_MAIN(TestEditing)
#include "tst_editing.moc"
