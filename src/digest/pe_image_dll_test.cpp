// The library digest over real 32-bit Windows libraries built by the MinGW
// compiler during the build: one library at two image bases, and a variant
// whose code differs in one byte.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "digest/pe_image.h"

namespace kestrin {
namespace {

std::string sample(const char* variant) {
  return std::string(KESTRIN_SAMPLE_LIBRARY_DIR) + "/" + variant + "/sample.dll";
}

std::uint32_t digestOf(const std::string& path) {
  std::uint32_t digest = 0;
  LibraryError error = LibraryError::kNone;
  EXPECT_TRUE(libraryDigest(path.c_str(), &digest, &error)) << path << ": " << describeLibraryError(error);
  return digest;
}

TEST(PeImageDllTest, TheImageBaseDoesNotCountButTheCodeDoes) {
  std::ifstream low(sample("low"), std::ios::binary), high(sample("high"), std::ios::binary);
  ASSERT_NE(std::vector<char>(std::istreambuf_iterator<char>(low), {}),
            std::vector<char>(std::istreambuf_iterator<char>(high), {}));
  EXPECT_EQ(digestOf(sample("high")), digestOf(sample("low")));
  EXPECT_NE(digestOf(sample("changed")), digestOf(sample("low")));
}

}  // namespace
}  // namespace kestrin
