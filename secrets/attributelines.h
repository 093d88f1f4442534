#pragma once

#include "secrets/secrettypes.h"

// An item's lookup attributes are kept in its entry's notes, one line each:
//     secret-attribute: name=value
// Name and value are percent-encoded where they hold "%", "=", a control character, a line or
// paragraph separator, or a space at either end; any other text is kept as it is. Other lines of
// the notes are the user's own and are left alone. docs/secret-service.md describes the form.
inline constexpr char kAttributeLinePrefix[] = "secret-attribute: ";

// The attributes the notes hold; of two lines with the same name the last one counts.
AttributeMap attributesFromNotes(const QString& notes);
// The notes without attribute lines.
QString notesWithoutAttributes(const QString& notes);
// The notes' own lines (trailing empty lines dropped), then a line per attribute, sorted by name.
QString notesWithAttributes(const QString& notes, const AttributeMap& attributes);
