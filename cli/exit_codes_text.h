// The exit codes as --help lists them, below the options.
#pragma once

extern const char* const ExitCodesText;
