// What a gang's parent and its workers say to each other. A worker is this
// program started once per port as `worker PORT` (PORT for a person reading
// the process list); everything else it is told on its standard input.
//
// Parent to worker, on the worker's standard input:
//   plan SIZE\n followed by SIZE bytes    the worker's plan (station/plan_message.h), first
//   image SIZE\n followed by SIZE bytes   the image file's bytes, as the parent read them
//   board N\n                             the number of the board the worker takes next
//   serial TEXT\n                         the serial number that board is given
//   go\n                                  take the next board
//   stop\n                                take no further board (as the end of input does)
// Worker to parent, one event a line on the worker's standard output:
//   note TEXT | erase N | program N | message ICON CAPTION\tTEXT | report JSON
//   | trace TEXT (with --verbose: a line of the link's trace, or a note of the port)
//   ready                                 a station's worker has a new board calling:
//                                         it waits for board/serial/go, or stop
//   attempt JSON                          a board failed an attempt and is tried
//                                         again (its report follows later)
//   away TEXT                             a station's port went away (TEXT: why); said
//                                         once until it is back
//   back                                  ... and is back
//   said TEXT                             a line the worker would have written on
//                                         standard error (an error, a retried
//                                         attempt): the parent shows it with the port
// Texts are escaped: a backslash, a line feed, a carriage return and a tab
// are written as \\, \n, \r and \t, so that an event is always one line.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "image/image_snapshot.h"
#include "station/plan.h"

// ---- Worker to parent ----

enum class WorkerEventKind {
  Note,
  Erase,
  Program,
  Message,
  Report,
  Ready,
  Attempt,
  Trace,
  PortAway,
  PortBack,
  Said
};

struct WorkerEvent {
  WorkerEventKind kind = WorkerEventKind::Note;
  int steps = 0;        // Erase, Program: the steps done so far
  unsigned icon = 0;    // Message
  std::string caption;  // Message
  std::string text;     // Note, Message, Trace, Said: the text; Report, Attempt: the JSON
                        // line; PortAway: why
};

// The event as one line, its line feed included.
std::string encodeWorkerEvent(const WorkerEvent& event);
// One line without its line end (a carriage return before it is dropped).
// False for a line that is no event.
bool decodeWorkerEvent(const std::string& line, WorkerEvent* event);
// Writes the event and flushes it.
void sendWorkerEvent(FILE* out, const WorkerEvent& event);
// A gang's worker's trace sink (--verbose): each line of the link's trace
// goes to its parent on standard output, one event a line.
void traceToParent(const char* text);

// Takes the first whole line out of *pending (a carriage return before its
// line feed dropped). False while no line is complete.
bool takeLine(std::string* pending, std::string* line);

// ---- Parent to worker ----

enum class ParentMessageKind { Image, Board, Serial, Go, Stop, Plan };

struct ParentMessage {
  ParentMessageKind kind = ParentMessageKind::Stop;
  std::vector<uint8_t> image;  // Image
  unsigned long board = 0;     // Board
  std::string serial;          // Serial
  std::string plan;            // Plan: its text (encodePlan)
};

// The message as the worker reads it: a line, and for an image its bytes.
std::vector<uint8_t> encodeParentMessage(const ParentMessage& message);
// Appends the image's header and bytes, without copying them into a message.
void appendImageMessage(const std::vector<uint8_t>& image, std::vector<uint8_t>* out);
// Reads the next message. False at the end of input (*error empty) or for
// input that is no message (*error says why).
bool readParentMessage(FILE* in, ParentMessage* message, std::string* error);

// What a worker is told before it takes a board.
struct WorkerOrders {
  ImageSnapshot image;
  bool imageGiven = false;
  unsigned long board = 0;
  std::string serial;
};
// Reads messages until "go": true. False on "stop" or the end of input
// (*error empty), or for input that is no message (*error says why).
bool readWorkerOrders(FILE* in, WorkerOrders* orders, std::string* error);

// A worker's first message: its plan, for the worker on `port`.
std::vector<uint8_t> planMessage(const Options& plan);
// Reads the first message, which must be the plan, into *plan (its role
// unchanged). False with the reason in *error.
bool readWorkerPlan(FILE* in, Options* plan, std::string* error);
