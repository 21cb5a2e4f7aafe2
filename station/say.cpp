// A line for the person at the station (station/say.h).
#include "station/say.h"

#include <atomic>
#include <cstdarg>
#include <string>
#include <vector>

#include "station/worker_protocol.h"

namespace {

std::atomic<FILE*> parentEvents{nullptr};

// Each line of the text, empty ones left out, as one event.
void sendLines(FILE* events, const std::string& text) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      WorkerEvent event;
      event.kind = WorkerEventKind::Said;
      event.text = text.substr(start, end - start);
      sendWorkerEvent(events, event);
    }
    start = end + 1;
  }
}

}  // namespace

void sayToParent(FILE* events) {
  parentEvents.store(events);
}

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int size = vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::vector<char> text(size > 0 ? static_cast<size_t>(size) + 1 : 1, '\0');
  if (size > 0) vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  FILE* events = parentEvents.load();
  if (events) {
    sendLines(events, text.data());
  } else {
    fputs(text.data(), stderr);
  }
}
