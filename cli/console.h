// The command line's console: its standard streams and its interrupts.
#pragma once

#include <cstdio>

bool isTerminal(FILE* stream);
// Ctrl-C, a termination request and a hang-up call the handler, from a signal
// context: it may only touch atomics.
void onInterrupt(void (*handler)());

// First thing at start: standard streams that are closed are opened on the
// null device (so that no port or file takes their place), and output that can
// no longer be written (a closed pipe) never ends the process.
void prepareStandardStreams();
// Lets the stream show the escape sequences of redrawn tables (a Windows
// console needs this turned on). False where they cannot be shown.
bool enableEscapeSequences(FILE* stream);
