// The checksum list of one game server: the model and library files whose
// digests every client on that game must match, with the name digest that
// identifies each file in a check request.
//
// Built on the host thread while the game's section is read, before the
// game's own thread starts; read-only afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/wire.h"

namespace kestrin {

inline constexpr std::size_t kCheckFileNameSize = 32;  // at most 31 characters
// Room for the directory, a separator and the name.
inline constexpr std::size_t kCheckFilePathSize = 260;

enum CheckFileKind : std::uint8_t {
  kCheckFileLibrary = 0,
  kCheckFileModel = 1,
};

struct ChecksumList {
  char checkFileNames[wire::kMaxCheckFiles][kCheckFileNameSize] = {};
  std::uint16_t checkFileCount = 0;
  std::uint32_t checkFileSeeds[wire::kMaxCheckFiles] = {};
  std::uint8_t checkFileKinds[wire::kMaxCheckFiles] = {};
  std::uint32_t checkFileDigests[wire::kMaxCheckFiles] = {};

  // Digests `fileName` in `directory` (a "/" is put between them unless the
  // directory ends with "/" or "\") and appends it with its name digest.
  // False, after printing why, when the name holds a slash or is longer than
  // 31 characters, the list is full, or the file cannot be digested; the list
  // is then unchanged.
  bool addCheckFile(const char* directory, const char* fileName, bool isModel);
};

}  // namespace kestrin
