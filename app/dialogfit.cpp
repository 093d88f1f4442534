#include "dialogfit.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>
#include <QSpacerItem>

namespace {

// Room for the window icon and the minimise, maximise and close buttons of common window
// managers.
constexpr int kTitleBarExtras = 140;
const char kFittedProperty[] = "vaultryTitleFitted";

} // namespace

DialogTitleFitter::DialogTitleFitter(QObject* parent) : QObject(parent) {}

int DialogTitleFitter::widthForTitle(const QString& title)
{
    QFont font = QApplication::font();
    font.setBold(true);
    return QFontMetrics(font).horizontalAdvance(title) + kTitleBarExtras;
}

bool DialogTitleFitter::eventFilter(QObject* watched, QEvent* event)
{
    // Before the dialog's own show handler, which sizes a message box and centres the dialog
    // over its parent: both then use the widened size.
    if (event->type() != QEvent::Show)
        return false;
    auto* dialog = qobject_cast<QDialog*>(watched);
    if (!dialog || !dialog->isWindow() || dialog->windowTitle().isEmpty())
        return false;
    const int needed = widthForTitle(dialog->windowTitle());
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
        // A message box sets its own fixed size from its layout's minimum width. It builds a new
        // layout when its texts change, so the spacer is added once per layout.
        auto* grid = qobject_cast<QGridLayout*>(box->layout());
        if (grid && box->property(kFittedProperty).value<quintptr>() != quintptr(grid)) {
            grid->addItem(new QSpacerItem(needed, 0, QSizePolicy::Fixed, QSizePolicy::Minimum), grid->rowCount(), 0, 1,
                          grid->columnCount());
            box->setProperty(kFittedProperty, QVariant::fromValue(quintptr(grid)));
        }
    } else if (dialog->width() < needed) {
        dialog->setMinimumWidth(needed);
        dialog->resize(needed, dialog->height());
    }
    return false;
}
