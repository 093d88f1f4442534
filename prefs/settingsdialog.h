#pragma once

// prefs/: the password generator, the master-password hash (both without widgets) and the
// two dialogs that edit the preferences: settings and master-password reset.

#include "store/localsettings.h"

#include <QDialog>

struct Preferences;

namespace Ui {
class AutoTypeSettings;
class BrowserSettings;
class SettingsDialog;
class SecretServiceSettings;
} // namespace Ui

// Edits the preferences in memory; they reach the disk with the next save of the store.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(Preferences& preferences, QWidget* parent = nullptr);
    ~SettingsDialog() override;

    // Whether the vault file is encrypted with the master password now; the check box starts so.
    void setProtection(bool protectedNow);
    // Whether the user wants it encrypted (read after OK).
    bool protectionWanted() const;
    // This computer's settings beside the store; localSettings() holds the edited values.
    void setLocalSettings(const LocalSettings& settings);
    LocalSettings localSettings() const;
    // The categories offered for the Secret Service's entries, and what the service says now.
    void setSecretServiceChoices(const QStringList& categories, const QString& status);

private slots:
    void on_numMaxLen_valueChanged(int value);
    void on_numMinLen_valueChanged(int value);
    void on_numMaxLoginAttempts_valueChanged(int value);
    // A limit above 0 needs a master password: asks for one when none is set; false (and the
    // limit back to 0) when the user cancels.
    bool confirmAttemptLimit();
    void on_buttonBox_rejected();
    void on_buttonBox_accepted();

private:
    // Encryption needs a master password in use; while encrypted, the password cannot be switched off.
    void updateProtectionChoice();

    Preferences& preferences;
    // Adds the Secret Service's group (its own form) above the buttons.
    void addSecretServiceGroup();

    Ui::SettingsDialog* form;
    Ui::SecretServiceSettings* secretForm;
    Ui::AutoTypeSettings* autoTypeForm;
    Ui::BrowserSettings* browserForm;
    bool choosingPassword = false;
};
