// Programming several boards at once: one worker process per port (the link
// holds one port per process), one progress line per port, and a summary.
#pragma once

#include <string>
#include <vector>

#include "cli/board_report.h"
#include "cli/exit_codes.h"
#include "image/image_snapshot.h"

// Every worker reads `image` (the file's bytes as this process read them)
// from its standard input, so that every board gets the same bytes whatever
// happens to the file meanwhile. With a report, each board's line is written
// as that board ends. `passOn`: options each worker is given as they are
// (--timeout, --wait). At most MaxForwardedWorkers ports.
int runGang(const std::string& self, const std::string& file, const std::vector<std::string>& ports,
            bool bootloader, bool launch, bool quiet, ReportFile* report,
            const ImageSnapshot& image, const std::vector<std::string>& passOn);
