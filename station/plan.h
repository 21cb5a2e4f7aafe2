// The plan of a run as the command line gave it: the options that a board's
// run, a gang and a station take, and the command that addresses the target.
// The parts are values the checks fill in; a function takes the part it
// needs. A new field goes into its part here, into eachPlanField
// (station/plan_message.cpp) so that it reaches a gang's workers, and into
// the plan's round trip in worker_protocol_test.cpp.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "station/flash_map.h"
#include "station/serial_number.h"

// What this process is: the run the user started, or a gang's worker, which
// its parent started and handed its plan (station/worker_protocol.h).
enum class RunRole { Alone, Worker };

// The image and its format (info, convert and program).
struct ImagePlan {
  std::string file;             // "-": standard input
  std::string format = "auto";  // as given
  std::string address;          // where raw binary belongs, as given
  std::string output;           // convert: the hex token file to write, "-" for standard output
  bool bootloader = false;      // a bootloader image, not an application
  // Taken from format and address.
  bool formatByContent = true;
  ImageFormat imageFormat = ImageFormat::HexToken;
  uint32_t binaryAddress = 0;
};

// The board's map, as given (START:SIZE, when given) and taken.
struct MapPlan {
  std::string flash, bootRegion;
  FlashMap map;
};

// The link to the board: its port, its timeouts and its reset.
struct LinkPlan {
  std::vector<std::string> ports;
  std::vector<std::string> otherPorts;  // a station worker's: the ports of its siblings
  bool simulate = false;
  int64_t timeoutSeconds = 30;  // a reply not complete this long after its wait began ends a
                                // run; 0 waits for ever
  int64_t waitSeconds = 0;      // for the target's call; 0 waits for ever
  // The board's reset through a control line of its port (empty: none; a
  // person resets it), and how long the line holds it in reset.
  std::string reset;
  int resetMs = 100;
  // A station file's slots (cli/station_file.h): each port's slot name and own
  // reset line, by the ports' order (empty or missing: none, the station's).
  std::vector<std::string> slots, portResets;
};

// A station: every board that calls is programmed until count boards
// passed or a stop; a call counts as a new board after swapSeconds of quiet.
struct StationPlan {
  bool loop = false;
  unsigned long count = 0;  // 0: no limit
  double swapSeconds = 2;
  int retries = 0;  // further attempts after a communication or erase error
  // The station's console (station/station_console.h): HOST:PORT to serve it
  // on (empty: none), the file that holds its token, a further name for Host.
  std::string console, consoleTokenFile, consoleHost;
  std::string stationFile;  // the TOML file the station's options came from, if any
};

// Serial numbers: where, how, and where from (as given; checked by
// takeStationOptions), and what was taken from them.
struct SerialPlan {
  std::string serialAt, serialFormat = "u32le", serialStart, serialFile;
  bool numbered = false;
  uint32_t serialAddress = 0;
  SerialFormat serial;
  uint64_t firstSerial = 0;  // --serial-start's, or the serial file's at the start
  std::string serialPath;    // the file --serial-file leads to, resolved at the start
};

// The line's record (station/station_record.h): where it is (--db, K4471_DB;
// empty: none), who writes it, the spool for rows it cannot take, and the
// counter numbers come from. The parent's alone: a worker never writes it.
struct RecordPlan {
  std::string db, station, operatorName, dbSpool, serialCounter;
};

// The report of the boards' results.
struct ReportPlan {
  std::string path;  // of the JSON report, "-" for standard output; empty: none
  bool append = false;
};

struct Options {
  RunRole role = RunRole::Alone;  // not in the plan message: the worker's entry sets it
  ImagePlan image;
  MapPlan flashMap;
  LinkPlan link;
  StationPlan station;
  SerialPlan serials;
  ReportPlan reporting;
  RecordPlan record;
  bool all = false;  // erase: the entire flash
  bool yes = false;
  bool launch = false;
  bool quiet = false;
  bool verbose = false;
  // After the launch: each text must be contained in some line of the
  // application ({serial}: the board's number; {crc32:START:SIZE},
  // {sha256:START:SIZE}: digests of its flash); empty: not checked.
  std::vector<std::string> expect;
  int64_t expectTimeoutSeconds = 10;  // how long the application has to print it
  // The developer's loop (cli/devloop_options.h): the application's lines
  // shown after the launch, and the image programmed again when it changes.
  bool monitor = false;
  bool timestamps = false;
  bool watch = false;
  bool force = false;
  int settleMs = 300;
};

// The slot name of the port at `index`, empty when it has none.
inline std::string slotOf(const Options& options, size_t index) {
  return index < options.link.slots.size() ? options.link.slots[index] : std::string();
}
// The reset line of the port at `index`: its slot's own, else the station's.
inline std::string resetOf(const Options& options, size_t index) {
  if (index < options.link.portResets.size() && !options.link.portResets[index].empty()) {
    return options.link.portResets[index];
  }
  return options.link.reset;
}

// The longest --timeout and --wait: one year, in seconds.
constexpr int64_t LongestWaitSeconds = 31536000;

// The commands that address a target.
enum class TargetCommand { Program, Erase, Launch };
