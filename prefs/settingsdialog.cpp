#include "settingsdialog.h"
#include "ui_settingsdialog.h"

SettingsDialog::SettingsDialog(QWidget* parent) : QDialog(parent), form(new Ui::SettingsDialog)
{
    form->setupUi(this);
}

SettingsDialog::~SettingsDialog()
{
    delete form;
}
