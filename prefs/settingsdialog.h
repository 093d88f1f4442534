#pragma once

// prefs/: the password generator, the master-password hash (both without widgets) and the
// two dialogs that edit the preferences: settings and master-password reset.

#include <QDialog>

struct Preferences;

namespace Ui {
class SettingsDialog;
}

// Edits the preferences in memory; they reach the disk with the next save of the store.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(Preferences& preferences, QWidget* parent = nullptr);
    ~SettingsDialog() override;

private slots:
    void on_numMaxLen_valueChanged(int value);
    void on_numMinLen_valueChanged(int value);
    void on_numMaxLoginAttempts_valueChanged(int value);
    void on_buttonBox_rejected();
    void on_buttonBox_accepted();

private:
    Preferences& preferences;
    Ui::SettingsDialog* form;
};
