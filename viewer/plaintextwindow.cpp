#include "plaintextwindow.h"
#include "ui_plaintextwindow.h"

#include <QCloseEvent>
#include <QCoreApplication>

PlainTextWindow::PlainTextWindow(const QString& text, QWidget* parent)
    : QMainWindow(parent), form(new Ui::PlainTextWindow)
{
    form->setupUi(this);
    // Nothing typed here would ever be saved.
    form->txtText->setReadOnly(true);
    form->txtText->setPlainText(text);
}

PlainTextWindow::~PlainTextWindow()
{
    delete form;
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
