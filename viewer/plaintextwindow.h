#pragma once

// viewer/: the read-only text viewer that shows the release notes and the built-in help.

#include <QMainWindow>

namespace Ui {
class PlainTextWindow;
}

// A read-only text viewer with a word-wrap switch; tells its owner when it closes.
class PlainTextWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit PlainTextWindow(const QString& text, QWidget* parent = nullptr);
    ~PlainTextWindow() override;

signals:
    void formClosed();

private slots:
    void on_actionWord_Wrap_toggled(bool checked);
    void on_actionClose_triggered();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    Ui::PlainTextWindow* form;
};
