#include "digest/pe_image.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "core/byte_order.h"

namespace kestrin {
namespace {

void setError(LibraryError* error, LibraryError value) {
  if (error != nullptr) *error = value;
}

bool hasMzMark(const std::uint8_t* bytes, std::uint64_t size) {
  return size >= 2 && bytes[0] == pe::kMzMark0 && bytes[1] == pe::kMzMark1;
}

// Copies `length` image bytes from `offset` to `out`; bytes outside the
// image count as zero.
void copyFromImage(const PeImage& image, std::uint64_t offset, std::uint8_t* out, std::size_t length) {
  std::size_t available = 0;
  if (offset < image.size) available = static_cast<std::size_t>(std::min<std::uint64_t>(length, image.size - offset));
  if (available > 0) std::memcpy(out, image.bytes.get() + offset, available);
  std::memset(out + available, 0, length - available);
}

std::uint32_t imageLe32(const PeImage& image, std::uint64_t offset) {
  std::uint8_t bytes[4];
  copyFromImage(image, offset, bytes, sizeof bytes);
  return loadLe32(bytes);
}

std::uint16_t imageLe16(const PeImage& image, std::uint64_t offset) {
  std::uint8_t bytes[2];
  copyFromImage(image, offset, bytes, sizeof bytes);
  return loadLe16(bytes);
}

// Offsets of the headers inside an image, from its e_lfanew.
struct HeaderOffsets {
  std::uint64_t fileHeader;
  std::uint64_t optionalHeader;
  std::uint64_t sectionTable;
};

HeaderOffsets headerOffsets(std::uint32_t newHeaderOffset) {
  const std::uint64_t fileHeader = std::uint64_t{newHeaderOffset} + pe::kSignatureSize;
  return {fileHeader, fileHeader + pe::kFileHeaderSize, std::uint64_t{newHeaderOffset} + pe::kNtHeadersSize};
}

HeaderOffsets imageHeaderOffsets(const PeImage& image) {
  return headerOffsets(imageLe32(image, pe::kNewHeaderOffsetField));
}

std::uint64_t directoryField(const HeaderOffsets& headers, std::size_t directory, std::size_t field) {
  return headers.optionalHeader + pe::kDataDirectoriesField + directory * pe::kDataDirectorySize + field;
}

// A half-open range of image addresses: an import table.
struct AddressRange {
  std::uint64_t start;
  std::uint64_t end;
};

AddressRange directoryRange(const PeImage& image, const HeaderOffsets& headers, std::size_t directory) {
  const std::uint64_t start = imageLe32(image, directoryField(headers, directory, 0));
  return {start, start + imageLe32(image, directoryField(headers, directory, 4))};
}

// The part of one page that is digested: [lo, hi) in image addresses.
struct PageClip {
  std::uint64_t lo;
  std::uint64_t hi;
  bool skip;
};

// Cuts a table out of the page: a table that starts inside the page ends the
// digested part there; one that ends inside the page starts it there; a page
// wholly inside the table is skipped.
void clipTable(PageClip& clip, std::uint64_t pageStart, std::uint64_t pageEnd, AddressRange table) {
  if (table.start > pageStart) {
    if (table.start < pageEnd) clip.hi = table.start;
  } else if (table.end >= pageEnd) {
    clip.skip = true;
  }
  if (table.end > pageStart && table.end < pageEnd) clip.lo = table.end;
}

}  // namespace

PeImage loadImageFromMemory(const std::uint8_t* file, std::size_t size, LibraryError* error) {
  if (size < pe::kDosHeaderSize || !hasMzMark(file, size)) {
    setError(error, LibraryError::kNotMz);
    return {};
  }
  const std::uint32_t newHeaderOffset = loadLe32(file + pe::kNewHeaderOffsetField);
  const HeaderOffsets headers = headerOffsets(newHeaderOffset);
  if (headers.sectionTable > size) {
    setError(error, LibraryError::kTruncatedHeaders);
    return {};
  }
  const std::uint16_t sectionCount = loadLe16(file + headers.fileHeader + pe::kNumberOfSectionsField);
  const std::uint64_t tableEnd = headers.sectionTable + std::uint64_t{sectionCount} * pe::kSectionHeaderSize;
  if (tableEnd > size) {
    setError(error, LibraryError::kTruncatedHeaders);
    return {};
  }
  const std::uint32_t imageSize = loadLe32(file + headers.optionalHeader + pe::kSizeOfImageField);
  if (imageSize > kMaxImageSize || imageSize < tableEnd) {
    setError(error, LibraryError::kBadImageSize);
    return {};
  }
  for (std::uint32_t s = 0; s < sectionCount; ++s) {
    const std::uint8_t* header = file + headers.sectionTable + s * pe::kSectionHeaderSize;
    const std::uint64_t rawSize = loadLe32(header + pe::kSectionSizeOfRawDataField);
    if (rawSize == 0) continue;
    const std::uint64_t address = loadLe32(header + pe::kSectionVirtualAddressField);
    const std::uint64_t rawOffset = loadLe32(header + pe::kSectionPointerToRawDataField);
    if (address + rawSize > imageSize || rawOffset + rawSize > size) {
      setError(error, LibraryError::kBadSection);
      return {};
    }
  }

  PeImage image;
  image.bytes.reset(static_cast<std::uint8_t*>(std::calloc(imageSize, 1)));
  if (!image) {
    setError(error, LibraryError::kNoMemory);
    return {};
  }
  image.size = imageSize;
  std::uint8_t* out = image.bytes.get();
  std::memcpy(out, file, pe::kDosHeaderSize);
  std::memcpy(out + newHeaderOffset, file + newHeaderOffset, pe::kNtHeadersSize);
  std::memcpy(out + headers.sectionTable, file + headers.sectionTable, tableEnd - headers.sectionTable);
  for (std::uint32_t s = 0; s < sectionCount; ++s) {
    const std::uint8_t* header = file + headers.sectionTable + s * pe::kSectionHeaderSize;
    const std::uint32_t rawSize = loadLe32(header + pe::kSectionSizeOfRawDataField);
    if (rawSize == 0) continue;
    std::memcpy(out + loadLe32(header + pe::kSectionVirtualAddressField),
                file + loadLe32(header + pe::kSectionPointerToRawDataField), rawSize);
  }
  setError(error, LibraryError::kNone);
  return image;
}

PeImage loadImage(const char* path, LibraryError* error) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) {
    setError(error, LibraryError::kCannotRead);
    return {};
  }
  std::unique_ptr<std::uint8_t[]> bytes;
  long size = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) size = std::ftell(file);
  LibraryError failure = LibraryError::kNone;
  if (size < 0 || std::fseek(file, 0, SEEK_SET) != 0) {
    failure = LibraryError::kCannotRead;
  } else if (static_cast<unsigned long>(size) > kMaxLibraryFileSize) {
    failure = LibraryError::kFileTooLarge;
  } else {
    bytes.reset(new (std::nothrow) std::uint8_t[size > 0 ? size : 1]);
    if (bytes == nullptr) {
      failure = LibraryError::kNoMemory;
    } else if (std::fread(bytes.get(), 1, static_cast<std::size_t>(size), file) !=
               static_cast<std::size_t>(size)) {
      failure = LibraryError::kCannotRead;
    }
  }
  std::fclose(file);
  if (failure != LibraryError::kNone) {
    setError(error, failure);
    return {};
  }
  return loadImageFromMemory(bytes.get(), static_cast<std::size_t>(size), error);
}

std::uint32_t codeExtent(const PeImage& image) {
  if (!image || !hasMzMark(image.bytes.get(), image.size)) return 0;
  const HeaderOffsets headers = imageHeaderOffsets(image);
  const std::uint16_t sectionCount = imageLe16(image, headers.fileHeader + pe::kNumberOfSectionsField);
  std::uint64_t end = 0;
  for (std::uint32_t s = 0; s < sectionCount; ++s) {
    const std::uint64_t header = headers.sectionTable + std::uint64_t{s} * pe::kSectionHeaderSize;
    if ((imageLe32(image, header + pe::kSectionCharacteristicsField) & pe::kSectionContainsCode) == 0) continue;
    end = std::max(end, std::uint64_t{imageLe32(image, header + pe::kSectionVirtualAddressField)} +
                            imageLe32(image, header + pe::kSectionVirtualSizeField));
  }
  const std::uint64_t optional = headers.optionalHeader;
  const std::uint64_t codeLimit = std::uint64_t{imageLe32(image, optional + pe::kBaseOfCodeField)} +
                                  imageLe32(image, optional + pe::kSizeOfCodeField) + kCodeSizeSlack;
  const std::uint64_t dataLimit = std::uint64_t{imageLe32(image, optional + pe::kBaseOfDataField)} +
                                  imageLe32(image, optional + pe::kSizeOfInitializedDataField);
  if (end > codeLimit) return 1;
  if (end > imageLe32(image, optional + pe::kSizeOfImageField)) return 2;
  if (end > dataLimit) return 3;
  return static_cast<std::uint32_t>(end);
}

int codePagesDigest(const PeImage& image, std::uint32_t* state, std::size_t n) {
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kCodePageBufferSize]());
  if (buffer == nullptr) return kCodePagesNoMemory;
  std::uint8_t* page = buffer.get();
  if (!image || !hasMzMark(image.bytes.get(), image.size)) return kCodePagesNotMz;

  const HeaderOffsets headers = imageHeaderOffsets(image);
  const std::uint32_t relocations =
      imageLe32(image, directoryField(headers, pe::kBaseRelocationDirectory, 0));
  if (relocations == 0) return kCodePagesNoRelocations;
  const AddressRange imports = directoryRange(image, headers, pe::kImportDirectory);
  const AddressRange addressTable = directoryRange(image, headers, pe::kImportAddressTableDirectory);
  const std::uint64_t codeStart = imageLe32(image, headers.optionalHeader + pe::kBaseOfCodeField);
  const std::uint64_t codeEnd = codeExtent(image);

  bool digested = false;
  // The walk only moves forward and reads zeros past the image, where it
  // meets a page address of 0, so it always ends.
  for (std::uint64_t block = relocations;;) {
    const std::uint64_t pageStart = imageLe32(image, block);
    const std::uint32_t blockSize = imageLe32(image, block + 4);
    if (pageStart == 0 || blockSize < pe::kRelocationBlockHeaderSize) break;

    std::uint8_t carry[kCodePageCarry];
    std::memcpy(carry, page + kCodePageSize, kCodePageCarry);
    copyFromImage(image, pageStart, page, kCodePageBufferSize);
    std::memcpy(page, carry, kCodePageCarry);

    // Entries past the image read as zero, an ignored type.
    const std::uint64_t entries = block + pe::kRelocationBlockHeaderSize;
    std::uint64_t entryCount = (blockSize - pe::kRelocationBlockHeaderSize) / pe::kRelocationEntrySize;
    entryCount = std::min(entryCount, entries < image.size ? (image.size - entries) / pe::kRelocationEntrySize : 0);
    for (std::uint64_t e = 0; e < entryCount; ++e) {
      const std::uint16_t entry = loadLe16(image.bytes.get() + entries + e * pe::kRelocationEntrySize);
      if ((entry >> pe::kRelocationTypeShift) != pe::kRelocationHighLow) continue;
      std::memset(page + (entry & pe::kRelocationOffsetMask), 0, pe::kRelocatedValueSize);
    }

    const std::uint64_t pageEnd = pageStart + kCodePageSize;
    PageClip clip{codeStart, codeEnd, false};
    clipTable(clip, pageStart, pageEnd, addressTable);
    if (!clip.skip) clipTable(clip, pageStart, pageEnd, imports);
    if (!clip.skip && clip.lo <= clip.hi && pageEnd >= clip.lo && pageStart < clip.hi) {
      if (pageStart < clip.lo) {
        std::memset(page, 0, clip.lo - pageStart);
      } else if (pageEnd > clip.hi) {
        std::memset(page + (clip.hi - pageStart), 0, pageEnd - clip.hi);
      }
      digestTransform(state, n, page, kCodePageSize);
      digested = true;
      if (pageEnd > codeEnd) break;
    }
    block += blockSize;
  }
  std::memset(page, 0, kCodePageBufferSize);
  return digested ? kCodePagesOk : kCodePagesNoCode;
}

bool libraryDigest(const char* path, std::uint32_t* digest, LibraryError* error) {
  PeImage image = loadImage(path, error);
  if (!image) return false;
  FileDigest state;
  const int result = codePagesDigest(image, state.words, kDigestWindowWords);
  image = {};
  switch (result) {
    case kCodePagesOk:
      setError(error, LibraryError::kNone);
      *digest = state.words[0];
      return true;
    case kCodePagesNotMz:
      setError(error, LibraryError::kNotMz);
      return false;
    case kCodePagesNoRelocations:
      setError(error, LibraryError::kNoRelocations);
      return false;
    case kCodePagesNoCode:
      setError(error, LibraryError::kNoCode);
      return false;
    default:
      setError(error, LibraryError::kNoMemory);
      return false;
  }
}

const char* describeLibraryError(LibraryError error) {
  switch (error) {
    case LibraryError::kNone:
      return "no error";
    case LibraryError::kCannotRead:
      return "cannot open or read the file";
    case LibraryError::kFileTooLarge:
      return "file larger than 256 MiB";
    case LibraryError::kNotMz:
      return "not a PE library (no MZ header)";
    case LibraryError::kTruncatedHeaders:
      return "PE headers or section table cut off by the end of the file";
    case LibraryError::kBadImageSize:
      return "SizeOfImage over 64 MiB or too small for the headers";
    case LibraryError::kBadSection:
      return "section data outside the file or the image";
    case LibraryError::kNoMemory:
      return "out of memory";
    case LibraryError::kNoRelocations:
      return "no base relocation table";
    case LibraryError::kNoCode:
      return "no relocated page of code to digest";
  }
  return "unknown error";
}

}  // namespace kestrin
