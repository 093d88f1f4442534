#include "browser/sitematch.h"

#include <QHostAddress>
#include <QUrl>

namespace {

int defaultPort(const QString& scheme)
{
    if (scheme == QLatin1String("https"))
        return 443;
    if (scheme == QLatin1String("http"))
        return 80;
    return -1;
}

bool isWebScheme(const QString& scheme)
{
    return scheme == QLatin1String("http") || scheme == QLatin1String("https");
}

QString trimmedPath(const QString& path)
{
    return path == QLatin1String("/") ? QString() : path;
}

} // namespace

QString pageHost(const QString& pageUrl)
{
    return QUrl(pageUrl.trimmed()).host();
}

int siteMatchScore(const QString& entryWebsite, const QString& pageUrl)
{
    const QUrl page(pageUrl.trimmed());
    const QString pageScheme = page.scheme().toLower();
    if (!page.isValid() || page.host().isEmpty() || pageScheme.isEmpty())
        return 0;

    const QString text = entryWebsite.trimmed();
    if (text.isEmpty())
        return 0;
    const bool schemeGiven = text.contains(QLatin1String("://"));
    const QUrl entry(schemeGiven ? text : QStringLiteral("https://") + text);
    const QString entryScheme = schemeGiven ? entry.scheme().toLower() : QString();
    if (!entry.isValid() || entry.host().isEmpty())
        return 0;

    int penalty = 0;
    if (entryScheme.isEmpty()) {
        if (!isWebScheme(pageScheme))
            return 0;
    } else if (entryScheme != pageScheme) {
        if (entryScheme != QLatin1String("http") || pageScheme != QLatin1String("https"))
            return 0;
        penalty = 5;
    }

    const int pagePort = page.port(defaultPort(pageScheme));
    const int entryPort = entry.port(-1) >= 0 ? entry.port() : defaultPort(pageScheme);
    if (pagePort != entryPort)
        return 0;

    const QString entryHost = entry.host();
    const QString host = page.host();
    if (host != entryHost) {
        const bool address = !QHostAddress(entryHost).isNull();
        if (address || !host.endsWith(QLatin1Char('.') + entryHost))
            return 0;
        const qsizetype extraLabels = host.left(host.size() - entryHost.size() - 1).count(QLatin1Char('.')) + 1;
        return qMax(20, 40 - int(extraLabels)) - penalty;
    }

    const QString entryPath = trimmedPath(entry.path());
    const QString pagePath = trimmedPath(page.path());
    if (entryPath == pagePath && entry.query() == page.query() && !entryScheme.isEmpty() && penalty == 0)
        return 100;
    if (!entryPath.isEmpty())
        return (pagePath.startsWith(entryPath) ? 80 : 50) - penalty;
    return 60 - penalty;
}
