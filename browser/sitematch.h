#pragma once

#include <QString>

// How well an entry's website fits the page a browser fills, as KeePassXC-Browser expects: the
// scheme must agree (an entry for http also fits the same site over https, not the other way
// round; one without a scheme fits either), the port must be the entry's (or the scheme's own
// when the entry names none), and the host must be the entry's or one of its subdomains.
// 0: it does not fit; higher fits better: the whole address, then the host with the entry's path,
// then the host, then subdomains, the nearer the better.
int siteMatchScore(const QString& entryWebsite, const QString& pageUrl);

// The host of a page's address ("mail.example.com"); empty when it has none.
QString pageHost(const QString& pageUrl);
