// The station's console wired to a gang's parent: options, view, server.
#include "station/station_console.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "operations/exit_codes.h"
#include "console/console_access.h"
#include "console/station_view.h"
#include "operations/run_logic.h"

struct StationConsole {
  StationView view;
  ConsoleServer* server = nullptr;
};

namespace {

bool startsWith(const std::string& text, const char* start) {
  return text.rfind(start, 0) == 0;
}

// The notes a worker sends that change what its tile says.
void takeNote(StationView* view, size_t index, const std::string& note) {
  if (startsWith(note, "Waiting for the target")) {
    viewPortState(view, index, TileState::Waiting);
  } else if (startsWith(note, "Connected to the target")) {
    viewProgress(view, index, TileState::Erasing, 0);
  } else if (startsWith(note, "the board on ") &&
             note.find("restarted; replace it") != std::string::npos) {
    viewPortState(view, index, TileState::Restarted);
  } else if (startsWith(note, "The line went away")) {
    viewPortState(view, index, TileState::PortGone);
  } else if (startsWith(note, "Target application launched") || startsWith(note, "Waiting up to")) {
    viewPortState(view, index, TileState::Checking);
  }
}

// A report line (cli/board_report.h) as the view takes it.
BoardResult resultOf(const std::string& line) {
  const nlohmann::json json = nlohmann::json::parse(line, nullptr, false);
  BoardResult result;
  result.exitCode = ExitCommunicationError;
  result.outcome = "unknown";
  if (!json.is_object()) return result;
  result.port = json.value("port", "");
  result.board = json.value("board", 0ul);
  result.attempt = json.value("attempt", 1);
  if (json.contains("serial") && json["serial"].is_number_unsigned()) {
    result.serial = json["serial"].get<uint64_t>();
  }
  result.exitCode = json.value("exit_code", static_cast<int>(ExitCommunicationError));
  result.outcome = json.value("outcome", "");
  result.message = json.value("message", "");
  result.seconds = json.value("duration_s", 0.0);
  return result;
}

}  // namespace

void addConsoleOptions(CLI::App* program, Options* options) {
  CLI::Option* console = program->add_option(
      "--console", options->station.console,
      "with several --port or --loop: serve the station's page on HOST:PORT (port 0: a free one; "
      "any address but the loopback needs a token), its URL printed at the start");
  console->type_name("HOST:PORT");
  program
      ->add_option("--console-token-file", options->station.consoleTokenFile,
                   "the console's token, the first line of FILE (else K4471_CONSOLE_TOKEN, else "
                   "a random one, printed in the URL)")
      ->type_name("FILE")
      ->needs(console);
  program
      ->add_option("--console-host", options->station.consoleHost,
                   "a further host name the console's requests may name")
      ->type_name("NAME")
      ->needs(console);
}

int checkConsoleOptions(const Options& options) {
  if (options.station.console.empty()) return ExitOk;
  std::string error;
  ListenAddress listen;
  if (!consoleAvailable()) {
    error =
        "--console is not available in this build of k4471-cli (its HTTP library is not "
        "built for this system)";
  } else if (options.link.ports.size() < 2 && !options.station.loop) {
    error = "--console needs several --port or --loop";
  } else {
    parseListenAddress(options.station.console, &listen, &error);
  }
  if (error.empty()) return ExitOk;
  fprintf(stderr, "error: %s\n", error.c_str());
  return ExitUsage;
}

StationConsole* openStationConsole(const Options& options, ConsoleStop stop, int* code) {
  *code = ExitOk;
  if (options.station.console.empty()) return nullptr;
  ConsoleSettings settings;
  settings.listen = options.station.console;
  settings.consoleHost = options.station.consoleHost;
  ListenAddress listen;
  std::string error, url;
  bool made = false;
  if (parseListenAddress(options.station.console, &listen, &error) &&
      !isLoopbackHost(listen.host)) {
    takeConsoleToken(options.station.consoleTokenFile, std::getenv("K4471_CONSOLE_TOKEN"),
                     &settings.token, &made, &error);
  }
  StationConsole* console = new StationConsole;
  // Each tile by its slot where the station has them.
  std::vector<std::string> tiles;
  for (size_t i = 0; i < options.link.ports.size(); ++i) {
    const std::string slot = slotOf(options, i);
    tiles.push_back(slot.empty() ? options.link.ports[i]
                                 : slot + " (" + options.link.ports[i] + ")");
  }
  viewStart(&console->view,
            options.record.station.empty() ? options.image.file
                                           : options.record.station + ": " + options.image.file,
            tiles);
  if (error.empty())
    console->server = startConsoleServer(settings, &console->view, stop, &url, &error);
  if (!console->server) {
    fprintf(stderr, "error: %s\n", error.c_str());
    delete console;
    *code = ExitUsage;
    return nullptr;
  }
  fprintf(stderr, "The station's page: %s\n", url.c_str());
  fflush(stderr);
  return console;
}

void consoleWorkerEvent(StationConsole* console, size_t index, const WorkerEvent& event) {
  if (!console) return;
  switch (event.kind) {
    case WorkerEventKind::Note:
    case WorkerEventKind::Said:
      takeNote(&console->view, index, event.text);
      break;
    case WorkerEventKind::Erase:
      viewProgress(&console->view, index, TileState::Erasing,
                   std::min(event.steps, EraseBarSteps) * 100 / EraseBarSteps);
      break;
    case WorkerEventKind::Program:
      viewProgress(&console->view, index, TileState::Programming,
                   std::min(event.steps, ProgramBarSteps) * 100 / ProgramBarSteps);
      break;
    default:  // a board's lines come through consoleBoardLine
      break;
  }
}

void consoleBoardStarted(StationConsole* console, size_t index, unsigned long board,
                         const std::string& serial) {
  if (!console) return;
  std::optional<uint64_t> number;
  if (!serial.empty()) number = std::strtoull(serial.c_str(), nullptr, 10);
  viewBoardStarted(&console->view, index, board, number, 1);
}

void consoleBoardLine(StationConsole* console, size_t index, const std::string& line, bool last) {
  if (!console) return;
  const BoardResult result = resultOf(line);
  viewBoardEnded(&console->view, index, result, last);
  if (!last) {
    viewBoardStarted(&console->view, index, result.board, result.serial, result.attempt + 1);
  }
}

void closeStationConsole(StationConsole* console) {
  if (!console) return;
  viewEnd(&console->view);
  stopConsoleServer(console->server);
  delete console;
}
