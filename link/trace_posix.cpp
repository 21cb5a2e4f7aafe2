#include <atomic>

#include "link/trace.h"

namespace {
std::atomic<TraceSink> traceSink{nullptr};
}

void linkTrace(const char* text) {
  if (TraceSink sink = traceSink.load()) sink(text);
}

void setTraceSink(TraceSink sink) {
  traceSink.store(sink);
}
