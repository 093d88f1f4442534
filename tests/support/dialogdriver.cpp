#include "dialogdriver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QTimer>

#include <deque>

namespace {

using DialogDriver::Action;

struct Answer
{
    QString title;
    Action action;
};

// Dialogs whose answer has started stay handled until they hide: a dialog that opens a further
// one (a notice after OK) is the active modal widget again for a moment before it closes.
class HandledDialogs : public QObject
{
public:
    bool contains(QWidget* dialog) const { return dialogs_.contains(dialog); }
    void add(QWidget* dialog)
    {
        dialogs_.insert(dialog);
        dialog->installEventFilter(this);
        connect(dialog, &QObject::destroyed, this, [this](QObject* gone) { dialogs_.remove(gone); });
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Hide) {
            dialogs_.remove(watched);
            watched->removeEventFilter(this);
        }
        return false;
    }

private:
    QSet<QObject*> dialogs_;
};

struct State
{
    std::deque<Answer> answers;
    QStringList errors;
    HandledDialogs* handled = nullptr;
    QTimer* watcher = nullptr;
};

State& state()
{
    static State instance;
    return instance;
}

QString describe(QWidget* dialog)
{
    QString text;
    if (auto* box = qobject_cast<QMessageBox*>(dialog))
        text = box->text();
    else if (auto* input = qobject_cast<QInputDialog*>(dialog))
        text = input->labelText();
    return QStringLiteral("\"%1\" (%2)").arg(dialog->windowTitle(), text);
}

void rejectDialog(QWidget* dialog)
{
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
        QAbstractButton* button = box->escapeButton();
        if (!button)
            button = box->defaultButton();
        if (button) {
            button->click();
            return;
        }
    }
    if (auto* plain = qobject_cast<QDialog*>(dialog))
        plain->reject();
    else
        dialog->close();
}

void poll()
{
    State& s = state();
    QWidget* dialog = QApplication::activeModalWidget();
    if (!dialog || !dialog->isVisible() || s.handled->contains(dialog))
        return;
    s.handled->add(dialog);
    if (s.answers.empty()) {
        s.errors << QStringLiteral("unexpected dialog %1").arg(describe(dialog));
        rejectDialog(dialog);
        return;
    }
    Answer answer = std::move(s.answers.front());
    s.answers.pop_front();
    if (!answer.title.isNull() && dialog->windowTitle() != answer.title) {
        s.errors << QStringLiteral("expected a dialog titled \"%1\", got %2").arg(answer.title, describe(dialog));
        rejectDialog(dialog);
        return;
    }
    // Run the answer from its own timer: pressing a button may open a further modal dialog,
    // and this watcher must stay free to see it.
    QTimer::singleShot(0, dialog, [action = std::move(answer.action), dialog] { action(dialog); });
}

void enqueue(const QString& title, const Action& action)
{
    DialogDriver::install();
    state().answers.push_back({title, action});
}

} // namespace

namespace DialogDriver {

void install()
{
    State& s = state();
    if (s.watcher)
        return;
    s.handled = new HandledDialogs;
    s.handled->setParent(qApp);
    s.watcher = new QTimer(qApp);
    s.watcher->setInterval(5);
    QObject::connect(s.watcher, &QTimer::timeout, &poll);
    s.watcher->start();
}

void answerInput(const QString& title, const QString& label, const QString& text, bool accept)
{
    enqueue(title, [=](QWidget* dialog) {
        auto* input = qobject_cast<QInputDialog*>(dialog);
        if (!input) {
            state().errors << QStringLiteral("expected an input dialog, got %1").arg(describe(dialog));
            rejectDialog(dialog);
            return;
        }
        if (input->labelText() != label)
            state().errors
                << QStringLiteral("input dialog label \"%1\", expected \"%2\"").arg(input->labelText(), label);
        input->setTextValue(text);
        if (accept)
            input->accept();
        else
            input->reject();
    });
}

static void pressMessageButton(QWidget* dialog, const QString& text,
                               const std::function<QAbstractButton*(QMessageBox*)>& pick)
{
    auto* box = qobject_cast<QMessageBox*>(dialog);
    if (!box) {
        state().errors << QStringLiteral("expected a message box, got %1").arg(describe(dialog));
        rejectDialog(dialog);
        return;
    }
    if (!box->text().contains(text))
        state().errors << QStringLiteral("message \"%1\" does not contain \"%2\"").arg(box->text(), text);
    QAbstractButton* button = pick(box);
    if (!button) {
        state().errors << QStringLiteral("message box %1 lacks the button to press").arg(describe(dialog));
        rejectDialog(dialog);
        return;
    }
    button->click();
}

void answerMessage(const QString& title, const QString& text, QMessageBox::StandardButton which)
{
    enqueue(title, [=](QWidget* dialog) {
        pressMessageButton(dialog, text, [which](QMessageBox* box) -> QAbstractButton* {
            if (which != QMessageBox::NoButton)
                return box->button(which);
            if (QAbstractButton* button = box->defaultButton())
                return button;
            const QList<QAbstractButton*> buttons = box->buttons();
            return buttons.size() == 1 ? buttons.first() : nullptr;
        });
    });
}

void answerMessageWithButton(const QString& title, const QString& text, const QString& buttonText)
{
    enqueue(title, [=](QWidget* dialog) {
        pressMessageButton(dialog, text, [buttonText](QMessageBox* box) -> QAbstractButton* {
            for (QAbstractButton* button : box->buttons()) {
                if (button->text() == buttonText)
                    return button;
            }
            return nullptr;
        });
    });
}

void chooseFile(QWidget* dialog, const QString& path)
{
    auto* files = qobject_cast<QFileDialog*>(dialog);
    if (!files) {
        state().errors << QStringLiteral("expected a file dialog, got %1").arg(describe(dialog));
        rejectDialog(dialog);
        return;
    }
    if (path.isEmpty()) {
        files->reject();
        return;
    }
    // selectFile() leaves the name field alone while it has the focus, so fill it directly too.
    files->selectFile(path);
    if (auto* nameField = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        nameField->setText(path);
    static_cast<QDialog*>(files)->accept(); // protected in QFileDialog, public in QDialog
    if (files->isVisible()) {
        state().errors << QStringLiteral("file dialog \"%1\" did not take %2").arg(files->windowTitle(), path);
        files->reject();
    }
}

void answerFile(const QString& caption, const QString& path)
{
    enqueue(caption, [=](QWidget* dialog) { chooseFile(dialog, path); });
}

void answerWith(const QString& title, const Action& action)
{
    enqueue(title, action);
}

int pending()
{
    return int(state().answers.size());
}

QStringList errors()
{
    return state().errors;
}

void reset()
{
    state().answers.clear();
    state().errors.clear();
}

} // namespace DialogDriver
