#include "autotype/autotypesequence.h"
#include "autotype/windowmatch.h"
#include "autotype/x11typer.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <X11/XKBlib.h>
#include <X11/Xlib.h>

using Kind = AutoTypeStep::Kind;

namespace {

AutoTypeStep text(const QString& value)
{
    return {Kind::Text, value, 0};
}
const AutoTypeStep tab{Kind::Tab, QString(), 0};
const AutoTypeStep enter{Kind::Enter, QString(), 0};

// Reads lines of `process` until one starts with `prefix`; the rest of that line, or a null string.
QString waitForLine(QProcess& process, const QByteArray& prefix, int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < timeoutMs) {
        if (process.canReadLine()) {
            const QByteArray line = process.readLine().trimmed();
            if (line.startsWith(prefix))
                return QString::fromUtf8(line.mid(prefix.size()));
            continue;
        }
        if (process.state() == QProcess::NotRunning)
            break;
        process.waitForReadyRead(100);
    }
    return QString();
}

} // namespace

Q_DECLARE_METATYPE(QList<AutoTypeStep>)

class TestAutoType : public QObject
{
    Q_OBJECT

private slots:
    void parsesSequences_data()
    {
        QTest::addColumn<QString>("notes");
        QTest::addColumn<QList<AutoTypeStep>>("expected"); // empty: refused
        const QList<AutoTypeStep> refused;
        QTest::newRow("default") << "just notes" << QList<AutoTypeStep>{text("me"), tab, text("pw{x}"), enter};
        QTest::newRow("own line, any case")
            << "a\n  auto-type:  {username}{Tab}{TOTP}{DELAY 250}{enter}  \nb"
            << QList<AutoTypeStep>{text("me"), tab, text("123456"), {Kind::Delay, QString(), 250}, enter};
        QTest::newRow("text and braces") << "Auto-Type: id={USERNAME}{{}{}}!{PASSWORD}"
                                         << QList<AutoTypeStep>{text("id=me{}!pw{x}")};
        QTest::newRow("unknown placeholder") << "Auto-Type: {USERNAME}{F13}" << refused;
        QTest::newRow("unclosed") << "Auto-Type: {USERNAME" << refused;
        QTest::newRow("delay too long") << "Auto-Type: {DELAY 10001}" << refused;
        QTest::newRow("delay not a number") << "Auto-Type: {DELAY soon}" << refused;
    }

    // The notes' sequence becomes steps with the entry's fields; a sequence that cannot be typed as
    // meant is refused with a reason rather than typed in part.
    void parsesSequences()
    {
        QFETCH(QString, notes);
        QFETCH(QList<AutoTypeStep>, expected);
        QString error;
        const auto steps = parseAutoTypeSequence(autoTypeSequenceInNotes(notes), {"me", "pw{x}", "123456"}, &error);
        QCOMPARE(steps.has_value(), !expected.isEmpty());
        if (steps)
            QVERIFY(*steps == expected);
        else
            QVERIFY(!error.isEmpty());
        // {TOTP} for an entry without a secret is refused.
        QCOMPARE(bool(parseAutoTypeSequence(QStringLiteral("{TOTP}"), {"me", "pw", QString()})), false);
    }

    // A window offers the entries whose title or website host its title names.
    void matchesWindows()
    {
        EntryList entries;
        const auto add = [&](const QString& title, const QString& url) {
            Entry entry;
            entry.title = title;
            entry.url = url;
            entries.append(entry);
        };
        add("Mail", "https://www.mail.example.com/login");
        add("Bank", "bank.example.org");
        add("", "");
        const auto titles = [&](const QString& window) {
            QStringList found;
            for (const Entry* entry : entriesMatchingWindow(entries, window))
                found << entry->title;
            return found;
        };
        QCOMPARE(titles("Inbox - mail.example.com - Chromium"), QStringList{"Mail"});
        QCOMPARE(titles("MAIL client"), QStringList{"Mail"});
        QCOMPARE(titles("bank.example.org: Mail transfer"), (QStringList{"Mail", "Bank"}));
        QCOMPARE(titles("Terminal"), QStringList());
        QCOMPARE(titles(""), QStringList());
    }

    void typesIntoWindow_data()
    {
        QTest::addColumn<bool>("capsLock");
        QTest::newRow("plain") << false;
        QTest::newRow("Caps Lock on") << true;
    }

    // On a private X server, a small window gets exactly the account, Tab, the password with
    // characters the keyboard map lacks, and Enter, whether Caps Lock is on or not; the keyboard
    // map and Caps Lock are as before afterwards.
    void typesIntoWindow()
    {
        QFETCH(bool, capsLock);
        const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
        if (xvfb.isEmpty())
            QSKIP("Xvfb is not installed");
        // Ends after everything connected to it (declared first, it goes last).
        struct Server : QProcess
        {
            ~Server() override
            {
                terminate();
                waitForFinished(5000);
            }
        } server;
        server.start(xvfb, {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-nolisten"),
                            QStringLiteral("tcp"), QStringLiteral("-screen"), QStringLiteral("0"),
                            QStringLiteral("640x480x24")});
        QVERIFY(server.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(server.canReadLine() || server.state() == QProcess::NotRunning, 20000);
        const QByteArray display = ':' + server.readLine().trimmed();
        QVERIFY2(display.size() > 1, server.readAllStandardError().constData());

        X11Typer typer(display);
        QString reason;
        QVERIFY2(typer.isReady(&reason), qPrintable(reason));
        const QByteArray mapBefore = keyboardMap(display);
        if (capsLock)
            setCapsLock(display, true);
        QCOMPARE(capsLocked(display), capsLock);

        QProcess target;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        // Nothing of the user's: the window's program gets folders of its own.
        QTemporaryDir home;
        for (const char* variable : {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR"})
            environment.insert(QLatin1String(variable), home.path());
        target.setProcessEnvironment(environment);
        target.start(QStringLiteral(VAULTRY_AUTOTYPE_TARGET), QStringList());
        QVERIFY(target.waitForStarted());
        const QString window = waitForLine(target, "ready ", 30000);
        QVERIFY2(!window.isEmpty(), target.readAllStandardError().constData());
        QVERIFY(typer.activateWindow(window.toULong(), 5000));
        QCOMPARE(typer.activeWindow(), window.toULong());
        QCOMPARE(typer.windowTitle(typer.activeWindow()), QStringLiteral("Auto-type target"));
        QVERIFY(typer.waitForModifiersReleased(1000));

        const QString account = QStringLiteral("Zoë.Ünal@example.com");
        const QString password = QStringLiteral("pä$$ wörd€ 日本 Ωß~\"{}");
        const auto steps =
            parseAutoTypeSequence(QString::fromLatin1(kDefaultAutoTypeSequence), {account, password, {}});
        QVERIFY(steps);
        typer.type(*steps, 5);

        QVERIFY(target.waitForFinished(20000));
        const QStringList received = QString::fromUtf8(target.readAllStandardOutput()).split(QLatin1Char('\n'));
        QCOMPARE(received.value(0), account);
        QCOMPARE(received.value(1), password);
        QCOMPARE(keyboardMap(display), mapBefore);
        QCOMPARE(capsLocked(display), capsLock);
    }

private:
    // The keyboard map as xmodmap prints it; empty when xmodmap is missing.
    static QByteArray keyboardMap(const QByteArray& display)
    {
        QProcess xmodmap;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
        xmodmap.setProcessEnvironment(environment);
        xmodmap.start(QStringLiteral("xmodmap"), {QStringLiteral("-pke")});
        if (!xmodmap.waitForFinished(10000))
            return QByteArray();
        return xmodmap.readAllStandardOutput();
    }

    static void setCapsLock(const QByteArray& display, bool on)
    {
        Display* connection = XOpenDisplay(display.constData());
        XkbLockModifiers(connection, XkbUseCoreKbd, LockMask, on ? LockMask : 0);
        XCloseDisplay(connection);
    }

    static bool capsLocked(const QByteArray& display)
    {
        Display* connection = XOpenDisplay(display.constData());
        XkbStateRec state{};
        XkbGetState(connection, XkbUseCoreKbd, &state);
        XCloseDisplay(connection);
        return state.locked_mods & LockMask;
    }
};

QTEST_GUILESS_MAIN(TestAutoType)
#include "tst_autotype.moc"
