#include "windowmatch.h"

#include <QUrl>

QList<const Entry*> entriesMatchingWindow(const EntryList& entries, const QString& windowTitle)
{
    QList<const Entry*> found;
    if (windowTitle.trimmed().isEmpty())
        return found;
    for (const Entry& entry : entries) {
        const QString title = entry.title.trimmed();
        QString host = QUrl::fromUserInput(entry.url.trimmed()).host();
        if (host.startsWith(QLatin1String("www.")))
            host = host.mid(4);
        if ((!title.isEmpty() && windowTitle.contains(title, Qt::CaseInsensitive)) ||
            (!entry.url.trimmed().isEmpty() && !host.isEmpty() && windowTitle.contains(host, Qt::CaseInsensitive)))
            found.append(&entry);
    }
    return found;
}
