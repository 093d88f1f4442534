#pragma once

// KeePass 2 XML, the unencrypted export of KeePass and KeePassXC. Groups become categories
// named by their path below the root group ("Group/Sub"), except groups that hold only groups;
// entries of the recycle bin and old versions of entries stay behind. Fields an entry has no
// place for (tags, custom strings such as KeePassXC's "otp", names of attachments) are kept in
// the notes with their names.

#include "formats/importformats.h"

#include <QByteArray>
#include <QStringList>

// Counts the entries of the recycle bin and the old versions it leaves behind, for the preview.
ImportedEntries decodeKeePassXml(const QByteArray& bytes, ImportProgress* progress = nullptr);

// "Category/Title" of each entry holding a character XML 1.0 cannot carry (a control character
// other than tab and line breaks), which encodeKeePassXml writes as U+FFFD.
QStringList entriesXmlCannotCarry(const EntryList& entries);

// A KeePass 2 XML file that KeePass and KeePassXC import: a root group "Root" with a group for
// each category (a name with slashes, "Work/Mail", as nested groups), also for the categories
// no entry is in. UUIDs are derived from the entry ids, so exporting twice gives the same file.
QByteArray encodeKeePassXml(const EntryList& entries, const QStringList& categories);
