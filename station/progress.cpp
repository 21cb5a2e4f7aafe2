// How a run shows itself (station/progress.h): bars, plain lines, events for
// a gang's parent, or failures only.
#include "station/progress.h"

#include <string>

#include "station/terminal.h"
#include "station/worker_protocol.h"

namespace {

constexpr int BarWidth = 30;

// One event of a gang's worker.
void sendEvent(Progress* p, WorkerEventKind kind, int steps, const char* text = "") {
  WorkerEvent event;
  event.kind = kind;
  event.steps = steps;
  event.text = text;
  sendWorkerEvent(p->out, event);
}

// A bar past its end starts over, as the desktop tool's bars do.
void drawBar(Progress* p, const char* label, int steps, int end, bool percent) {
  int shown = steps % (end + 1);
  if (steps > 0 && shown == 0 && steps > end) shown = end;
  std::string bar = progressBarText(shown, end, BarWidth, '#');
  if (percent) {
    fprintf(p->out, "\r%-12s [%s] %3d%%", label, bar.c_str(), shown);
  } else {
    fprintf(p->out, "\r%-12s [%s] %2d/%d", label, bar.c_str(), shown, end);
  }
  fflush(p->out);
  p->lineOpen = true;
}

void stepErase(void* context) {
  Progress* p = static_cast<Progress*>(context);
  ++p->eraseSteps;
  switch (p->style) {
    case ProgressStyle::Bars:
      drawBar(p, "Erasing", p->eraseSteps, EraseBarSteps, false);
      break;
    case ProgressStyle::Lines:
      if (p->eraseSteps % 5 == 0) fprintf(p->out, "Erasing: %d/%d\n", p->eraseSteps, EraseBarSteps);
      break;
    case ProgressStyle::Events:
      sendEvent(p, WorkerEventKind::Erase, p->eraseSteps);
      break;
    case ProgressStyle::Quiet:
      break;
  }
}

void stepProgram(void* context) {
  Progress* p = static_cast<Progress*>(context);
  if (p->programSteps == 0 && p->style == ProgressStyle::Bars) progressFinish(p);
  ++p->programSteps;
  switch (p->style) {
    case ProgressStyle::Bars:
      drawBar(p, "Programming", p->programSteps, ProgramBarSteps, true);
      break;
    case ProgressStyle::Lines:
      if (p->programSteps % 10 == 0) fprintf(p->out, "Programming: %d%%\n", p->programSteps);
      break;
    case ProgressStyle::Events:
      sendEvent(p, WorkerEventKind::Program, p->programSteps);
      break;
    case ProgressStyle::Quiet:
      break;
  }
}

void showMessage(void* context, const char* text, const char* caption, unsigned icon,
                 MessageOwner) {
  Progress* p = static_cast<Progress*>(context);
  if (icon != IconInformation) p->failure = std::string(caption) + ": " + text;
  if (p->style == ProgressStyle::Events) {
    WorkerEvent event;
    event.kind = WorkerEventKind::Message;
    event.icon = icon;
    event.caption = caption;
    event.text = text;
    sendWorkerEvent(p->out, event);
    return;
  }
  progressFinish(p);
  // Failures and warnings always show, also when quiet.
  if (p->style == ProgressStyle::Quiet && icon == IconInformation) return;
  const char* kind = icon == IconError ? "error: " : icon == IconWarning ? "warning: " : "";
  fprintf(stderr, "%s%s: %s\n", kind, caption, text);
}

void linkLost(void*) {}

}  // namespace

std::string progressBarText(int steps, int end, int width, char fill) {
  int filled = end > 0 ? steps * width / end : 0;
  if (filled > width) filled = width;
  if (filled < 0) filled = 0;
  std::string bar(static_cast<size_t>(filled), fill);
  bar.append(static_cast<size_t>(width - filled), '.');
  return bar;
}

Progress progressFor(FILE* out, bool quiet, bool events) {
  Progress p = {};
  p.out = out;
  if (events) {
    p.style = ProgressStyle::Events;
  } else if (quiet) {
    p.style = ProgressStyle::Quiet;
  } else {
    p.style = isTerminal(out) ? ProgressStyle::Bars : ProgressStyle::Lines;
  }
  return p;
}

RunReport progressReport(Progress* progress) {
  return RunReport{progress, stepErase, stepProgram, showMessage, linkLost};
}

void progressNote(Progress* p, const char* text) {
  if (p->style == ProgressStyle::Events) {
    sendEvent(p, WorkerEventKind::Note, 0, text);
    return;
  }
  progressFinish(p);
  if (p->style != ProgressStyle::Quiet) fprintf(stderr, "%s\n", text);
}

void progressFinish(Progress* p) {
  if (p->lineOpen) fputc('\n', p->out);
  p->lineOpen = false;
}
