// The machine's host name, as a Host header may name it.
#pragma once

#include <string>

// Empty when the system does not tell it.
std::string machineName();
