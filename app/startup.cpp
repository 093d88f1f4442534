#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "prefs/masterpassword.h"
#include "prefs/passwordresetdialog.h"
#include "store/settingsstore.h"
#include "store/storestate.h"
#include "vault/filtermodel.h"
#include "vault/treemodel.h"

#include <QDebug>
#include <QInputDialog>
#include <QKeySequence>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>

bool MainWindow::loadStore()
{
    if (!store.isLocked()) {
        const SettingsStore::LockResult lock = store.lock();
        if (!lock.locked) {
            // Also for a terminal: a copy started from a script would otherwise wait unseen.
            qWarning().noquote() << lock.message;
            QMessageBox::warning(this, tr("Notice"), lock.message);
            exitCodeAtStartup = 1;
            return false;
        }
    }

    const StoreLoadResult result = store.load(state);
    loadedSnapshot = snapshotOf(state);
    loadedFingerprint = result.fingerprint;
    switch (result.outcome) {
    case StoreLoadResult::Unreadable: {
        // Never replace a store we could not read without the user's word.
        QMessageBox box(QMessageBox::Warning, tr("Notice"), result.message, QMessageBox::NoButton, this);
        box.setInformativeText(tr("Start with an empty vault? The unreadable file will be "
                                  "replaced by it."));
        QPushButton* startEmpty = box.addButton(tr("Start Empty"), QMessageBox::AcceptRole);
        QPushButton* quit = box.addButton(tr("Quit"), QMessageBox::RejectRole);
        box.setDefaultButton(quit);
        box.exec();
        if (box.clickedButton() == startEmpty)
            return true;
        exitCodeAtStartup = 1;
        return false;
    }
    case StoreLoadResult::NotOpened:
        // A protected store left unopened: the program ends and writes nothing.
        if (!result.message.isEmpty()) {
            qWarning().noquote() << result.message;
            QMessageBox::warning(this, tr("Notice"), result.message);
        }
        exitCodeAtStartup = result.message.isEmpty() ? 0 : 1;
        return false;
    case StoreLoadResult::Damaged:
    case StoreLoadResult::Created:
    case StoreLoadResult::Migrated:
    case StoreLoadResult::Loaded:
        if (!result.message.isEmpty())
            QMessageBox::warning(this, tr("Notice"), result.message);
        return true;
    }
    return true;
}

void MainWindow::createSessionObjects()
{
    QString keys = QStringLiteral("Ctrl");
    for (QChar letter : {u'M', u'O', u'S', u'S', u'Y'})
        keys += QLatin1Char('+') + letter;
    hiddenShortcut = new QShortcut(QKeySequence(keys), this, nullptr, nullptr, Qt::WindowShortcut);
    connect(hiddenShortcut, &QShortcut::activated, this, &MainWindow::cegg_action);

    // Shown at once, so that a tray that appears later (autostart before the panel) still
    // gets it; it opens the window only once the login has passed.
    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/files/logo")), this);
    trayIcon->setVisible(true);

    treeModel = new TreeModel(state.vault, this);
    filterModel = new FilterModel(state.vault, this);
    filterModel->setDynamicSortFilter(true);
    filterModel->setSourceModel(treeModel);
    filterModel->setFilterCaseSensitivity(Qt::CaseInsensitive);
    filterModel->setFilterKeyColumn(0);
    filterModel->setFilterFixedString(form->txtSearch->text());
    form->treeView->setModel(filterModel);

    currentEntry = new Entry(Entry::NoId);
    currentEntry->id = QStringLiteral("0");

    passwordVisibilityButton = new QPushButton(tr("Password visibility: "), this);
    QFont font = passwordVisibilityButton->font();
    font.setWeight(QFont::Bold);
    passwordVisibilityButton->setFont(font);
    passwordVisibilityButton->setFlat(true);
    passwordVisibilityButton->setToolTip(tr("Click to change the current entry's password visibility."));
    connect(passwordVisibilityButton, &QPushButton::clicked, this, &MainWindow::catchPasswordVisibilityButton);
    statusBar()->addWidget(passwordVisibilityButton, 0);

    createShortcuts();
    createCategoryActions();
    createLockObjects();
    createOneTimeCodeObjects();
    createAutoTypeObjects();
}

void MainWindow::initializeWindow()
{
    bool wiped = false;
    // A login that reaches the attempt limit wipes the vault and goes round again as a first run.
    for (;;) {
        // After a wipe the vault in memory is the one to keep: if saving it failed, the file
        // still holds the old vault, which must not come back.
        if (!wiped && !loadStore()) {
            startupCompleted = false;
            return;
        }

        if (state.vault.categoryNames().isEmpty())
            state.vault.addCategory(Vault::generalCategory());

        if (state.preferences.firstRun) {
            QMessageBox::information(this, tr("Notice"),
                                     tr("It looks like this is the first time Vaultry is being run.  If you are "
                                        "unfamiliar with the application, please take a look at the help "
                                        "information available under the \"Help\" menu item."));
            state.preferences.firstRun = false;
        }

        currentEntry->id = QStringLiteral("0");

        // A protected store asked for the master password before it was read, and no count of
        // attempts deletes it: the file is worthless without the password.
        const LoginOutcome outcome = store.isProtected() ? LoginOutcome::Passed : runLogin();
        if (outcome == LoginOutcome::Cancelled) {
            // Nothing is counted, saved or wiped: the program just ends.
            startupCompleted = false;
            exitCodeAtStartup = 0;
            return;
        }
        if (outcome == LoginOutcome::Passed)
            break;

        // Limit reached: the vault and its preferences (the master password among them) are
        // deleted and saved so at once, the user is told, and Vaultry goes on as at a first run.
        const int limit = state.preferences.maxLoginAttempts;
        state.vault.clear();
        state.preferences = Preferences();
        saveStore(tr("Continue"));
        wiped = true;
        QMessageBox::warning(this, tr("Vault Deleted"),
                             tr("The master password was entered wrongly %1 times, the attempt limit: the vault "
                                "was deleted.\nVaultry now starts as on its first run, with an empty vault.")
                                 .arg(limit));
    }

    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::manageSysTray, Qt::UniqueConnection);
}

MainWindow::LoginOutcome MainWindow::runLogin()
{
    Preferences& preferences = state.preferences;
    const int limit = preferences.maxLoginAttempts;
    if (limit <= 0)
        return LoginOutcome::Passed;

    // A limit without a password (set so in another copy): the password is chosen now, twice.
    if (preferences.masterPasswordHash.isEmpty()) {
        PasswordResetDialog choose(preferences, this, PasswordResetDialog::Mode::Choose);
        return choose.exec() == QDialog::Accepted ? LoginOutcome::Passed : LoginOutcome::Cancelled;
    }
    for (int attempts = 0; attempts < limit; ++attempts) {
        QString label = tr("Please enter the master password:");
        // Only a wrong password gets here again: a cancel ends the login.
        if (attempts > 0) {
            const int left = limit - attempts;
            label = (left == 1 ? tr("Wrong password. 1 attempt left; after that the vault is deleted.")
                               : tr("Wrong password. %1 attempts left; after that the vault is deleted.").arg(left)) +
                    QLatin1Char('\n') + label;
        }
        bool confirmed = false;
        const QString text = QInputDialog::getText(this, tr("Master Application Password"), label, QLineEdit::Password,
                                                   QString(), &confirmed);
        if (!confirmed)
            return LoginOutcome::Cancelled;
        if (hashMasterPassword(text) == preferences.masterPasswordHash)
            return LoginOutcome::Passed;
    }
    return LoginOutcome::LimitReached;
}
