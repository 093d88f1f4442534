#include "commandline.h"

#include "app/version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cstdio>
#include <vector>

namespace {

// Options QGuiApplication and QApplication take themselves; known here only so that they are
// not refused. Hidden from --help, which mentions them in one line.
void addToolkitOptions(QCommandLineParser& parser)
{
    const char* const withValue[] = {"platform",
                                     "platformpluginpath",
                                     "platformtheme",
                                     "plugin",
                                     "qwindowgeometry",
                                     "qwindowicon",
                                     "qwindowtitle",
                                     "display",
                                     "geometry",
                                     "title",
                                     "icon",
                                     "name",
                                     "session",
                                     "style",
                                     "stylesheet",
                                     "qmljsdebugger"};
    const char* const flags[] = {"reverse", "widgetcount", "nograb", "dograb", "sync", "testability"};
    for (const char* name : withValue) {
        QCommandLineOption option(QString::fromLatin1(name), QString(), QStringLiteral("value"));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
    for (const char* name : flags) {
        QCommandLineOption option(QString::fromLatin1(name));
        option.setFlags(QCommandLineOption::HiddenFromHelp);
        parser.addOption(option);
    }
}

void print(FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
    std::fflush(stream);
}

CommandLine refuse(const QString& message)
{
    print(stderr, QStringLiteral("vaultry: %1\nTry 'vaultry --help'.\n").arg(message));
    return CommandLine{true, kUsageExitCode, QString()};
}

} // namespace

CommandLine handleCommandLine(int argc, char* argv[])
{
    // A core application only, which needs no display; gone before the real one is made. It
    // gets copies of the arguments, since it may take some of them out.
    int count = argc;
    std::vector<char*> arguments(argv, argv + argc + 1);
    QCoreApplication core(count, arguments.data());
    QCoreApplication::setApplicationVersion(readVersion());

    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setApplicationDescription(QCoreApplication::translate(
        "CommandLine", "Vaultry keeps a vault of website logins and passwords.\n"
                       "Qt's own options, such as -platform and -style, are also accepted."));
    // Not addHelpOption(): its --help-all lists Qt's options, which are Qt's to document.
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QCoreApplication::translate("CommandLine", "Displays this help."));
    parser.addOption(help);
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption vaultDir(
        QStringLiteral("vault-dir"),
        QCoreApplication::translate("CommandLine", "Keep the vault (settings2.vydat) in <folder> instead of beside the "
                                                   "program or in the data folder. The folder is made if missing."),
        QCoreApplication::translate("CommandLine", "folder"));
    parser.addOption(vaultDir);
    addToolkitOptions(parser);

    if (!parser.parse(QCoreApplication::arguments()))
        return refuse(parser.errorText());
    if (parser.isSet(help)) {
        print(stdout, parser.helpText());
        return CommandLine{true, 0, QString()};
    }
    if (parser.isSet(version)) {
        print(stdout, QStringLiteral("Vaultry %1\n").arg(readVersion()));
        return CommandLine{true, 0, QString()};
    }
    if (!parser.positionalArguments().isEmpty())
        return refuse(QCoreApplication::translate("CommandLine", "unexpected argument '%1'.")
                          .arg(parser.positionalArguments().constFirst()));

    CommandLine result;
    if (parser.isSet(vaultDir)) {
        const QString given = parser.value(vaultDir);
        if (given.isEmpty())
            return refuse(QCoreApplication::translate("CommandLine", "--vault-dir needs a folder."));
        const QString folder = QDir::cleanPath(QFileInfo(given).absoluteFilePath());
        const QFileInfo info(folder);
        if (info.exists() && !info.isDir())
            return refuse(QCoreApplication::translate("CommandLine", "%1 is not a folder.")
                              .arg(QDir::toNativeSeparators(folder)));
        if (!info.exists()) {
            if (!QDir().mkpath(folder))
                return refuse(QCoreApplication::translate("CommandLine", "the folder %1 could not be made.")
                                  .arg(QDir::toNativeSeparators(folder)));
            // Holds the vault: other users have no business in it.
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        }
        result.vaultDirectory = folder;
    }
    return result;
}
