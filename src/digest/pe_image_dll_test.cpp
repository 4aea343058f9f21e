// The library digest over real 32-bit Windows libraries built by the MinGW
// compiler during the build: one library at two image bases, and a variant
// whose code differs in one byte.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "digest/pe_image.h"
#include "support/scratch_folder.h"

namespace kestrin {
namespace {

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

TEST(PeImageDllTest, ImageBaseAndImportAddressTableDoNotCountButCodeDoes) {
  ASSERT_NE(readFile(sample("low")), readFile(sample("high")));
  const std::uint32_t low = digestOf(sample("low"));
  EXPECT_EQ(digestOf(sample("high")), low);
  EXPECT_NE(digestOf(sample("changed")), low);

  // Every byte of the import address table flipped: the same digest.
  std::vector<std::uint8_t> file = readFile(sample("low"));
  const std::size_t nt = loadLe32(&file[pe::kNewHeaderOffsetField]);
  const std::size_t directory = nt + pe::kSignatureSize + pe::kFileHeaderSize + pe::kDataDirectoriesField +
                                pe::kImportAddressTableDirectory * pe::kDataDirectorySize;
  const std::uint32_t address = loadLe32(&file[directory]);
  const std::uint32_t size = loadLe32(&file[directory + 4]);
  ASSERT_GT(size, 0u);
  std::size_t flipped = 0;
  const std::uint16_t sections = loadLe16(&file[nt + pe::kSignatureSize + pe::kNumberOfSectionsField]);
  for (std::size_t s = 0; s < sections; ++s) {
    const std::uint8_t* header = &file[nt + pe::kNtHeadersSize + s * pe::kSectionHeaderSize];
    const std::uint32_t start = loadLe32(header + pe::kSectionVirtualAddressField);
    if (address < start || address + size > start + loadLe32(header + pe::kSectionSizeOfRawDataField)) continue;
    const std::size_t offset = loadLe32(header + pe::kSectionPointerToRawDataField) + (address - start);
    for (std::size_t k = 0; k < size; ++k, ++flipped) file[offset + k] ^= 0xA5;
  }
  ASSERT_EQ(flipped, size);
  testing::ScratchFolder folder;
  std::ofstream("flipped.dll", std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  EXPECT_EQ(digestOf("flipped.dll"), low);
}

}  // namespace
}  // namespace kestrin
