// kestrinsv: the host program of the Kestrin server.  Loads the server
// library, runs it, and installs a new server library when the server has
// downloaded one.
#include <cstdio>
#include <cstring>
#include <string>

#include "kestrin/kestrin.h"
#include "platform/platform.h"

namespace {

constexpr const char* kServerImage = KESTRIN_SERVER_IMAGE_FILE;

enum ExitStatus {
  kExitInstalled = KESTRIN_SERVER_INSTALLED,
  kExitServerError = KESTRIN_ERROR,
  kExitLoadError = 3,
};

void printToStdout(const char* text) {
  std::fputs(text, stdout);
  std::fflush(stdout);
}

void usage() {
  std::printf(
      "Usage: kestrinsv [--library PATH] [--once]\n"
      "\n"
      "Runs the Kestrin server in the current directory, which holds\n"
      "kestrinsv.cfg, cldll.dat, kestrin.log and " KESTRIN_SERVER_IMAGE_FILE ".\n"
      "\n"
      "  --library PATH  load the server library from PATH instead of\n"
      "                  %s beside this program\n"
      "  --once          stop after one run of the server\n"
      "  --help          show this text\n"
      "\n"
      "When the server has written a new server library to " KESTRIN_SERVER_IMAGE_FILE " it\n"
      "stops with result 1: kestrinsv then keeps the old library beside the\n"
      "new one as PATH" KESTRIN_BACKUP_SUFFIX ", renames " KESTRIN_SERVER_IMAGE_FILE " to PATH, loads it and runs\n"
      "it (with --once it exits with status 1 instead).  A server that stops\n"
      "on an error makes kestrinsv exit with status 2.  A library that cannot\n"
      "be loaded or lacks the initialize function: status 3; so does a new\n"
      "library that cannot be put in place, the old one being put back.\n",
      kestrin::platform::serverLibraryName());
}

// Replaces the library with the downloaded image, keeping a backup.
bool installServerImage(const std::string& library) {
  std::string backup = library + KESTRIN_BACKUP_SUFFIX;
  if (!kestrin::platform::fileExists(kServerImage)) {
    std::fprintf(stderr, "kestrinsv: %s is missing, nothing to install\n", kServerImage);
    return false;
  }
  if (!kestrin::platform::replaceFile(library.c_str(), backup.c_str())) {
    std::fprintf(stderr, "kestrinsv: cannot keep %s as %s\n", library.c_str(), backup.c_str());
    return false;
  }
  if (!kestrin::platform::replaceFile(kServerImage, library.c_str())) {
    std::fprintf(stderr, "kestrinsv: cannot install %s as %s\n", kServerImage, library.c_str());
    if (kestrin::platform::replaceFile(backup.c_str(), library.c_str()))
      std::fprintf(stderr, "kestrinsv: kept the previous library as %s\n", library.c_str());
    else
      std::fprintf(stderr, "kestrinsv: cannot put %s back as %s\n", backup.c_str(), library.c_str());
    return false;
  }
  std::printf("kestrinsv: installed new server library %s (previous kept as %s)\n",
              library.c_str(), backup.c_str());
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::string library =
      kestrin::platform::executableDirectory() + kestrin::platform::serverLibraryName();
  bool once = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage();
      return 0;
    }
    if (std::strcmp(argv[i], "--once") == 0) {
      once = true;
    } else if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      library = argv[++i];
    } else {
      std::fprintf(stderr, "kestrinsv: unknown argument %s (try --help)\n", argv[i]);
      return kExitLoadError;
    }
  }

  for (;;) {
    kestrin::platform::LibraryHandle handle = kestrin::platform::loadLibrary(library.c_str());
    if (handle == 0) {
      std::fprintf(stderr, "kestrinsv: cannot load %s: %s\n", library.c_str(),
                   kestrin::platform::lastLibraryError().c_str());
      return kExitLoadError;
    }
    auto entry = reinterpret_cast<decltype(&initialize)>(
        kestrin::platform::findSymbol(handle, "initialize"));
    if (entry == nullptr) {
      std::fprintf(stderr, "kestrinsv: %s has no initialize function\n", library.c_str());
      kestrin::platform::unloadLibrary(handle);
      return kExitLoadError;
    }
    int result = entry(printToStdout);
    kestrin::platform::unloadLibrary(handle);
    if (result != kExitInstalled) return kExitServerError;
    if (once) return kExitInstalled;
    if (!installServerImage(library)) return kExitLoadError;
  }
}
