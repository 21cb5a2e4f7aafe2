// The command line's pieces: its options, the image commands (info, convert
// and the loading of a file for a run) and the commands that address a target.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "cli/board_report.h"
#include "cli/flash_map.h"
#include "cli/serial_number.h"
#include "image/firmware_image.h"
#include "image/image_snapshot.h"
#include "image/prepared_image.h"
#include "operations/run_logic.h"

struct Options {
  std::string file;
  std::vector<std::string> ports;
  std::vector<std::string> otherPorts;  // a station worker's: the ports of its siblings
  bool bootloader = false;
  bool all = false;
  bool yes = false;
  bool launch = false;
  bool simulate = false;
  bool quiet = false;
  bool verbose = false;
  bool events = false;
  int64_t timeoutSeconds = 30;  // a reply not complete this long after its wait began ends a
                                // run; 0 waits for ever
  int64_t waitSeconds = 0;      // for the target's call; 0 waits for ever
  std::string expect;  // after the launch: a line of the application must contain it ({serial}:
                       // the board's number); empty: not checked
  int64_t expectTimeoutSeconds = 10;  // how long the application has to print it
  std::string report;                 // path of the JSON report, "-" for standard output
  bool reportAppend = false;
  std::string format = "auto";
  std::string address;            // where raw binary belongs, as given
  std::string output;             // convert: the hex token file to write, "-" for standard output
  std::string flash, bootRegion;  // the board's map, START:SIZE, when given
  // Taken from format and address.
  bool formatByContent = true;
  ImageFormat imageFormat = ImageFormat::HexToken;
  uint32_t binaryAddress = 0;
  FlashMap map;  // taken from flash and bootRegion
  // A station: every board that calls is programmed until --count boards
  // passed or a stop; a call counts as a new board after swapSeconds of quiet.
  bool loop = false;
  unsigned long count = 0;  // 0: no limit
  double swapSeconds = 2;
  int retries = 0;  // further attempts after a communication or erase error
  // Serial numbers: where, how, and where from (as given; checked by
  // takeSerialOptions).
  std::string serialAt, serialFormat = "u32le", serialStart, serialFile;
  bool numbered = false;  // taken from the above
  uint32_t serialAddress = 0;
  SerialFormat serial;
  uint64_t firstSerial = 0;  // --serial-start
  // The board's reset through a control line of its port (empty: none; a
  // person resets it), and how long the line holds it in reset.
  std::string reset;
  int resetMs = 100;
};

// The longest --timeout and --wait: one year, in seconds.
constexpr int64_t LongestWaitSeconds = 31536000;

// Set by a signal: waits end, and a run stops between two blocks.
extern std::atomic<int> interrupted;

// Checks --format, --address, --flash and --boot-region and takes their values. ExitOk, or
// ExitUsage with the reason told.
int takeFormatOptions(Options* options);

// Reads the image whole, converts it from its format and refuses it before
// anyone is asked to reset a board for it. ExitOk, or the exit code with the
// reason told (and in *failure).
int loadAndCheck(const std::string& path, const Options& options, LoadedImage* loaded,
                 std::string* failure, bool keepFile = false);
// The same check of bytes already read into loaded->run (path names them in
// the messages).
int checkImage(const std::string& path, const Options& options, LoadedImage* loaded,
               std::string* failure, bool keepFile = false);
// k4471-cli info and convert.
int showInfo(const Options& options);
int convertImage(const Options& options);

// The commands that address a target.
enum class TargetCommand { Program, Erase, Launch };

// Called for each attempt of a board that is tried again (--retries) but
// its last, as the attempt ends.
using AttemptReport = void (*)(const BoardReport& board, void* context);
// One command on one target, with its retries and its serial number (taken
// by this process unless a parent handed it over, into *serialNext with
// --serial-start); the report of the board's last attempt is filled in.
int runOnOneTarget(TargetCommand command, const Options& options, BoardReport* board,
                   uint64_t* serialNext, AttemptReport attempt, void* context);
// A station's worker (--loop with --progress-events): every new board that
// calls on its port, until its parent says stop or a signal comes between
// two boards (ExitOk); ExitInterrupted when a signal came inside a board.
int runStationWorker(const Options& options);
