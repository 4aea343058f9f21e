// Test support: builds small 32-bit PE files in memory, with the fields the
// digest reads, for the tests that digest libraries.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "digest/pe_image.h"

namespace kestrin::testing {

struct TestSection {
  std::uint32_t address = 0;
  std::uint32_t virtualSize = 0;
  std::vector<std::uint8_t> data;  // the raw data in the file
  std::uint32_t characteristics = 0;
};

// One relocation block: the page address and its u16 entries.
struct TestRelocationBlock {
  std::uint32_t page = 0;
  std::vector<std::uint16_t> entries;
};

inline constexpr std::uint32_t kTestNewHeaderOffset = 0x80;
inline constexpr std::uint32_t kTestFileAlignment = 0x200;
inline constexpr std::uint32_t kTestCodeFlags = 0x60000020;  // code, execute, read
inline constexpr std::uint32_t kTestDataFlags = 0xC0000040;  // initialized data, read, write

inline std::uint16_t highLow(std::uint16_t offset) {
  return static_cast<std::uint16_t>((pe::kRelocationHighLow << pe::kRelocationTypeShift) | offset);
}

// The bytes of a relocation table: the blocks, then a zero block.
inline std::vector<std::uint8_t> relocationTable(const std::vector<TestRelocationBlock>& blocks) {
  std::vector<std::uint8_t> out;
  auto put32 = [&out](std::uint32_t v) {
    std::uint8_t b[4];
    storeLe32(b, v);
    out.insert(out.end(), b, b + 4);
  };
  for (const TestRelocationBlock& block : blocks) {
    put32(block.page);
    put32(static_cast<std::uint32_t>(pe::kRelocationBlockHeaderSize + 2 * block.entries.size()));
    for (std::uint16_t entry : block.entries) {
      out.push_back(static_cast<std::uint8_t>(entry));
      out.push_back(static_cast<std::uint8_t>(entry >> 8));
    }
  }
  put32(0);
  put32(0);
  return out;
}

struct TestImage {
  std::uint32_t sizeOfImage = 0x10000;
  std::uint32_t baseOfCode = 0x1000;
  std::uint32_t sizeOfCode = 0;
  std::uint32_t baseOfData = 0;
  std::uint32_t sizeOfInitializedData = 0;
  struct Directory {
    std::uint32_t address = 0;
    std::uint32_t size = 0;
  } directories[pe::kDataDirectoryCount];
  std::vector<TestSection> sections;

  // The file: DOS header, headers at kTestNewHeaderOffset, section table,
  // then each section's data at the next multiple of kTestFileAlignment.
  std::vector<std::uint8_t> build() const {
    const std::size_t table = kTestNewHeaderOffset + pe::kNtHeadersSize;
    std::size_t rawOffset = table + sections.size() * pe::kSectionHeaderSize;
    std::vector<std::uint8_t> file(rawOffset, 0);
    file[0] = pe::kMzMark0;
    file[1] = pe::kMzMark1;
    storeLe32(&file[pe::kNewHeaderOffsetField], kTestNewHeaderOffset);
    std::uint8_t* nt = &file[kTestNewHeaderOffset];
    nt[0] = 'P';
    nt[1] = 'E';
    std::uint8_t* header = nt + pe::kSignatureSize;
    storeLe16(header + pe::kMachineField, 0x14C);  // i386
    storeLe16(header + pe::kNumberOfSectionsField, static_cast<std::uint16_t>(sections.size()));
    storeLe16(header + pe::kSizeOfOptionalHeaderField, static_cast<std::uint16_t>(pe::kOptionalHeaderSize));
    storeLe16(header + pe::kCharacteristicsField, 0x2102);  // executable, 32-bit, library
    std::uint8_t* optional = header + pe::kFileHeaderSize;
    storeLe16(optional + pe::kMagicField, pe::kMagicPe32);
    storeLe32(optional + pe::kSizeOfCodeField, sizeOfCode);
    storeLe32(optional + pe::kSizeOfInitializedDataField, sizeOfInitializedData);
    storeLe32(optional + pe::kBaseOfCodeField, baseOfCode);
    storeLe32(optional + pe::kBaseOfDataField, baseOfData);
    storeLe32(optional + pe::kSizeOfImageField, sizeOfImage);
    storeLe32(optional + pe::kNumberOfRvaAndSizesField, pe::kDataDirectoryCount);
    for (std::size_t d = 0; d < pe::kDataDirectoryCount; ++d) {
      storeLe32(optional + pe::kDataDirectoriesField + d * pe::kDataDirectorySize, directories[d].address);
      storeLe32(optional + pe::kDataDirectoriesField + d * pe::kDataDirectorySize + 4, directories[d].size);
    }
    for (std::size_t s = 0; s < sections.size(); ++s) {
      const TestSection& section = sections[s];
      rawOffset = (rawOffset + kTestFileAlignment - 1) / kTestFileAlignment * kTestFileAlignment;
      std::uint8_t* entry = &file[table + s * pe::kSectionHeaderSize];
      storeLe32(entry + pe::kSectionVirtualSizeField, section.virtualSize);
      storeLe32(entry + pe::kSectionVirtualAddressField, section.address);
      storeLe32(entry + pe::kSectionSizeOfRawDataField, static_cast<std::uint32_t>(section.data.size()));
      storeLe32(entry + pe::kSectionPointerToRawDataField,
                section.data.empty() ? 0 : static_cast<std::uint32_t>(rawOffset));
      storeLe32(entry + pe::kSectionCharacteristicsField, section.characteristics);
      if (section.data.empty()) continue;
      file.resize(rawOffset, 0);
      file.insert(file.end(), section.data.begin(), section.data.end());
      rawOffset = file.size();
    }
    return file;
  }
};

// A library with `codePages` pages of code at 0x1000 filled from `seed`, a
// data page behind it and a relocation table after that, which names
// `blocks`.  Code and data fields are consistent.
inline TestImage codeImage(std::uint32_t codePages, const std::vector<TestRelocationBlock>& blocks,
                           std::uint32_t seed = 1) {
  TestImage image;
  TestSection code;
  code.address = 0x1000;
  code.virtualSize = codePages * 0x1000;
  code.characteristics = kTestCodeFlags;
  code.data.resize(code.virtualSize);
  for (std::uint8_t& byte : code.data) {
    seed = seed * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(seed >> 16);
  }
  TestSection data;
  data.address = code.address + code.virtualSize;
  data.virtualSize = 0x1000;
  data.characteristics = kTestDataFlags;
  data.data.assign(0x200, 0xDD);
  TestSection relocations;
  relocations.address = data.address + 0x1000;
  relocations.data = relocationTable(blocks);
  relocations.virtualSize = static_cast<std::uint32_t>(relocations.data.size());
  relocations.characteristics = 0x42000040;  // initialized data, discardable, read
  image.sizeOfImage = relocations.address + (relocations.virtualSize + 0xFFF) / 0x1000 * 0x1000;
  image.baseOfCode = code.address;
  image.sizeOfCode = code.virtualSize;
  image.baseOfData = data.address;
  image.sizeOfInitializedData = 0x2000;
  image.directories[pe::kBaseRelocationDirectory] = {relocations.address, relocations.virtualSize};
  image.sections = {code, data, relocations};
  return image;
}

// The bytes of a small valid library with one relocated code page, for tests
// that need a real "client.dll" in a checksum folder.
inline std::vector<std::uint8_t> sampleLibraryFile(std::uint32_t seed = 1) {
  return codeImage(1, {TestRelocationBlock{0x1000, {highLow(0x10), highLow(0x200)}}}, seed).build();
}

}  // namespace kestrin::testing
