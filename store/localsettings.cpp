#include "localsettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QSettings>

namespace {

const QString kIdleLockKey = QStringLiteral("lock/idleMinutes");
const QString kClipboardKey = QStringLiteral("clipboard/clearSeconds");
const QString kSecretServiceKey = QStringLiteral("secretService/enabled");
const QString kSecretCategoryKey = QStringLiteral("secretService/category");
const QString kAutoTypeShortcutKey = QStringLiteral("autotype/globalShortcut");
const QString kBrowserKey = QStringLiteral("browser/fillLogins");

QString filePath(const QString& directory)
{
    return directory + QLatin1String(kLocalSettingsFileName);
}

int readBounded(const QSettings& settings, const QString& key, int maximum, int fallback)
{
    bool ok = false;
    const int value = settings.value(key).toString().trimmed().toInt(&ok);
    return ok && value >= 0 && value <= maximum ? value : fallback;
}

} // namespace

LocalSettings loadLocalSettings(const QString& directory)
{
    const QSettings file(filePath(directory), QSettings::IniFormat);
    const LocalSettings defaults;
    LocalSettings settings;
    settings.idleLockMinutes = readBounded(file, kIdleLockKey, kMaxIdleLockMinutes, defaults.idleLockMinutes);
    settings.clipboardClearSeconds =
        readBounded(file, kClipboardKey, kMaxClipboardClearSeconds, defaults.clipboardClearSeconds);
    settings.secretServiceEnabled = file.value(kSecretServiceKey).toString().trimmed() == QLatin1String("true");
    const QString category = file.value(kSecretCategoryKey).toString();
    if (!category.trimmed().isEmpty())
        settings.secretServiceCategory = category;
    settings.autoTypeShortcut = file.value(kAutoTypeShortcutKey, defaults.autoTypeShortcut).toString();
    settings.browserFillsLogins = readBounded(file, kBrowserKey, 1, int(defaults.browserFillsLogins)) == 1;
    return settings;
}

bool saveLocalSettings(const QString& directory, const LocalSettings& settings, QString* error)
{
    QSettings file(filePath(directory), QSettings::IniFormat);
    file.setValue(kIdleLockKey, qBound(0, settings.idleLockMinutes, kMaxIdleLockMinutes));
    file.setValue(kClipboardKey, qBound(0, settings.clipboardClearSeconds, kMaxClipboardClearSeconds));
    file.setValue(kSecretServiceKey, settings.secretServiceEnabled);
    if (!settings.secretServiceCategory.trimmed().isEmpty())
        file.setValue(kSecretCategoryKey, settings.secretServiceCategory);
    file.setValue(kAutoTypeShortcutKey, settings.autoTypeShortcut);
    file.setValue(kBrowserKey, int(settings.browserFillsLogins));
    file.sync();
    if (file.status() == QSettings::NoError)
        return true;
    if (error) {
        *error = QCoreApplication::translate("LocalSettings", "The settings could not be saved to %1.")
                     .arg(QDir::toNativeSeparators(filePath(directory)));
    }
    return false;
}
