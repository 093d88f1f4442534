#include "app/mainwindow.h"

#include "store/listcodec.h"
#include "vault/entrylist.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>
#include <QSaveFile>

void MainWindow::on_action_Export_triggered()
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Export Vaultry list"), QStringLiteral("data.vydl"),
                                                      tr("Vaultry files (*.vydl)"));
    if (path.isEmpty())
        return;

    // Cancel here is taken as an empty password, as OK with nothing typed.
    const QString password = QInputDialog::getText(
        this, tr("Vaultry list password"), tr("Enter a password to lock the exported list."), QLineEdit::Password);
    for (;;) {
        bool confirmed = false;
        const QString again = QInputDialog::getText(this, tr("Vaultry list password"), tr("Re-enter the password."),
                                                    QLineEdit::Password, QString(), &confirmed);
        if (!confirmed)
            return;
        if (again == password)
            break;
    }

    // QSaveFile leaves an existing file untouched unless the whole list was written.
    const QByteArray bytes = encodeList(entries, password);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        QMessageBox::warning(
            this, tr("Vaultry Export"),
            tr("The list could not be written to %1:\n%2").arg(QDir::toNativeSeparators(path), file.errorString()));
        return;
    }
    QMessageBox::information(this, tr("Vaultry Export"), tr("Export complete."));
}

void MainWindow::on_action_Import_triggered()
{
    const QString path =
        QFileDialog::getOpenFileName(this, tr("Import Vaultry list"), QString(), tr("Vaultry files (*.vydl)"));
    if (path.isEmpty())
        return;

    const QString shownPath = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.exists()) {
        QMessageBox::warning(this, tr("Vaultry Import"), tr("%1 does not exist. Nothing was imported.").arg(shownPath));
        return;
    }
    // Read before asking for the password, so an unreadable file is reported at once.
    QByteArray bytes;
    if (file.open(QIODevice::ReadOnly))
        bytes = file.readAll();
    if (!file.isOpen() || file.error() != QFileDevice::NoError) {
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 could not be read:\n%2\nNothing was imported.").arg(shownPath, file.errorString()));
        return;
    }
    file.close();

    const QString password = QInputDialog::getText(
        this, tr("Vaultry list password"), tr("Enter a password to unlock the imported list."), QLineEdit::Password);
    const ListDecodeResult list = decodeList(bytes, password);
    switch (list.status) {
    case ListDecodeResult::Ok:
        break;
    case ListDecodeResult::WrongPassword:
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("The password does not unlock %1. Nothing was imported.").arg(shownPath));
        return;
    case ListDecodeResult::Damaged:
    case ListDecodeResult::Unreadable:
        // Merging part of a damaged list would leave the vault half-changed.
        QMessageBox::warning(this, tr("Vaultry Import"),
                             tr("%1 is damaged or is not a Vaultry list. Nothing was imported.").arg(shownPath));
        return;
    }

    for (const Entry& entry : list.entries) {
        if (!categoryNames.contains(entry.category))
            addCategory(entry.category);
        addEntry(entry);
    }
    refreshView();
}
