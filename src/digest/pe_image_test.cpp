#include "digest/pe_image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "support/pe_test_image.h"

namespace kestrin {
namespace {

using testing::codeImage;
using testing::highLow;
using testing::TestImage;
using Bytes = std::vector<std::uint8_t>;

PeImage load(const Bytes& file, LibraryError* error = nullptr) {
  return loadImageFromMemory(file.data(), file.size(), error);
}

// The digest of an image's code pages from the zero state; 0 on failure.
std::uint32_t pagesDigest(const PeImage& image, int* result = nullptr) {
  FileDigest state;
  const int code = codePagesDigest(image, state.words, 4);
  if (result != nullptr) *result = code;
  return code == kCodePagesOk ? state.words[0] : 0;
}

std::uint32_t fileDigest(const Bytes& file, int* result = nullptr) { return pagesDigest(load(file), result); }

int pagesResult(const Bytes& file) {
  int result = -1;
  fileDigest(file, &result);
  return result;
}

// Image bytes [address, address + 4099) as a relocation block copies them,
// with `carry` in the first three bytes and the given fix-ups blanked.
Bytes pageCopy(const PeImage& image, std::uint32_t address, const Bytes& carry, std::vector<std::size_t> fixUps = {}) {
  Bytes copy(kCodePageBufferSize, 0);
  for (std::size_t k = 0; k < copy.size() && address + k < image.size; ++k) copy[k] = image.bytes[address + k];
  std::memcpy(copy.data(), carry.data(), kCodePageCarry);
  for (std::size_t position : fixUps) std::memset(copy.data() + position, 0, 4);
  return copy;
}

Bytes carryOf(const Bytes& page) { return Bytes(page.begin() + kCodePageSize, page.end()); }
const Bytes kNoCarry(kCodePageCarry, 0);

std::uint32_t digestOfPages(const std::vector<Bytes>& pages) {
  FileDigest state;
  for (const Bytes& page : pages) digestTransform(state.words, 4, page.data(), kCodePageSize);
  return state.words[0];
}

// The file offset of an image address inside section `s` of a test image.
std::size_t fileOffset(const Bytes& file, std::size_t s, std::uint32_t address) {
  const std::uint8_t* header = &file[testing::kTestNewHeaderOffset + pe::kNtHeadersSize + s * pe::kSectionHeaderSize];
  return loadLe32(header + pe::kSectionPointerToRawDataField) + address -
         loadLe32(header + pe::kSectionVirtualAddressField);
}

// The digest of `file` with the code byte at each address flipped.
std::uint32_t changedDigest(Bytes file, std::initializer_list<std::uint32_t> addresses) {
  const Bytes original = file;
  for (std::uint32_t address : addresses) file[fileOffset(original, 0, address)] ^= 0xA5;
  return fileDigest(file);
}

TEST(PeImageTest, CodeExtentAndItsConsistencyCodes) {
  // Code 0x1000-0x4000, data 0x4000-0x6000, image 0x6000.
  const TestImage layout = codeImage(3, {{0x1000, {}}});
  auto extent = [](TestImage changed) { return codeExtent(load(changed.build())); };
  EXPECT_EQ(extent(layout), 0x4000u);
  TestImage twoCode = layout;
  twoCode.sections[0].virtualSize = 0x2800;
  twoCode.sections.push_back({0x5000, 0x800, {}, testing::kTestCodeFlags});
  twoCode.sizeOfCode = 0x5000;
  EXPECT_EQ(extent(twoCode), 0x5800u);

  TestImage codeSize = layout;
  codeSize.baseOfCode = 0;
  codeSize.sizeOfCode = 15;  // 0x4000 > 0 + 15 + 16368
  EXPECT_EQ(extent(codeSize), 1u);
  codeSize.sizeOfCode = 16;
  EXPECT_EQ(extent(codeSize), 0x4000u);
  TestImage imageSize = layout;
  imageSize.sections[0].virtualSize = imageSize.sizeOfCode = 0x6000;
  EXPECT_EQ(extent(imageSize), 2u);
  TestImage dataEnd = layout;
  dataEnd.baseOfData = 0x3FFF;
  dataEnd.sizeOfInitializedData = 0;
  EXPECT_EQ(extent(dataEnd), 3u);
  TestImage noCode = layout;
  noCode.sections[0].characteristics = testing::kTestDataFlags;
  EXPECT_EQ(extent(noCode), 0u);
  EXPECT_EQ(codeExtent(PeImage{}), 0u);
}

TEST(PeImageTest, BlanksHighLowFixUpsAndCarriesThreeBytes) {
  // Entries of type 0 and 10 are ignored.  The fix-up at 0xFFE blanks the
  // first two of the three bytes that the second page inherits.
  const Bytes file = codeImage(2, {{0x1000, {highLow(0x10), 0x0000, 0xA020, highLow(0xFFE)}},
                                   {0x2000, {highLow(0x400)}}})
                         .build();
  PeImage image = load(file);
  const Bytes first = pageCopy(image, 0x1000, kNoCarry, {0x10, 0xFFE});
  EXPECT_EQ(carryOf(first), (Bytes{0, 0, image.bytes[0x2002]}));
  const Bytes second = pageCopy(image, 0x2000, carryOf(first), {0x400});
  const std::uint32_t digest = digestOfPages({first, second});
  EXPECT_EQ(pagesDigest(image), digest);

  // Two files that differ only in relocated values give one digest.
  EXPECT_EQ(changedDigest(file, {0x1010, 0x1013, 0x1FFE, 0x2001, 0x2400, 0x2403}), digest);
  for (std::uint32_t address : {0x1014u, 0x1020u, 0x1FFDu, 0x2002u, 0x2FFFu}) {
    EXPECT_NE(changedDigest(file, {address}), digest) << std::hex << address;
  }
}

TEST(PeImageTest, PageJumpCarriesThreeBytesOfTheSkippedPage) {
  // Blocks for pages 0x1000 and 0x3000: page 0x2000 is not digested, but
  // the copy of 0x1000 reached its first three bytes, which open 0x3000.
  const Bytes file = codeImage(3, {{0x1000, {highLow(0x20)}}, {0x3000, {highLow(0x30)}}}).build();
  PeImage image = load(file);
  const Bytes first = pageCopy(image, 0x1000, kNoCarry, {0x20});
  const Bytes third = pageCopy(image, 0x3000, {image.bytes[0x2000], image.bytes[0x2001], image.bytes[0x2002]}, {0x30});
  const std::uint32_t digest = digestOfPages({first, third});
  EXPECT_EQ(pagesDigest(image), digest);
  EXPECT_EQ(changedDigest(file, {0x2003, 0x2FFF, 0x3000, 0x3002}), digest);
  EXPECT_NE(changedDigest(file, {0x2002}), digest);
}

TEST(PeImageTest, ImportTablesAreCutOut) {
  // The import address table covers 0x1C00-0x2400 and the import table
  // starts at 0x2800.  The first page is cut at the address table; the
  // second keeps 0x2400 on, including the import table's part, since only
  // one side of a page is ever zeroed.
  TestImage layout = codeImage(3, {{0x1000, {}}, {0x2000, {}}, {0x3000, {}}});
  layout.directories[pe::kImportAddressTableDirectory] = {0x1C00, 0x800};
  layout.directories[pe::kImportDirectory] = {0x2800, 0x900};
  const Bytes file = layout.build();
  PeImage image = load(file);
  Bytes first = pageCopy(image, 0x1000, kNoCarry);
  std::memset(first.data() + 0xC00, 0, 0x400);
  Bytes second = pageCopy(image, 0x2000, carryOf(first));
  std::memset(second.data(), 0, 0x400);
  // The import table ends inside page 0x3000: lo 0x3100.
  Bytes third = pageCopy(image, 0x3000, carryOf(second));
  std::memset(third.data(), 0, 0x100);
  const std::uint32_t digest = digestOfPages({first, second, third});
  EXPECT_EQ(pagesDigest(image), digest);
  EXPECT_EQ(changedDigest(file, {0x1C00, 0x1FFF, 0x2000, 0x23FF, 0x30FF}), digest);
  for (std::uint32_t address : {0x1BFFu, 0x2400u, 0x2800u, 0x3100u}) {
    EXPECT_NE(changedDigest(file, {address}), digest) << std::hex << address;
  }

  // A page inside a table is skipped, and so is one that holds a whole
  // table (lo above hi).
  layout.directories[pe::kImportAddressTableDirectory] = {0x1800, 0x1800};
  layout.directories[pe::kImportDirectory] = {0x3100, 0x100};
  image = load(layout.build());
  first = pageCopy(image, 0x1000, kNoCarry);
  std::memset(first.data() + 0x800, 0, 0x800);
  EXPECT_EQ(pagesDigest(image), digestOfPages({first}));

  // A table that ends where its page ends only cuts that page.
  layout.directories[pe::kImportAddressTableDirectory] = {0x1C00, 0x400};
  layout.directories[pe::kImportDirectory] = {};
  image = load(layout.build());
  first = pageCopy(image, 0x1000, kNoCarry);
  std::memset(first.data() + 0xC00, 0, 0x400);
  second = pageCopy(image, 0x2000, carryOf(first));
  EXPECT_EQ(pagesDigest(image), digestOfPages({first, second, pageCopy(image, 0x3000, carryOf(second))}));
}

TEST(PeImageTest, WalkEndsAfterThePageThatLeavesTheCode) {
  // Code ends at 0x2800: page 0x2000 is cut there and ends the walk.
  TestImage layout = codeImage(2, {{0x2000, {}}, {0x1000, {}}});
  layout.sections[0].virtualSize = 0x1800;
  PeImage image = load(layout.build());
  Bytes page = pageCopy(image, 0x2000, kNoCarry);
  std::memset(page.data() + 0x800, 0, 0x800);
  EXPECT_EQ(pagesDigest(image), digestOfPages({page}));

  // A page past the code is skipped without ending the walk.
  image = load(codeImage(1, {{0x2000, {}}, {0x1000, {}}}).build());
  const Bytes next = pageCopy(image, 0x1000, {image.bytes[0x3000], image.bytes[0x3001], image.bytes[0x3002]});
  EXPECT_EQ(pagesDigest(image), digestOfPages({next}));
}

TEST(PeImageTest, StatusCodes) {
  EXPECT_EQ(pagesResult({}), kCodePagesNotMz);
  TestImage layout = codeImage(1, {{0x1000, {}}});
  layout.directories[pe::kBaseRelocationDirectory] = {};
  EXPECT_EQ(pagesResult(layout.build()), kCodePagesNoRelocations);
  // Nothing of the code would be digested: no block, a block only past the
  // code, or no code section at all.
  EXPECT_EQ(pagesResult(codeImage(1, {}).build()), kCodePagesNoCode);
  EXPECT_EQ(pagesResult(codeImage(1, {{0x2000, {highLow(0)}}}).build()), kCodePagesNoCode);
  layout = codeImage(1, {{0x1000, {}}});
  layout.sections[0].characteristics = testing::kTestDataFlags;
  EXPECT_EQ(pagesResult(layout.build()), kCodePagesNoCode);
}

TEST(PeImageTest, LoaderRefusesMalformedFiles) {
  const Bytes good = codeImage(1, {{0x1000, {}}}).build();
  auto refusal = [](const Bytes& file) {
    LibraryError error = LibraryError::kNone;
    EXPECT_FALSE(load(file, &error));
    return error;
  };
  auto patched = [&good](std::size_t offset, std::uint32_t value) {
    Bytes file = good;
    storeLe32(&file[offset], value);
    return file;
  };
  auto cut = [&good](std::size_t size) { return Bytes(good.begin(), good.begin() + size); };
  const std::size_t optional = testing::kTestNewHeaderOffset + pe::kSignatureSize + pe::kFileHeaderSize;
  const std::size_t section = testing::kTestNewHeaderOffset + pe::kNtHeadersSize;

  EXPECT_EQ(refusal({}), LibraryError::kNotMz);
  EXPECT_EQ(refusal(cut(63)), LibraryError::kNotMz);
  EXPECT_EQ(refusal(patched(0, 0)), LibraryError::kNotMz);
  EXPECT_EQ(refusal(cut(section - 1)), LibraryError::kTruncatedHeaders);
  EXPECT_EQ(refusal(cut(section + 3 * pe::kSectionHeaderSize - 1)), LibraryError::kTruncatedHeaders);
  EXPECT_EQ(refusal(patched(pe::kNewHeaderOffsetField, 0xFFFFFFF0u)), LibraryError::kTruncatedHeaders);
  EXPECT_EQ(refusal(patched(optional + pe::kSizeOfImageField, 0xFFFFFFFFu)), LibraryError::kBadImageSize);
  EXPECT_EQ(refusal(patched(optional + pe::kSizeOfImageField, kMaxImageSize + 1)), LibraryError::kBadImageSize);
  EXPECT_EQ(refusal(patched(optional + pe::kSizeOfImageField, section)), LibraryError::kBadImageSize);
  EXPECT_EQ(refusal(patched(section + pe::kSectionVirtualAddressField, 0xFFFFF000u)), LibraryError::kBadSection);
  EXPECT_EQ(refusal(patched(section + pe::kSectionSizeOfRawDataField, 0xFFFFFFFFu)), LibraryError::kBadSection);
  EXPECT_EQ(refusal(patched(section + pe::kSectionPointerToRawDataField, 0xFFFFFE00u)), LibraryError::kBadSection);
  EXPECT_EQ(refusal(cut(good.size() - 1)), LibraryError::kBadSection);
}

TEST(PeImageTest, BytesOutsideTheImageCountAsZero) {
  // A one-page code image whose relocation table lies in the header page:
  // the block for the last page copies three bytes past the image's end.
  TestImage layout = codeImage(1, {});
  layout.sizeOfImage = layout.baseOfData = 0x2000;
  layout.sections.resize(1);
  testing::TestSection relocations;
  relocations.address = 0x400;
  relocations.data = testing::relocationTable({{0x1000, {highLow(0x10), highLow(0xFFE)}}});
  relocations.virtualSize = static_cast<std::uint32_t>(relocations.data.size());
  layout.sections.push_back(relocations);
  layout.directories[pe::kBaseRelocationDirectory] = {0x400, relocations.virtualSize};
  PeImage image = load(layout.build());
  ASSERT_TRUE(image);
  EXPECT_EQ(pagesDigest(image), digestOfPages({pageCopy(image, 0x1000, kNoCarry, {0x10, 0xFFE})}));

  // Pages or entries beyond the image, block sizes below 8 or that would
  // wrap around 4 GiB: the walk ends or goes on safely.
  const std::uint32_t hostile[][2] = {
      {0x7FFFF000u, 8}, {0x1000, 0xFFFFFFF8u}, {0x1000, 0}, {0x1000, 7}, {0xFFFFFFFFu, 12}};
  for (const auto& block : hostile) {
    Bytes file = layout.build();
    storeLe32(&file[fileOffset(file, 1, 0x400)], block[0]);
    storeLe32(&file[fileOffset(file, 1, 0x404)], block[1]);
    const int result = pagesResult(file);
    EXPECT_TRUE(result == kCodePagesOk || result == kCodePagesNoCode) << block[0] << " " << block[1];
  }
  layout.directories[pe::kBaseRelocationDirectory] = {0x7FFFFFF0u, 8};
  EXPECT_EQ(pagesResult(layout.build()), kCodePagesNoCode);
}

}  // namespace
}  // namespace kestrin
