// Bootloader operations: each is a fixed exchange of frames with the target
// over the one SerialPort.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "link/app_answer.h"
#include "link/frames.h"
#include "link/serial_port.h"

enum LinkResult : int32_t {
  LinkOk = 0,
  LinkWriteFailed = 2,
  LinkNoData = 3,
  LinkPortUnavailable = 5,
  LinkNoAck = 7,
  LinkUnexpectedReply = 8,
  // connectToTarget only: its wait was aborted; the port has been closed.
  LinkAborted = 20,
};

// What readProgressReply received: one of the four replies that may come
// while the target erases, or anything else (a fault, silence, a broken frame).
enum class ProgressReply { BlockErased, Complete, AppAck, BootAck, Other };

// Opens the port of the settings, waits with no time limit for the target's
// call, acknowledges it and expects the confirmation. LinkOk,
// LinkPortUnavailable or LinkNoAck (or LinkAborted); the port stays open only
// on LinkOk. A line that fails during the wait for the call gives
// LinkPortUnavailable, as a port that does not open.
LinkResult connectToTarget(const SerialSettings& settings);
// The two halves of connectToTarget, for a front that reports a port that
// does not open before it waits: the port opened as the link's (LinkOk, or
// LinkPortUnavailable with lastPortOpenFault telling why), then the wait on
// it, with the results and the closing of connectToTarget.
LinkResult openTargetPort(const SerialSettings& settings);
LinkResult awaitTargetCall();
// awaitTargetCall in two: the wait for a call frame, not answered (LinkOk
// with the port open; LinkNoData when limitMs, unless 0, passed first, the
// port still open; else as awaitTargetCall), and its acknowledgement with
// the confirmation awaited (LinkOk, or LinkNoAck or LinkAborted with the port
// closed). A station decides between the two whether the call is a new board.
LinkResult awaitCallFrame(int64_t limitMs);
LinkResult acknowledgeTargetCall();
// How many calls the acknowledgement passes over on its way to the
// confirmation: calls the target sent while the acknowledgement travelled to
// it (over a network, or a serial server that gathers bytes before it sends
// them). 0, the start value, takes only the confirmation, so a call in its
// place ends the handshake with LinkNoAck.
void passCrossingCalls(int calls);
// Sends the launch frame and closes the port. Always LinkOk.
LinkResult launchTarget();
// Sends the launch frame and keeps the port open: what the application prints
// from then on is read with awaitApplicationText (nothing is discarded in
// between), and closeTargetPort ends it. Always LinkOk.
LinkResult launchTargetKeepOpen();
// Closes the port. Always LinkOk.
LinkResult closeTargetPort();

// How the wait for a launched application's answer ended.
enum class AppAnswer { Found, TimeLimit, LineFailed, Aborted };
// Of a line without an end, at least this many of its last bytes are kept.
constexpr size_t AppLineKeep = 4096;
// The last line a launched application printed, without its end: empty when
// it printed nothing; `ended` false when its end had not come (the wait
// ended in its middle).
struct AppLastLine {
  std::string text;
  bool ended = false;
};
// Reads what the application prints, for up to `milliseconds`, until a line
// (ended by CR, LF or both) holds each of the patterns (link/app_answer.h),
// each in some line, in any order: Found as soon as that can be judged, or
// when the byte that follows the limit at once completes a value printed
// before it; *found (when given) tells which patterns were seen. *lastLine is the last line it
// printed (the part of an unfinished one counts; when the limit cuts one,
// the rest that follows at once is read for it); of a very long line only
// its last bytes are kept (at least AppLineKeep, and never more than twice
// that or twice the longest pattern), so a line that never ends cannot exhaust
// memory. Each line is traced.
AppAnswer awaitApplicationText(const std::vector<AppAnswerPattern>& patterns, int64_t milliseconds,
                               AppLastLine* lastLine, std::vector<bool>* found = nullptr);
// One command, one timed reply: LinkOk on the awaited reply, else
// LinkUnexpectedReply.
LinkResult startErase();
LinkResult startEraseAll();
LinkResult startProgramApplication();
LinkResult startProgramBootloader();
LinkResult endProgramming();
// Block-follows frame, then the record; either acknowledgement accepted at both
// steps. LinkOk or LinkUnexpectedReply.
LinkResult sendBlock(BlockRecord record);
// One blocking reply.
ProgressReply readProgressReply();
