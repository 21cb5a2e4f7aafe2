// What each operating system provides to the serial port algorithms.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_port.h"

enum class ReadDiscipline { Blocking, Timed };

// Opens the device of a port number with the line settings; false when it does
// not open. A port whose line state cannot be read or written still opens.
bool backendOpen(SerialPort* port, const SerialSettings& settings);
// Applies the read timeouts of a discipline; false when the port refused them.
// Blocking reads return after one slice with no byte, timed reads after
// TimedReadMilliseconds.
bool backendSetDiscipline(SerialPort port, ReadDiscipline discipline);
// 1 when a byte came, 0 when none came within the discipline's limit or the
// read failed.
int backendReadByte(SerialPort port, uint8_t* byte);
bool backendWrite(SerialPort port, const void* bytes, size_t count);
void backendClose(SerialPort port);
