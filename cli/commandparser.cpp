#include "cli/commandparser.h"

#include <QCoreApplication>
#include <QRegularExpression>

namespace {

QString tr(const char* text)
{
    return QCoreApplication::translate("vaultry-cli", text);
}

} // namespace

CommandParser::CommandParser(const CliCommand& cliCommand) : command(cliCommand)
{
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
    parser.addOption(QCommandLineOption({QStringLiteral("h"), QStringLiteral("help")}, tr("Show this help.")));
    parser.setApplicationDescription(QString::fromUtf8(command.description));
}

bool CommandParser::parse(const QStringList& arguments, int minArguments, int maxArguments, CliContext& context,
                          CliError& error, int& exitCode)
{
    if (!parser.parse(QStringList{QString::fromLatin1(command.name)} + arguments)) {
        error = CliError::badArgument(parser.errorText());
        exitCode = kExitBadArgument;
        return false;
    }
    if (parser.isSet(QStringLiteral("help"))) {
        QString help = parser.helpText();
        // Qt names the program by the first argument; the usage line is ours.
        help.replace(QRegularExpression(QStringLiteral("^Usage: [^\n]*")),
                     QStringLiteral("Usage: vaultry-cli [global options] ") + QString::fromUtf8(command.synopsis));
        *context.out << help;
        exitCode = kExitOk;
        return false;
    }
    const qsizetype count = parser.positionalArguments().size();
    if (count < minArguments || count > maxArguments) {
        error = CliError::badArgument(tr("usage: vaultry-cli %1 (see vaultry-cli %2 --help)")
                                          .arg(QString::fromUtf8(command.synopsis), QString::fromLatin1(command.name)));
        exitCode = kExitBadArgument;
        return false;
    }
    return true;
}

bool CommandParser::number(const QString& name, int low, int high, int& value, CliError& error) const
{
    bool ok = false;
    const int read = parser.value(name).toInt(&ok);
    if (!ok || read < low || read > high) {
        error = CliError::badArgument(tr("--%1 takes a whole number from %2 to %3").arg(name).arg(low).arg(high));
        return false;
    }
    value = read;
    return true;
}
