// The interrupt of a run: set by a signal (Ctrl-C, a termination request, a
// hang-up) or a console's stop.
#pragma once

#include <atomic>

// Set by a signal: waits end, and a run stops between two blocks.
inline std::atomic<int> interrupted{0};
