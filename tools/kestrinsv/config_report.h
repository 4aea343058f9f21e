// What `kestrinsv --check` prints: every game entry of the configuration
// with its files and their digests, then every problem with its line.
#pragma once

#include "server/config_check.h"

namespace kestrin::host {

// Prints the report of `check` on standard output; returns the exit status,
// 0 when there is no problem, 2 otherwise.
int printConfigReport(const char* fileName, const ConfigCheck& check);

}  // namespace kestrin::host
