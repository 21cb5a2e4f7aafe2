// The local spool: rows that could not reach their database wait here (a SQLite file on this
// machine), each tied to its database target and sent only to it.
#pragma once

#include <cstddef>
#include <string>

#include "record/attempt_row.h"
#include "record/record_db.h"

struct RecordSpool {
  Db file;
  std::string target;  // recordTargetKey of the database its rows are for
};

// What ties a spooled row to its database: the server and database, or the SQLite file's
// absolute path; never user details.
std::string recordTargetKey(const DbTarget& target);
// The spool's default place: the user's state folder ($XDG_STATE_HOME, else
// ~/.local/state)/k4471/spool.sqlite; empty when neither is known.
std::string defaultSpoolPath();

// Opens (creates) the spool file for rows of `target`. False with the reason.
bool openSpool(RecordSpool* spool, const std::string& path, const DbTarget& target,
               std::string* error);
void closeSpool(RecordSpool* spool);
// Keeps a row; false when the spool cannot be written (spool->file.error says why).
bool spoolRow(RecordSpool* spool, const AttemptRow& row);
// How many rows wait for this spool's target.
size_t spooledRows(RecordSpool* spool);
// Sends the waiting rows to db, oldest first, each removed once the database has it (a row sent
// twice is not doubled: the record updates on its attempt id). False when the database went
// away meanwhile; the rest waits.
bool sendSpool(RecordSpool* spool, Db* db);
