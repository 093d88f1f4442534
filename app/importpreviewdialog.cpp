#include "app/importpreviewdialog.h"

#include <QDialogButtonBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

QStringList ImportPreviewDialog::describeLeftOut(const ImportLeftOut& leftOut)
{
    const auto count = [](int n, const QString& one, const QString& many) { return n == 1 ? one : many.arg(n); };
    QStringList lines;
    if (leftOut.oldVersions > 0)
        lines << count(leftOut.oldVersions, tr("Left out: 1 old version of an entry (history)."),
                       tr("Left out: %1 old versions of entries (history)."));
    if (leftOut.recycled > 0)
        lines << count(leftOut.recycled, tr("Left out: 1 entry in the recycle bin or trash."),
                       tr("Left out: %1 entries in the recycle bin or trash."));
    if (leftOut.otherKinds > 0)
        lines << count(leftOut.otherKinds, tr("Left out: 1 item of a kind Vaultry has no place for."),
                       tr("Left out: %1 items of a kind Vaultry has no place for."));
    if (leftOut.shortRows > 0) {
        QStringList where;
        for (int line : leftOut.shortRowLines)
            where << QString::number(line);
        if (leftOut.shortRows > leftOut.shortRowLines.size())
            where << QStringLiteral("…");
        lines << count(leftOut.shortRows,
                       tr("1 row has fewer fields than the header (line %2); its last fields are empty."),
                       tr("%1 rows have fewer fields than the header (lines %2); their last fields are empty."))
                     .arg(where.join(QStringLiteral(", ")));
    }
    if (!leftOut.columnsInNotes.isEmpty())
        lines << tr("Kept in the notes: the columns %1.").arg(leftOut.columnsInNotes.join(QStringLiteral(", ")));
    if (leftOut.historyInNotes > 0)
        lines << count(leftOut.historyInNotes, tr("Kept in the notes: the old passwords of 1 entry."),
                       tr("Kept in the notes: the old passwords of %1 entries."));
    return lines;
}

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

    const QStringList leftOut = describeLeftOut(plan.leftOut);
    if (!leftOut.isEmpty()) {
        auto* notes = new QLabel(leftOut.join(QLatin1Char('\n')), this);
        notes->setObjectName(QStringLiteral("lblLeftOut"));
        notes->setWordWrap(true);
        notes->setTextFormat(Qt::PlainText);
        layout->addWidget(notes);
    }

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
