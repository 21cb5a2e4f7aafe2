// The image commands of the command line: the format options, info and convert.
#pragma once

#include "station/plan.h"

// Checks --format, --address, --flash and --boot-region and takes their values. ExitOk, or
// ExitUsage with the reason told.
int takeFormatOptions(Options* options);
// k4471-cli info and convert.
int showInfo(const Options& options);
int convertImage(const Options& options);
