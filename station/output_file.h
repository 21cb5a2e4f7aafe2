// The files the command line writes (convert's output, a report): never
// destroying what was there before, never the image it reads.
#pragma once

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
