// Programming several boards at once: one worker process per port (the link
// holds one port per process), one progress line per port, and a summary.
#pragma once

#include <string>
#include <vector>

#include "cli/exit_codes.h"

// `passOn`: options each worker is given as they are (--timeout, --wait).
int runGang(const std::string& self, const std::string& file, const std::vector<std::string>& ports,
            bool bootloader, bool launch, bool quiet, const std::vector<std::string>& passOn);
