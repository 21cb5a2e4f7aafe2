// The image of a run: the file read whole, converted from its format and
// checked (against the board's map too) before any board is addressed, and
// refused in the command line's words.
#pragma once

#include <string>

#include "image/prepared_image.h"
#include "station/failure.h"
#include "station/plan.h"

// Reads the image whole, converts it from its format and refuses it before
// anyone is asked to reset a board for it: no failure, or the failure told
// (its step "file").
Failure loadAndCheck(const std::string& path, const Options& options, LoadedImage* loaded);
// The same for a gang's parent, which hands the file's bytes on and runs
// nothing itself: loaded->file keeps them, no run text is made.
Failure loadForGang(const Options& options, LoadedImage* loaded);
// The same check of bytes already read into loaded->run (path names them in
// the messages).
Failure checkImage(const std::string& path, const Options& options, LoadedImage* loaded);
// For info and convert: the image a run would program, without its text.
Failure loadWithoutRun(const Options& options, LoadedImage* loaded);
