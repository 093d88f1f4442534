#pragma once

// The copies of the vault this program leaves beside the store or in its folder of merged copies
// (".unreadable-", ".damaged-", ".replaced-" copies, merged conflicted copies): readable under the
// built-in key as long as the vault is not protected. Once it is, they are encrypted under the
// master password like the vault, or removed when they do not read as a vault.

#include <QStringList>

class ProtectionKey;

struct ReadableCopies
{
    QStringList encrypted;
    QStringList removed;
    // For the user; empty when there was nothing to do.
    QString summary() const;
};

// `storePath` is the store (links followed to find the folder); `except` a file left alone (where
// this session saves when a damaged store could not be copied aside).
ReadableCopies protectReadableCopies(const QString& storePath, const QString& except, const ProtectionKey& key);
