// Keys typed on the terminal while a watch runs (r, q), one at a time and not
// echoed; the terminal's settings are put back as they were at the end.
// Ctrl-C still interrupts. System dependent: keys_posix.cpp, keys_win32.cpp.
#pragma once

// Starts reading keys when standard input is a terminal: true then (call
// endKeys on every way out), false otherwise (nothing changed).
bool startKeys();
// The key typed since the last look, or 0 when none.
int typedKey();
// The terminal's settings as startKeys found them.
void endKeys();
