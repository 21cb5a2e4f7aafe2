// Programming several boards at once: one worker process per port (the link
// holds one port per process), one progress line per port, and a summary.
#pragma once

#include <string>
#include <vector>

#include "cli/exit_codes.h"
#include "image/image_snapshot.h"

// With reports, each board's report line is added to it, in the order of the
// ports. With a stream, the workers read its snapshot from their standard
// input instead of reading the file. `passOn`: options each worker is given as
// they are (--timeout, --wait).
int runGang(const std::string& self, const std::string& file, const std::vector<std::string>& ports,
            bool bootloader, bool launch, bool quiet, std::vector<std::string>* reports,
            const ImageSnapshot* stream, const std::vector<std::string>& passOn);
