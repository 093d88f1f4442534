#include "conflictcopies.h"

#include "store/settingsstore.h"

#include <QRegularExpression>

namespace {

// kStoreFileName without its leading slash, split at the suffix: "settings2" and ".vydat".
QString storeBaseName()
{
    const QString name = QLatin1String(kStoreFileName).mid(1);
    return name.left(name.lastIndexOf(QLatin1Char('.')));
}

QString storeSuffix()
{
    const QString name = QLatin1String(kStoreFileName);
    return name.mid(name.lastIndexOf(QLatin1Char('.')));
}

const QRegularExpression& conflictPattern()
{
    static const QRegularExpression pattern = [] {
        const QString base = QRegularExpression::escape(storeBaseName());
        const QString suffix = QRegularExpression::escape(storeSuffix());
        const QString date = QStringLiteral("[0-9]{4}-[0-9]{2}-[0-9]{2}");
        const QStringList forms = {
            // Syncthing: date, time and the first characters of the device id.
            base + QStringLiteral("\\.sync-conflict-[0-9]{8}-[0-9]{6}-[A-Za-z0-9]+") + suffix,
            // Nextcloud and ownCloud, the user's name optional.
            base + QStringLiteral(" \\(conflicted copy (?:.+ )?") + date + QStringLiteral(" [0-9]{6}\\)") + suffix,
            // Dropbox: the computer's or the user's name, the date and a counter from the second on.
            base + QStringLiteral(" \\(.+['\u2019]s conflicted copy ") + date +
                QStringLiteral("(?: \\([0-9]+\\))?\\)") + suffix,
        };
        return QRegularExpression(QStringLiteral("^(?:") + forms.join(QLatin1Char('|')) + QStringLiteral(")$"));
    }();
    return pattern;
}

} // namespace

bool isStoreConflictCopy(const QString& fileName)
{
    return conflictPattern().match(fileName).hasMatch();
}

QStringList storeConflictCopies(const QStringList& fileNames)
{
    QStringList copies;
    for (const QString& name : fileNames) {
        if (isStoreConflictCopy(name))
            copies << name;
    }
    return copies;
}

QString mergedConflictCopyName(const QString& conflictName, const QStringList& fileNames)
{
    const qsizetype dot = conflictName.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? conflictName.left(dot) : conflictName;
    const QString suffix = dot > 0 ? conflictName.mid(dot) : QString();
    QString name = stem + QStringLiteral(" (merged)") + suffix;
    for (int n = 2; fileNames.contains(name); ++n)
        name = stem + QStringLiteral(" (merged %1)").arg(n) + suffix;
    return name;
}
