// The terminal a run shows itself on: whether a stream is one, and whether it
// can show the escape sequences of redrawn lines. One backend per system.
#pragma once

#include <cstdio>

bool isTerminal(FILE* stream);
// Lets the stream show the escape sequences of redrawn tables (a Windows
// console needs this turned on). False where they cannot be shown.
bool enableEscapeSequences(FILE* stream);
