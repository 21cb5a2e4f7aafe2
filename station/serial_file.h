// The serial file: a text file holding the next serial number, shared by
// every station on the machine. Each number is taken under an exclusive lock
// on FILE.lock beside it (created when missing, never replaced or removed),
// and the file holds the following number on disk before the number taken is
// handed out: no number is given twice, across stations and restarts.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>

// How long a station waits for another one's hold on the lock before it
// gives up with a message (a holder that hangs must not stop every station).
constexpr int SerialLockWaitMilliseconds = 10000;

// Takes the number the file holds and leaves the next one in it. False with
// the reason (the file missing or not holding a number, the lock held too
// long, the write failing) in *error; the file is then unchanged.
bool takeSerialNumber(const std::string& path, int waitMilliseconds, uint64_t* number,
                      std::string* error);
// The number the file holds, read under the lock and left as it is: the
// check before any board is addressed.
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
// The whole of a small regular file; anything else is refused with the
// reason in a few words.
bool readSerialText(const std::string& path, std::string* text, std::string* error);
