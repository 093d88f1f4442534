#include "accesskeys.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QMessageBox>

void setAccessKeys(QMessageBox& box)
{
    const std::pair<QMessageBox::StandardButton, const char*> captions[] = {
        {QMessageBox::Save, QT_TRANSLATE_NOOP("AccessKeys", "&Save")},
        {QMessageBox::Discard, QT_TRANSLATE_NOOP("AccessKeys", "&Discard")},
    };
    for (const auto& [which, caption] : captions) {
        if (QAbstractButton* button = box.button(which))
            button->setText(QCoreApplication::translate("AccessKeys", caption));
    }
}
