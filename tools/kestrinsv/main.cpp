// kestrinsv: the host program of the Kestrin server.  Loads the server
// library, runs it, installs a new server library when the server has
// downloaded one, and puts the previous one back when the new one fails to
// start.
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

#include "kestrin/kestrin.h"
#include "kestrinsv/config_report.h"
#include "kestrinsv/console.h"
#include "kestrinsv/library_files.h"
#include "platform/platform.h"
#include "server/config_check.h"
#include "server/server.h"

namespace {

enum ExitStatus {
  kExitInstalled = KESTRIN_SERVER_INSTALLED,
  kExitServerError = KESTRIN_ERROR,
  kExitLoadError = 3,
};

// What the server prints once its start-up has finished.
constexpr const char* kStartupFinished = "Init finished\n";

// Set by the output callback when the running library has printed
// kStartupFinished; the files of a library on trial, whose marker then goes.
std::atomic<bool> gStartupFinished{false};
std::atomic<const kestrin::host::LibraryFiles*> gOnTrial{nullptr};

// The marker goes before the line is shown, so that whoever reads the line
// finds the trial over.
void printToStdout(const char* text) {
  if (std::strcmp(text, kStartupFinished) == 0 && !gStartupFinished.exchange(true)) {
    if (const kestrin::host::LibraryFiles* files = gOnTrial.load()) files->startupFinished();
  }
  kestrin::host::console().write(kestrin::host::Console::Stream::kOut, text);
}

void usage() {
  std::printf(
      "Usage: kestrinsv [--library PATH] [--once] [--plain]\n"
      "       kestrinsv --check\n"
      "\n"
      "Runs the Kestrin server in the current directory, which holds\n"
      "kestrinsv.cfg, cldll.dat, kestrin.log, " KESTRIN_SERVER_IMAGE_FILE " and kestrinsv.rejected.\n"
      "Every line printed starts with the local date and time,\n"
      "\"[2026-12-06 22:47:12] \".\n"
      "\n"
      "  --library PATH  load the server library from PATH instead of\n"
      "                  %s beside this program\n"
      "  --once          stop after one run of the server\n"
      "  --plain         print the server's lines as they are, without the date\n"
      "                  and time\n"
      "  --check         check kestrinsv.cfg as the server's start-up reads it:\n"
      "                  print every game server with its files and their\n"
      "                  digests and every problem with its line, then exit\n"
      "                  (0: no problem, 2: problems); nothing is contacted\n"
      "  --help          show this text\n"
      "\n"
      "When the server has written a new server library to " KESTRIN_SERVER_IMAGE_FILE " it\n"
      "stops with result 1: kestrinsv then keeps the old library beside the\n"
      "new one as PATH" KESTRIN_BACKUP_SUFFIX ", renames " KESTRIN_SERVER_IMAGE_FILE " to PATH, loads it and runs\n"
      "it (with --once it exits with status 1 instead).  A new library that\n"
      "cannot be loaded, lacks the initialize function or stops before its\n"
      "start-up has finished is rolled back: PATH" KESTRIN_BACKUP_SUFFIX " is put back and run, and\n"
      "the new library's SHA-256 digest is added to kestrinsv.rejected, whose\n"
      "libraries are never installed again.  PATH.trial marks a new library\n"
      "until its start-up has finished; found at a start, it is rolled back.\n"
      "A server that stops on an error makes kestrinsv exit with status 2.  A\n"
      "library that cannot be loaded or lacks the initialize function, with\n"
      "nothing to roll back to: status 3; so does a new library that cannot be\n"
      "put in place, the old one being put back.\n",
      kestrin::platform::serverLibraryName());
}

// One run of the library: its result, or why it did not run.
struct Run {
  enum Failure { kNone, kNotLoaded, kNoEntry } failure = kNone;
  std::string loaderError;
  int result = 0;
};

Run runLibrary(const std::string& library) {
  Run run;
  gStartupFinished.store(false);
  kestrin::platform::LibraryHandle handle = kestrin::platform::loadLibrary(library.c_str());
  if (handle == 0) {
    run.failure = Run::kNotLoaded;
    run.loaderError = kestrin::platform::lastLibraryError();
    return run;
  }
  auto entry = reinterpret_cast<decltype(&initialize)>(kestrin::platform::findSymbol(handle, "initialize"));
  if (entry == nullptr) {
    run.failure = Run::kNoEntry;
  } else {
    run.result = entry(printToStdout);
  }
  kestrin::platform::unloadLibrary(handle);
  return run;
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
    if (std::strcmp(argv[i], "--check") == 0) {
      return kestrin::host::printConfigReport(kestrin::kConfigFileName,
                                              kestrin::checkConfiguration(kestrin::kConfigFileName));
    }
    if (std::strcmp(argv[i], "--once") == 0) {
      once = true;
    } else if (std::strcmp(argv[i], "--plain") == 0) {
      kestrin::host::console().setPlain(true);
    } else if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
      library = argv[++i];
    } else {
      std::fprintf(stderr, "kestrinsv: unknown argument %s (try --help)\n", argv[i]);
      return kExitLoadError;
    }
  }

  const kestrin::host::LibraryFiles files(library);
  if (files.onTrial()) files.rollBack("did not finish its start-up in the last run");
  bool onTrial = false;
  for (;;) {
    gOnTrial.store(onTrial ? &files : nullptr);
    Run run = runLibrary(library);
    gOnTrial.store(nullptr);
    if (onTrial && (run.failure != Run::kNone || !gStartupFinished.load())) {
      std::string reason = run.failure == Run::kNotLoaded ? "cannot be loaded (" + run.loaderError + ")"
                           : run.failure == Run::kNoEntry ? "has no initialize function"
                                                          : "stopped before its start-up finished";
      if (!files.rollBack(reason)) return kExitLoadError;
      onTrial = false;
      continue;
    }
    onTrial = false;
    if (run.failure == Run::kNotLoaded) {
      kestrin::host::printError("kestrinsv: cannot load %s: %s\n", library.c_str(), run.loaderError.c_str());
      return kExitLoadError;
    }
    if (run.failure == Run::kNoEntry) {
      kestrin::host::printError("kestrinsv: %s has no initialize function\n", library.c_str());
      return kExitLoadError;
    }
    if (run.result != kExitInstalled) return kExitServerError;
    if (once) return kExitInstalled;
    switch (files.installNewLibrary()) {
      case kestrin::host::LibraryFiles::Install::kInstalled:
        onTrial = true;
        break;
      case kestrin::host::LibraryFiles::Install::kRefused:
        break;
      case kestrin::host::LibraryFiles::Install::kFailed:
        return kExitLoadError;
    }
  }
}
