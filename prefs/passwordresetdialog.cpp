#include "passwordresetdialog.h"
#include "ui_passwordresetdialog.h"

#include "masterpassword.h"
#include "store/preferences.h"

#include <QMessageBox>
#include <QPushButton>

PasswordResetDialog::PasswordResetDialog(Preferences& preferences, QWidget* parent, Mode mode)
    : QDialog(parent), preferences(preferences), form(new Ui::PasswordResetDialog), mode(mode)
{
    form->setupUi(this);
    if (mode == Mode::Choose) {
        setWindowTitle(tr("Master Application Password"));
        form->label->setText(tr("Choose a master password for this application. Make sure you remember it: "
                                "it cannot be recovered."));
        form->label->setWordWrap(true);
        form->txtOldPass->hide();
    }
    // Typing again after a problem shows that it has been taken in.
    for (QLineEdit* field : {form->txtOldPass, form->txtNewPass1, form->txtNewPass2})
        connect(field, &QLineEdit::textEdited, form->lblProblem, &QLabel::hide);
}

PasswordResetDialog::~PasswordResetDialog()
{
    delete form;
}

void PasswordResetDialog::showProblem(const QString& text)
{
    form->lblProblem->setText(text);
    form->lblProblem->show();
}

void PasswordResetDialog::on_buttonBox_rejected()
{
    close();
}

void PasswordResetDialog::on_buttonBox_accepted()
{
    const QString newPassword = form->txtNewPass1->text().trimmed();
    if (mode == Mode::Change &&
        (preferences.masterPasswordHash.isEmpty() ||
         hashMasterPassword(form->txtOldPass->text().trimmed()) != preferences.masterPasswordHash)) {
        showProblem(tr("The old password is wrong. Nothing was changed."));
        form->txtOldPass->setFocus();
        form->txtOldPass->selectAll();
        return;
    }
    if (newPassword.isEmpty()) {
        showProblem(tr("The new password is empty. Please type a password."));
        form->txtNewPass1->setFocus();
        return;
    }
    if (newPassword != form->txtNewPass2->text().trimmed()) {
        showProblem(tr("The two new passwords differ. Please type the same password twice."));
        form->txtNewPass2->setFocus();
        form->txtNewPass2->selectAll();
        return;
    }
    chosen = newPassword;
    preferences.masterPasswordHash = hashMasterPassword(newPassword);
    emit masterPasswordChanged(newPassword);
    if (mode == Mode::Change)
        QMessageBox::information(this, tr("Notice"), tr("The master password has been successfully changed."));
    accept();
}
