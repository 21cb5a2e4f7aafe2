// What a gang's parent and its workers say to each other (station/worker_protocol.h).
#include "station/worker_protocol.h"

#include "station/plan_message.h"

#include <algorithm>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "station/port_selector.h"

namespace {

// The longest line of a message (an image's bytes are not a line).
constexpr size_t LongestLine = 4096;

std::string escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char next = text[++i];
    out += next == 'n' ? '\n' : next == 'r' ? '\r' : next == 't' ? '\t' : next;
  }
  return out;
}

// The text after `word` and a space, when the line starts so.
bool after(const std::string& line, const char* word, std::string* rest) {
  const size_t length = strlen(word);
  if (line.compare(0, length, word) != 0) return false;
  if (line.size() == length) {
    rest->clear();
    return true;
  }
  if (line[length] != ' ') return false;
  *rest = line.substr(length + 1);
  return true;
}

// A whole decimal number and nothing else, up to `largest`.
bool number(const std::string& text, unsigned long long largest, unsigned long long* value) {
  if (text.empty() || text.size() > 20 || strspn(text.c_str(), "0123456789") != text.size()) {
    return false;
  }
  errno = 0;
  *value = strtoull(text.c_str(), nullptr, 10);
  return errno == 0 && *value <= largest;
}

bool decodeMessage(const std::string& rest, WorkerEvent* event) {
  const size_t space = rest.find(' ');
  const size_t tab = rest.find('\t');
  unsigned long long icon = 0;
  if (space == std::string::npos || tab == std::string::npos || tab < space ||
      !number(rest.substr(0, space), 0xFFFFFFFFu, &icon)) {
    return false;
  }
  event->kind = WorkerEventKind::Message;
  event->icon = static_cast<unsigned>(icon);
  event->caption = unescaped(rest.substr(space + 1, tab - space - 1));
  event->text = unescaped(rest.substr(tab + 1));
  return true;
}

// One line of the input, without its line feed. False at the end of input
// before the line began; *error is set for a line cut short or too long.
bool readLine(FILE* in, std::string* line, std::string* error) {
  line->clear();
  for (;;) {
    const int c = fgetc(in);
    if (c == '\n') return true;
    if (c == EOF) {
      if (!line->empty()) *error = "the input ended inside a line";
      return false;
    }
    if (line->size() == LongestLine) {
      *error = "a line longer than " + std::to_string(LongestLine) + " characters";
      return false;
    }
    *line += static_cast<char>(c);
  }
}

// SIZE bytes after a header line: an image's, or a plan's.
template <typename Bytes>
bool readSized(FILE* in, const char* aWhat, const char* what, const std::string& size, Bytes* bytes,
               std::string* error) {
  unsigned long long count = 0;
  if (!number(size, ImageSizeLimit, &count)) {
    *error = std::string(aWhat) + " of \"" + size + "\" bytes";
    return false;
  }
  bytes->resize(static_cast<size_t>(count));
  const size_t got = count == 0 ? 0 : fread(&(*bytes)[0], 1, bytes->size(), in);
  if (got != bytes->size()) {
    *error = std::string("the ") + what + " ended after " + std::to_string(got) + " of " + size +
             " bytes";
    return false;
  }
  return true;
}

}  // namespace

std::string encodeWorkerEvent(const WorkerEvent& event) {
  switch (event.kind) {
    case WorkerEventKind::Note:
      return "note " + escaped(event.text) + "\n";
    case WorkerEventKind::Erase:
      return "erase " + std::to_string(event.steps) + "\n";
    case WorkerEventKind::Program:
      return "program " + std::to_string(event.steps) + "\n";
    case WorkerEventKind::Message:
      return "message " + std::to_string(event.icon) + " " + escaped(event.caption) + "\t" +
             escaped(event.text) + "\n";
    case WorkerEventKind::Report:
      return "report " + escaped(event.text) + "\n";
    case WorkerEventKind::Ready:
      return "ready\n";
    case WorkerEventKind::Attempt:
      return "attempt " + escaped(event.text) + "\n";
    case WorkerEventKind::Trace:
      return "trace " + escaped(event.text) + "\n";
    case WorkerEventKind::PortAway:
      return "away " + escaped(event.text) + "\n";
    case WorkerEventKind::PortBack:
      return "back\n";
    case WorkerEventKind::Said:
      return "said " + escaped(event.text) + "\n";
  }
  return "\n";
}

bool decodeWorkerEvent(const std::string& line, WorkerEvent* event) {
  std::string rest;
  *event = WorkerEvent();
  unsigned long long steps = 0;
  const bool trace = after(line, "trace", &rest), away = !trace && after(line, "away", &rest);
  if (trace || away || after(line, "note", &rest)) {
    event->kind = trace  ? WorkerEventKind::Trace
                  : away ? WorkerEventKind::PortAway
                         : WorkerEventKind::Note;
    event->text = unescaped(rest);
    return true;
  }
  if (after(line, "said", &rest)) {
    event->kind = WorkerEventKind::Said;
    event->text = unescaped(rest);
    return true;
  }
  const bool attempt = after(line, "attempt", &rest);
  if (attempt || after(line, "report", &rest)) {
    event->kind = attempt ? WorkerEventKind::Attempt : WorkerEventKind::Report;
    event->text = unescaped(rest);
    return true;
  }
  if (after(line, "message", &rest)) return decodeMessage(rest, event);
  if (line == "ready" || line == "back") {
    event->kind = line == "ready" ? WorkerEventKind::Ready : WorkerEventKind::PortBack;
    return true;
  }
  const bool erase = after(line, "erase", &rest);
  if (!erase && !after(line, "program", &rest)) return false;
  if (!number(rest, 1000000, &steps)) return false;
  event->kind = erase ? WorkerEventKind::Erase : WorkerEventKind::Program;
  event->steps = static_cast<int>(steps);
  return true;
}

void sendWorkerEvent(FILE* out, const WorkerEvent& event) {
  const std::string line = encodeWorkerEvent(event);
  fwrite(line.data(), 1, line.size(), out);
  fflush(out);
}

void traceToParent(const char* text) {
  std::string line = text;
  const size_t first = line.find_first_not_of('\n');
  if (first == std::string::npos) return;
  line = line.substr(first, line.find_last_not_of('\n') - first + 1);
  WorkerEvent event;
  event.kind = WorkerEventKind::Trace;
  event.text = line;
  sendWorkerEvent(stdout, event);
}

bool takeLine(std::string* pending, std::string* line) {
  const size_t end = pending->find('\n');
  if (end == std::string::npos) return false;
  *line = pending->substr(0, end);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  pending->erase(0, end + 1);
  return true;
}

void appendImageMessage(const std::vector<uint8_t>& image, std::vector<uint8_t>* out) {
  const std::string header = "image " + std::to_string(image.size()) + "\n";
  out->insert(out->end(), header.begin(), header.end());
  out->insert(out->end(), image.begin(), image.end());
}

std::vector<uint8_t> encodeParentMessage(const ParentMessage& message) {
  std::string line;
  switch (message.kind) {
    case ParentMessageKind::Image: {
      std::vector<uint8_t> out;
      appendImageMessage(message.image, &out);
      return out;
    }
    case ParentMessageKind::Board:
      line = "board " + std::to_string(message.board) + "\n";
      break;
    case ParentMessageKind::Serial:
      line = "serial " + escaped(message.serial) + "\n";
      break;
    case ParentMessageKind::Go:
      line = "go\n";
      break;
    case ParentMessageKind::Stop:
      line = "stop\n";
      break;
    case ParentMessageKind::Plan:
      line = "plan " + std::to_string(message.plan.size()) + "\n" + message.plan;
      break;
  }
  return std::vector<uint8_t>(line.begin(), line.end());
}

bool readParentMessage(FILE* in, ParentMessage* message, std::string* error) {
  error->clear();
  *message = ParentMessage();
  std::string line, rest;
  if (!readLine(in, &line, error)) return false;
  unsigned long long board = 0;
  if (after(line, "image", &rest)) {
    message->kind = ParentMessageKind::Image;
    return readSized(in, "an image", "image", rest, &message->image, error);
  }
  if (after(line, "plan", &rest)) {
    message->kind = ParentMessageKind::Plan;
    return readSized(in, "a plan", "plan", rest, &message->plan, error);
  }
  if (after(line, "board", &rest) && number(rest, 0xFFFFFFFFu, &board)) {
    message->kind = ParentMessageKind::Board;
    message->board = static_cast<unsigned long>(board);
  } else if (after(line, "serial", &rest)) {
    message->kind = ParentMessageKind::Serial;
    message->serial = unescaped(rest);
  } else if (line == "go" || line == "stop") {
    message->kind = line == "go" ? ParentMessageKind::Go : ParentMessageKind::Stop;
  } else {
    *error = "no message: \"" + line.substr(0, 40) + "\"";
    return false;
  }
  return true;
}

bool readWorkerOrders(FILE* in, WorkerOrders* orders, std::string* error) {
  ParentMessage message;
  while (readParentMessage(in, &message, error)) {
    switch (message.kind) {
      case ParentMessageKind::Image:
        orders->image = ImageSnapshot();
        orders->image.bytes = std::move(message.image);
        orders->image.stream = true;
        orders->imageGiven = true;
        break;
      case ParentMessageKind::Board:
        orders->board = message.board;
        break;
      case ParentMessageKind::Serial:
        orders->serial = message.serial;
        break;
      case ParentMessageKind::Go:
        return true;
      case ParentMessageKind::Stop:
        return false;
      case ParentMessageKind::Plan:
        *error = "a plan after the first message";
        return false;
    }
  }
  return false;
}

std::vector<uint8_t> planMessage(const Options& plan) {
  ParentMessage message;
  message.kind = ParentMessageKind::Plan;
  message.plan = encodePlan(plan);
  return encodeParentMessage(message);
}

bool readWorkerPlan(FILE* in, Options* plan, std::string* error) {
  ParentMessage message;
  if (!readParentMessage(in, &message, error)) {
    if (error->empty()) *error = "the input ended before the plan";
    return false;
  }
  if (message.kind != ParentMessageKind::Plan) {
    *error = "no plan first";
    return false;
  }
  return decodePlan(message.plan, plan, error);
}
