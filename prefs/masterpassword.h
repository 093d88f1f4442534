#pragma once

#include <QString>

// Lower-case hexadecimal SHA-1 of the text's Latin-1 bytes ("?" for anything above U+00FF).
QString hashMasterPassword(const QString& text);
