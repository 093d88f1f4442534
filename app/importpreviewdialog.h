#pragma once

#include "formats/importformats.h"

#include <QDialog>

// Shows what an import would bring, category by category, and what the file holds that it will
// not bring, before anything changes: Import goes on, Cancel leaves the vault as it is.
class ImportPreviewDialog : public QDialog
{
    Q_OBJECT

public:
    ImportPreviewDialog(const QString& fileName, const QString& formatName, const ImportPlan& plan,
                        QWidget* parent = nullptr);

    // A line for each kind of thing the reader left out or kept only in the notes.
    static QStringList describeLeftOut(const ImportLeftOut& leftOut);
};
