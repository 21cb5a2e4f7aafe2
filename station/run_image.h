// The image of a run: the file read whole, converted from its format and
// checked (against the board's map too) before any board is addressed, and
// refused in the command line's words.
#pragma once

#include <string>

#include "image/prepared_image.h"
#include "station/plan.h"

// Reads the image whole, converts it from its format and refuses it before
// anyone is asked to reset a board for it. ExitOk, or the exit code with the
// reason told (and in *failure).
int loadAndCheck(const std::string& path, const Options& options, LoadedImage* loaded,
                 std::string* failure, bool keepFile = false);
// The same check of bytes already read into loaded->run (path names them in
// the messages).
int checkImage(const std::string& path, const Options& options, LoadedImage* loaded,
               std::string* failure, bool keepFile = false);
// For info and convert: the image a run would program, without its text.
int loadWithoutRun(const Options& options, LoadedImage* loaded, std::string* failure);
