// The digest of a 32-bit Windows library (PE image): its code pages as they
// would lie in memory, with every relocated address blanked and the import
// tables cut away, so that the value does not depend on where the library is
// loaded.
//
// The image is built from the file the way a loader would place its
// sections.  The loader refuses any file whose headers, section table or
// section data do not lie wholly inside both the file and the image (of
// SizeOfImage bytes, at most kMaxImageSize).  Reading the relocation blocks
// and the pages they name, every byte outside the image counts as zero: a
// page copy may reach up to three bytes past the image, and a relocation
// block that would lie outside it reads as the zero block that ends the walk.
// Sums of header fields are taken without wrapping at 32 bits.
//
// All functions are reentrant; an image belongs to its caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "core/wire.h"
#include "digest/digest_transform.h"

namespace kestrin {

// Format of the PE files read here: src/core/wire.h.
namespace pe = wire::pe;

inline constexpr std::size_t kCodePageSize = 4096;
// A page and the three bytes behind it, which the next block inherits.
inline constexpr std::size_t kCodePageCarry = 3;
inline constexpr std::size_t kCodePageBufferSize = kCodePageSize + kCodePageCarry;

// Slack allowed between the declared code size and the code sections' end.
inline constexpr std::uint64_t kCodeSizeSlack = 16368;

// Largest SizeOfImage the loader accepts, and largest library file it reads.
inline constexpr std::uint32_t kMaxImageSize = 64u << 20;
inline constexpr std::uint32_t kMaxLibraryFileSize = 256u << 20;

// A library laid out as in memory: `size` bytes, zero where no section data
// lies.  Empty (no bytes) when loading failed.  The bytes come from calloc,
// so that the pages no section fills are never touched.
struct PeImage {
  struct Free {
    void operator()(std::uint8_t* bytes) const { std::free(bytes); }
  };
  std::unique_ptr<std::uint8_t[], Free> bytes;
  std::uint32_t size = 0;

  explicit operator bool() const { return bytes != nullptr; }
};

// Why a library could not be loaded or digested.
enum class LibraryError {
  kNone,
  kCannotRead,        // cannot open or read the file
  kFileTooLarge,      // over kMaxLibraryFileSize
  kNotMz,             // shorter than the DOS header, or no MZ mark
  kTruncatedHeaders,  // PE headers or section table cut off by the file end
  kBadImageSize,      // SizeOfImage over the limit or too small for the headers
  kBadSection,        // section data outside the file or the image
  kNoMemory,
  kNoRelocations,     // no base relocation table
  kNoCode,            // no relocated page of code: the digest would cover nothing
};

// Builds the image of the PE file at `path`, or of the `size` bytes at
// `file`.  On failure the result is empty and `*error` (when given) says why.
PeImage loadImage(const char* path, LibraryError* error = nullptr);
PeImage loadImageFromMemory(const std::uint8_t* file, std::size_t size,
                            LibraryError* error = nullptr);

// End of the code: the largest VirtualAddress + VirtualSize of the sections
// flagged as code, 0 without any.  Inconsistent headers give 1 (end beyond
// BaseOfCode + SizeOfCode + 16368), 2 (beyond SizeOfImage) or 3 (beyond
// BaseOfData + SizeOfInitializedData), which callers take as the end like
// any other value; 0 for an image without the MZ mark.
std::uint32_t codeExtent(const PeImage& image);

// Results of codePagesDigest.
enum CodePagesResult : int {
  kCodePagesOk = 0,
  kCodePagesNotMz = 3,
  kCodePagesNoRelocations = 4,
  // Every page was skipped: the digest would cover no code at all.
  kCodePagesNoCode = 5,
  kCodePagesNoMemory = 220,
};

// Mixes the code pages into the `n` words of `state` (n >= 4): every page
// that has a relocation block, in the order of the blocks, with its HIGHLOW
// fix-ups blanked, clipped to the code and to the outside of the import
// tables.  The walk ends at a block whose page address is 0 or whose size is
// below 8 (such a block could never lead on), or after the page that reaches
// beyond the code.
int codePagesDigest(const PeImage& image, std::uint32_t* state, std::size_t n);

// Loads the library at `path`, digests its code pages from the zero state and
// gives word 0; the image is freed before returning.  False, with `*error`
// (when given) saying why, when the file cannot be loaded, has no relocation
// table or no relocated page of code.
bool libraryDigest(const char* path, std::uint32_t* digest, LibraryError* error = nullptr);

// A short English description of `error`, for operators.
const char* describeLibraryError(LibraryError error);

}  // namespace kestrin
