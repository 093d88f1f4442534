#include "autotypesequence.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QStringList>

namespace {

void addText(QList<AutoTypeStep>& steps, const QString& text)
{
    if (text.isEmpty())
        return;
    if (!steps.isEmpty() && steps.last().kind == AutoTypeStep::Kind::Text)
        steps.last().text += text;
    else
        steps.append({AutoTypeStep::Kind::Text, text, 0});
}

std::optional<QList<AutoTypeStep>> fail(QString* error, const QString& message)
{
    if (error)
        *error = message;
    return std::nullopt;
}

} // namespace

QString autoTypeSequenceInNotes(const QString& notes)
{
    static const QRegularExpression line(QStringLiteral("^\\s*Auto-Type\\s*:\\s*(\\S.*?)\\s*$"),
                                         QRegularExpression::CaseInsensitiveOption |
                                             QRegularExpression::MultilineOption);
    const QRegularExpressionMatch match = line.match(notes);
    return match.hasMatch() ? match.captured(1) : QString::fromLatin1(kDefaultAutoTypeSequence);
}

std::optional<QList<AutoTypeStep>> parseAutoTypeSequence(const QString& sequence, const AutoTypeFields& fields,
                                                         QString* error)
{
    const auto tr = [](const char* text) { return QCoreApplication::translate("AutoType", text); };
    QList<AutoTypeStep> steps;
    qsizetype at = 0;
    while (at < sequence.size()) {
        const qsizetype open = sequence.indexOf(QLatin1Char('{'), at);
        if (open < 0) {
            addText(steps, sequence.mid(at));
            break;
        }
        addText(steps, sequence.mid(at, open - at));
        // "{}}" is a closing brace typed; otherwise the placeholder ends at the first "}".
        const qsizetype close = sequence.indexOf(QLatin1Char('}'), open + (sequence.mid(open, 3) == "{}}" ? 2 : 1));
        if (close < 0)
            return fail(error, tr("The auto-type sequence has a \"{\" without its \"}\"."));
        const QString name = sequence.mid(open + 1, close - open - 1);
        const QString upper = name.trimmed().toUpper();
        at = close + 1;
        if (name == QLatin1String("{") || name == QLatin1String("}")) {
            addText(steps, name);
        } else if (upper == QLatin1String("USERNAME")) {
            addText(steps, fields.account);
        } else if (upper == QLatin1String("PASSWORD")) {
            addText(steps, fields.password);
        } else if (upper == QLatin1String("TOTP")) {
            if (fields.totp.isEmpty())
                return fail(error, tr("The auto-type sequence asks for {TOTP}, but the entry has no one-time codes."));
            addText(steps, fields.totp);
        } else if (upper == QLatin1String("TAB")) {
            steps.append({AutoTypeStep::Kind::Tab, QString(), 0});
        } else if (upper == QLatin1String("ENTER")) {
            steps.append({AutoTypeStep::Kind::Enter, QString(), 0});
        } else if (upper.startsWith(QLatin1String("DELAY "))) {
            bool ok = false;
            const int milliseconds = upper.mid(6).trimmed().toInt(&ok);
            if (!ok || milliseconds < 0 || milliseconds > kMaxAutoTypeDelayMs)
                return fail(error,
                            tr("{DELAY n} takes a number of milliseconds from 0 to %1.").arg(kMaxAutoTypeDelayMs));
            steps.append({AutoTypeStep::Kind::Delay, QString(), milliseconds});
        } else {
            return fail(error, tr("The auto-type sequence has an unknown placeholder {%1}.").arg(name));
        }
    }
    return steps;
}
