// The library digest over real 32-bit Windows libraries: samples built by
// the MinGW compiler during the build, and the runtime libraries that the
// MinGW packages ship.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "digest/pe_image.h"

namespace kestrin {
namespace {

namespace fs = std::filesystem;

std::string sample(const char* variant) {
  return std::string(KESTRIN_SAMPLE_LIBRARY_DIR) + "/" + variant + "/sample.dll";
}

std::vector<std::uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::uint32_t digestOf(const std::string& path) {
  std::uint32_t digest = 0;
  LibraryError error = LibraryError::kNone;
  EXPECT_TRUE(libraryDigest(path.c_str(), &digest, &error)) << path << ": " << describeLibraryError(error);
  return digest;
}

std::uint32_t digestOf(const std::vector<std::uint8_t>& file) {
  const std::string path = (fs::temp_directory_path() / "kestrin_pe_image_dll_test.dll").string();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                              static_cast<std::streamsize>(file.size()));
  const std::uint32_t digest = digestOf(path);
  fs::remove(path);
  return digest;
}

// Just enough of the headers to find a directory and a section in the file.
struct Headers {
  std::size_t optional;
  std::size_t sections;
  std::uint16_t sectionCount;
};

Headers headersOf(const std::vector<std::uint8_t>& file) {
  const std::size_t nt = loadLe32(&file[pe::kNewHeaderOffsetField]);
  return {nt + pe::kSignatureSize + pe::kFileHeaderSize, nt + pe::kNtHeadersSize,
          loadLe16(&file[nt + pe::kSignatureSize + pe::kNumberOfSectionsField])};
}

// The file range of the section holding image address `address`.
bool sectionRange(const std::vector<std::uint8_t>& file, std::uint32_t address, std::size_t* fileOffset,
                  std::size_t* rawStart, std::size_t* rawEnd) {
  const Headers headers = headersOf(file);
  for (std::size_t s = 0; s < headers.sectionCount; ++s) {
    const std::uint8_t* header = &file[headers.sections + s * pe::kSectionHeaderSize];
    const std::uint32_t start = loadLe32(header + pe::kSectionVirtualAddressField);
    const std::uint32_t rawSize = loadLe32(header + pe::kSectionSizeOfRawDataField);
    if (address >= start && address < start + rawSize) {
      *rawStart = loadLe32(header + pe::kSectionPointerToRawDataField);
      *rawEnd = *rawStart + rawSize;
      *fileOffset = *rawStart + (address - start);
      return true;
    }
  }
  return false;
}

TEST(PeImageDllTest, TwoImageBasesGiveOneDigest) {
  const std::vector<std::uint8_t> low = readFile(sample("low"));
  const std::vector<std::uint8_t> high = readFile(sample("high"));
  ASSERT_FALSE(low.empty());
  ASSERT_EQ(low.size(), high.size());
  ASSERT_NE(low, high);
  EXPECT_EQ(digestOf(sample("low")), digestOf(sample("high")));
}

TEST(PeImageDllTest, OneChangedCodeByteChangesTheDigest) {
  const std::vector<std::uint8_t> low = readFile(sample("low"));
  const std::vector<std::uint8_t> changed = readFile(sample("changed"));
  ASSERT_EQ(low.size(), changed.size());
  // Apart from the header checksum the files differ in one byte of code.
  const std::size_t checksumField = headersOf(low).optional + pe::kCheckSumField;
  std::vector<std::size_t> differences;
  for (std::size_t k = 0; k < low.size(); ++k) {
    if (low[k] != changed[k] && (k < checksumField || k >= checksumField + 4)) differences.push_back(k);
  }
  ASSERT_EQ(differences.size(), 1u);
  std::size_t offset = 0, start = 0, end = 0;
  const std::uint32_t baseOfCode = loadLe32(&low[headersOf(low).optional + pe::kBaseOfCodeField]);
  ASSERT_TRUE(sectionRange(low, baseOfCode, &offset, &start, &end));
  EXPECT_TRUE(differences[0] >= start && differences[0] < end);
  EXPECT_NE(digestOf(sample("low")), digestOf(sample("changed")));
}

TEST(PeImageDllTest, ImportAddressTableDoesNotCount) {
  std::vector<std::uint8_t> file = readFile(sample("low"));
  const std::size_t directory =
      headersOf(file).optional + pe::kDataDirectoriesField + pe::kImportAddressTableDirectory * pe::kDataDirectorySize;
  const std::uint32_t address = loadLe32(&file[directory]);
  const std::uint32_t size = loadLe32(&file[directory + 4]);
  ASSERT_GT(size, 0u);
  std::size_t offset = 0, start = 0, end = 0;
  ASSERT_TRUE(sectionRange(file, address, &offset, &start, &end));
  ASSERT_LE(offset + size, end);
  const std::uint32_t before = digestOf(file);
  for (std::size_t k = 0; k < size; ++k) file[offset + k] ^= 0xA5;
  EXPECT_EQ(digestOf(file), before);
}

TEST(PeImageDllTest, DigestsTheMinGWRuntimeLibraries) {
  int digested = 0;
  for (const char* root : {"/usr/lib/gcc/i686-w64-mingw32", "/usr/i686-w64-mingw32"}) {
    if (!fs::exists(root)) continue;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
      if (entry.path().extension() != ".dll") continue;
      const std::uint32_t first = digestOf(entry.path().string());
      EXPECT_EQ(digestOf(entry.path().string()), first);
      ++digested;
    }
  }
  EXPECT_GE(digested, 3);
  // 64-bit libraries are read with the 32-bit header layout: whatever the
  // outcome, it must be reached safely.
  for (const char* root : {"/usr/lib/gcc/x86_64-w64-mingw32", "/usr/x86_64-w64-mingw32"}) {
    if (!fs::exists(root)) continue;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
      if (entry.path().extension() != ".dll") continue;
      std::uint32_t digest = 0;
      libraryDigest(entry.path().string().c_str(), &digest);
    }
  }
}

}  // namespace
}  // namespace kestrin
