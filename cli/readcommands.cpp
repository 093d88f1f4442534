// The commands that only read the vault: ls, search, show, generate, totp, clip.

#include "cli/clicontext.h"
#include "cli/commandparser.h"
#include "cli/entrylookup.h"
#include "cli/entryoutput.h"
#include "cli/vaultfile.h"
#include "prefs/generator.h"
#include "store/localsettings.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QCryptographicHash>
#include <QGuiApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QMimeData>
#include <QTimer>

#include <algorithm>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("vaultry-cli", text);
}

// Prints entries as ls and search do: "Category/Title" a line, in category order, each category's
// entries by title; or a JSON array of {id, category, title}.
void printEntries(CliContext& context, const Payload& vault, QList<qsizetype> rows)
{
    QHash<QString, qsizetype> categoryOrder;
    for (qsizetype i = 0; i < vault.categories.size(); ++i)
        categoryOrder.insert(vault.categories.at(i), i);
    std::stable_sort(rows.begin(), rows.end(), [&](qsizetype a, qsizetype b) {
        const Entry& x = vault.entries.at(a);
        const Entry& y = vault.entries.at(b);
        const qsizetype cx = categoryOrder.value(x.category, vault.categories.size());
        const qsizetype cy = categoryOrder.value(y.category, vault.categories.size());
        if (cx != cy)
            return cx < cy;
        return x.title.compare(y.title, Qt::CaseInsensitive) < 0;
    });
    if (context.json) {
        QJsonArray list;
        for (qsizetype row : rows) {
            const Entry& entry = vault.entries.at(row);
            list.append(QJsonObject{{QStringLiteral("id"), entry.id},
                                    {QStringLiteral("category"), entry.category},
                                    {QStringLiteral("title"), entry.title}});
        }
        *context.out << QJsonDocument(list).toJson(QJsonDocument::Indented);
        return;
    }
    for (qsizetype row : rows)
        *context.out << entryPath(vault.entries.at(row)) << '\n';
}

// The entry's field that clip copies; false with `error` set for an unknown field name.
bool clipField(const Entry& entry, const QString& field, QString& value, CliError& error)
{
    if (field == QLatin1String("password"))
        value = entry.password;
    else if (field == QLatin1String("account"))
        value = entry.account;
    else if (field == QLatin1String("url"))
        value = entry.url;
    else if (field == QLatin1String("totp")) {
        if (!currentOneTimeCode(entry, value)) {
            error = CliError::badArgument(tr("\"%1\" has no one-time code").arg(entryPath(entry)));
            return false;
        }
    } else {
        error = CliError::badArgument(tr("--field takes password, account, url or totp, not \"%1\"").arg(field));
        return false;
    }
    return true;
}

} // namespace

int runList(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("ls"));
    int code = kExitOk;
    if (!parser.parse(arguments, 0, 1, context, error, code))
        return code;
    VaultFile vault(context.directory);
    if (!vault.open(context.passwords(), error))
        return error.code;
    const Payload& contents = vault.contents();
    const QString category = parser.positional().value(0);
    if (!category.isEmpty() && !contents.categories.contains(category)) {
        error = CliError::badArgument(tr("no category \"%1\"").arg(category));
        return error.code;
    }
    QList<qsizetype> rows;
    for (qsizetype i = 0; i < contents.entries.size(); ++i) {
        if (category.isEmpty() || contents.entries.at(i).category == category)
            rows << i;
    }
    printEntries(context, contents, rows);
    return kExitOk;
}

int runSearch(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("search"));
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    VaultFile vault(context.directory);
    if (!vault.open(context.passwords(), error))
        return error.code;
    const QString text = parser.positional().first();
    QList<qsizetype> rows;
    for (qsizetype i = 0; i < vault.contents().entries.size(); ++i) {
        if (matchesSearch(vault.contents().entries.at(i), text))
            rows << i;
    }
    printEntries(context, vault.contents(), rows);
    return kExitOk;
}

int runShow(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("show"));
    parser.addOption(QCommandLineOption(QStringLiteral("show-protected"), tr("Show the password too.")));
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    VaultFile vault(context.directory);
    const qsizetype row = vault.openEntry(context.passwords(), parser.positional().first(), error);
    if (row < 0)
        return error.code;
    const Entry& entry = vault.contents().entries.at(row);
    const bool showPassword = parser.isSet(QStringLiteral("show-protected"));
    if (context.json)
        *context.out << QJsonDocument(entryJson(entry, showPassword)).toJson(QJsonDocument::Indented);
    else
        *context.out << entryText(entry, showPassword);
    return kExitOk;
}

int runGenerate(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("generate"));
    parser.addOption(
        QCommandLineOption(QStringLiteral("length"), tr("Exactly this many characters."), QStringLiteral("N")));
    int code = kExitOk;
    if (!parser.parse(arguments, 0, 0, context, error, code))
        return code;
    Preferences policy;
    int length = 0;
    if (parser.isSet(QStringLiteral("length"))) {
        if (!parser.number(QStringLiteral("length"), kMinPasswordLength, kMaxPasswordLength, length, error))
            return error.code;
    }
    // The vault's policy; with --length only its character classes, so no vault is needed then.
    VaultFile vault(context.directory);
    if (length == 0) {
        if (!vault.open(context.passwords(), error))
            return error.code;
        policy = vault.contents().preferences;
    }
    const int low = length ? length : policy.genMinLength;
    const int high = length ? length : policy.genMaxLength;
    *context.out << generatePassword(low, high, policy.genMixedCase, policy.genAlphanum, policy.genSpecialChars)
                 << '\n';
    return kExitOk;
}

int runTotp(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("totp"));
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    VaultFile vault(context.directory);
    const qsizetype row = vault.openEntry(context.passwords(), parser.positional().first(), error);
    if (row < 0)
        return error.code;
    QString value;
    if (!clipField(vault.contents().entries.at(row), QStringLiteral("totp"), value, error))
        return error.code;
    *context.out << value << '\n';
    return kExitOk;
}

int runClip(CliContext& context, const QStringList& arguments, CliError& error)
{
    CommandParser parser(commandNamed("clip"));
    parser.addOption(QCommandLineOption(QStringLiteral("field"), tr("password (default), account, url or totp."),
                                        QStringLiteral("FIELD"), QStringLiteral("password")));
    parser.addOption(QCommandLineOption(QStringLiteral("seconds"),
                                        tr("Clear the clipboard after N seconds (default: the window's setting)."),
                                        QStringLiteral("N")));
    int code = kExitOk;
    if (!parser.parse(arguments, 1, 1, context, error, code))
        return code;
    int seconds = loadLocalSettings(context.directory).clipboardClearSeconds;
    if (parser.isSet(QStringLiteral("seconds")) &&
        !parser.number(QStringLiteral("seconds"), 0, kMaxClipboardClearSeconds, seconds, error))
        return error.code;
    VaultFile vault(context.directory);
    const qsizetype row = vault.openEntry(context.passwords(), parser.positional().first(), error);
    if (row < 0)
        return error.code;
    const Entry& entry = vault.contents().entries.at(row);
    QString value;
    if (!clipField(entry, parser.value(QStringLiteral("field")), value, error))
        return error.code;

    QClipboard* clipboard = QGuiApplication::clipboard();
    auto* data = new QMimeData;
    data->setText(value);
    // Clipboard managers that honour the mark keep no copy.
    data->setData(QStringLiteral("x-kde-passwordManagerHint"), QByteArrayLiteral("secret"));
    clipboard->setMimeData(data, QClipboard::Clipboard);
    if (seconds == 0) {
        *context.out << tr("Copied to the clipboard.") << '\n';
        context.out->flush();
        return kExitOk;
    }
    *context.out << QCoreApplication::translate(
                        "vaultry-cli", "Copied to the clipboard; it is cleared in %n second(s).", nullptr, seconds)
                 << '\n';
    context.out->flush();
    // On X11 the clipboard holds the text only while its owner runs: this waits, then clears it
    // unless something else was copied meanwhile.
    const QByteArray copied = QCryptographicHash::hash(value.toUtf8(), QCryptographicHash::Sha256);
    QTimer::singleShot(seconds * 1000, qApp, [&] {
        if (QCryptographicHash::hash(clipboard->text().toUtf8(), QCryptographicHash::Sha256) == copied)
            clipboard->clear();
        QCoreApplication::quit();
    });
    QCoreApplication::exec();
    return kExitOk;
}
