// The serial file: a text file holding the next serial number, shared by
// every station on the machine. The station resolves the name it is given
// once, at its start (symbolic links followed; on Windows also junctions,
// short names and case), and uses that path for every read and write and for
// the lock: each number is taken under an exclusive lock on RESOLVED.lock
// beside the file (created when missing, never replaced or removed), and the
// file holds the following number on disk before the number taken is handed
// out: no number is given twice, across stations and restarts. A file with
// more than one hard link is refused (two names for one counter cannot be
// kept apart), as is a read-only one, at the start and at every take.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>

// How long a station waits for another one's hold on the lock before it
// gives up with a message (a holder that hangs must not stop every station).
constexpr int SerialLockWaitMilliseconds = 10000;

// The path the station uses for the file given as `given`: resolved once.
std::string resolveSerialFile(const std::string& given);
// The lock beside the resolved file.
std::string serialLockPath(const std::string& resolved);

// What a take gives.
enum class SerialTake {
  Taken,     // *number is the board's; the file holds the next one
  NoneLeft,  // the file holds a number above `last` (or the last number of
             // 64 bits, which it could not be advanced past): *number is the
             // last one it could give, and the file is left as it is
  Failed,    // the reason in *error; the file is left as it is
};

// Takes the number the file (its resolved path) holds and leaves the next one
// in it, when the number is at most `last` (the format's largest) and the file
// can hold the next. NoneLeft says "No serial number is left after N." in
// *error. Failed: the file missing or not holding a number, with several hard
// links, read-only, the lock held too long, the write failing.
SerialTake takeSerialNumber(const std::string& path, int waitMilliseconds, uint64_t last,
                            uint64_t* number, std::string* error);
// The number the file holds, read under the lock and left as it is: the
// check before any board is addressed. Also refuses a file that holds
// 18446744073709551615 (it could not be advanced past it).
bool peekSerialNumber(const std::string& path, int waitMilliseconds, uint64_t* number,
                      std::string* error);

// What the operating system provides.
// A hold on the lock file: a descriptor or a handle.
struct SerialFileLock {
  intptr_t handle;
};
// Opens path (creating it when missing) and locks it exclusively, waiting up
// to waitMilliseconds for another holder.
bool lockSerialFile(const std::string& path, int waitMilliseconds, SerialFileLock* lock,
                    std::string* error);
void unlockSerialFile(SerialFileLock* lock);
// A small regular file as read, with what is known of it.
struct SerialFileText {
  std::string text;
  unsigned long links = 1;  // its names (hard links)
  bool readOnly = false;    // no write permission in its mode (POSIX), or the read-only
                            // attribute (Windows)
};
// The whole of a small regular file; anything else is refused with the
// reason in a few words.
bool readSerialFile(const std::string& path, SerialFileText* file, std::string* error);
