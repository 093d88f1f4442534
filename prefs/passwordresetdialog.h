#pragma once

#include <QDialog>

struct Preferences;

namespace Ui {
class PasswordResetDialog;
}

// Sets the master password: the new one twice, masked, and for a change the old one first.
// What is wrong (a wrong old password, an empty new one, two that differ) is said in the
// dialog, which stays open until the passwords are right or the user cancels.
class PasswordResetDialog : public QDialog
{
    Q_OBJECT

public:
    enum class Mode
    {
        Change, // the old password first (Reset Master Password)
        Choose, // no password set yet
    };

    explicit PasswordResetDialog(Preferences& preferences, QWidget* parent = nullptr, Mode mode = Mode::Change);
    ~PasswordResetDialog() override;

    // What the user chose; empty until the dialog was accepted.
    QString chosenPassword() const { return chosen; }

signals:
    // The master password was changed to `password` (trimmed, as its hash was made).
    void masterPasswordChanged(const QString& password);

private slots:
    void on_buttonBox_rejected();
    void on_buttonBox_accepted();

private:
    void showProblem(const QString& text);

    Preferences& preferences;
    Ui::PasswordResetDialog* form;
    const Mode mode;
    QString chosen;
};
