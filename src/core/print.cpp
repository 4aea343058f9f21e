#include "core/print.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kestrin {
namespace {
std::atomic<PrintCallback> gCallback{nullptr};
}  // namespace

void setPrintCallback(PrintCallback callback) { gCallback.store(callback); }

void printMessage(const char* format, ...) {
  PrintCallback callback = gCallback.load();
  if (callback == nullptr) return;
  char buffer[kPrintBufferSize];
  va_list arguments;
  va_start(arguments, format);
  // vsnprintf always terminates the text; longer output is cut at 1023.
  int n = std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  if (n < 0) return;
  callback(buffer);
}

}  // namespace kestrin
