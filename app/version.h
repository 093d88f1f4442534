#pragma once

#include <QString>

// Makes both embedded resource sets known; safe to call more than once.
void initVaultryResources();

// The program's version text from the embedded resources, trimmed: "1.0.5".
QString readVersion();
