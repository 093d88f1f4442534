#pragma once

#include <QDialog>

namespace Ui {
class SettingsDialog;
}

// Edits the preferences in memory; they reach the disk with the next save of the store.
class SettingsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SettingsDialog(QWidget* parent = nullptr);
    ~SettingsDialog() override;

private:
    Ui::SettingsDialog* form;
};
