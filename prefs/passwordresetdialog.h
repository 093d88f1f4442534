#pragma once

#include <QDialog>

struct Preferences;

namespace Ui {
class PasswordResetDialog;
}

// Changes the master password, given the old one and the new one twice.
class PasswordResetDialog : public QDialog
{
    Q_OBJECT

public:
    explicit PasswordResetDialog(Preferences& preferences, QWidget* parent = nullptr);
    ~PasswordResetDialog() override;

signals:
    // The master password was changed to `password` (trimmed, as its hash was made).
    void masterPasswordChanged(const QString& password);

private slots:
    void on_buttonBox_rejected();
    void on_buttonBox_accepted();

private:
    Preferences& preferences;
    Ui::PasswordResetDialog* form;
};
