// The command line's console: its standard streams and its interrupts.
#pragma once

#include <cstdio>

// Ctrl-C, a termination request and a hang-up call the handler, from a signal
// context: it may only touch atomics.
void onInterrupt(void (*handler)());

// First thing at start: standard streams that are closed are opened on the
// null device (so that no port or file takes their place), and output that can
// no longer be written (a closed pipe) never ends the process.
void prepareStandardStreams();
