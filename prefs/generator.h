#pragma once

#include <QString>

// low + (draw mod (high - low + 1)); one draw. A reversed range is taken the right way round.
int randomInt(int low, int high);

// The lengths the settings dialog offers.
inline constexpr int kMinPasswordLength = 1;
inline constexpr int kMaxPasswordLength = 99;

// A password of randomInt(minLength, maxLength) characters drawn from lower case plus the
// selected classes: one draw for the length, then one per character. Both lengths are first
// clamped to kMinPasswordLength..kMaxPasswordLength, the minimum not above the maximum.
QString generatePassword(int minLength, int maxLength, bool mixedCase, bool alphanumeric, bool specialChars);
