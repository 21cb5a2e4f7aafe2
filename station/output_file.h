// The files the command line writes (convert's output, a report): never
// destroying what was there before, never the image it reads.
#pragma once

#include <cstdint>
#include <string>

// Writes the bytes as the file at path. A file (or a new one) is replaced
// whole only once every byte is on disk: the bytes go to a temporary file
// beside it, which is then renamed over it, keeping the old file's
// permissions, and the rename is synced to disk too; through a symbolic link, the file it names is
// replaced. A device or a FIFO is written in place. On a failure only the temporary file is
// removed. False with the reason in *error.
bool writeFileWhole(const std::string& path, const std::string& bytes, std::string* error);
// Whether the standard input is the file at path (any name of it).
bool standardInputIs(const std::string& path);
// Whether the two paths name one existing file (links and other spellings
// included).
bool sameFile(const std::string& a, const std::string& b);
// The path that the given one leads to, resolved once: symbolic links
// followed (on Windows also junctions, short names and the case of each
// name), as an absolute path. A file that does not exist (yet) is resolved
// as far as it can be: a dangling link to where it points, the folder to
// where it lies. Two mount paths to one file stay two paths.
std::string resolvedPath(const std::string& path);
// Whether the two paths are one file: by identity where both exist, else by
// their resolved paths.
bool samePlace(const std::string& a, const std::string& b);

// A file that lines are written to (a report): each line with one write, at
// the file's end when appended; an appended line is written under an
// advisory lock on the file, so that writers who share it (each a station)
// never tear each other's lines.
struct LineFile {
  intptr_t handle = -1;  // a descriptor or a handle; -1: not open
  bool append = false;
};
// Opens (creating it when missing) the file at path, emptied, or to append
// to. False with the reason in *error.
bool openLineFile(const std::string& path, bool append, LineFile* file, std::string* error);
// Writes the bytes (a line with its end) with one write; an appended line
// under the lock, waited for at most waitMilliseconds (on a file system that
// cannot lock, without it). False with the reason in *error.
bool writeToLineFile(LineFile* file, const std::string& bytes, int waitMilliseconds,
                     std::string* error);
// Closes it; false with the reason when the close reports a failure.
bool closeLineFile(LineFile* file, std::string* error);
