#pragma once

#include <QMessageBox>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;

// Answers the application's modal dialogs for GUI tests. Each answer is used once, by the
// next modal dialog that appears: the driver checks the dialog's title and text, fills it
// in and presses its button. A modal dialog with no answer waiting is recorded as an error
// and rejected, so a test never hangs on an unexpected dialog.
//
//     DialogDriver::answerInput("Add Category", "Please enter the new category's name:", "Work");
//     QTest::mouseClick(window.findChild<QPushButton*>("btnAddCategory"), Qt::LeftButton);
//     VERIFY_DIALOGS_ANSWERED();
namespace DialogDriver {

using Action = std::function<void(QWidget* dialog)>;

// Starts watching for modal dialogs; idempotent.
void install();

// A QInputDialog: check title and label, type `text`, press OK (or Cancel when !accept).
void answerInput(const QString& title, const QString& label, const QString& text, bool accept = true);
// A QMessageBox: check title and that its text contains `text`, press `button`
// (QMessageBox::NoButton presses the default, or the only, button).
void answerMessage(const QString& title, const QString& text,
                   QMessageBox::StandardButton button = QMessageBox::NoButton);
// A QMessageBox answered by the caption of a custom button.
void answerMessageWithButton(const QString& title, const QString& text, const QString& buttonText);
// A QFileDialog: check the caption, choose `path` and accept (or cancel when `path` is empty).
void answerFile(const QString& caption, const QString& path);
// Fills `path` into a file dialog and accepts it; for answerWith actions.
void chooseFile(QWidget* dialog, const QString& path);
// Any modal dialog whose title is `title`: run `action` on it (it must close the dialog).
void answerWith(const QString& title, const Action& action);

// Answers still waiting, and everything that went wrong so far (cleared by reset()).
int pending();
QStringList errors();
// Drops waiting answers and recorded errors.
void reset();

} // namespace DialogDriver

// Fails the current test unless every answer was used and no dialog surprised the driver.
#define VERIFY_DIALOGS_ANSWERED()                                                                                      \
    do {                                                                                                               \
        QTRY_COMPARE_WITH_TIMEOUT(DialogDriver::pending(), 0, 5000);                                                   \
        const QStringList dialogErrors_ = DialogDriver::errors();                                                      \
        DialogDriver::reset();                                                                                         \
        QVERIFY2(dialogErrors_.isEmpty(), qPrintable(dialogErrors_.join(QLatin1Char('\n'))));                          \
    } while (false)
