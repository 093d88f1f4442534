#include "passwordresetdialog.h"
#include "ui_passwordresetdialog.h"

#include "masterpassword.h"
#include "store/preferences.h"

#include <QMessageBox>

PasswordResetDialog::PasswordResetDialog(Preferences& preferences, QWidget* parent)
    : QDialog(parent), preferences(preferences), form(new Ui::PasswordResetDialog)
{
    form->setupUi(this);
}

PasswordResetDialog::~PasswordResetDialog()
{
    delete form;
}

void PasswordResetDialog::on_buttonBox_rejected()
{
    close();
}

void PasswordResetDialog::on_buttonBox_accepted()
{
    const QString oldPassword = form->txtOldPass->text().trimmed();
    const QString newPassword = form->txtNewPass1->text().trimmed();
    if (hashMasterPassword(oldPassword) == preferences.masterPasswordHash &&
        newPassword == form->txtNewPass2->text().trimmed()) {
        preferences.masterPasswordHash = hashMasterPassword(newPassword);
        emit masterPasswordChanged(newPassword);
        QMessageBox::information(this, tr("Notice"), tr("The master password has been successfully changed."));
        close();
    }
}
