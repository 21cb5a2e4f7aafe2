// The record's commands on the command line: their options.
#include "cli/record_commands.h"

namespace {

void addDbOption(CLI::App* command, RecordOptions* options) {
  command
      ->add_option("--db", options->db,
                   "the record: a SQLite file on this machine, or "
                   "postgresql://[USER@]HOST[:PORT]/DBNAME (no password: PGPASSWORD, the "
                   "password file or PGSERVICE give it); default: K4471_DB")
      ->type_name("TARGET")
      ->envname("K4471_DB");
}

void addCounterCommands(CLI::App* app, RecordOptions* options, RecordCommands* commands) {
  CLI::App* counter = app->add_subcommand(
      "counter", "serial-number counters in the record, shared by a line's stations");
  counter->require_subcommand(1);
  CLI::App* create = counter->add_subcommand("create", "create a counter");
  create->add_option("NAME", options->counter, "the counter's name")->required();
  create->add_option("--start", options->start, "its first number")->required()->type_name("N");
  create
      ->add_option("--format", options->serialFormat,
                   "the serial format its numbers are written in: u32le, u32be, u64le, u64be "
                   "or ascii:W (its largest number is the last one handed out)")
      ->capture_default_str()
      ->type_name("FMT");
  CLI::App* list = counter->add_subcommand("list", "list the counters");
  CLI::App* show = counter->add_subcommand("show", "show a counter: its next free number");
  show->add_option("NAME", options->counter, "the counter's name")->required();
  for (CLI::App* command : {create, list, show}) addDbOption(command, options);
  commands->counter = counter;
  commands->counterCreate = create;
  commands->counterList = list;
  commands->counterShow = show;
}

}  // namespace

void addRecordCommands(CLI::App* app, RecordOptions* options, RecordCommands* commands) {
  addCounterCommands(app, options, commands);
  CLI::App* history =
      app->add_subcommand("history", "list the attempts in the record, newest first");
  history->add_option("--serial", options->serial, "the attempts at this serial number")
      ->type_name("N");
  history->add_option("--station", options->station, "the attempts of this station")
      ->type_name("NAME");
  history->add_option("--limit", options->limit, "at most N attempts")->type_name("N");
  history
      ->add_option("--format", options->format,
                   "table, csv, json, or junit (JUnit XML: one test case per board)")
      ->capture_default_str()
      ->check(CLI::IsMember({"table", "csv", "json", "junit"}));
  CLI::App* yield = app->add_subcommand(
      "yield",
      "per group: boards, passed at the first attempt, passed after retries, failed, abandoned, "
      "and the median time per board");
  yield->add_option("--by", options->by, "station, port, image, hour or day")
      ->capture_default_str()
      ->check(CLI::IsMember({"station", "port", "image", "hour", "day"}));
  yield->add_option("--format", options->format, "table, csv or json")
      ->capture_default_str()
      ->check(CLI::IsMember({"table", "csv", "json"}));
  for (CLI::App* command : {history, yield}) {
    command
        ->add_option("--since", options->since,
                     "from this time on: UTC in ISO 8601 (2026-12-07 or 2026-12-07T09:00Z)")
        ->type_name("TIME");
    addDbOption(command, options);
  }
  commands->history = history;
  commands->yield = yield;
}

bool recordCommandGiven(const RecordCommands& commands) {
  return commands.counter->parsed() || commands.history->parsed() || commands.yield->parsed();
}
