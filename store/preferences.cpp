#include "preferences.h"

Preferences preferences;
