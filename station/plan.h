// The plan of a run as the command line gave it: the options that a board's
// run, a gang and a station take, and the command that addresses the target.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/firmware_image.h"
#include "station/flash_map.h"
#include "station/serial_number.h"

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
  // After the launch: each text must be contained in some line of the
  // application ({serial}: the board's number; {crc32:START:SIZE},
  // {sha256:START:SIZE}: digests of its flash); empty: not checked.
  std::vector<std::string> expect;
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
  std::string serialPath;    // the file --serial-file leads to, resolved at the start
  // The board's reset through a control line of its port (empty: none; a
  // person resets it), and how long the line holds it in reset.
  std::string reset;
  int resetMs = 100;
  // A station file's (cli/station_file.h): the file, and
  // each port's slot name and own reset line (by the ports' order; empty or
  // missing: none, the station's).
  std::string stationFile;
  std::vector<std::string> slots, portResets;
  // The station's console (cli/station_console.h): HOST:PORT to serve it on
  // (empty: none), the file that holds its token, a further name for Host.
  std::string console, consoleTokenFile, consoleHost;
  // The line's record (station/station_record.h): where it is (--db, K4471_DB; empty: none),
  // who writes it, the spool for rows it cannot take, and the counter numbers come from.
  std::string db, station, operatorName, dbSpool, serialCounter;
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
  return index < options.slots.size() ? options.slots[index] : std::string();
}
// The reset line of the port at `index`: its slot's own, else the station's.
inline std::string resetOf(const Options& options, size_t index) {
  if (index < options.portResets.size() && !options.portResets[index].empty()) {
    return options.portResets[index];
  }
  return options.reset;
}

// The longest --timeout and --wait: one year, in seconds.
constexpr int64_t LongestWaitSeconds = 31536000;

// The commands that address a target.
enum class TargetCommand { Program, Erase, Launch };
