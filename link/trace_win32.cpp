#include <windows.h>

#include <atomic>

#include "link/trace.h"

namespace {
std::atomic<TraceSink> traceSink{nullptr};
}

// Every line goes to the debugger output; a front end may also watch them.
void linkTrace(const char* text) {
  OutputDebugStringA(text);
  if (TraceSink sink = traceSink.load()) sink(text);
}

void setTraceSink(TraceSink sink) {
  traceSink.store(sink);
}
