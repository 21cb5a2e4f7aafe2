// The record's texts and times: what goes into a row, and how a row's text is shown safely in
// each output format.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// The text as valid UTF-8: each byte outside UTF-8, and NUL (which PostgreSQL cannot hold),
// becomes U+FFFD. Every text stored in the record has been through this.
std::string recordText(const std::string& text);

// A time in UTC, ISO 8601 with milliseconds ("2026-12-07T09:15:02.123Z"): fixed width, so that
// the texts sort as the times do.
std::string utcTimeText(std::chrono::system_clock::time_point time);
std::string utcTimeText(std::time_t time);
// Reads YYYY-MM-DD, YYYY-MM-DDTHH:MM, YYYY-MM-DDTHH:MM:SS (a space for the T, fractions of a
// second, and Z or an offset +HH:MM allowed; no zone means UTC) into the stored form. False
// with the reason.
bool parseUtcTime(const std::string& text, std::string* stored, std::string* error);
// The stored form back as a time; false when it is not one.
bool storedTime(const std::string& text, std::chrono::system_clock::time_point* time);

// 128 random bits as 32 hexadecimal digits: an attempt's id, made by the station.
std::string newAttemptId();

// For a terminal: control bytes as \n, \t, \r or \xNN, and the backslash doubled.
std::string escapeForTable(const std::string& text);
// A CSV cell: quoted (quotes doubled) when it holds a comma, a quote or a control byte, or
// begins with = + - @ (so that a spreadsheet does not run it).
std::string csvCell(const std::string& text);
// XML character data or attribute text: & < > " ' as entities, control bytes XML cannot hold
// as \xNN.
std::string xmlText(const std::string& text);
