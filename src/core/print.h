// The one output routine of the server.  Every message goes through
// printMessage to the host's PrintCallback.
//
// The message texts are a contract: operators' scripts match them, so they
// stay exactly as they are, misspellings included.
#pragma once

#include <cstddef>

#include "kestrin/kestrin.h"

namespace kestrin {

// Size of the formatting buffer: longer output is cut at kPrintBufferSize - 1
// characters.
inline constexpr std::size_t kPrintBufferSize = 1024;

// Installs the callback that receives all output; null discards output.
// Thread-safe.
void setPrintCallback(PrintCallback callback);

// Formats by the printf rules into a 1024-byte buffer of its own and hands it
// to the callback; adds nothing.  May be entered by every thread at once.
void printMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kestrin
