#include "app/mainwindow.h"
#include "ui_mainwindow.h"

#include "app/clipboardguard.h"
#include "app/totpsetupdialog.h"
#include "vault/totp.h"

#include <QDateTime>
#include <QStatusBar>
#include <QTimer>

void MainWindow::createOneTimeCodeObjects()
{
    oneTimeCodeTimer = new QTimer(this);
    oneTimeCodeTimer->setObjectName(QStringLiteral("oneTimeCodeTimer"));
    connect(oneTimeCodeTimer, &QTimer::timeout, this, &MainWindow::refreshOneTimeCode);
    connect(form->txtEntryNotes, &QPlainTextEdit::textChanged, this, &MainWindow::refreshOneTimeCode);
    connect(form->btnCopyTotp, &QPushButton::clicked, this, &MainWindow::copyOneTimeCode);
    connect(form->btnSetUpTotp, &QPushButton::clicked, this, &MainWindow::setUpOneTimeCodes);
    QFont font = form->lblTotpCode->font();
    font.setFamily(QStringLiteral("monospace"));
    font.setStyleHint(QFont::Monospace);
    font.setPointSizeF(font.pointSizeF() * 1.3);
    font.setWeight(QFont::Bold);
    form->lblTotpCode->setFont(font);
    refreshOneTimeCode();
}

std::optional<QString> MainWindow::currentOneTimeCode(int* secondsLeft) const
{
    if (currentEntry->id == QLatin1String("0") || windowLocked)
        return std::nullopt;
    // What the panel shows, so that a secret pasted into the notes counts at once.
    const std::optional<TotpSecret> secret = totpSecretInNotes(form->txtEntryNotes->toPlainText());
    if (!secret)
        return std::nullopt;
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    if (secondsLeft)
        *secondsLeft = totpSecondsLeft(*secret, now);
    return totpCode(*secret, now);
}

void MainWindow::refreshOneTimeCode()
{
    if (!oneTimeCodeTimer)
        return;
    int secondsLeft = 0;
    const std::optional<QString> code = currentOneTimeCode(&secondsLeft);
    for (QWidget* part : {static_cast<QWidget*>(form->lbl_EntryTotp), static_cast<QWidget*>(form->lblTotpCode),
                          static_cast<QWidget*>(form->lblTotpSecondsLeft), static_cast<QWidget*>(form->btnCopyTotp)})
        part->setVisible(code.has_value());
    form->btnSetUpTotp->setEnabled(currentEntry->id != QLatin1String("0") && !windowLocked);
    if (code) {
        // Grouped as authenticator apps show it: "123 456", "1234 5678".
        QString shown = *code;
        shown.insert(shown.size() / 2, QLatin1Char(' '));
        form->lblTotpCode->setText(shown);
        form->lblTotpSecondsLeft->setText(tr("%n second(s) left", nullptr, secondsLeft));
        if (!oneTimeCodeTimer->isActive())
            oneTimeCodeTimer->start(1000);
    } else {
        form->lblTotpCode->clear();
        form->lblTotpSecondsLeft->clear();
        oneTimeCodeTimer->stop();
    }
}

void MainWindow::copyOneTimeCode()
{
    const std::optional<QString> code = currentOneTimeCode();
    if (!code)
        return;
    clipboardGuard->copyPassword(*code);
    statusBar()->showMessage(tr("One-time code copied to the clipboard."), kStatusMessageMs);
}

void MainWindow::setUpOneTimeCodes()
{
    if (currentEntry->id == QLatin1String("0") || windowLocked)
        return;
    TotpSetupDialog dialog(form->txtEntryTitle->text(), form->txtEntryAccount->text(), this);
    if (const std::optional<TotpSecret> present = totpSecretInNotes(form->txtEntryNotes->toPlainText()))
        dialog.setSecret(*present);
    if (dialog.exec() != QDialog::Accepted || dialog.uri().isEmpty())
        return;
    // Written into the notes and saved with the panel, one step to undo like any other edit.
    form->txtEntryNotes->setPlainText(notesWithTotpUri(form->txtEntryNotes->toPlainText(), dialog.uri()));
    on_btnSaveEntry_clicked();
    statusBar()->showMessage(tr("One-time codes set up for \"%1\".").arg(currentEntry->title), kStatusMessageMs);
}
