#include "digest/pe_image.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "digest/pe_test_image.h"

namespace kestrin {
namespace {

using testing::codeImage;
using testing::highLow;
using testing::TestImage;
using testing::TestRelocationBlock;
using testing::TestSection;

PeImage load(const std::vector<std::uint8_t>& file, LibraryError* error = nullptr) {
  return loadImageFromMemory(file.data(), file.size(), error);
}

// The digest of an image's code pages from the zero state; 0 on failure.
std::uint32_t pagesDigest(const PeImage& image, int* result = nullptr) {
  FileDigest state;
  const int code = codePagesDigest(image, state.words, 4);
  if (result != nullptr) *result = code;
  return code == kCodePagesOk ? state.words[0] : 0;
}

std::uint32_t fileDigest(const std::vector<std::uint8_t>& file, int* result = nullptr) {
  PeImage image = load(file);
  EXPECT_TRUE(image);
  return pagesDigest(image, result);
}

// Image bytes [address, address + 4099), the way a relocation block copies them.
std::vector<std::uint8_t> pageCopy(const PeImage& image, std::uint32_t address) {
  std::vector<std::uint8_t> copy(pe::kPageBufferSize, 0);
  for (std::size_t k = 0; k < copy.size(); ++k) {
    if (address + k < image.size) copy[k] = image.bytes[address + k];
  }
  return copy;
}

void blank(std::vector<std::uint8_t>& page, std::size_t position) {
  std::memset(page.data() + position, 0, 4);
}

// The file offset of an image address inside section `s` of a test image.
std::size_t fileOffset(const std::vector<std::uint8_t>& file, std::size_t s, std::uint32_t address) {
  const std::uint8_t* header = &file[testing::kTestNewHeaderOffset + pe::kNtHeadersSize + s * pe::kSectionHeaderSize];
  return loadLe32(header + pe::kSectionPointerToRawDataField) + address -
         loadLe32(header + pe::kSectionVirtualAddressField);
}

TEST(PeImageTest, LoaderPlacesHeadersAndSections) {
  TestImage layout = codeImage(2, {{0x1000, {highLow(0x10)}}});
  layout.sections.push_back({0x8000, 0x1000, {}, testing::kTestDataFlags});  // uninitialized
  layout.sizeOfImage = 0x9000;
  const std::vector<std::uint8_t> file = layout.build();
  LibraryError error = LibraryError::kNotMz;
  PeImage image = load(file, &error);
  ASSERT_TRUE(image);
  EXPECT_EQ(error, LibraryError::kNone);
  ASSERT_EQ(image.size, layout.sizeOfImage);
  EXPECT_EQ(0, std::memcmp(image.bytes.get(), file.data(), pe::kDosHeaderSize));
  const std::size_t headersEnd = testing::kTestNewHeaderOffset + pe::kNtHeadersSize + 4 * pe::kSectionHeaderSize;
  EXPECT_EQ(0, std::memcmp(image.bytes.get() + testing::kTestNewHeaderOffset,
                           file.data() + testing::kTestNewHeaderOffset, headersEnd - testing::kTestNewHeaderOffset));
  EXPECT_EQ(0, std::memcmp(image.bytes.get() + 0x1000, &file[fileOffset(file, 0, 0x1000)], 0x2000));
  EXPECT_EQ(image.bytes[0x3000], 0xDD);
  EXPECT_EQ(image.bytes[0x3200], 0);  // behind the data's raw bytes
  EXPECT_EQ(image.bytes[0x8000], 0);
  EXPECT_EQ(image.bytes[headersEnd], 0);
}

TEST(PeImageTest, CodeExtentAndItsConsistencyCodes) {
  TestImage layout = codeImage(3, {{0x1000, {}}});
  // Code at 0x1000 + 0x3000, data at 0x4000.
  EXPECT_EQ(codeExtent(load(layout.build())), 0x4000u);

  layout.sections[0].virtualSize = 0x2800;  // the largest end of the code sections
  layout.sections.push_back({0x1000, 0x1000, {}, testing::kTestCodeFlags});
  EXPECT_EQ(codeExtent(load(layout.build())), 0x3800u);
  layout.sections.pop_back();
  layout.sections[0].virtualSize = 0x3000;

  TestImage tooLong = layout;
  tooLong.baseOfCode = 0;
  tooLong.sizeOfCode = 15;  // end 0x4000 beyond 0 + 15 + 16368
  EXPECT_EQ(codeExtent(load(tooLong.build())), 1u);
  tooLong.sizeOfCode = 16;
  EXPECT_EQ(codeExtent(load(tooLong.build())), 0x4000u);

  TestImage beyondImage = layout;
  beyondImage.sections[0].virtualSize = beyondImage.sizeOfImage;
  beyondImage.sizeOfCode = beyondImage.sizeOfImage;
  EXPECT_EQ(codeExtent(load(beyondImage.build())), 2u);

  TestImage intoData = layout;
  intoData.sizeOfInitializedData = 0;
  intoData.baseOfData = 0x3FFF;
  EXPECT_EQ(codeExtent(load(intoData.build())), 3u);

  TestImage noCode = layout;
  noCode.sections[0].characteristics = testing::kTestDataFlags;
  EXPECT_EQ(codeExtent(load(noCode.build())), 0u);

  EXPECT_EQ(codeExtent(PeImage{}), 0u);
}

TEST(PeImageTest, DigestsRelocatedPagesWithFixUpsBlanked) {
  const std::vector<std::uint8_t> file =
      codeImage(2, {{0x1000, {highLow(0x10), 0x0000, static_cast<std::uint16_t>(0xA020)}},
                    {0x2000, {highLow(0x400), highLow(0xFFC)}}})
          .build();
  PeImage image = load(file);
  std::vector<std::uint8_t> first = pageCopy(image, 0x1000);
  std::memset(first.data(), 0, 3);
  blank(first, 0x10);  // the absolute entry, type 0 and type 10 are ignored
  std::vector<std::uint8_t> second = pageCopy(image, 0x2000);
  std::memcpy(second.data(), first.data() + 4096, 3);
  blank(second, 0x400);
  blank(second, 0xFFC);
  FileDigest expected;
  digestTransform(expected.words, 4, first.data(), 4096);
  digestTransform(expected.words, 4, second.data(), 4096);
  EXPECT_EQ(pagesDigest(image), expected.words[0]);

  // Values named by HIGHLOW entries do not count; any other code byte does.
  std::vector<std::uint8_t> changed = file;
  for (std::uint32_t address : {0x1010u, 0x1013u, 0x2400u, 0x2FFFu}) changed[fileOffset(file, 0, address)] ^= 0x5A;
  EXPECT_EQ(fileDigest(changed), expected.words[0]);
  for (std::uint32_t address : {0x1014u, 0x1020u, 0x2003u, 0x23FFu}) {
    changed = file;
    changed[fileOffset(file, 0, address)] ^= 1;
    EXPECT_NE(fileDigest(changed), expected.words[0]) << std::hex << address;
  }
}

TEST(PeImageTest, PageJumpCarriesThreeBytesOfTheSkippedPage) {
  // Blocks for pages 0x1000 and 0x3000: page 0x2000 is not digested, but the
  // copy of 0x1000 reached its first three bytes, which open the next page.
  const std::vector<std::uint8_t> file = codeImage(3, {{0x1000, {highLow(0x20)}}, {0x3000, {highLow(0x30)}}}).build();
  PeImage image = load(file);
  std::vector<std::uint8_t> first = pageCopy(image, 0x1000);
  std::memset(first.data(), 0, 3);
  blank(first, 0x20);
  std::vector<std::uint8_t> third = pageCopy(image, 0x3000);
  third[0] = image.bytes[0x2000];
  third[1] = image.bytes[0x2001];
  third[2] = image.bytes[0x2002];
  blank(third, 0x30);
  FileDigest expected;
  digestTransform(expected.words, 4, first.data(), 4096);
  digestTransform(expected.words, 4, third.data(), 4096);
  const std::uint32_t digest = pagesDigest(image);
  EXPECT_EQ(digest, expected.words[0]);

  std::vector<std::uint8_t> changed = file;
  changed[fileOffset(file, 0, 0x2003)] ^= 1;
  changed[fileOffset(file, 0, 0x2FFF)] ^= 1;
  changed[fileOffset(file, 0, 0x3000)] ^= 1;  // replaced by the carried bytes
  EXPECT_EQ(fileDigest(changed), digest);
  changed[fileOffset(file, 0, 0x2002)] ^= 1;
  EXPECT_NE(fileDigest(changed), digest);
}

TEST(PeImageTest, CarriedBytesFollowBlankingAndSkippedPages) {
  // A fix-up at 0xFFE of page 0x1000 blanks the first two carried bytes.
  TestImage layout = codeImage(2, {{0x1000, {highLow(0xFFE)}}, {0x2000, {}}});
  PeImage image = load(layout.build());
  std::vector<std::uint8_t> first = pageCopy(image, 0x1000);
  std::memset(first.data(), 0, 3);
  blank(first, 0xFFE);
  std::vector<std::uint8_t> second = pageCopy(image, 0x2000);
  second[0] = 0;
  second[1] = 0;
  second[2] = image.bytes[0x2002];
  FileDigest expected;
  digestTransform(expected.words, 4, first.data(), 4096);
  digestTransform(expected.words, 4, second.data(), 4096);
  EXPECT_EQ(pagesDigest(image), expected.words[0]);

  // A page inside the import address table is skipped, yet its copy hands
  // its three trailing bytes on.
  layout = codeImage(3, {{0x1000, {highLow(0x40)}}, {0x2000, {highLow(0xFFF)}}, {0x3000, {}}});
  layout.directories[pe::kImportAddressTableDirectory] = {0x1800, 0x1800};  // ends at 0x3000
  image = load(layout.build());
  first = pageCopy(image, 0x1000);
  std::memset(first.data(), 0, 3);
  blank(first, 0x40);
  std::memset(first.data() + 0x800, 0, 0x800);  // from the table's start on
  std::vector<std::uint8_t> third = pageCopy(image, 0x3000);
  third[0] = 0;  // 0x3000 .. 0x3002 were blanked by the fix-up at 0x2FFF
  third[1] = 0;
  third[2] = 0;
  expected = FileDigest{};
  digestTransform(expected.words, 4, first.data(), 4096);
  digestTransform(expected.words, 4, third.data(), 4096);
  EXPECT_EQ(pagesDigest(image), expected.words[0]);
}

TEST(PeImageTest, ImportTablesAreCutOut) {
  // The import address table covers 0x1C00-0x2400 and the import table
  // starts at 0x2800.  The first page is cut at the address table; the
  // second keeps 0x2400-0x2800 and, since only one side of a page is ever
  // zeroed, also the import table's part from 0x2800 on.
  TestImage layout = codeImage(2, {{0x1000, {}}, {0x2000, {}}});
  layout.directories[pe::kImportAddressTableDirectory] = {0x1C00, 0x800};
  layout.directories[pe::kImportDirectory] = {0x2800, 0x900};
  const std::vector<std::uint8_t> file = layout.build();
  PeImage image = load(file);
  std::vector<std::uint8_t> first = pageCopy(image, 0x1000);
  std::memset(first.data(), 0, 3);
  std::memset(first.data() + 0xC00, 0, 0x400);
  std::vector<std::uint8_t> second = pageCopy(image, 0x2000);
  std::memset(second.data(), 0, 0x400);
  FileDigest expected;
  digestTransform(expected.words, 4, first.data(), 4096);
  digestTransform(expected.words, 4, second.data(), 4096);
  EXPECT_EQ(pagesDigest(image), expected.words[0]);

  std::vector<std::uint8_t> changed = file;
  for (std::uint32_t address : {0x1C00u, 0x1FFFu, 0x2000u, 0x23FFu}) changed[fileOffset(file, 0, address)] ^= 0xFF;
  EXPECT_EQ(fileDigest(changed), expected.words[0]);
  for (std::uint32_t address : {0x1BFFu, 0x2400u, 0x2800u}) {
    changed = file;
    changed[fileOffset(file, 0, address)] ^= 0xFF;
    EXPECT_NE(fileDigest(changed), expected.words[0]) << std::hex << address;
  }

  // A table wholly inside one page leaves lo above hi: the page is skipped.
  layout.directories[pe::kImportDirectory] = {0x2800, 0x100};
  int result = -1;
  PeImage inside = load(layout.build());
  FileDigest firstOnly;
  digestTransform(firstOnly.words, 4, first.data(), 4096);
  EXPECT_EQ(pagesDigest(inside, &result), firstOnly.words[0]);
  EXPECT_EQ(result, kCodePagesOk);
}

TEST(PeImageTest, WalkStopsAfterTheLastCodePage) {
  // Code ends at 0x2800: page 0x2000 reaches beyond it, is clipped and ends
  // the walk, so the later block for 0x1000 is not digested.
  TestImage layout = codeImage(2, {{0x2000, {}}, {0x1000, {}}});
  layout.sections[0].virtualSize = 0x1800;
  PeImage image = load(layout.build());
  std::vector<std::uint8_t> page = pageCopy(image, 0x2000);
  std::memset(page.data(), 0, 3);
  std::memset(page.data() + 0x800, 0, 0x800);
  FileDigest expected;
  digestTransform(expected.words, 4, page.data(), 4096);
  EXPECT_EQ(pagesDigest(image), expected.words[0]);

  // Pages past the code are skipped and do not end the walk.
  layout = codeImage(1, {{0x2000, {}}, {0x1000, {}}});
  image = load(layout.build());
  page = pageCopy(image, 0x1000);
  page[0] = image.bytes[0x3000];
  page[1] = image.bytes[0x3001];
  page[2] = image.bytes[0x3002];
  expected = FileDigest{};
  digestTransform(expected.words, 4, page.data(), 4096);
  EXPECT_EQ(pagesDigest(image), expected.words[0]);
}

TEST(PeImageTest, StatusCodes) {
  int result = -1;
  EXPECT_EQ(pagesDigest(PeImage{}, &result), 0u);
  EXPECT_EQ(result, kCodePagesNotMz);

  TestImage layout = codeImage(1, {{0x1000, {}}});
  layout.directories[pe::kBaseRelocationDirectory] = {};
  fileDigest(layout.build(), &result);
  EXPECT_EQ(result, kCodePagesNoRelocations);

  // Relocations only for pages outside the code: nothing would be digested.
  fileDigest(codeImage(1, {{0x2000, {highLow(0)}}}).build(), &result);
  EXPECT_EQ(result, kCodePagesNoCode);
  fileDigest(codeImage(1, {}).build(), &result);
  EXPECT_EQ(result, kCodePagesNoCode);

  layout = codeImage(1, {{0x1000, {}}});
  layout.sections[0].characteristics = testing::kTestDataFlags;  // code end 0
  fileDigest(layout.build(), &result);
  EXPECT_EQ(result, kCodePagesNoCode);
}

TEST(PeImageTest, LoaderRefusesMalformedFiles) {
  const std::vector<std::uint8_t> good = codeImage(1, {{0x1000, {}}}).build();
  auto refusal = [](const std::vector<std::uint8_t>& file) {
    LibraryError error = LibraryError::kNone;
    PeImage image = load(file, &error);
    EXPECT_FALSE(image);
    return error;
  };
  auto patched32 = [&good](std::size_t offset, std::uint32_t value) {
    std::vector<std::uint8_t> file = good;
    storeLe32(&file[offset], value);
    return file;
  };
  const std::size_t optional = testing::kTestNewHeaderOffset + pe::kSignatureSize + pe::kFileHeaderSize;
  const std::size_t section = testing::kTestNewHeaderOffset + pe::kNtHeadersSize;

  EXPECT_EQ(refusal({}), LibraryError::kNotMz);
  EXPECT_EQ(refusal(std::vector<std::uint8_t>(good.begin(), good.begin() + 63)), LibraryError::kNotMz);
  std::vector<std::uint8_t> noMark = good;
  noMark[1] = 'z';
  EXPECT_EQ(refusal(noMark), LibraryError::kNotMz);
  EXPECT_EQ(refusal(std::vector<std::uint8_t>(good.begin(), good.begin() + section - 1)),
            LibraryError::kTruncatedHeaders);
  EXPECT_EQ(refusal(patched32(pe::kNewHeaderOffsetField, 0xFFFFFFF0u)), LibraryError::kTruncatedHeaders);
  EXPECT_EQ(refusal(std::vector<std::uint8_t>(good.begin(), good.begin() + section + 3 * 40 - 1)),
            LibraryError::kTruncatedHeaders);
  EXPECT_EQ(refusal(patched32(optional + pe::kSizeOfImageField, 0xFFFFFFFFu)), LibraryError::kBadImageSize);
  EXPECT_EQ(refusal(patched32(optional + pe::kSizeOfImageField, kMaxImageSize + 1)), LibraryError::kBadImageSize);
  EXPECT_EQ(refusal(patched32(optional + pe::kSizeOfImageField, static_cast<std::uint32_t>(section))),
            LibraryError::kBadImageSize);
  EXPECT_EQ(refusal(patched32(section + pe::kSectionVirtualAddressField, 0xFFFFF000u)), LibraryError::kBadSection);
  EXPECT_EQ(refusal(patched32(section + pe::kSectionSizeOfRawDataField, 0xFFFFFFFFu)), LibraryError::kBadSection);
  EXPECT_EQ(refusal(patched32(section + pe::kSectionPointerToRawDataField, 0xFFFFFE00u)), LibraryError::kBadSection);
  EXPECT_EQ(refusal(std::vector<std::uint8_t>(good.begin(), good.end() - 1)), LibraryError::kBadSection);

  // Headers that overlap the DOS header, as e_lfanew 4 makes them, load.
  std::vector<std::uint8_t> overlapping(4 + pe::kNtHeadersSize, 0);
  overlapping[0] = 'M';
  overlapping[1] = 'Z';
  storeLe32(&overlapping[4 + pe::kSignatureSize + pe::kFileHeaderSize + pe::kSizeOfImageField], 0x1000);
  storeLe32(&overlapping[pe::kNewHeaderOffsetField], 4);
  EXPECT_TRUE(load(overlapping));
}

TEST(PeImageTest, BytesOutsideTheImageCountAsZero) {
  // A block for the image's last page copies three bytes past its end.
  TestImage layout = codeImage(1, {{0x1000, {highLow(0x10)}}});
  layout.sizeOfImage = 0x2000;
  layout.sections.resize(1);
  layout.sections[0].data.resize(0x1000);
  layout.baseOfData = 0x2000;
  // The relocation table sits in the headers' page, past the section table.
  TestSection relocations;
  std::vector<std::uint8_t> table = testing::relocationTable({{0x1000, {highLow(0x10), highLow(0xFFE)}}});
  relocations.address = 0x400;
  relocations.virtualSize = static_cast<std::uint32_t>(table.size());
  relocations.data = table;
  layout.sections.push_back(relocations);
  layout.directories[pe::kBaseRelocationDirectory] = {0x400, relocations.virtualSize};
  PeImage image = load(layout.build());
  ASSERT_TRUE(image);
  std::vector<std::uint8_t> page = pageCopy(image, 0x1000);
  std::memset(page.data(), 0, 3);
  blank(page, 0x10);
  blank(page, 0xFFE);
  FileDigest expected;
  digestTransform(expected.words, 4, page.data(), 4096);
  EXPECT_EQ(pagesDigest(image), expected.words[0]);

  // Blocks whose pages or entries lie beyond the image, a block size below
  // 8 and one that would wrap around 4 GiB all end or pass safely.
  const std::uint32_t hostile[][2] = {{0x7FFFF000u, 8}, {0x1000, 0xFFFFFFF8u}, {0x1000, 0}, {0x1000, 7},
                                      {0xFFFFFFFFu, 12}};
  for (const auto& block : hostile) {
    std::vector<std::uint8_t> file = layout.build();
    const std::size_t at = fileOffset(file, 1, 0x400);
    storeLe32(&file[at], block[0]);
    storeLe32(&file[at + 4], block[1]);
    PeImage bad = load(file);
    ASSERT_TRUE(bad);
    int result = -1;
    pagesDigest(bad, &result);
    EXPECT_TRUE(result == kCodePagesOk || result == kCodePagesNoCode) << block[0] << " " << block[1];
  }

  // A relocation directory past the image reads as an empty table.
  layout.directories[pe::kBaseRelocationDirectory] = {0x7FFFFFF0u, 8};
  int result = -1;
  fileDigest(layout.build(), &result);
  EXPECT_EQ(result, kCodePagesNoCode);
}

TEST(PeImageTest, LibraryDigestReadsTheFile) {
  const std::vector<std::uint8_t> file = codeImage(2, {{0x1000, {highLow(8)}}, {0x2000, {}}}).build();
  const std::string path = (std::filesystem::temp_directory_path() / "kestrin_pe_image_test.dll").string();
  std::FILE* out = std::fopen(path.c_str(), "wb");
  ASSERT_NE(out, nullptr);
  std::fwrite(file.data(), 1, file.size(), out);
  std::fclose(out);
  std::uint32_t digest = 0;
  LibraryError error = LibraryError::kNoMemory;
  EXPECT_TRUE(libraryDigest(path.c_str(), &digest, &error));
  EXPECT_EQ(error, LibraryError::kNone);
  EXPECT_EQ(digest, fileDigest(file));
  std::remove(path.c_str());

  EXPECT_FALSE(libraryDigest(path.c_str(), &digest, &error));
  EXPECT_EQ(error, LibraryError::kCannotRead);
  EXPECT_STREQ(describeLibraryError(error), "cannot open or read the file");
}

}  // namespace
}  // namespace kestrin
