// Public interface of the Kestrin server library (kestrinserver.so or
// kestrinserver.dll).  The library exports exactly one function.  The
// results and file names below are the contract between the library and the
// host program that swaps in a new library.
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

// Results of initialize(), never 0.
enum KestrinResult {
  // A new server library has been written to KESTRIN_SERVER_IMAGE_FILE.
  KESTRIN_SERVER_INSTALLED = 1,
  // The server stopped on an error.
  KESTRIN_ERROR = 2
};

// The new server library, written in the working folder; the host renames
// it over the running library after keeping that one under the same name
// with KESTRIN_BACKUP_SUFFIX appended.
#define KESTRIN_SERVER_IMAGE_FILE "kestrinsv.tmp"
#define KESTRIN_BACKUP_SUFFIX ".bak"
// The SHA-256 digests (lowercase hex, one a line) of new server libraries
// that failed to start and were rolled back, in the working folder: the host
// never installs such a library again, and the library does not download it
// again.
#define KESTRIN_REJECTED_LIST "kestrinsv.rejected"

// Receives every text the server prints, zero-terminated, without any
// newline added.  May be called from several threads at once.
typedef void (*PrintCallback)(const char* text);

// Runs the whole server on the calling thread and returns a KestrinResult
// when it stops.  Works in the current directory, where it reads
// "kestrinsv.cfg" and "cldll.dat" and writes "kestrin.log".
int initialize(PrintCallback callback);

#ifdef __cplusplus
}
#endif
