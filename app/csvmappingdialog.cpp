#include "app/csvmappingdialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QVBoxLayout>

CsvMappingDialog::CsvMappingDialog(const QStringList& columns, const QStringList& firstRow, QWidget* parent)
    : QDialog(parent), columns(columns), firstRow(firstRow)
{
    setWindowTitle(tr("CSV columns"));
    auto* layout = new QVBoxLayout(this);
    auto* intro = new QLabel(tr("Vaultry does not know this table's layout. Choose the column that holds each "
                                "field; columns left over are kept in the notes with their names."),
                             this);
    intro->setWordWrap(true);
    layout->addWidget(intro);
    form = new QFormLayout;
    layout->addLayout(form);

    const CsvColumnMapping guess = guessCsvMapping(columns);
    title = addChoice(tr("&Title"), QStringLiteral("comboTitle"), guess.title);
    account = addChoice(tr("&Account"), QStringLiteral("comboAccount"), guess.account);
    password = addChoice(tr("&Password"), QStringLiteral("comboPassword"), guess.password);
    website = addChoice(tr("&Website"), QStringLiteral("comboWebsite"), guess.website);
    notes = addChoice(tr("&Notes"), QStringLiteral("comboNotes"), guess.notes);
    category = addChoice(tr("&Category"), QStringLiteral("comboCategory"), guess.category);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
}

QComboBox* CsvMappingDialog::addChoice(const QString& label, const QString& objectName, int column)
{
    auto* choice = new QComboBox(this);
    choice->setObjectName(objectName);
    choice->addItem(tr("(none)"), -1);
    for (int i = 0; i < columns.size(); ++i) {
        const QString sample = firstRow.value(i).simplified();
        choice->addItem(sample.isEmpty() ? columns.at(i) : tr("%1 (e.g. \"%2\")").arg(columns.at(i), sample.left(40)),
                        i);
    }
    choice->setCurrentIndex(column + 1);
    form->addRow(label, choice);
    return choice;
}

CsvColumnMapping CsvMappingDialog::mapping() const
{
    CsvColumnMapping chosen;
    chosen.title = title->currentData().toInt();
    chosen.account = account->currentData().toInt();
    chosen.password = password->currentData().toInt();
    chosen.website = website->currentData().toInt();
    chosen.notes = notes->currentData().toInt();
    chosen.category = category->currentData().toInt();
    return chosen;
}
