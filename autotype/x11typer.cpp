#include "x11typer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHash>
#include <QThread>

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <algorithm>

namespace {

// Errors of requests on windows that may have gone meanwhile must not end the program, as
// Xlib's default handler would.
int ignoreError(Display*, XErrorEvent*)
{
    return 0;
}

class IgnoredErrors
{
public:
    explicit IgnoredErrors(Display* display) : display(display), previous(XSetErrorHandler(ignoreError)) {}
    ~IgnoredErrors()
    {
        XSync(display, False);
        XSetErrorHandler(previous);
    }

private:
    Display* display;
    XErrorHandler previous;
};

KeySym keysymOf(char32_t character)
{
    if (character == U'\n')
        return XK_Return;
    if (character == U'\t')
        return XK_Tab;
    // Latin-1 keysyms are the code points; every other character has a Unicode keysym.
    if ((character >= 0x20 && character <= 0x7e) || (character >= 0xa0 && character <= 0xff))
        return KeySym(character);
    return KeySym(0x01000000 | character);
}

} // namespace

struct X11Typer::Private
{
    Display* display = nullptr;
    bool xtest = false;
    int minKeycode = 0, maxKeycode = 0;
    // Key codes without symbols, lent to characters the map lacks, and what each holds now.
    QList<KeyCode> spare;
    QHash<KeySym, KeyCode> lent;
    int nextSpare = 0;
    KeyCode shift = 0;

    void findSpareKeycodes()
    {
        int perKeycode = 0;
        const int count = maxKeycode - minKeycode + 1;
        KeySym* map = XGetKeyboardMapping(display, KeyCode(minKeycode), count, &perKeycode);
        if (!map)
            return;
        for (int i = count - 1; i >= 0; --i) {
            const KeySym* row = map + i * perKeycode;
            if (std::all_of(row, row + perKeycode, [](KeySym symbol) { return symbol == NoSymbol; }))
                spare.append(KeyCode(minKeycode + i));
        }
        XFree(map);
    }

    void setKeysym(KeyCode code, KeySym symbol)
    {
        KeySym symbols[2] = {symbol, symbol};
        XChangeKeyboardMapping(display, code, 2, symbols, 1);
        XSync(display, False);
    }

    // The key code and whether Shift is needed for `symbol`, lending a spare key code if need be.
    std::pair<KeyCode, bool> keyFor(KeySym symbol)
    {
        if (const auto found = lent.constFind(symbol); found != lent.constEnd())
            return {found.value(), false};
        const KeyCode code = XKeysymToKeycode(display, symbol);
        if (code != 0) {
            if (XkbKeycodeToKeysym(display, code, 0, 0) == symbol)
                return {code, false};
            if (XkbKeycodeToKeysym(display, code, 0, 1) == symbol)
                return {code, true};
        }
        if (spare.isEmpty())
            return {0, false};
        const KeyCode borrowed = spare.at(nextSpare);
        nextSpare = (nextSpare + 1) % spare.size();
        for (auto it = lent.begin(); it != lent.end(); ++it) {
            if (it.value() == borrowed) {
                // Every spare is in use: the key events sent with the old symbol must be read first.
                QThread::msleep(100);
                lent.erase(it);
                break;
            }
        }
        setKeysym(borrowed, symbol);
        lent.insert(symbol, borrowed);
        // Programs fetch the changed map when told of it; give them the time before the key comes.
        QThread::msleep(50);
        return {borrowed, false};
    }

    void press(KeySym symbol, int delayMs)
    {
        const auto [code, withShift] = keyFor(symbol);
        if (code == 0)
            return;
        if (withShift && shift)
            XTestFakeKeyEvent(display, shift, True, CurrentTime);
        XTestFakeKeyEvent(display, code, True, CurrentTime);
        XTestFakeKeyEvent(display, code, False, CurrentTime);
        if (withShift && shift)
            XTestFakeKeyEvent(display, shift, False, CurrentTime);
        XSync(display, False);
        if (delayMs > 0)
            QThread::msleep(static_cast<unsigned long>(delayMs));
    }

    void restoreLentKeys()
    {
        if (lent.isEmpty())
            return;
        // The last keys must be read with the lent symbols before they go.
        QThread::msleep(200);
        for (const KeyCode code : std::as_const(lent))
            setKeysym(code, NoSymbol);
        lent.clear();
    }
};

X11Typer::X11Typer(const QByteArray& displayName) : d(new Private)
{
    d->display = XOpenDisplay(displayName.isEmpty() ? nullptr : displayName.constData());
    if (!d->display)
        return;
    int event = 0, error = 0, major = 0, minor = 0;
    d->xtest = XTestQueryExtension(d->display, &event, &error, &major, &minor);
    XDisplayKeycodes(d->display, &d->minKeycode, &d->maxKeycode);
    d->shift = XKeysymToKeycode(d->display, XK_Shift_L);
    d->findSpareKeycodes();
}

X11Typer::~X11Typer()
{
    if (d->display) {
        d->restoreLentKeys();
        XCloseDisplay(d->display);
    }
    delete d;
}

bool X11Typer::isReady(QString* reason) const
{
    const auto tr = [](const char* text) { return QCoreApplication::translate("AutoType", text); };
    if (!d->display) {
        if (reason)
            *reason = tr("Auto-type could not connect to the X11 display.");
        return false;
    }
    if (!d->xtest) {
        if (reason)
            *reason = tr("Auto-type needs the X server's XTest extension, which this display lacks.");
        return false;
    }
    return true;
}

unsigned long X11Typer::activeWindow() const
{
    if (!d->display)
        return 0;
    IgnoredErrors guard(d->display);
    const Atom property = XInternAtom(d->display, "_NET_ACTIVE_WINDOW", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    Window active = 0;
    if (XGetWindowProperty(d->display, DefaultRootWindow(d->display), property, 0, 1, False, XA_WINDOW, &type, &format,
                           &count, &after, &data) == Success &&
        data) {
        if (count == 1 && format == 32)
            active = *reinterpret_cast<Window*>(data);
        XFree(data);
    }
    if (active == 0) {
        // No window manager: the focus is what counts.
        int revert = 0;
        XGetInputFocus(d->display, &active, &revert);
        if (active == PointerRoot || active == DefaultRootWindow(d->display))
            active = 0;
    }
    return active;
}

QString X11Typer::windowTitle(unsigned long window) const
{
    if (!d->display || window == 0)
        return QString();
    IgnoredErrors guard(d->display);
    const Atom netName = XInternAtom(d->display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(d->display, "UTF8_STRING", False);
    Atom type = 0;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    QString title;
    if (XGetWindowProperty(d->display, window, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
            Success &&
        data) {
        if (format == 8)
            title = QString::fromUtf8(reinterpret_cast<const char*>(data), int(count));
        XFree(data);
    }
    if (title.isEmpty()) {
        char* name = nullptr;
        if (XFetchName(d->display, window, &name) && name) {
            title = QString::fromLatin1(name);
            XFree(name);
        }
    }
    return title;
}

bool X11Typer::activateWindow(unsigned long window, int timeoutMs)
{
    if (!d->display || window == 0)
        return false;
    {
        IgnoredErrors guard(d->display);
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = XInternAtom(d->display, "_NET_ACTIVE_WINDOW", False);
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2; // from a pager-like tool: window managers honour it
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(d->display, DefaultRootWindow(d->display), False, SubstructureRedirectMask | SubstructureNotifyMask,
                   &event);
        XRaiseWindow(d->display, window);
        XSetInputFocus(d->display, window, RevertToParent, CurrentTime);
    }
    QElapsedTimer waited;
    waited.start();
    while (activeWindow() != window) {
        if (waited.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

bool X11Typer::waitForModifiersReleased(int timeoutMs) const
{
    if (!d->display)
        return false;
    const KeySym modifiers[] = {XK_Shift_L, XK_Shift_R, XK_Control_L,       XK_Control_R, XK_Alt_L,
                                XK_Alt_R,   XK_Meta_L,  XK_Meta_R,          XK_Super_L,   XK_Super_R,
                                XK_Hyper_L, XK_Hyper_R, XK_ISO_Level3_Shift};
    QElapsedTimer waited;
    waited.start();
    for (;;) {
        char keys[32];
        XQueryKeymap(d->display, keys);
        bool held = false;
        for (const KeySym symbol : modifiers) {
            const KeyCode code = XKeysymToKeycode(d->display, symbol);
            if (code != 0 && (keys[code / 8] & (1 << (code % 8))))
                held = true;
        }
        if (!held)
            return true;
        if (waited.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
}

void X11Typer::type(const QList<AutoTypeStep>& steps, int keyDelayMs)
{
    if (!isReady())
        return;
    // Caps Lock would turn the case of every letter: off while typing, on again afterwards.
    XkbStateRec keyboard{};
    XkbGetState(d->display, XkbUseCoreKbd, &keyboard);
    const bool capsLocked = keyboard.locked_mods & LockMask;
    if (capsLocked)
        XkbLockModifiers(d->display, XkbUseCoreKbd, LockMask, 0);
    for (const AutoTypeStep& step : steps) {
        switch (step.kind) {
        case AutoTypeStep::Kind::Text:
            for (const char32_t character : step.text.toUcs4())
                d->press(keysymOf(character), keyDelayMs);
            break;
        case AutoTypeStep::Kind::Tab:
            d->press(XK_Tab, keyDelayMs);
            break;
        case AutoTypeStep::Kind::Enter:
            d->press(XK_Return, keyDelayMs);
            break;
        case AutoTypeStep::Kind::Delay:
            QThread::msleep(static_cast<unsigned long>(step.milliseconds));
            break;
        }
    }
    d->restoreLentKeys();
    if (capsLocked)
        XkbLockModifiers(d->display, XkbUseCoreKbd, LockMask, LockMask);
    XSync(d->display, False);
}
