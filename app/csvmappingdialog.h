#pragma once

#include "formats/csvformat.h"

#include <QDialog>
#include <QList>

class QComboBox;
class QFormLayout;

// Asks which column of a CSV table of unknown layout holds which field of an entry, starting
// from a guess by the column names. Beside each column name it shows the first row's value.
class CsvMappingDialog : public QDialog
{
    Q_OBJECT

public:
    CsvMappingDialog(const QStringList& columns, const QStringList& firstRow, QWidget* parent = nullptr);

    CsvColumnMapping mapping() const;

private:
    QComboBox* addChoice(const QString& label, const QString& objectName, int column);

    QStringList columns;
    QStringList firstRow;
    QComboBox* title = nullptr;
    QComboBox* account = nullptr;
    QComboBox* password = nullptr;
    QComboBox* website = nullptr;
    QComboBox* notes = nullptr;
    QComboBox* category = nullptr;
    QFormLayout* form = nullptr;
};
