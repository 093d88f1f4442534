#pragma once

class QMessageBox;

// Gives the standard Save, Discard and Don't Save buttons of `box` access keys (Alt+S, Alt+D),
// which the platform's own captions lack.
void setAccessKeys(QMessageBox& box);
