// The files kestrinsv keeps around the server library PATH so that a new
// library can never leave the server without a working one:
//   kestrinsv.tmp       a new library written by the server (current folder);
//   PATH.bak            the previous library while the new one runs;
//   PATH.trial          present from the swap until the new library has
//                       finished its start-up: found at a start, it means the
//                       last run died during that start-up;
//   kestrinsv.rejected  the SHA-256 digests (hex, one a line) of libraries
//                       that were rolled back (current folder); the same
//                       bytes are never put in place again.
// Messages go to standard error and output through the console, prefixed
// "kestrinsv: ".
// Host thread only, except startupFinished().
#pragma once

#include <string>

#include "kestrin/kestrin.h"

namespace kestrin::host {

inline constexpr const char* kServerImage = KESTRIN_SERVER_IMAGE_FILE;
inline constexpr const char* kRejectedList = KESTRIN_REJECTED_LIST;

// The SHA-256 digest of a file's bytes in lowercase hex; empty when the file
// cannot be read.
std::string fileDigest(const std::string& path);

class LibraryFiles {
 public:
  explicit LibraryFiles(std::string library);

  const std::string& library() const { return library_; }
  std::string backup() const { return library_ + KESTRIN_BACKUP_SUFFIX; }
  std::string trialMarker() const { return library_ + ".trial"; }

  enum class Install { kInstalled, kRefused, kFailed };
  // Puts kestrinsv.tmp in place of the library, keeping the old one as
  // PATH.bak and leaving the trial marker.  kRefused, with kestrinsv.tmp
  // removed, when its digest is listed as rejected; kFailed when it cannot
  // be put in place (the old library then stays).
  Install installNewLibrary() const;

  // True while the library in place has not finished a start-up since the
  // swap.
  bool onTrial() const;
  // The library in place has finished its start-up: removes the marker.
  // Safe from any thread.
  void startupFinished() const;
  // The library on trial failed for `reason` (which completes "new server
  // library PATH ..."): lists its digest as rejected, puts PATH.bak back and
  // removes the marker.  False when PATH.bak cannot be put back.
  bool rollBack(const std::string& reason) const;

 private:
  std::string library_;
};

}  // namespace kestrin::host
