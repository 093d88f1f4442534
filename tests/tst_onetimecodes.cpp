#include "app/clipboardguard.h"
#include "app/mainwindow.h"
#include "store/localsettings.h"
#include "support/dialogdriver.h"
#include "support/testvault.h"
#include "vault/totp.h"

#include <QAction>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QDialog>
#include <QDialogButtonBox>
#include <QGuiApplication>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QTreeView>

namespace {

const QString kSecretLine = QStringLiteral("TOTP: otpauth://totp/Mail:me?secret=JBSWY3DPEHPK3PXPJBSWY3DP&digits=8");

template <typename T> T* child(const QObject& parent, const char* name)
{
    T* found = parent.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no child %s", name);
    return found;
}

void openEntry(MainWindow& window, const QString& title)
{
    auto* tree = child<QTreeView>(window, "treeView");
    const QModelIndexList found = tree->model()->match(tree->model()->index(0, 0), Qt::DisplayRole, title, 1,
                                                       Qt::MatchExactly | Qt::MatchRecursive);
    QVERIFY2(!found.isEmpty(), qPrintable(title));
    tree->setCurrentIndex(found.first());
    QTest::mouseClick(child<QPushButton>(window, "btnOpenEntry"), Qt::LeftButton);
}

// The codes the secret in `notes` gives from a second ago to now: the panel shows one of them.
QStringList recentCodes(const QString& notes)
{
    const std::optional<TotpSecret> secret = totpSecretInNotes(notes);
    if (!secret)
        return {};
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    return {totpCode(*secret, now - 1), totpCode(*secret, now)};
}

QString shownCode(const MainWindow& window)
{
    return child<QLabel>(window, "lblTotpCode")->text().remove(QLatin1Char(' '));
}

} // namespace

// The details panel's one-time codes, their set-up dialog and the auto-type command and settings,
// in the real window.
class TestOneTimeCodes : public QObject
{
    Q_OBJECT

    std::unique_ptr<TestVault::Fixture> store;

    std::unique_ptr<MainWindow> openWindow()
    {
        store = std::make_unique<TestVault::Fixture>();
        const auto entry = [](const QString& title, const QString& notes) {
            return TestVault::makeEntry(title, QStringLiteral("General"), QStringLiteral("me"), QString(), notes,
                                        QStringLiteral("pw"));
        };
        [&] {
            QVERIFY(store->seed({QStringLiteral("General")}, {entry(QStringLiteral("Mail"), "hello\n" + kSecretLine),
                                                              entry(QStringLiteral("Bank"), QStringLiteral("notes"))}));
        }();
        return std::make_unique<MainWindow>(store->state, store->store);
    }

private slots:
    void initTestCase() { DialogDriver::install(); }
    void init() { TestVault::prepare(); }

    // An entry with a secret shows its code, counting down, and copies it as a password is copied;
    // one without shows no code.
    void showsAndCopiesCode()
    {
        auto window = openWindow();
        openEntry(*window, QStringLiteral("Mail"));
        QVERIFY(!child<QLabel>(*window, "lblTotpCode")->isHidden());
        const QString notes = child<QPlainTextEdit>(*window, "txtEntryNotes")->toPlainText();
        QVERIFY(recentCodes(notes).contains(shownCode(*window)));
        QCOMPARE(shownCode(*window).size(), 8);
        QVERIFY(!child<QLabel>(*window, "lblTotpSecondsLeft")->text().isEmpty());
        // Refreshed each second.
        child<QLabel>(*window, "lblTotpCode")->clear();
        QTRY_VERIFY_WITH_TIMEOUT(recentCodes(notes).contains(shownCode(*window)), 2500);

        QTest::mouseClick(child<QPushButton>(*window, "btnCopyTotp"), Qt::LeftButton);
        QVERIFY(recentCodes(notes).contains(QGuiApplication::clipboard()->text()));
        QVERIFY(window->findChild<ClipboardGuard*>()->isPending());

        openEntry(*window, QStringLiteral("Bank"));
        QVERIFY(child<QLabel>(*window, "lblTotpCode")->isHidden());
        QVERIFY(child<QPushButton>(*window, "btnCopyTotp")->isHidden());
        VERIFY_DIALOGS_ANSWERED();
    }

    // The set-up dialog refuses what is no secret, takes a bare one with the chosen digits, shows its
    // QR code, and writes the otpauth line into the notes as a saved edit that Undo takes back.
    void setsUpCodes()
    {
        auto window = openWindow();
        openEntry(*window, QStringLiteral("Bank"));
        bool qrShown = false;
        DialogDriver::answerWith(QStringLiteral("Set Up One-Time Codes"), [&qrShown](QWidget* dialog) {
            auto* secret = child<QLineEdit>(*dialog, "txtSecret");
            auto* ok = child<QDialogButtonBox>(*dialog, "buttonBox")->button(QDialogButtonBox::Ok);
            QTest::keyClicks(secret, QStringLiteral("not a secret"));
            const bool refused = !ok->isEnabled() && !child<QLabel>(*dialog, "lblStatus")->text().isEmpty();
            secret->clear();
            QTest::keyClicks(secret, QStringLiteral("gezd gnbv gy3t qojq gezd gnbv gy3t qojq"));
            child<QSpinBox>(*dialog, "numDigits")->setValue(7);
            child<QComboBox>(*dialog, "comboAlgorithm")->setCurrentIndex(2);
            QTest::mouseClick(child<QPushButton>(*dialog, "btnShowQrCode"), Qt::LeftButton);
            const QLabel* qr = child<QLabel>(*dialog, "lblQrCode");
            qrShown = refused && qr->isVisible() && qr->pixmap().width() > 100;
            // Return after the QR button is OK, not the QR button again.
            QTest::keyClick(child<QPushButton>(*dialog, "btnShowQrCode"), Qt::Key_Return);
        });
        QTest::mouseClick(child<QPushButton>(*window, "btnSetUpTotp"), Qt::LeftButton);
        VERIFY_DIALOGS_ANSWERED();
        QVERIFY(qrShown);

        const Entry* saved = nullptr;
        for (const Entry& entry : store->state.vault.entries()) {
            if (entry.title == QLatin1String("Bank"))
                saved = &entry;
        }
        QVERIFY(saved);
        QVERIFY(saved->notes.startsWith(
            QLatin1String("notes\notpauth://totp/Bank:me?secret=GEZDGNBVGY3TQOJQGEZDGNBVGY3TQOJQ")));
        const std::optional<TotpSecret> secret = totpSecretInNotes(saved->notes);
        QVERIFY(secret);
        QCOMPARE(secret->digits, 7);
        QCOMPARE(secret->algorithm, TotpSecret::Algorithm::Sha512);
        QVERIFY(recentCodes(saved->notes).contains(shownCode(*window)));

        child<QAction>(*window, "actionUndo")->trigger();
        for (const Entry& entry : store->state.vault.entries()) {
            if (entry.title == QLatin1String("Bank"))
                QCOMPARE(entry.notes, QStringLiteral("notes"));
        }
        QTRY_VERIFY(child<QLabel>(*window, "lblTotpCode")->isHidden());
    }

    // Without X11 (offscreen, or Wayland) Perform Auto-Type says why it cannot type, and types nothing.
    void autoTypeSaysWhyNot()
    {
        auto window = openWindow();
        QVERIFY(!child<QAction>(*window, "actionPerformAutoType")->isEnabled());
        openEntry(*window, QStringLiteral("Mail"));
        QVERIFY(child<QAction>(*window, "actionPerformAutoType")->isEnabled());
        qputenv("WAYLAND_DISPLAY", "wayland-test");
        DialogDriver::answerMessage(QStringLiteral("Auto-Type"), QStringLiteral("not available on Wayland"));
        child<QAction>(*window, "actionPerformAutoType")->trigger();
        qunsetenv("WAYLAND_DISPLAY");
        VERIFY_DIALOGS_ANSWERED();
        QCOMPARE(child<QAction>(*window, "actionPerformAutoType")->shortcut(),
                 QKeySequence(QStringLiteral("Ctrl+Shift+V")));
    }

    // The global shortcut is chosen in the settings' auto-type group and kept in this computer's
    // settings file; cleared, there is none.
    void shortcutInSettings()
    {
        auto window = openWindow();
        QCOMPARE(loadLocalSettings(store->dir.path()).autoTypeShortcut, QStringLiteral("Ctrl+Alt+A"));
        for (const QString& wanted : {QStringLiteral("Ctrl+Alt+K"), QString()}) {
            DialogDriver::answerWith(QStringLiteral("Vaultry Settings"), [&wanted](QWidget* dialog) {
                auto* keys = child<QKeySequenceEdit>(*dialog, "keyAutoTypeShortcut");
                if (wanted.isEmpty())
                    QTest::mouseClick(child<QWidget>(*dialog, "btnClearAutoTypeShortcut"), Qt::LeftButton);
                else
                    keys->setKeySequence(QKeySequence(wanted));
                QTest::mouseClick(child<QDialogButtonBox>(*dialog, "buttonBox")->button(QDialogButtonBox::Ok),
                                  Qt::LeftButton);
            });
            child<QAction>(*window, "action_Settings")->trigger();
            VERIFY_DIALOGS_ANSWERED();
            QCOMPARE(loadLocalSettings(store->dir.path()).autoTypeShortcut, wanted);
        }
    }
};

QTEST_MAIN(TestOneTimeCodes)
#include "tst_onetimecodes.moc"
