// The check that a row of hostile texts comes out of history safely in every format.
#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <map>
#include <string>
#include <vector>

#include "record/record_query.h"
#include "record_rows.h"

// No raw control byte but the line ends, and valid UTF-8.
inline void expectPlainText(const std::string& text, const char* format) {
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    EXPECT_FALSE((u < 0x20 && c != '\n') || u == 0x7F) << format << " holds byte " << int(u);
  }
  EXPECT_EQ(recordText(text), text) << format << " is not UTF-8";
}

// `outputs` by format name: table, csv, json, junit, each of history with the one row `sent`.
inline void expectSafeHistory(const AttemptRow& sent,
                              const std::map<std::string, std::string>& outputs) {
  const std::map<std::string, std::string> fields = {
      {"station", sent.station}, {"operator", sent.operatorName},
      {"port", sent.port},       {"slot", sent.slot},
      {"file", sent.file},       {"failed_step", sent.failedStep},
      {"message", sent.message}, {"app_line", sent.appLine}};
  nlohmann::json json = nlohmann::json::parse(outputs.at("json"), nullptr, false);
  ASSERT_TRUE(json.is_array() && json.size() == 1) << outputs.at("json");
  std::vector<std::vector<std::string>> csv = readCsv(outputs.at("csv"));
  ASSERT_EQ(csv.size(), 2u) << outputs.at("csv");
  for (const auto& field : fields) {
    const std::string stored = recordText(field.second);
    EXPECT_EQ(json[0][field.first], stored) << field.first;
    size_t column = 0;
    while (column < csv[0].size() && csv[0][column] != field.first) ++column;
    ASSERT_LT(column, csv[1].size()) << field.first;
    EXPECT_EQ(csv[1][column], stored) << field.first;
  }
  // A formula is quoted, so that a spreadsheet shows it instead of running it.
  EXPECT_NE(outputs.at("csv").find(",\"=SUM(A1:A2)\","), std::string::npos);
  EXPECT_NE(outputs.at("csv").find(",\"@slot\","), std::string::npos);
  const std::string& table = outputs.at("table");
  expectPlainText(table, "table");
  EXPECT_NE(table.find("\\x1B[31mUSB\\t0\\r\\n"), std::string::npos) << table;
  const std::string& junit = outputs.at("junit");
  expectPlainText(junit, "junit");
  EXPECT_NE(junit.find("classname=\"st&quot;at&apos;ion,1\\x01\""), std::string::npos) << junit;
  EXPECT_NE(junit.find("+programming: -line &quot;1&quot;&#10;\\x7F bad"), std::string::npos)
      << junit;
  EXPECT_EQ(junit.find("<failure", junit.find("<failure") + 1), std::string::npos);
}
