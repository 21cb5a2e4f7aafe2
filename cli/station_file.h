// A station file (--station-file FILE, TOML): the program command's options
// as data, and the station's slots, turned into the options' own values.
#pragma once

#include <string>
#include <vector>

#include "station/plan.h"

namespace CLI {
class App;
}

// A value the file gave: the option it stands for and where it stood.
struct StationFileValue {
  std::string key;  // as in the file: "count", "image", ...
  unsigned line = 0;
  std::vector<std::string> arguments;  // as the command line would say it
};

// A slot: its name, its port (any form --port takes) and its own reset line
// (empty: the station's).
struct StationSlot {
  std::string name, port, reset;
};

struct StationFile {
  std::string path;
  std::vector<StationFileValue> values;
  std::vector<StationSlot> slots;
};

// Adds --station-file to the program command.
void addStationFileOption(CLI::App* program, Options* options);

// Parses the arguments (without the program's name): true to go on, else
// *code is the exit code (--help, --version, a refusal, told). With `file`, a
// refusal names the file's values it concerns, with their lines.
bool parseCommandLine(CLI::App* app, std::vector<std::string> arguments, int* code,
                      const StationFile* file = nullptr);

// The program command once parsed: with --station-file, the file read and
// the command line parsed again with its values; then the image must be
// named. ExitOk, else the refusal's exit code (told).
int takeStationFile(CLI::App* app, CLI::App* program, const std::vector<std::string>& given,
                    Options* options);

// Reads the file and checks each key against the program command's options
// (`program`): ExitOk, else ExitUsage (an unknown key, a wrong type, a
// duplicate slot, a slot without its port or name, a database target with a
// password, a file that is no TOML) or ExitFileError (it does not open),
// told with the file's line and the key. Paths are made relative to the file.
int readStationFile(const std::string& path, CLI::App* program, StationFile* file);

// The arguments of the command line (without the program's name) with the
// file's values put in for the options the command line did not give: its
// slots' ports unless --port was given, its image unless FILE was.
std::vector<std::string> withStationFile(const StationFile& file, CLI::App* program,
                                         const std::vector<std::string>& given);

// The slots' names and resets, when the file's slots are the ports.
void takeStationSlots(const StationFile& file, Options* options);

// After a refusal of the command line's checks: which of the file's values
// the message names, with their lines.
void noteStationFileValues(const StationFile& file, const std::string& message);
