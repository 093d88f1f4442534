// vaultry-cli: the vault from the shell. Global options come before the command's name.

#include "app/version.h"
#include "cli/clicontext.h"
#include "store/settingsstore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QStandardPaths>

#include <cstdio>
#include <memory>
#include <sys/prctl.h>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("vaultry-cli", text);
}

QString usage()
{
    QString text = tr("Usage: vaultry-cli [--vault-dir DIR] [--password-stdin] [--json] COMMAND [ARGS]\n\n"
                      "Global options:\n"
                      "  --vault-dir DIR    The vault in DIR (default: where Vaultry keeps it).\n"
                      "  --password-stdin   Read the master password (then any other password asked for) from\n"
                      "                     standard input, a line each, instead of the terminal.\n"
                      "  --json             Print entries as JSON.\n"
                      "  --help, --version\n\n"
                      "Commands (vaultry-cli COMMAND --help tells more):\n");
    for (const CliCommand& command : cliCommands())
        text += QStringLiteral("  %1\n      %2\n")
                    .arg(QString::fromUtf8(command.synopsis), QString::fromUtf8(command.description));
    text += tr("\nENTRY is Category/Title, a title held by one entry, or an entry's id.\n"
               "Exit status: 0 done, 1 a bad argument or an unknown entry, 2 the master password, 3 a file that "
               "cannot be read or written.\n");
    return text;
}

void printError(const QString& line)
{
    std::fprintf(stderr, "vaultry-cli: %s\n", line.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char* argv[])
{
    // No core dumps and no debugger attaching: the process holds the vault's secrets.
    ::prctl(PR_SET_DUMPABLE, 0);

    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);

    CliContext context;
    QString vaultDir;
    qsizetype at = 0;
    for (; at < arguments.size(); ++at) {
        const QString& argument = arguments.at(at);
        if (argument == QLatin1String("--vault-dir")) {
            if (++at == arguments.size()) {
                printError(QStringLiteral("--vault-dir needs a folder"));
                return kExitBadArgument;
            }
            vaultDir = arguments.at(at);
        } else if (argument.startsWith(QLatin1String("--vault-dir="))) {
            vaultDir = argument.mid(12);
        } else if (argument == QLatin1String("--password-stdin")) {
            context.passwordFromStdin = true;
        } else if (argument == QLatin1String("--json")) {
            context.json = true;
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            std::fputs(usage().toLocal8Bit().constData(), stdout);
            return kExitOk;
        } else if (argument == QLatin1String("--version")) {
            std::printf("vaultry-cli %s\n", readVersion().toLocal8Bit().constData());
            return kExitOk;
        } else if (argument.startsWith(QLatin1Char('-'))) {
            printError(QStringLiteral("unknown option %1 (vaultry-cli --help lists them)").arg(argument));
            return kExitBadArgument;
        } else {
            break;
        }
    }
    if (at == arguments.size()) {
        std::fputs(usage().toLocal8Bit().constData(), stderr);
        return kExitBadArgument;
    }
    const QString name = arguments.at(at);
    const CliCommand* command = nullptr;
    for (const CliCommand& known : cliCommands()) {
        if (name == QLatin1String(known.name))
            command = &known;
    }
    if (!command) {
        printError(QStringLiteral("unknown command \"%1\" (vaultry-cli --help lists them)").arg(name));
        return kExitBadArgument;
    }

    // Only the clipboard needs a display.
    int qtArgc = 1;
    std::unique_ptr<QCoreApplication> application;
    if (command->needsClipboard)
        application = std::make_unique<QGuiApplication>(qtArgc, argv);
    else
        application = std::make_unique<QCoreApplication>(qtArgc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("VAULTRY"));
    initVaultryResources();

    if (!vaultDir.isEmpty()) {
        const QFileInfo folder(vaultDir);
        if (!folder.isDir()) {
            printError(QStringLiteral("%1 is not a folder").arg(vaultDir));
            return kExitFile;
        }
        context.directory = folder.absoluteFilePath();
    } else {
        context.directory = chooseStoreLocation(QCoreApplication::applicationDirPath(),
                                                QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
                                .directory;
    }
    QTextStream out(stdout);
    context.out = &out;
    CliError error;
    const int code = command->run(context, arguments.mid(at + 1), error);
    out.flush();
    if (code != kExitOk && !error.message.isEmpty())
        printError(error.message);
    return code;
}
