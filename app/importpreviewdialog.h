#pragma once

#include "formats/importformats.h"

#include <QDialog>

// Shows what an import would bring, category by category, before anything changes: Import goes
// on, Cancel leaves the vault as it is.
class ImportPreviewDialog : public QDialog
{
    Q_OBJECT

public:
    ImportPreviewDialog(const QString& fileName, const QString& formatName, const ImportPlan& plan,
                        QWidget* parent = nullptr);
};
