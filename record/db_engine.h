// What each engine gives the record's interface (record_db.h): connect, run, close.
#pragma once

#include <string>
#include <vector>

#include "record/record_db.h"

bool sqliteConnect(Db* db, bool createMissing);
bool sqliteExec(Db* db, const std::string& sql, const std::vector<DbValue>& params,
                std::vector<DbRow>* rows);
void sqliteClose(Db* db);

bool postgresConnect(Db* db);
bool postgresExec(Db* db, const std::string& sql, const std::vector<DbValue>& params,
                  std::vector<DbRow>* rows);
void postgresClose(Db* db);
bool postgresConnected(const Db& db);
