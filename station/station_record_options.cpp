// The line's record on the commands that address a board: its options.
#include <CLI/CLI.hpp>

#include "station/station_record.h"

void addRecordOptions(CLI::App* command, Options* options) {
  command
      ->add_option("--db", options->db,
                   "write every attempt to the line's record: a SQLite file on this machine "
                   "(made when missing), or postgresql://[USER@]HOST[:PORT]/DBNAME (no "
                   "password: PGPASSWORD, the password file or PGSERVICE give it); default: "
                   "K4471_DB")
      ->type_name("TARGET")
      ->envname("K4471_DB");
  command
      ->add_option("--station", options->station,
                   "this station's name in the record (default: the host name)")
      ->type_name("NAME");
  command->add_option("--operator", options->operatorName, "the operator's name in the record")
      ->type_name("NAME");
  command
      ->add_option("--db-spool", options->dbSpool,
                   "where rows wait while the record cannot be reached (default: "
                   "spool.sqlite in $XDG_STATE_HOME/k4471, else ~/.local/state/k4471)")
      ->type_name("FILE");
}
