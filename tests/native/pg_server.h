// A PostgreSQL server of a test's own: Debian's programs (found through pg_config --bindir),
// its data and socket in a temporary folder, listening on the loopback on a free port. Run as
// root, initdb and pg_ctl run as the postgres user (initdb refuses root).
#pragma once

#include <string>

struct PgServer {
  std::string bindir;  // where initdb and pg_ctl are
  std::string folder;  // data (folder/data), socket, log (folder/log)
  int port = 0;
  bool running = false;
  bool durable = false;  // each commit synced to disk, as a production server does (tests: off)
};

// Whether the server's programs are installed; their folder into *bindir.
bool pgProgramsPresent(std::string* bindir);
// Makes the folder and the cluster and starts it (superuser "postgres", trust on the loopback).
// False with the reason; the folder is removed again then.
bool startPgServer(PgServer* server, std::string* error);
// The same, for a test suite: nothing when the programs are not installed
// (the tests skip then), else the server started with an empty database
// `dbname`; false with the reason in *error.
bool startPgServerFor(PgServer* server, const std::string& dbname, std::string* error);
// Stops it (fast: open connections are ended) and starts the same cluster on the same port.
bool stopPgServer(PgServer* server);
bool restartPgServer(PgServer* server, std::string* error);
// Stops it when running and removes its folder.
void removePgServer(PgServer* server);
// A target on it: postgresql://USER@127.0.0.1:PORT/DBNAME.
std::string pgTarget(const PgServer& server, const std::string& dbname,
                     const std::string& user = "postgres");
