// Results of the server's start-up, its main step and its whole run: run on,
// or stop with one of the library's public results.
#pragma once

#include "kestrin/kestrin.h"

namespace kestrin {

enum RunResult : int {
  kRunOn = 0,
  kRunServerInstalled = KESTRIN_SERVER_INSTALLED,
  kRunError = KESTRIN_ERROR,
};

}  // namespace kestrin
