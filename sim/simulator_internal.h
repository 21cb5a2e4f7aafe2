// The simulator's pieces and what they share. The core (simulator_posix.cpp)
// owns the thread and joins the pieces: the line (pty_link.h), its pacing
// (line_pacing.h), the control lines (control_lines.cpp, arriving through
// control_fifo_posix.cpp or simControl) with the option table
// (sim_options.cpp), the call timer (call_timer.cpp) with the application's
// line (app_text.h), the network port (tcp_bridge_posix.cpp,
// com_port_server.cpp), what it reports (sim_output_posix.cpp) and the target
// itself (target_model.h).
// What other threads may look at is read in sim_state.cpp.
#pragma once

#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/telnet_codec.h"
#include "sim/app_text.h"
#include "sim/line_pacing.h"
#include "sim/pty_link.h"
#include "sim/simulator.h"
#include "sim/target_model.h"

// When the board calls, or chatters as a running application.
struct CallTimer {
  SimTime nextCall;
  SimTime nextChatter;
  int chatterTick = 0;
  bool backlogDue = true;        // the stale calls of a start or reset are still to go out
  bool callOutstanding = false;  // a call went out since the start or the last reset
  bool nextBoardDue = false;     // a run or launch ended: the next board comes at nextBoard
  SimTime nextBoard;
};

enum class SimResetLine { None, Dtr, Rts };

// The network port: a listening socket, the one host connected to it, and
// what the COM-PORT protocol has set.
struct NetPort {
  int listenFd = -1;
  int client = -1;
  int port = 0;
  bool rfc2217 = false;
  SimResetLine resetOn = SimResetLine::None;
  bool dtr = false;  // the control lines as the host last set them
  bool rts = false;
  uint32_t baudRate = 115200;
  uint8_t framing[3] = {8, 1, 1};  // data size, parity (none), stop size (one)
  TelnetParser parser;
  TelnetOptions options;
};

struct Simulator {
  std::string linkPath;
  std::string memoryOut;
  std::string controlPath;
  std::string logPath;
  std::string appText;
  bool verbose = false;

  std::mutex mutex;                   // guards everything below up to the thread-only part
  std::condition_variable resetDone;  // a reset or a change of settings was served
  TargetModel model;
  std::vector<uint8_t> hostBytes;
  std::string device;  // the line's device, for other threads
  int callsSent = 0;
  int flashPublished = 0;
  int board = 1;  // boards on the fixture since start
  unsigned resetsServed = 0;
  unsigned settingsRequested = 0;
  unsigned settingsServed = 0;
  bool inputPending = false;  // the host had sent bytes not yet taken, at the last sync
  // Bits flipped after each programming run, and after the next one only.
  std::vector<FlipBit> flipEvery, flipNext;

  std::atomic<int> callMs{500};
  std::atomic<int> eraseBlockMs{0};
  std::atomic<int> baud{0};
  std::atomic<int> staleCalls{0};
  std::atomic<int> chatterMs{0};
  std::atomic<int> nextBoardMs{0};
  std::atomic<int> latencyMs{0};
  std::atomic<int> appTextCut{0};
  std::atomic<bool> heldInReset{false};
  std::atomic<bool> stopping{false};
  std::atomic<unsigned> resetsRequested{0};
  std::atomic<bool> unplugRequested{false};

  // Used by the thread only once it runs (and by start and stop around it).
  PtyLine line;
  int wakeRead = -1;
  int wakeWrite = -1;
  int fifoRead = -1;
  int fifoKeep = -1;  // our own writer, so the FIFO never reports end of file
  bool fifoCreated = false;
  std::string controlBuffer;  // control bytes short of a line end
  FILE* logFile = nullptr;
  CallTimer calls;
  NetPort net;
  LinePace rx;  // pacing, each way
  LinePace tx;

  std::thread thread;
};

// ---- What the simulator reports (sim_output_posix.cpp) ----
// "k4471-sim: " and the detail formatted into `format`, on stderr.
void simComplain(const char* format, const std::string& detail);
// A line of the verbose trace.
void simTrace(Simulator* sim, const char* direction, const std::string& text);
void simAppendLog(Simulator* sim, const std::string& line);
// Counts a publication of the flash, and writes the memory-out file if there is
// one: simMemoryOutPath's name for the board on the fixture.
bool simWriteMemoryOut(Simulator* sim);

// ---- The core (simulator_posix.cpp) ----
// Writes bytes to the host, paced when a baud rate is set. False when the line
// is gone, or the simulator was stopped or reset before all went out.
bool simSendToHost(Simulator* sim, const uint8_t* bytes, size_t count);
// On the simulator's thread: carry out the resets requested so far; unplug;
// put the next board on the fixture.
void simServeResetRequests(Simulator* sim);
void simServeNextBoard(Simulator* sim);
void simServeUnplug(Simulator* sim);
// Waits (a few seconds at most) until the thread has come round its loop and
// so taken changed settings into account; true when it did and found nothing
// unread from the host.
bool simAwaitSettings(Simulator* sim, int timeoutMs = 5000);

// ---- Control lines (control_lines.cpp) ----
// One control line. `onThread`: called by the simulator's own thread, which
// then carries out a reset itself, in order with the other lines; otherwise
// the call returns once the thread has served the line.
bool applyControl(Simulator* sim, std::string line, bool onThread);
// Bytes from the control channel: each whole line is applied on the thread.
void feedControl(Simulator* sim, const char* bytes, size_t count);

// A control line holds the board in reset (silent, deaf) or releases it, which
// resets it; on the simulator's thread.
void simHoldReset(Simulator* sim, bool held);

// ---- The network port (tcp_bridge_posix.cpp, com_port_server.cpp) ----
// Listens on "HOST:PORT" (port 0: a free one, then in net.port).
bool netPortOpen(Simulator* sim, const std::string& listen, std::string* why);
void netPortClose(Simulator* sim);
// Closes the connection to the host (the line hung up or was unplugged).
void netPortDrop(Simulator* sim);
// The descriptors to wait on (at most three), and serving those that are ready.
int netPortPollFds(Simulator* sim, pollfd* fds);
void netPortServe(Simulator* sim, const pollfd* fds, int count);
void netPortFromHost(Simulator* sim);
// Answers a Telnet event from the host of a COM-PORT connection.
void comPortServe(Simulator* sim, const TelnetEvent& event, std::vector<uint8_t>* out);

// ---- The control FIFO (control_fifo_posix.cpp) ----
bool controlFifoCreate(Simulator* sim, std::string* error);
// Reads what has come and applies the whole lines.
void controlFifoRead(Simulator* sim);
void controlFifoClose(Simulator* sim);

// ---- The call timer (call_timer.cpp) ----
// Calls, or chatters, when due; returns the milliseconds until it wants to run again.
int serveCallTimer(Simulator* sim);
// After a reset: call at once, stale calls first.
void callTimerRestart(Simulator* sim);
// After a change of settings: a shorter period takes effect at once, and a
// target that no longer calls takes back a call that nobody has read yet.
void callTimerSettingsChanged(Simulator* sim);
void withdrawCallIfSilent(Simulator* sim);
// A programming run or a launch has ended: the next board comes in its time,
// and a launched application prints its line.
void callTimerRunEnded(Simulator* sim, bool launched);
