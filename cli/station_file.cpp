// A station file: TOML read with toml++ (without exceptions), each key checked
// against the program command's own options and turned into their arguments.
#include "cli/station_file.h"

#include <CLI/CLI.hpp>
#include <toml++/toml.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "cli/reset_line.h"
#include "operations/exit_codes.h"

namespace {

int refuse(const StationFile& file, unsigned line, const std::string& key, const std::string& why) {
  fprintf(stderr, "error: %s:%u: %s%s%s\n", file.path.c_str(), line, key.c_str(),
          key.empty() ? "" : ": ", why.c_str());
  return ExitUsage;
}

unsigned lineOf(const toml::node& node) {
  return node.source().begin.line;
}

bool isAbsolute(const std::string& path) {
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
  return path.size() > 1 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':';
}

// A path in the file names a file beside it; "-" (a standard stream) stays.
std::string besideFile(const StationFile& file, const std::string& path) {
  if (path == "-" || isAbsolute(path)) return path;
  const size_t slash = file.path.find_last_of("/\\");
  return slash == std::string::npos ? path : file.path.substr(0, slash + 1) + path;
}

// A database target that names a password: user:password@ in a URI, or
// password= among its words.
bool namesPassword(const std::string& target) {
  if (target.find("password=") != std::string::npos) return true;
  const size_t scheme = target.find("://");
  if (scheme == std::string::npos) return false;
  const std::string rest = target.substr(scheme + 3);
  const std::string authority = rest.substr(0, rest.find_first_of("/?"));
  const size_t at = authority.rfind('@');
  return at != std::string::npos && authority.substr(0, at).find(':') != std::string::npos;
}

const char* typeName(const toml::node& node) {
  switch (node.type()) {
    case toml::node_type::table:
      return "a table";
    case toml::node_type::array:
      return "an array";
    case toml::node_type::boolean:
      return "true or false";
    case toml::node_type::date:
    case toml::node_type::time:
    case toml::node_type::date_time:
      return "a date or time";
    default:
      return "a value";
  }
}

// A value's text as the command line would give it; false for a type no
// option's value takes.
bool valueText(const toml::node& node, std::string* text) {
  if (const auto* string = node.as_string()) {
    *text = string->get();
  } else if (const auto* integer = node.as_integer()) {
    *text = std::to_string(integer->get());
  } else if (const auto* real = node.as_floating_point()) {
    char digits[40];
    snprintf(digits, sizeof digits, "%.15g", real->get());
    *text = digits;
  } else {
    return false;
  }
  return true;
}

// The option a top-level key stands for: a long option of the program
// command that a person gives (not a worker's, not the ports, which are
// slots, nor the station file itself).
CLI::Option* optionOf(CLI::App* program, const std::string& key) {
  if (key.empty() || key[0] == '-' || key == "port" || key == "station-file" || key == "help") {
    return nullptr;
  }
  CLI::Option* option = program->get_option_no_throw("--" + key);
  return option && !option->get_group().empty() ? option : nullptr;
}

int takeImage(StationFile* file, const toml::node& node) {
  if (!node.is_string()) return refuse(*file, lineOf(node), "image", "takes a file's name");
  file->values.push_back({"image", lineOf(node), {besideFile(*file, node.as_string()->get())}});
  return ExitOk;
}

// One value of an option that takes a value, as "--KEY VALUE".
int takeArgument(const StationFile& file, const CLI::Option& option, const std::string& key,
                 const toml::node& node, StationFileValue* given) {
  std::string value;
  if (!valueText(node, &value)) {
    const char* several = option.get_expected_max() > 1 ? ", or an array of them" : "";
    return refuse(file, lineOf(node), key,
                  std::string("takes a text or a number") + several + ", not " + typeName(node));
  }
  // A file's name, or a database that is a file, lies beside the station file.
  const bool path =
      option.get_type_name() == "FILE" || (key == "db" && value.find("://") == std::string::npos);
  given->arguments.insert(given->arguments.end(),
                          {"--" + key, path ? besideFile(file, value) : value});
  return ExitOk;
}

int takeValue(StationFile* file, CLI::App* program, const std::string& key,
              const toml::node& node) {
  const unsigned line = lineOf(node);
  if (key == "image") return takeImage(file, node);
  const toml::value<std::string>* text = node.as_string();
  if (key == "db" && text && namesPassword(text->get())) {
    return refuse(*file, line, key,
                  "names a password, and a station file holds no secrets: give the database's "
                  "password by its client's own means");
  }
  CLI::Option* option = optionOf(program, key);
  if (key == "port") return refuse(*file, line, key, "each port is a [[slot]] with its name");
  if (!option) {
    return refuse(*file, line, key,
                  "no such key (the keys are station, image, the program command's long "
                  "options, and [[slot]] tables)");
  }
  StationFileValue given = {key, line, {}};
  if (option->get_expected_max() == 0) {  // a flag
    if (!node.is_boolean()) return refuse(*file, line, key, "takes true or false");
    if (node.as_boolean()->get()) given.arguments.push_back("--" + key);
  } else if (const toml::array* several = node.as_array();
             several && option->get_expected_max() > 1) {  // an option given again and again
    for (const toml::node& one : *several) {
      if (int code = takeArgument(*file, *option, key, one, &given)) return code;
    }
  } else if (int code = takeArgument(*file, *option, key, node, &given)) {
    return code;
  }
  file->values.push_back(given);
  return ExitOk;
}

// One [[slot]]: a name and a port, both its own, and its reset line.
int takeSlot(StationFile* file, const toml::node& node) {
  const toml::table* table = node.as_table();
  if (!table) return refuse(*file, lineOf(node), "slot", "takes [[slot]] tables");
  StationSlot slot;
  unsigned line = lineOf(node), resetLine = line;
  for (auto&& [key, value] : *table) {
    const std::string name(key.str());
    std::string* field = name == "name"    ? &slot.name
                         : name == "port"  ? &slot.port
                         : name == "reset" ? &slot.reset
                                           : nullptr;
    if (!field)
      return refuse(*file, lineOf(value), "slot." + name,
                    "no such key (a slot has name, port and reset)");
    if (!value.is_string()) return refuse(*file, lineOf(value), "slot." + name, "takes a text");
    *field = value.as_string()->get();
    if (name == "reset") resetLine = lineOf(value);
  }
  if (slot.name.empty()) return refuse(*file, line, "slot.name", "each slot needs its name");
  if (slot.port.empty())
    return refuse(*file, line, "slot.port", "slot " + slot.name + " has no port");
  if (!slot.reset.empty() && !isResetLine(slot.reset)) {
    return refuse(*file, resetLine, "slot.reset", "takes dtr, rts, dtr-inverted or rts-inverted");
  }
  for (const StationSlot& other : file->slots) {
    if (other.name == slot.name) {
      return refuse(*file, line, "slot.name", "a second slot named " + slot.name);
    }
    if (other.port == slot.port) {
      return refuse(*file, line, "slot.port",
                    "slot " + slot.name + " has the port of slot " + other.name + ", " + slot.port);
    }
  }
  file->slots.push_back(slot);
  return ExitOk;
}

int takeSlots(StationFile* file, const toml::node& node) {
  const toml::array* slots = node.as_array();
  if (!slots) return refuse(*file, lineOf(node), "slot", "takes [[slot]] tables, one per slot");
  for (const toml::node& slot : *slots) {
    if (int code = takeSlot(file, slot)) return code;
  }
  return ExitOk;
}

}  // namespace

void addStationFileOption(CLI::App* program, Options* options) {
  program
      ->add_option("--station-file", options->station.stationFile,
                   "take the station's options and its slots from this TOML file (see the "
                   "manual); the command line's options override its values, and --port its "
                   "slots")
      ->type_name("FILE");
  program->add_option("--slot-name", options->link.slots)->group("");  // a worker's slot
}

int readStationFile(const std::string& path, CLI::App* program, StationFile* file) {
  file->path = path;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    fprintf(stderr, "error: --station-file %s cannot be read: %s\n", path.c_str(), strerror(errno));
    return ExitFileError;
  }
  std::stringstream text;
  text << in.rdbuf();
  toml::parse_result parsed = toml::parse(text.str(), path);
  if (!parsed) {
    return refuse(*file, parsed.error().source().begin.line, "",
                  "not TOML: " + std::string(parsed.error().description()));
  }
  for (auto&& [key, node] : parsed.table()) {
    const std::string name(key.str());
    if (int code = name == "slot" ? takeSlots(file, node) : takeValue(file, program, name, node)) {
      return code;
    }
  }
  return ExitOk;
}

std::vector<std::string> withStationFile(const StationFile& file, CLI::App* program,
                                         const std::vector<std::string>& given) {
  std::vector<std::string> image, options;
  for (const StationFileValue& value : file.values) {
    const bool isImage = value.key == "image";
    if (program->get_option(isImage ? "FILE" : "--" + value.key)->count() > 0) continue;
    std::vector<std::string>* to = isImage ? &image : &options;
    to->insert(to->end(), value.arguments.begin(), value.arguments.end());
  }
  if (program->get_option("--port")->count() == 0) {
    for (const StationSlot& slot : file.slots) options.insert(options.end(), {"--port", slot.port});
  }
  // The image first: after an option of several values it would be one of them.
  image.insert(image.end(), options.begin(), options.end());
  std::vector<std::string> all = given;
  auto command = std::find(all.begin(), all.end(), program->get_name());
  all.insert(command == all.end() ? all.end() : command + 1, image.begin(), image.end());
  return all;
}

void takeStationSlots(const StationFile& file, Options* options) {
  if (options->link.ports.size() != file.slots.size()) return;
  for (size_t i = 0; i < file.slots.size(); ++i) {
    if (options->link.ports[i] != file.slots[i].port) return;
  }
  options->link.slots.clear();
  for (const StationSlot& slot : file.slots) {
    options->link.slots.push_back(slot.name);
    options->link.portResets.push_back(slot.reset);
  }
  // One board in this process: its slot's line is the one.
  if (options->link.ports.size() == 1) options->link.reset = resetOf(*options, 0);
}

void noteStationFileValues(const StationFile& file, const std::string& message) {
  for (const StationFileValue& value : file.values) {
    const std::string named = value.key == "image" ? "FILE" : "--" + value.key;
    if (message.find(named) == std::string::npos) continue;
    fprintf(stderr, "note: %s is %s's key %s, on its line %u\n", named.c_str(), file.path.c_str(),
            value.key.c_str(), value.line);
  }
}

bool parseCommandLine(CLI::App* app, std::vector<std::string> arguments, int* code,
                      const StationFile* file) {
  std::reverse(arguments.begin(), arguments.end());  // as CLI11 takes them
  try {
    app->parse(arguments);
  } catch (const CLI::ParseError& e) {
    *code = app->exit(e) == 0 ? ExitOk : ExitUsage;
    if (file && *code != ExitOk) noteStationFileValues(*file, e.what());
    return false;
  }
  return true;
}

int takeStationFile(CLI::App* app, CLI::App* program, const std::vector<std::string>& given,
                    Options* options) {
  if (!options->station.stationFile.empty()) {
    StationFile file;
    if (int code = readStationFile(options->station.stationFile, program, &file)) return code;
    const std::vector<std::string> arguments = withStationFile(file, program, given);
    app->clear();
    *options = Options();
    int code = ExitOk;
    if (!parseCommandLine(app, arguments, &code, &file)) return code;
    takeStationSlots(file, options);
  }
  if (!options->image.file.empty()) return ExitOk;
  fprintf(stderr, "error: program needs the image file: FILE, or image in --station-file\n");
  return ExitUsage;
}
