#pragma once

#include <QAbstractNativeEventFilter>
#include <QKeySequence>
#include <QObject>

// A key combination that reaches the program whatever window has the focus: grabbed on the X11
// root window through Qt's own connection, so its key presses come in with Qt's events.
class GlobalShortcut : public QObject, public QAbstractNativeEventFilter
{
    Q_OBJECT

public:
    explicit GlobalShortcut(QObject* parent = nullptr);
    ~GlobalShortcut() override;

    // Whether the program runs on X11 (Qt's xcb platform), where a shortcut can be grabbed.
    static bool isSupported();

    // Grabs `keys` (its first combination) instead of the one held; an empty sequence only lets go.
    // False, with `error` set for the user, when it cannot be grabbed (another program holds it).
    bool setShortcut(const QKeySequence& keys, QString* error = nullptr);
    QKeySequence shortcut() const { return keys; }

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

signals:
    void activated();

private:
    void release();

    QKeySequence keys;
    quint8 keycode = 0;
    quint16 modifiers = 0;
};
