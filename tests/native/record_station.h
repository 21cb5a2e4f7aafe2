// The fixtures of the tests of a station writing the line's record: simulated boards following
// each other on their fixtures, stations run on them, the record's rows read back; and a
// PostgreSQL server of the tests' own on the loopback.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli_runner.h"
#include "pg_server.h"
#include "pty_peer.h"
#include "record/record_query.h"
#include "record/station_status.h"
#include "record_rows.h"
#include "sim/simulator.h"

namespace {

uint32_t u32At(const std::string& flash, uint32_t address) {
  const auto byte = [&](uint32_t at) { return static_cast<uint32_t>(uint8_t(flash[at])); };
  return byte(address) | byte(address + 1) << 8 | byte(address + 2) << 16 | byte(address + 3) << 24;
}

class RecordStation : public testing::Test {
 protected:
  void SetUp() override {
    dir = makeScratchDir();
    image = dir + "/app.hex";
    std::ofstream(image) << "00004000\n01 02 03 04 05\n00004100 06 07\n";
  }
  void TearDown() override {
    for (Simulator* sim : sims) simStop(sim);
    removeScratchDir(dir);
  }
  // A fixture whose boards follow each other; each board's flash in NAME-{board}.bin.
  std::string board(const std::string& name, int eraseBlockMs = 0) {
    names.push_back(dir + "/" + name);
    flashes.push_back(dir + "/" + name + "-{board}.bin");
    SimConfig config;
    config.linkPath = names.back().c_str();
    config.memoryOut = flashes.back().c_str();
    config.callMs = 20;
    config.eraseBlocks = 3;
    config.eraseBlockMs = eraseBlockMs;
    config.nextBoardMs = 300;
    Simulator* sim = simStart(config);
    EXPECT_NE(sim, nullptr);
    sims.push_back(sim);
    return names.back();
  }
  // A station on the ports: --loop --count N, numbered from the counter when one is named.
  pid_t station(const std::string& name, const std::vector<std::string>& ports, int count,
                const std::string& db, const std::string& counter) {
    std::vector<std::string> arguments = {"program",
                                          image,
                                          "--loop",
                                          "--count",
                                          std::to_string(count),
                                          "--swap-seconds",
                                          "0.2",
                                          "--db",
                                          db,
                                          "--station",
                                          name,
                                          "--db-spool",
                                          dir + "/" + name + ".spool",
                                          "--report",
                                          dir + "/" + name + ".json"};
    for (const std::string& port : ports) arguments.insert(arguments.end(), {"--port", port});
    if (!counter.empty()) {
      arguments.insert(arguments.end(), {"--serial-at", "0x7FF0", "--serial-counter", counter});
    }
    return spawnProgram(K4471_CLI, arguments, dir + "/" + name + ".out");
  }
  std::string said(const std::string& name) { return readText(dir + "/" + name + ".out"); }
  std::vector<nlohmann::json> lines(const std::string& name) {
    return reportLines(readText(dir + "/" + name + ".json"));
  }
  int cli(const std::vector<std::string>& arguments) {
    return waitFor(spawnProgram(K4471_CLI, arguments, dir + "/cli.out"));
  }
  std::vector<AttemptRow> rows(const std::string& db) {
    DbTarget target;
    std::string error;
    Db reader;
    std::vector<AttemptRow> found;
    EXPECT_TRUE(parseDbTarget(db, &target, &error)) << error;
    EXPECT_TRUE(openRecord(&reader, target, false)) << reader.error;
    EXPECT_TRUE(queryHistory(&reader, HistoryFilter(), &found)) << reader.error;
    dbClose(&reader);
    return found;
  }
  // Every board's flash holds the number its row says, the rows given in the order the boards
  // were on their fixtures (each programmed at its first attempt); the numbers are distinct.
  void expectNumbersInFlash(const std::vector<AttemptRow>& found, size_t boards) {
    std::set<uint64_t> numbers;
    std::map<std::string, unsigned long> onFixture;
    for (const AttemptRow& row : found) {
      ASSERT_TRUE(row.serial) << row.station << " board " << row.board;
      numbers.insert(*row.serial);
      const size_t port = std::find(names.begin(), names.end(), row.port) - names.begin();
      ASSERT_LT(port, names.size()) << row.port;
      std::string flash = flashes[port];
      flash.replace(flash.find("{board}"), 7, std::to_string(++onFixture[row.port]));
      EXPECT_EQ(u32At(readText(flash), 0x7FF0), *row.serial) << flash;
    }
    EXPECT_EQ(numbers.size(), boards);
  }
  std::string dir, image;
  std::vector<std::string> names, flashes;  // kept: the simulators hold their c_str
  std::vector<Simulator*> sims;
};

// A PostgreSQL server of the test's own for the line's stations.
class PgStation : public RecordStation {
 protected:
  static void SetUpTestSuite() { startPgServerFor(&server, "k4471", &startFailure); }
  static void TearDownTestSuite() { removePgServer(&server); }
  void SetUp() override {
    std::string bindir;
    if (!pgProgramsPresent(&bindir)) GTEST_SKIP() << "PostgreSQL's programs are not installed";
    ASSERT_TRUE(server.running && startFailure.empty()) << startFailure;
    RecordStation::SetUp();
    db = pgTarget(server, "k4471");
    DbTarget target;
    Db admin;
    ASSERT_TRUE(parseDbTarget(db, &target, &startFailure));
    ASSERT_TRUE(openRecord(&admin, target, true)) << admin.error;
    ASSERT_TRUE(emptyRecordTables(&admin)) << admin.error;
    dbClose(&admin);
  }
  // A test that stopped the server and ended before it started it again leaves it running.
  void TearDown() override {
    std::string error;
    if (!server.folder.empty() && !server.running) {
      EXPECT_TRUE(restartPgServer(&server, &error)) << error;
    }
    RecordStation::TearDown();
  }
  inline static PgServer server;
  inline static std::string startFailure;
  std::string db;
};

}  // namespace
