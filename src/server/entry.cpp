// The library's one exported function.
#include <memory>
#include <new>

#include "core/print.h"
#include "kestrin/kestrin.h"
#include "server/server.h"

extern "C" KESTRIN_EXPORT int initialize(PrintCallback callback) {
  kestrin::setPrintCallback(callback);
  // The record is large (session tables, key material); it lives on the heap
  // for exactly this call and never moves.
  std::unique_ptr<kestrin::Server> server(new (std::nothrow) kestrin::Server());
  if (!server) {
    kestrin::printMessage("Error: Out of memory\n");
    return kestrin::kRunError;
  }
  int result = server->init();
  while (result == kestrin::kRunOn) result = server->step();
  server->shutdown();
  kestrin::setPrintCallback(nullptr);
  return result;
}
