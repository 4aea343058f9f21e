// Any bytes as a status file: a report or a refusal, never a crash.
#include <cstddef>
#include <cstdint>
#include <string>

#include "kestrin-status/status_report.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string report;
  std::string error;
  kestrin::status::renderStatus(std::string(reinterpret_cast<const char*>(data), size), &report, &error);
  return 0;
}
