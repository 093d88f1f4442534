#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "prefs/masterpassword.h"
#include "store/preferences.h"
#include "store/settingsstore.h"
#include "vault/entrylist.h"
#include "vault/filtermodel.h"
#include "vault/treemodel.h"

#include <QInputDialog>
#include <QKeySequence>
#include <QMessageBox>
#include <QPushButton>
#include <QShortcut>
#include <QStatusBar>

bool MainWindow::loadStore()
{
    const StoreLoadResult result = loadSettings();
    switch (result.outcome) {
    case StoreLoadResult::Unreadable: {
        // Never replace a store we could not read without the user's word.
        QMessageBox box(QMessageBox::Warning, tr("Notice"), result.message, QMessageBox::NoButton, this);
        box.setInformativeText(tr("Start with an empty vault? The unreadable file will be replaced when "
                                  "Vaultry closes."));
        QPushButton* startEmpty = box.addButton(tr("Start Empty"), QMessageBox::AcceptRole);
        QPushButton* quit = box.addButton(tr("Quit"), QMessageBox::RejectRole);
        box.setDefaultButton(quit);
        box.exec();
        return box.clickedButton() == startEmpty;
    }
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

void MainWindow::initializeWindow()
{
    if (!loadStore()) {
        startupCompleted = false;
        return;
    }

    // A second run (after the attempt limit) replaces the objects of the first one.
    delete hiddenShortcut;
    QString keys = QStringLiteral("Ctrl");
    for (QChar letter : {u'M', u'O', u'S', u'S', u'Y'})
        keys += QLatin1Char('+') + letter;
    hiddenShortcut = new QShortcut(QKeySequence(keys), this, nullptr, nullptr, Qt::WindowShortcut);
    connect(hiddenShortcut, &QShortcut::activated, this, &MainWindow::cegg_action);

    if (categoryNames.isEmpty())
        categoryNames.append(QStringLiteral("General"));

    if (preferences.firstRun) {
        QMessageBox::information(this, tr("Notice"),
                                 tr("It looks like this is the first time Vaultry is being run.  If you are "
                                    "unfamiliar with the application, please take a look at the help information "
                                    "available under the \"Help\" menu item."));
        preferences.firstRun = false;
    }

    delete trayIcon;
    trayIcon = new QSystemTrayIcon(QIcon(QStringLiteral(":/files/logo")), this);
    connect(trayIcon, &QSystemTrayIcon::activated, this, &MainWindow::manageSysTray);
    if (QSystemTrayIcon::isSystemTrayAvailable())
        trayIcon->setVisible(true);

    TreeModel* oldTreeModel = treeModel;
    FilterModel* oldFilterModel = filterModel;
    treeModel = new TreeModel(this);
    filterModel = new FilterModel(this);
    filterModel->setDynamicSortFilter(true);
    filterModel->setSourceModel(treeModel);
    filterModel->setFilterCaseSensitivity(Qt::CaseInsensitive);
    filterModel->setFilterKeyColumn(0);
    filterModel->setFilterFixedString(form->txtSearch->text());
    form->treeView->setModel(filterModel);
    delete oldFilterModel;
    delete oldTreeModel;

    delete currentEntry;
    currentEntry = new Entry(Entry::NoId);
    currentEntry->id = QStringLiteral("0");

    delete passwordVisibilityButton;
    passwordVisibilityButton = new QPushButton(tr("Password visibility: "), this);
    QFont font = passwordVisibilityButton->font();
    font.setWeight(QFont::Bold);
    passwordVisibilityButton->setFont(font);
    passwordVisibilityButton->setFlat(true);
    passwordVisibilityButton->setToolTip(tr("Click to change the current entry's password visibility."));
    connect(passwordVisibilityButton, &QPushButton::clicked, this, &MainWindow::catchPasswordVisibilityButton);
    statusBar()->addWidget(passwordVisibilityButton, 0);

    runLogin();
}

void MainWindow::runLogin()
{
    const int limit = preferences.maxLoginAttempts;
    if (limit <= 0)
        return;

    for (int attempts = 0; attempts < limit; ++attempts) {
        const bool firstTime = preferences.masterPasswordHash.isEmpty();
        const QString label = firstTime ? tr("Please enter a master password you wish to use for this application.\n"
                                             "Make sure you remember this password, it will not be shown again!")
                                        : tr("Please enter the master password:");
        bool confirmed = false;
        const QString text = QInputDialog::getText(this, tr("Master Application Password"), label, QLineEdit::Normal,
                                                   QString(), &confirmed);
        if (!confirmed)
            continue;
        if (firstTime) {
            preferences.masterPasswordHash = hashMasterPassword(text);
            return;
        }
        if (hashMasterPassword(text) == preferences.masterPasswordHash)
            return;
    }

    // Limit reached: the vault is deleted, saved empty, and the window locked.
    categoryNames.clear();
    entries.clear();
    saveStore(tr("Continue"));
    initializeWindow();
    setEnabled(false);
    QMessageBox::information(this, tr("Notice"), tr("Master Password attempt limit reached."));
}
