#include "app/importpreviewdialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

ImportPreviewDialog::ImportPreviewDialog(const QString& fileName, const QString& formatName, const ImportPlan& plan,
                                         QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(tr("Import preview"));
    auto* layout = new QVBoxLayout(this);
    const int total = plan.added + plan.alreadyThere;
    QString summary = total == 1 ? tr("%1 (%2) holds 1 entry").arg(fileName, formatName)
                                 : tr("%1 (%2) holds %3 entries").arg(fileName, formatName).arg(total);
    summary += tr(": %1 new").arg(plan.added);
    if (plan.alreadyThere > 0)
        summary += tr(", %1 already in the vault").arg(plan.alreadyThere);
    summary += QLatin1Char('.');
    auto* label = new QLabel(summary, this);
    label->setObjectName(QStringLiteral("lblSummary"));
    label->setWordWrap(true);
    layout->addWidget(label);

    auto* table = new QTableWidget(int(plan.categories.size()), 3, this);
    table->setObjectName(QStringLiteral("tablePreview"));
    table->setHorizontalHeaderLabels({tr("Category"), tr("Entries"), tr("Already in the vault")});
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionMode(QAbstractItemView::NoSelection);
    for (int row = 0; row < plan.categories.size(); ++row) {
        const ImportPlan::Category& category = plan.categories.at(row);
        table->setItem(row, 0, new QTableWidgetItem(category.name));
        for (const auto& [column, count] : {std::pair{1, category.entries}, std::pair{2, category.alreadyThere}}) {
            auto* item = new QTableWidgetItem(QString::number(count));
            item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
            table->setItem(row, column, item);
        }
    }
    table->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    table->resizeColumnsToContents();
    layout->addWidget(table);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    buttons->setObjectName(QStringLiteral("buttonBox"));
    QPushButton* import = buttons->addButton(tr("&Import"), QDialogButtonBox::AcceptRole);
    import->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(480, 360);
}
