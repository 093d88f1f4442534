#include "settingsdialog.h"
#include "ui_autotypesettings.h"
#include "ui_browsersettings.h"
#include "ui_secretservicesettings.h"
#include "ui_settingsdialog.h"

#include "prefs/passwordresetdialog.h"
#include "store/preferences.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGroupBox>
#include <QInputDialog>
#include <QLayout>
#include <QPushButton>
#include <QToolButton>

SettingsDialog::SettingsDialog(Preferences& preferences, QWidget* parent)
    : QDialog(parent), preferences(preferences), form(new Ui::SettingsDialog), secretForm(new Ui::SecretServiceSettings),
      autoTypeForm(new Ui::AutoTypeSettings), browserForm(new Ui::BrowserSettings)
{
    form->setupUi(this);
    addSecretServiceGroup();
    // The auto-type group has a form of its own, placed above the buttons.
    auto* autoTypeGroup = new QGroupBox(this);
    autoTypeForm->setupUi(autoTypeGroup);
    if (auto* column = qobject_cast<QBoxLayout*>(layout()))
        column->insertWidget(column->indexOf(form->buttonBox), autoTypeGroup);
    connect(autoTypeForm->btnClearAutoTypeShortcut, &QToolButton::clicked, autoTypeForm->keyAutoTypeShortcut,
            &QKeySequenceEdit::clear);
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
    secretForm->chkSecretService->setChecked(settings.secretServiceEnabled);
    secretForm->cmbSecretCategory->setCurrentText(settings.secretServiceCategory);
    secretForm->cmbSecretCategory->setEnabled(settings.secretServiceEnabled);
    autoTypeForm->keyAutoTypeShortcut->setKeySequence(
        QKeySequence::fromString(settings.autoTypeShortcut, QKeySequence::PortableText));
    browserForm->chkBrowserFillsLogins->setChecked(settings.browserFillsLogins);
}

LocalSettings SettingsDialog::localSettings() const
{
    LocalSettings settings;
    settings.idleLockMinutes = form->numIdleLockMinutes->value();
    settings.clipboardClearSeconds = form->numClipboardSeconds->value();
    settings.secretServiceEnabled = secretForm->chkSecretService->isChecked();
    const QString category = secretForm->cmbSecretCategory->currentText().trimmed();
    if (!category.isEmpty())
        settings.secretServiceCategory = category;
    // One combination: a global shortcut is never a sequence of several.
    const QKeySequence keys = autoTypeForm->keyAutoTypeShortcut->keySequence();
    settings.autoTypeShortcut = keys.isEmpty() ? QString() : QKeySequence(keys[0]).toString(QKeySequence::PortableText);
    settings.browserFillsLogins = browserForm->chkBrowserFillsLogins->isChecked();
    return settings;
}

void SettingsDialog::addSecretServiceGroup()
{
    auto* group = new QGroupBox(this);
    secretForm->setupUi(group);
    auto* box = qobject_cast<QBoxLayout*>(layout());
    box->insertWidget(box->indexOf(form->buttonBox), group);
    secretForm->lblSecretServiceStatus->hide();
    connect(secretForm->chkSecretService, &QCheckBox::toggled, secretForm->cmbSecretCategory, &QWidget::setEnabled);
    setTabOrder(form->numClipboardSeconds, secretForm->chkSecretService);
    setTabOrder(secretForm->chkSecretService, secretForm->cmbSecretCategory);
    setTabOrder(secretForm->cmbSecretCategory, form->buttonBox);
}

void SettingsDialog::setSecretServiceChoices(const QStringList& categories, const QString& status)
{
    const QString current = secretForm->cmbSecretCategory->currentText();
    secretForm->cmbSecretCategory->clear();
    secretForm->cmbSecretCategory->addItems(categories);
    secretForm->cmbSecretCategory->setCurrentText(current);
    secretForm->lblSecretServiceStatus->setText(status);
    secretForm->lblSecretServiceStatus->setVisible(!status.isEmpty());
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
    delete secretForm;
    delete autoTypeForm;
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
