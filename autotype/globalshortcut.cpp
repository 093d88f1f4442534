#include "globalshortcut.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMetaObject>

#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <xcb/xcb.h>

namespace {

// Caps Lock and Num Lock (Mod2 on every common layout) must not keep the shortcut from working.
constexpr quint16 kIgnoredModifiers[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};

QNativeInterface::QX11Application* x11()
{
    return qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
}

KeySym keysymOf(int key)
{
    if (key >= Qt::Key_A && key <= Qt::Key_Z)
        return XK_a + (key - Qt::Key_A);
    if (key >= Qt::Key_0 && key <= Qt::Key_9)
        return XK_0 + (key - Qt::Key_0);
    if (key >= Qt::Key_F1 && key <= Qt::Key_F35)
        return XK_F1 + (key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Space:
        return XK_space;
    case Qt::Key_Insert:
        return XK_Insert;
    case Qt::Key_Home:
        return XK_Home;
    case Qt::Key_End:
        return XK_End;
    case Qt::Key_PageUp:
        return XK_Prior;
    case Qt::Key_PageDown:
        return XK_Next;
    default:
        return XStringToKeysym(QKeySequence(key).toString(QKeySequence::PortableText).toLatin1().constData());
    }
}

} // namespace

GlobalShortcut::GlobalShortcut(QObject* parent) : QObject(parent)
{
    if (qGuiApp)
        qGuiApp->installNativeEventFilter(this);
}

GlobalShortcut::~GlobalShortcut()
{
    release();
    if (qGuiApp)
        qGuiApp->removeNativeEventFilter(this);
}

bool GlobalShortcut::isSupported()
{
    return QGuiApplication::platformName() == QLatin1String("xcb") && x11() && x11()->connection() &&
           x11()->display();
}

bool GlobalShortcut::setShortcut(const QKeySequence& wanted, QString* error)
{
    const auto tr = [](const char* text) { return QCoreApplication::translate("GlobalShortcut", text); };
    release();
    if (wanted.isEmpty())
        return true;
    if (!isSupported()) {
        if (error)
            *error = tr("Global shortcuts need an X11 session.");
        return false;
    }
    const QKeyCombination combination = wanted[0];
    const KeySym symbol = keysymOf(int(combination.key()));
    Display* display = x11()->display();
    const KeyCode code = symbol == NoSymbol ? 0 : XKeysymToKeycode(display, symbol);
    if (code == 0) {
        if (error)
            *error = tr("The key %1 is not on this keyboard.").arg(wanted.toString(QKeySequence::NativeText));
        return false;
    }
    quint16 mask = 0;
    const Qt::KeyboardModifiers held = combination.keyboardModifiers();
    if (held & Qt::ShiftModifier)
        mask |= XCB_MOD_MASK_SHIFT;
    if (held & Qt::ControlModifier)
        mask |= XCB_MOD_MASK_CONTROL;
    if (held & Qt::AltModifier)
        mask |= XCB_MOD_MASK_1;
    if (held & Qt::MetaModifier)
        mask |= XCB_MOD_MASK_4;

    xcb_connection_t* connection = x11()->connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    bool grabbed = true;
    for (const quint16 ignored : kIgnoredModifiers) {
        const xcb_void_cookie_t cookie =
            xcb_grab_key_checked(connection, 1, root, mask | ignored, code, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        if (xcb_generic_error_t* failure = xcb_request_check(connection, cookie)) {
            free(failure);
            grabbed = false;
        }
    }
    if (!grabbed) {
        for (const quint16 ignored : kIgnoredModifiers)
            xcb_ungrab_key(connection, code, root, mask | ignored);
        xcb_flush(connection);
        if (error)
            *error = tr("Another program already uses %1.").arg(wanted.toString(QKeySequence::NativeText));
        return false;
    }
    keys = wanted;
    keycode = code;
    modifiers = mask;
    return true;
}

void GlobalShortcut::release()
{
    if (keycode == 0 || !isSupported())
        return;
    xcb_connection_t* connection = x11()->connection();
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;
    for (const quint16 ignored : kIgnoredModifiers)
        xcb_ungrab_key(connection, keycode, root, modifiers | ignored);
    xcb_flush(connection);
    keycode = 0;
    keys = QKeySequence();
}

bool GlobalShortcut::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (keycode == 0 || eventType != "xcb_generic_event_t")
        return false;
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_KEY_PRESS)
        return false;
    const auto* press = static_cast<const xcb_key_press_event_t*>(message);
    const quint16 state = press->state & ~(XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2);
    if (press->detail != keycode || state != modifiers)
        return false;
    // Later, outside the event filter: the answer may open dialogs.
    QMetaObject::invokeMethod(this, &GlobalShortcut::activated, Qt::QueuedConnection);
    return true;
}
