#include "settingsdialog.h"
#include "ui_settingsdialog.h"

#include "prefs/passwordresetdialog.h"
#include "store/preferences.h"

#include <QApplication>
#include <QCheckBox>
#include <QLayout>
#include <QPushButton>

SettingsDialog::SettingsDialog(Preferences& preferences, QWidget* parent)
    : QDialog(parent), preferences(preferences), form(new Ui::SettingsDialog)
{
    form->setupUi(this);

    // The handlers are already connected: maximum before minimum keeps a stored minimum
    // above the maximum from pushing past it, and the attempt limit goes last because it
    // may ask for a master password.
    form->chkAlphanum->setChecked(preferences.genAlphanum);
    form->chkMixedCase->setChecked(preferences.genMixedCase);
    form->chkSpecialChars->setChecked(preferences.genSpecialChars);
    form->numMaxLen->setValue(preferences.genMaxLength);
    form->numMinLen->setValue(preferences.genMinLength);
    form->numMaxLoginAttempts->setValue(preferences.maxLoginAttempts);
    form->chkHidePassword->setChecked(preferences.hidePassword);

    // The limit is judged once committed (Enter, leaving the box, OK), not at each digit typed.
    connect(form->numMaxLoginAttempts, &QSpinBox::editingFinished, this, [this] {
        // Enter, or the focus moved on within the dialog; not Cancel, a closing dialog or another window.
        const QWidget* now = QApplication::focusWidget();
        QSpinBox* limit = form->numMaxLoginAttempts;
        const bool committed = now == limit || limit->isAncestorOf(now) ||
                               (now && isAncestorOf(now) && now != form->buttonBox->button(QDialogButtonBox::Cancel));
        if (committed && isVisible())
            confirmAttemptLimit();
    });
    form->numIdleLockMinutes->setMaximum(kMaxIdleLockMinutes);
    form->numClipboardSeconds->setMaximum(kMaxClipboardClearSeconds);
    setLocalSettings(LocalSettings());
    connect(form->chkProtectVault, &QCheckBox::toggled, this, &SettingsDialog::updateProtectionChoice);
    updateProtectionChoice();
}

void SettingsDialog::setProtection(bool protectedNow)
{
    form->chkProtectVault->setChecked(protectedNow);
    updateProtectionChoice();
}

bool SettingsDialog::protectionWanted() const
{
    return form->chkProtectVault->isChecked();
}

void SettingsDialog::setLocalSettings(const LocalSettings& settings)
{
    form->numIdleLockMinutes->setValue(settings.idleLockMinutes);
    form->numClipboardSeconds->setValue(settings.clipboardClearSeconds);
}

LocalSettings SettingsDialog::localSettings() const
{
    LocalSettings settings;
    settings.idleLockMinutes = form->numIdleLockMinutes->value();
    settings.clipboardClearSeconds = form->numClipboardSeconds->value();
    return settings;
}

void SettingsDialog::updateProtectionChoice()
{
    const bool encrypted = form->chkProtectVault->isChecked();
    const bool passwordInUse = !preferences.masterPasswordHash.isEmpty() && form->numMaxLoginAttempts->value() > 0;
    form->chkProtectVault->setEnabled(encrypted || passwordInUse);
    // Only a master password can unlock a locked window.
    form->numIdleLockMinutes->setEnabled(encrypted || passwordInUse);
    form->lblIdleLockMinutes->setEnabled(encrypted || passwordInUse);
    form->numMaxLoginAttempts->setMinimum(encrypted ? 1 : 0);
    if (form->lblProtectedNote->isHidden() == encrypted) {
        form->lblProtectedNote->setVisible(encrypted);
        // Room for the note rather than squeezing the rows below it.
        if (isVisible()) {
            layout()->activate();
            resize(size().expandedTo(sizeHint()));
        }
    }
}

SettingsDialog::~SettingsDialog()
{
    delete form;
}

void SettingsDialog::on_numMaxLen_valueChanged(int value)
{
    const int minimum = form->numMinLen->value();
    if (minimum > value)
        form->numMaxLen->setValue(minimum);
}

void SettingsDialog::on_numMinLen_valueChanged(int value)
{
    const int maximum = form->numMaxLen->value();
    if (maximum < value)
        form->numMinLen->setValue(maximum);
}

void SettingsDialog::on_numMaxLoginAttempts_valueChanged(int)
{
    updateProtectionChoice();
}

bool SettingsDialog::confirmAttemptLimit()
{
    if (!preferences.masterPasswordHash.isEmpty() || form->numMaxLoginAttempts->value() <= 0 || choosingPassword)
        return true;
    choosingPassword = true;
    PasswordResetDialog choose(preferences, this, PasswordResetDialog::Mode::Choose);
    // Stored at once: the password holds even if this dialog is cancelled afterwards.
    const bool chosen = choose.exec() == QDialog::Accepted;
    choosingPassword = false;
    // No limit without a password.
    if (!chosen)
        form->numMaxLoginAttempts->setValue(0);
    updateProtectionChoice();
    return chosen;
}

void SettingsDialog::on_buttonBox_rejected()
{
    close();
}

void SettingsDialog::on_buttonBox_accepted()
{
    // A limit typed but never committed asks for its password now; without one the dialog stays.
    if (!confirmAttemptLimit())
        return;
    preferences.hidePassword = form->chkHidePassword->isChecked();
    preferences.maxLoginAttempts = form->numMaxLoginAttempts->value();
    preferences.genAlphanum = form->chkAlphanum->isChecked();
    preferences.genMaxLength = form->numMaxLen->value();
    preferences.genMinLength = form->numMinLen->value();
    preferences.genMixedCase = form->chkMixedCase->isChecked();
    preferences.genSpecialChars = form->chkSpecialChars->isChecked();
    accept();
}
