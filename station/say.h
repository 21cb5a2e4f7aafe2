// A line for the person at the station: on standard error, or in a gang's
// worker an event for its parent, which shows it with the port
// (station/worker_protocol.h, "said TEXT").
#pragma once

#include <cstdio>

#if defined(__GNUC__)
#define K4471_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define K4471_PRINTF_LIKE(f, a)
#endif

// From now on each line said is a "said" event on `events` (a gang's worker
// calls it first): nothing of the worker's reaches the terminal directly.
void sayToParent(FILE* events);
// Says one or more whole lines, printf style: on standard error, or each
// line as an event for the parent.
void say(const char* format, ...) K4471_PRINTF_LIKE(1, 2);
