// What each operating system provides to the serial port algorithms.
#pragma once

#include <cstddef>
#include <cstdint>

#include "link/serial_port.h"

// Opens the device of a port number with the line settings; false with the
// reason in *fault when it does not open. A port whose line state cannot be
// read or written still opens.
bool backendOpen(SerialPort* port, const SerialSettings& settings, PortOpenFault* fault);
// Makes a read of one byte return at once when a byte is there, or after one
// slice (BlockingSliceMilliseconds) with none; false when the port refused.
bool backendSetReadSlice(SerialPort port);
// 1 when a byte came, 0 when none came within the slice, -1 when the read
// failed: the line is hung up or the device is gone.
int backendReadByte(SerialPort port, uint8_t* byte);
// Discards what the port has received and nobody has read.
void backendPurgeInput(SerialPort port);
bool backendWrite(SerialPort port, const void* bytes, size_t count);
void backendClose(SerialPort port);
// Drives one control line of a local port: 0, or the system's reason when
// the driver refuses (a pseudo-terminal has no control lines).
int backendSetControlLine(SerialPort port, ControlLine line, bool asserted);
// Keeps the control lines where they are when the port closes (POSIX: no
// hang-up at the last close); 0 or the system's reason.
int backendKeepControlLinesAtClose(SerialPort port);
