#include "plaintextwindow.h"
#include "ui_plaintextwindow.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenuBar>
#include <QScreen>
#include <QScrollBar>

PlainTextWindow::PlainTextWindow(const QString& text, QWidget* parent)
    : QMainWindow(parent), form(new Ui::PlainTextWindow)
{
    form->setupUi(this);
    // Nothing typed here would ever be saved.
    form->txtText->setReadOnly(true);
    form->txtText->setPlainText(text);
    // Ctrl+W first, so that the menu shows it; then Escape and the platform's own close keys.
    QList<QKeySequence> closeKeys{QKeySequence(Qt::CTRL | Qt::Key_W), QKeySequence(Qt::Key_Escape)};
    for (const QKeySequence& key : QKeySequence::keyBindings(QKeySequence::Close)) {
        if (!closeKeys.contains(key))
            closeKeys.append(key);
    }
    form->actionClose->setShortcuts(closeKeys);
}

PlainTextWindow::~PlainTextWindow()
{
    delete form;
}

void PlainTextWindow::placeOver(const QWidget* anchor)
{
    const bool anchored = anchor && anchor->isVisible();
    QScreen* screen = anchored ? anchor->screen() : nullptr;
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(0, 0, 800, 600);
    // Room for the window manager's frame, as the anchor has it.
    const QSize frame = anchored ? anchor->frameGeometry().size() - anchor->size() : QSize(0, 0);

    // Wide enough for the longest line and tall enough for every line, where the screen allows.
    const QFontMetrics metrics(form->txtText->font());
    int widest = 0;
    const QStringList lines = form->txtText->toPlainText().split(QLatin1Char('\n'));
    for (const QString& line : lines)
        widest = qMax(widest, metrics.horizontalAdvance(line));
    const int chrome = 2 * form->txtText->frameWidth() + 2 * int(form->txtText->document()->documentMargin()) +
                       form->txtText->verticalScrollBar()->sizeHint().width() +
                       centralWidget()->layout()->contentsMargins().left() +
                       centralWidget()->layout()->contentsMargins().right() + 8;
    const int menuHeight = menuBar()->sizeHint().height();
    QSize wanted(widest + chrome, int(lines.size()) * metrics.lineSpacing() + menuHeight + chrome);
    const QSize limit = (available.size() - frame) * 9 / 10;
    wanted = wanted.boundedTo(limit).expandedTo(QSize(360, 240).boundedTo(limit));
    resize(wanted);

    QRect placed(QPoint(0, 0), wanted + frame);
    placed.moveCenter(anchored ? anchor->frameGeometry().center() : available.center());
    placed.moveLeft(qBound(available.left(), placed.left(), available.right() - placed.width() + 1));
    placed.moveTop(qBound(available.top(), placed.top(), available.bottom() - placed.height() + 1));
    move(placed.topLeft());
}

void PlainTextWindow::on_actionWord_Wrap_toggled(bool checked)
{
    form->txtText->setLineWrapMode(checked ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    // Lay the text out again before the menu closes.
    QCoreApplication::processEvents();
}

void PlainTextWindow::on_actionClose_triggered()
{
    close();
}

void PlainTextWindow::closeEvent(QCloseEvent* event)
{
    emit formClosed();
    event->accept();
}
