# Takes the C routine for the CRC-32 out of the manual (the code block that
# opens with its comment) into a C file of its own, compiled as it stands:
#   cmake -DMANUAL=manual.md -DOUTPUT=manual_crc32.c -P manual_routine.cmake
cmake_minimum_required(VERSION 3.25)

file(READ "${MANUAL}" text)
set(opening "```c\n/* CRC-32")
string(FIND "${text}" "${opening}" start)
if(start EQUAL -1)
  message(FATAL_ERROR "${MANUAL} holds no C routine for the CRC-32")
endif()
math(EXPR start "${start} + 5")
string(SUBSTRING "${text}" ${start} -1 rest)
string(FIND "${rest}" "```" end)
string(SUBSTRING "${rest}" 0 ${end} routine)
file(WRITE "${OUTPUT}" "/* The manual's routine, as it stands there. */\n${routine}")
