#pragma once

#include "vault/randomsource.h"
#include "vault/vault.h"

// Fills `vault` with `count` entries spread over 50 categories, "General" first, with
// realistic field sizes: a 40-character website, a 25-character account, a 65-character note.
inline void fillSampleVault(Vault& vault, int count)
{
    constexpr int categories = 50;
    RandomSource::useSeed(1);
    QStringList names{QStringLiteral("General")};
    for (int c = 1; c < categories; ++c)
        names << QStringLiteral("Category %1").arg(c);
    EntryList entries;
    entries.reserve(count);
    for (int i = 0; i < count; ++i) {
        Entry entry;
        entry.title = QStringLiteral("Site %1").arg(i);
        entry.category = names.at(i % categories);
        entry.url = QStringLiteral("https://www.site%1.example.com/login").arg(i);
        entry.account = QStringLiteral("user%1@mail.example.org").arg(i);
        entry.password = randomString(14);
        entry.notes = QStringLiteral("Security question: first pet. Recovery codes kept offline (%1).").arg(i);
        entries.append(entry);
    }
    vault.reset(names, std::move(entries));
}
