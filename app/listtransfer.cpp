#include "app/mainwindow.h"

#include "app/windowsettings.h"

#include "store/listfile.h"
#include "store/storestate.h"

#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QStatusBar>

void MainWindow::on_action_Export_triggered()
{
    WindowSettings settings;
    QFileDialog chooser(this, tr("Export Vaultry list"), settings.listFolder(), tr("Vaultry files (*.vydl)"));
    chooser.setAcceptMode(QFileDialog::AcceptSave);
    // A name typed without the suffix gets it, so that the import dialog lists the file.
    chooser.setDefaultSuffix(QStringLiteral("vydl"));
    chooser.selectFile(QStringLiteral("data.vydl"));
    if (chooser.exec() != QDialog::Accepted || chooser.selectedFiles().isEmpty())
        return;
    const QString path = chooser.selectedFiles().constFirst();
    settings.rememberListFile(path);

    bool confirmed = false;
    const QString password =
        QInputDialog::getText(this, tr("Vaultry list password"), tr("Enter a password to lock the exported list."),
                              QLineEdit::Password, QString(), &confirmed);
    // Cancel ends the export; an empty password confirmed with OK is allowed.
    if (!confirmed)
        return;
    for (;;) {
        const QString again = QInputDialog::getText(this, tr("Vaultry list password"), tr("Re-enter the password."),
                                                    QLineEdit::Password, QString(), &confirmed);
        if (!confirmed)
            return;
        if (again == password)
            break;
    }

    const ListWriteResult written = writeListFile(path, state.vault.entries(), password);
    if (!written.ok) {
        QMessageBox::warning(
            this, tr("Vaultry Export"),
            tr("The list could not be written to %1:\n%2").arg(QDir::toNativeSeparators(path), written.reason));
        return;
    }
    const qsizetype count = state.vault.entries().size();
    const QString shownPath = QDir::toNativeSeparators(path);
    statusBar()->showMessage(count == 1 ? tr("Exported 1 entry to %1.").arg(shownPath)
                                        : tr("Exported %1 entries to %2.").arg(count).arg(shownPath),
                             kStatusMessageMs);
    QMessageBox::information(this, tr("Vaultry Export"), tr("Export complete."));
}

void MainWindow::on_action_Import_triggered()
{
    WindowSettings settings;
    const QString path =
        QFileDialog::getOpenFileName(this, tr("Import Vaultry list"), settings.listFolder(),
                                     tr("Vaultry files (*.vydl)") + QStringLiteral(";;") + tr("All files (*)"));
    if (path.isEmpty())
        return;
    settings.rememberListFile(path);

    const QString shownPath = QDir::toNativeSeparators(path);
    // Read before asking for the password, so an unreadable file is reported at once.
    const ListReadResult file = readListFile(path);
    switch (file.status) {
    case ListReadResult::Ok:
        break;
    case ListReadResult::Missing:
        QMessageBox::warning(this, tr("Vaultry Import"), tr("%1 does not exist. Nothing was imported.").arg(shownPath));
        return;
    case ListReadResult::Unreadable:
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 could not be read:\n%2\nNothing was imported.").arg(shownPath, file.reason));
        return;
    }

    bool confirmed = false;
    const QString password =
        QInputDialog::getText(this, tr("Vaultry list password"), tr("Enter a password to unlock the imported list."),
                              QLineEdit::Password, QString(), &confirmed);
    if (!confirmed)
        return;
    const ListImportResult imported = importList(file.bytes, password, state.vault);
    switch (imported.status) {
    case ListDecodeResult::Ok:
        break;
    case ListDecodeResult::WrongPassword:
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("The password does not unlock %1. Nothing was imported.").arg(shownPath));
        return;
    case ListDecodeResult::Damaged:
    case ListDecodeResult::Unreadable:
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 is damaged or is not a Vaultry list. Nothing was imported.").arg(shownPath));
        return;
    }
    refreshView();
    const Vault::MergeResult& merged = imported.merged;
    QString report = merged.added == 1 ? tr("Imported 1 entry") : tr("Imported %1 entries").arg(merged.added);
    if (merged.skipped > 0)
        report += merged.skipped == 1 ? tr("; 1 was already in the vault")
                                      : tr("; %1 were already in the vault").arg(merged.skipped);
    statusBar()->showMessage(report + QLatin1Char('.'), kStatusMessageMs);
}
