// Simulated boards that a test starts on pseudo-terminals in its scratch
// folder and stops at its end. The texts the simulators point into (their
// links, their application's lines) are kept where they never move.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "sim/simulator.h"

struct SimBoards {
  std::deque<std::string> texts;  // a deque: a text added never moves the others
  std::vector<Simulator*> sims;
};

// A text kept for as long as the boards run.
inline const char* keptText(SimBoards* boards, const std::string& text) {
  boards->texts.push_back(text);
  return boards->texts.back().c_str();
}

// A board published at `link` that calls every 20 ms and answers an erase
// with `eraseBlocks` replies, with `config`'s other settings; the link.
inline std::string startSimBoard(SimBoards* boards, const std::string& link, SimConfig config,
                                 int eraseBlocks = 3) {
  config.linkPath = keptText(boards, link);
  config.callMs = 20;
  config.eraseBlocks = eraseBlocks;
  Simulator* sim = simStart(config);
  EXPECT_NE(sim, nullptr) << link;
  boards->sims.push_back(sim);
  return link;
}

inline void stopSimBoards(SimBoards* boards) {
  for (Simulator* sim : boards->sims) simStop(sim);
  boards->sims.clear();
}
