// A user at the keyboard of a running Vaultry, for tests that run the real program in its own
// process. Loaded into the program as a Qt input plugin (QT_PLUGIN_PATH pointing at the folder
// that holds generic/, QT_QPA_GENERIC_PLUGINS=vaultryeditdriver), so the program itself is the
// released one, unchanged. It reads one JSON command a line on standard input and works the
// main window by its widgets' object names, as the GUI tests do:
//     {"id":1,"op":"add","category":"Work","title":"Mail","account":"ann","password":"x","notes":"","url":""}
//     {"id":2,"op":"edit","title":"Mail","set":{"password":"y","notes":"z"}}
//     {"id":3,"op":"delete","title":"Mail"}
//     {"id":4,"op":"list"}     the tree as shown: {"entries":["Work/Mail", ...]}
//     {"id":5,"op":"new-master-password","old":"a","new":"b"}   File > Reset Master Password
//     {"id":6,"op":"password","text":"b"}   a master password the user has learned
// and answers each on standard output with a line "vaultry-driver {json}" carrying the id and
// "ok" (or "error"). "ready" is said once the window is shown; a message box the program shows
// is reported as "dialog" and answered with its default button, as a user who reads and goes on
// (any other dialog is reported and closed). A master-password question is answered with the
// passwords the user knows (VAULTRY_DRIVER_PASSWORD at start, then any learned), the newest
// first and the next after each refusal; Cancel once none is left.
#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QInputDialog>
#include <QGenericPlugin>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMainWindow>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>
#include <QTreeView>
#include <QtTest/QTest>

#include <cstdio>
#include <deque>
#include <unistd.h>

namespace {

class EditDriver : public QObject
{
public:
    EditDriver()
    {
        const QString given = qEnvironmentVariable("VAULTRY_DRIVER_PASSWORD");
        if (!given.isEmpty())
            passwords << given;
        // The application object is still being made; start once its event loop runs.
        QTimer::singleShot(0, this, &EditDriver::begin);
    }

private:
    void begin()
    {
        input = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(input, &QSocketNotifier::activated, this, &EditDriver::readInput);
        auto* poll = new QTimer(this);
        poll->setInterval(50);
        connect(poll, &QTimer::timeout, this, &EditDriver::watch);
        poll->start();
    }

    static void say(const QJsonObject& message)
    {
        const QByteArray line = "vaultry-driver " + QJsonDocument(message).toJson(QJsonDocument::Compact) + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
    }

    // Finds the window once it is shown, answers message boxes, and runs what is waiting.
    void watch()
    {
        if (auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
            if (dialog != answered) {
                answered = dialog;
                auto* box = qobject_cast<QMessageBox*>(dialog);
                if (answerPasswordQuestion(dialog))
                    return;
                say({{QStringLiteral("dialog"), QJsonObject{{QStringLiteral("title"), dialog->windowTitle()},
                                                            {QStringLiteral("text"), box ? box->text() : QString()}}}});
                QAbstractButton* button = box ? box->defaultButton() : nullptr;
                if (box && !button && !box->buttons().isEmpty())
                    button = box->buttons().constFirst();
                // Any other dialog is not something these edits open: it is closed unanswered.
                if (button)
                    button->click();
                else
                    dialog->reject();
            }
            return;
        }
        if (!window) {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (widget->objectName() == QLatin1String("MainWindow") && widget->isVisible()) {
                    window = widget;
                    say({{QStringLiteral("ready"), true}});
                }
            }
        }
        runWaiting();
    }

    // A master-password question, or File > Reset Master Password opened by a command.
    bool answerPasswordQuestion(QDialog* dialog)
    {
        auto* input = qobject_cast<QInputDialog*>(dialog);
        if (input && input->windowTitle().contains(QLatin1String("Master"))) {
            const QString label = input->labelText();
            const bool refused = label.contains(QLatin1String("Wrong master password")) ||
                                 label.contains(QLatin1String("is not the vault file's master password"));
            tried = refused ? tried + 1 : 0;
            say({{QStringLiteral("dialog"), QJsonObject{{QStringLiteral("title"), dialog->windowTitle()},
                                                        {QStringLiteral("text"), label}}}});
            if (tried >= passwords.size()) {
                input->reject();
                return true;
            }
            input->setTextValue(passwords.at(passwords.size() - 1 - tried));
            input->accept();
            return true;
        }
        auto* oldPassword = dialog->findChild<QLineEdit*>(QStringLiteral("txtOldPass"));
        if (!oldPassword || newPassword.isEmpty())
            return false;
        oldPassword->setText(resetFrom);
        dialog->findChild<QLineEdit*>(QStringLiteral("txtNewPass1"))->setText(newPassword);
        dialog->findChild<QLineEdit*>(QStringLiteral("txtNewPass2"))->setText(newPassword);
        passwords.removeAll(newPassword);
        passwords << newPassword;
        newPassword.clear();
        // Pressed from an event of its own: the message that follows is answered by watch() then.
        QTimer::singleShot(0, dialog->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                           &QAbstractButton::click);
        return true;
    }

    void readInput()
    {
        char buffer[4096];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            input->setEnabled(false);
            return;
        }
        pending.append(buffer, int(got));
        for (int end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
            waiting.push_back(QJsonDocument::fromJson(pending.left(end)).object());
            pending.remove(0, end + 1);
        }
        runWaiting();
    }

    void runWaiting()
    {
        // A command that opens a dialog runs an event loop of its own; the next waits for it.
        if (busy || !window || QApplication::activeModalWidget())
            return;
        busy = true;
        while (!waiting.empty() && window) {
            const QJsonObject command = waiting.front();
            waiting.pop_front();
            QJsonObject reply = run(command);
            reply.insert(QStringLiteral("id"), command.value(QStringLiteral("id")));
            say(reply);
        }
        busy = false;
    }

    template <typename T = QLineEdit> T* widget(const char* name) const
    {
        return window->findChild<T*>(QLatin1String(name));
    }

    // False when the window has no such button.
    bool press(const char* name) const
    {
        auto* button = widget<QPushButton>(name);
        if (button)
            QTest::mouseClick(button, Qt::LeftButton);
        return button;
    }

    QAbstractItemModel* tree() const { return widget<QTreeView>("treeView")->model(); }

    // Each entry row as "category/title", in the order shown (without the count a category row adds).
    QJsonArray shownEntries() const
    {
        QJsonArray rows;
        QAbstractItemModel* model = tree();
        for (int c = 0; c < model->rowCount(); ++c) {
            const QModelIndex category = model->index(c, 0);
            const int count = model->rowCount(category);
            QString name = category.data().toString();
            const QString shownCount = QStringLiteral(" (%1)").arg(count);
            if (name.endsWith(shownCount))
                name.chop(shownCount.size());
            for (int e = 0; e < count; ++e)
                rows.append(name + QLatin1Char('/') + model->index(e, 0, category).data().toString());
        }
        return rows;
    }

    // Makes the entry titled `title` the tree's current row; false when there is none.
    bool selectEntry(const QString& title) const
    {
        QAbstractItemModel* model = tree();
        for (int c = 0; c < model->rowCount(); ++c) {
            const QModelIndex category = model->index(c, 0);
            for (int e = 0; e < model->rowCount(category); ++e) {
                const QModelIndex row = model->index(e, 0, category);
                if (row.data().toString() == title) {
                    widget<QTreeView>("treeView")->setCurrentIndex(row);
                    return true;
                }
            }
        }
        return false;
    }

    // Types the given fields into the details panel.
    void fill(const QJsonObject& fields) const
    {
        const struct
        {
            const char* key;
            const char* lineEdit;
        } lines[] = {{"title", "txtEntryTitle"},
                     {"url", "txtEntryUrl"},
                     {"account", "txtEntryAccount"},
                     {"password", "txtEntryPassword"}};
        for (const auto& line : lines) {
            if (fields.contains(QLatin1String(line.key)))
                widget(line.lineEdit)->setText(fields.value(QLatin1String(line.key)).toString());
        }
        if (fields.contains(QLatin1String("notes")))
            widget<QPlainTextEdit>("txtEntryNotes")->setPlainText(fields.value(QLatin1String("notes")).toString());
        if (fields.contains(QLatin1String("category"))) {
            auto* combo = widget<QComboBox>("comboBoxCategory");
            const int index = combo->findText(fields.value(QLatin1String("category")).toString());
            if (index >= 0)
                combo->setCurrentIndex(index);
            else
                combo->setCurrentText(fields.value(QLatin1String("category")).toString());
        }
    }

    QJsonObject run(const QJsonObject& command)
    {
        const QString op = command.value(QLatin1String("op")).toString();
        const QString title = command.value(QLatin1String("title")).toString();
        auto failed = [](const QString& why) { return QJsonObject{{QStringLiteral("error"), why}}; };
        const QJsonObject done{{QStringLiteral("ok"), true}};

        if (op == QLatin1String("list"))
            return {{QStringLiteral("ok"), true}, {QStringLiteral("entries"), shownEntries()}};
        const QJsonObject noButton = failed(QStringLiteral("a button is missing"));
        if (op == QLatin1String("add")) {
            if (!press("btnAddEntry"))
                return noButton;
            fill(command);
            if (!press("btnSaveEntry"))
                return noButton;
            return selectEntry(title) ? done : failed(QStringLiteral("the new entry is not shown"));
        }
        if (op == QLatin1String("edit")) {
            if (!selectEntry(title))
                return failed(QStringLiteral("no entry titled ") + title);
            if (!press("btnOpenEntry"))
                return noButton;
            if (widget("txtEntryTitle")->text() != title)
                return failed(QStringLiteral("the details panel did not open ") + title);
            fill(command.value(QLatin1String("set")).toObject());
            return press("btnSaveEntry") ? done : noButton;
        }
        if (op == QLatin1String("delete")) {
            if (!selectEntry(title))
                return failed(QStringLiteral("no entry titled ") + title);
            if (!press("btnDeleteEntry"))
                return noButton;
            return selectEntry(title) ? failed(QStringLiteral("still shown after Delete")) : done;
        }
        if (op == QLatin1String("password")) {
            passwords.removeAll(command.value(QLatin1String("text")).toString());
            passwords << command.value(QLatin1String("text")).toString();
            return done;
        }
        if (op == QLatin1String("new-master-password")) {
            auto* action = window->findChild<QAction*>(QStringLiteral("actionReset_Master_Password"));
            if (!action || !action->isEnabled())
                return failed(QStringLiteral("File > Reset Master Password is not there"));
            resetFrom = command.value(QLatin1String("old")).toString();
            newPassword = command.value(QLatin1String("new")).toString();
            action->trigger(); // the dialog is filled in by watch(), from its own event loop
            return newPassword.isEmpty() ? done : failed(QStringLiteral("the reset dialog did not open"));
        }
        return failed(QStringLiteral("unknown command ") + op);
    }

    QSocketNotifier* input = nullptr;
    QPointer<QWidget> window;
    QPointer<QDialog> answered;
    QByteArray pending;
    std::deque<QJsonObject> waiting;
    bool busy = false;
    QStringList passwords; // known to the user, the newest last
    int tried = 0;         // passwords refused in a row
    QString resetFrom;     // for the reset dialog a command opened
    QString newPassword;
};

} // namespace

class EditDriverPlugin : public QGenericPlugin
{
    Q_OBJECT
    Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "editdriver.json")

public:
    QObject* create(const QString& key, const QString& specification) override
    {
        Q_UNUSED(specification);
        return key.compare(QLatin1String("vaultryeditdriver"), Qt::CaseInsensitive) == 0 ? new EditDriver : nullptr;
    }
};

#include "editdriver.moc"
