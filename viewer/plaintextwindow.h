#pragma once

// viewer/: the read-only text viewer that shows the release notes and the built-in help.

#include <QMainWindow>

namespace Ui {
class PlainTextWindow;
}

// A read-only text viewer with a word-wrap switch; tells its owner when it closes. Escape,
// Ctrl+W and the Close item close it.
class PlainTextWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit PlainTextWindow(const QString& text, QWidget* parent = nullptr);
    ~PlainTextWindow() override;

    // Sizes the window to its text, within the screen, and centres it over `anchor` (its
    // screen when `anchor` is hidden or null), keeping the whole frame on the screen.
    void placeOver(const QWidget* anchor);

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
