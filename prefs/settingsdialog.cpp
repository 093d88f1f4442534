#include "settingsdialog.h"
#include "ui_browsersettings.h"
#include "ui_settingsdialog.h"

#include "prefs/masterpassword.h"
#include "store/preferences.h"

#include <QCheckBox>
#include <QInputDialog>
#include <QLayout>

SettingsDialog::SettingsDialog(Preferences& preferences, QWidget* parent)
    : QDialog(parent), preferences(preferences), form(new Ui::SettingsDialog), browserForm(new Ui::BrowserSettings)
{
    form->setupUi(this);
    // A form of its own, above the buttons.
    auto* browsers = new QWidget(this);
    browserForm->setupUi(browsers);
    if (auto* rows = qobject_cast<QBoxLayout*>(layout()))
        rows->insertWidget(rows->indexOf(form->buttonBox), browsers);

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
    browserForm->chkBrowserFillsLogins->setChecked(settings.browserFillsLogins);
}

LocalSettings SettingsDialog::localSettings() const
{
    LocalSettings settings;
    settings.idleLockMinutes = form->numIdleLockMinutes->value();
    settings.clipboardClearSeconds = form->numClipboardSeconds->value();
    settings.browserFillsLogins = browserForm->chkBrowserFillsLogins->isChecked();
    return settings;
}

void SettingsDialog::updateProtectionChoice()
{
    const bool encrypted = form->chkProtectVault->isChecked();
    const bool passwordInUse = !preferences.masterPasswordHash.isEmpty() && form->numMaxLoginAttempts->value() > 0;
    form->chkProtectVault->setEnabled(encrypted || passwordInUse);
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
    delete browserForm;
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

void SettingsDialog::on_numMaxLoginAttempts_valueChanged(int value)
{
    updateProtectionChoice();
    if (!preferences.masterPasswordHash.isEmpty() || value <= 0)
        return;
    bool confirmed = false;
    const QString text =
        QInputDialog::getText(this, tr("Master Application Password"),
                              tr("Please enter a master password you wish to use for this application.\n"
                                 "Make sure you remember this password, it will not be shown again!"),
                              QLineEdit::Normal, QString(), &confirmed);
    // Stored at once: the password holds even if the dialog is cancelled afterwards.
    if (confirmed)
        preferences.masterPasswordHash = hashMasterPassword(text);
    updateProtectionChoice();
}

void SettingsDialog::on_buttonBox_rejected()
{
    close();
}

void SettingsDialog::on_buttonBox_accepted()
{
    preferences.hidePassword = form->chkHidePassword->isChecked();
    preferences.maxLoginAttempts = form->numMaxLoginAttempts->value();
    preferences.genAlphanum = form->chkAlphanum->isChecked();
    preferences.genMaxLength = form->numMaxLen->value();
    preferences.genMinLength = form->numMinLen->value();
    preferences.genMixedCase = form->chkMixedCase->isChecked();
    preferences.genSpecialChars = form->chkSpecialChars->isChecked();
    close();
}
