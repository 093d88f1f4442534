// The open window takes in a store changed on disk by another computer: the tree changes row by
// row, the open entry and what is typed into it stay, and a save keeps both sides' changes.
#include "app/mainwindow.h"
#include "store/payload.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "vault/treemodel.h"

#include <QtTest>
#include <QtWidgets>

namespace {

using TestVault::readFile;

using TestVault::readPayload;

} // namespace

class TestLiveMerge : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestVault::Fixture> store;

    // What another computer leaves: Mail's password changed, Shop deleted, Bank added.
    void writeAsAnotherComputer()
    {
        const Payload was = readPayload(store->store.filePath());
        EntryList entries;
        for (Entry entry : was.entries) {
            if (entry.title == QLatin1String("Shop"))
                continue;
            if (entry.title == QLatin1String("Mail")) {
                entry.password = QStringLiteral("theirs");
                entry.dateChanged = QDateTime(QDate(2026, 1, 1), QTime(12, 0));
            }
            entries.append(entry);
        }
        entries.append(TestVault::makeEntry(QStringLiteral("Bank"), QStringLiteral("General"), {}, {}, {},
                                            QStringLiteral("bank")));
        QVERIFY(
            writeStoreFile(store->store.filePath(), sealStore(encodePayload(was.preferences, was.categories, entries)))
                .ok);
    }

private slots:
    void initTestCase() { DialogDriver::install(); }

    void init()
    {
        store = std::make_unique<TestVault::Fixture>();
        QVERIFY(store->seed(
            {QStringLiteral("General"), QStringLiteral("Work")},
            {TestVault::makeEntry(QStringLiteral("Mail"), QStringLiteral("Work"), {}, {}, {}, QStringLiteral("mine")),
             TestVault::makeEntry(QStringLiteral("Wiki"), QStringLiteral("Work"), {}, {}, {}, QStringLiteral("wiki")),
             TestVault::makeEntry(QStringLiteral("Shop"), QStringLiteral("General"), {}, {}, {},
                                  QStringLiteral("shop"))}));
    }

    void cleanup()
    {
        VERIFY_DIALOGS_ANSWERED();
        store.reset();
    }

    void mergeShowsInTheOpenWindow_data()
    {
        QTest::addColumn<QString>("opened");     // the entry open in the panel
        QTest::addColumn<QString>("typedField"); // what the user is typing into it meanwhile
        QTest::addColumn<QStringList>("saved");  // the store after Save and the close
        QTest::newRow("nothing typed") << "Mail" << QString() << QStringList{"Bank/bank", "Mail/theirs", "Wiki/wiki"};
        QTest::newRow("another field typed")
            << "Mail" << QStringLiteral("txtEntryTitle") << QStringList{"Bank/bank", "Mail typed/theirs", "Wiki/wiki"};
        QTest::newRow("the same field typed")
            << "Mail" << QStringLiteral("txtEntryPassword")
            << QStringList{"Bank/bank", "Mail (changed on another computer)/theirs", "Mail/typed", "Wiki/wiki"};
        QTest::newRow("deleted there while typed here")
            << "Shop" << QStringLiteral("txtEntryTitle")
            << QStringList{"Bank/bank", "Mail/theirs", "Shop typed/shop", "Wiki/wiki"};
    }

    void mergeShowsInTheOpenWindow()
    {
        QFETCH(QString, opened);
        QFETCH(QString, typedField);
        QFETCH(QStringList, saved);
        auto window = std::make_unique<MainWindow>(store->state, store->store);
        window->show();
        auto* tree = window->findChild<QTreeView*>(QStringLiteral("treeView"));
        auto* proxy = qobject_cast<QAbstractProxyModel*>(tree->model());
        auto* model = qobject_cast<TreeModel*>(proxy->sourceModel());
        QAbstractItemModelTester tester(model, QAbstractItemModelTester::FailureReportingMode::QtTest);
        const auto row = [&](const QString& title) {
            return model->match(model->index(0, 0), Qt::DisplayRole, title, 1, Qt::MatchExactly | Qt::MatchRecursive)
                .value(0);
        };
        const auto field = [&](const char* name) { return window->findChild<QLineEdit*>(QLatin1String(name)); };
        tree->setCurrentIndex(proxy->mapFromSource(row(opened)));
        QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("btnOpenEntry")), Qt::LeftButton);
        const QString password = field("txtEntryPassword")->text();
        QLineEdit* typed = typedField.isEmpty() ? nullptr : field(qPrintable(typedField));
        if (typed)
            typed->setText(typedField == QLatin1String("txtEntryTitle") ? opened + QStringLiteral(" typed")
                                                                        : QStringLiteral("typed"));
        const QString typedText = typed ? typed->text() : QString();
        QSignalSpy reset(model, &QAbstractItemModel::modelReset);

        writeAsAnotherComputer();
        QTRY_COMPARE_WITH_TIMEOUT(
            window->statusBar()->currentMessage(),
            QStringLiteral("Merged changes from another computer: 1 added, 1 changed, 1 deleted."), 2000);
        QVERIFY(row(QStringLiteral("Bank")).isValid());
        QVERIFY(!row(QStringLiteral("Shop")).isValid());
        QCOMPARE(reset.count(), 0);
        if (opened == QLatin1String("Mail"))
            QCOMPARE(proxy->mapToSource(tree->currentIndex()), row(opened));
        if (typed) {
            // What is being typed stays, and so does the rest of the panel.
            QCOMPARE(typed->text(), typedText);
            if (typedField != QLatin1String("txtEntryPassword"))
                QCOMPARE(field("txtEntryPassword")->text(), password);
            DialogDriver::answerMessage(QStringLiteral("Notice"),
                                        opened == QLatin1String("Shop")
                                            ? QStringLiteral("deleted on another computer")
                                            : QStringLiteral("also changed on another computer"));
            QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("btnSaveEntry")), Qt::LeftButton);
            VERIFY_DIALOGS_ANSWERED();
        } else {
            QCOMPARE(field("txtEntryPassword")->text(), QStringLiteral("theirs"));
        }
        QCOMPARE(TestVault::titlesAndPasswords(store->state.vault.entries()), saved);
        window->close();
        window.reset();
        QCOMPARE(TestVault::titlesAndPasswords(readPayload(store->store.filePath()).entries), saved);
    }

    // A merge is one step of the history, named by what it did: Undo takes back all of it and
    // nothing else (a save made before it stays), Redo does it again, and both are saved.
    void mergeIsOneUndoStep()
    {
        constexpr int kWaitMs = 15000; // a save or a merge on a busy machine
        auto window = std::make_unique<MainWindow>(store->state, store->store);
        window->show();
        auto* tree = window->findChild<QTreeView*>(QStringLiteral("treeView"));
        tree->setCurrentIndex(tree->model()
                                  ->match(tree->model()->index(0, 0), Qt::DisplayRole, QStringLiteral("Wiki"), 1,
                                          Qt::MatchExactly | Qt::MatchRecursive)
                                  .value(0));
        QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("btnOpenEntry")), Qt::LeftButton);
        window->findChild<QLineEdit*>(QStringLiteral("txtEntryPassword"))->setText(QStringLiteral("saved here"));
        QTest::mouseClick(window->findChild<QPushButton*>(QStringLiteral("btnSaveEntry")), Qt::LeftButton);
        const QStringList mine{"Mail/mine", "Shop/shop", "Wiki/saved here"};
        QTRY_COMPARE_WITH_TIMEOUT(TestVault::titlesAndPasswords(readPayload(store->store.filePath()).entries), mine,
                                  kWaitMs);

        writeAsAnotherComputer();
        const QStringList merged{"Bank/bank", "Mail/theirs", "Wiki/saved here"};
        QTRY_COMPARE_WITH_TIMEOUT(TestVault::titlesAndPasswords(store->state.vault.entries()), merged, kWaitMs);
        auto* undo = window->findChild<QAction*>(QStringLiteral("actionUndo"));
        auto* redo = window->findChild<QAction*>(QStringLiteral("actionRedo"));
        QCOMPARE(undo->text(), QStringLiteral("&Undo Merge from Another Computer"));
        for (int round = 0; round < 2; ++round) {
            undo->trigger();
            QCOMPARE(TestVault::titlesAndPasswords(store->state.vault.entries()), mine);
            QTRY_COMPARE_WITH_TIMEOUT(TestVault::titlesAndPasswords(readPayload(store->store.filePath()).entries), mine,
                                      kWaitMs);
            QCOMPARE(undo->text(), QStringLiteral("&Undo Save \"Wiki\""));
            redo->trigger();
            QCOMPARE(TestVault::titlesAndPasswords(store->state.vault.entries()), merged);
            QTRY_COMPARE_WITH_TIMEOUT(TestVault::titlesAndPasswords(readPayload(store->store.filePath()).entries),
                                      merged, kWaitMs);
        }
        window->close();
    }
};

QTEST_MAIN(TestLiveMerge)
#include "tst_livemerge.moc"
