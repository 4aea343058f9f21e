#include "digest/digest_transform.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/scratch_folder.h"

namespace kestrin {
namespace {

std::vector<std::uint8_t> patternBytes(std::size_t size, std::uint32_t seed) {
  std::vector<std::uint8_t> bytes(size);
  for (std::uint8_t& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(seed >> 24);
  }
  return bytes;
}

// Values of the MD5 block transform from the zero state, as an independent
// implementation gives them; they pin the transform on every platform.
TEST(DigestTransformTest, KnownAnswersAndOutOfContractArguments) {
  const std::uint8_t zeros[64] = {};
  FileDigest zero;
  digestTransform(zero.words, 4, zeros, 64);
  EXPECT_EQ(zero.words[0], 0xF7CD1C97u);
  EXPECT_EQ(zero.words[3], 0xF90CA639u);
  EXPECT_EQ(nameDigest("client.dll"), 0xC6FE4254u);
  EXPECT_EQ(nameDigest("Player.MDL"), 0x8B3A058Fu);

  std::uint32_t state[4] = {9, 9, 9, 9};
  digestTransform(state, 3, zeros, 64);
  digestTransform(state, 4, zeros, 63);
  EXPECT_EQ(std::vector<std::uint32_t>(state, state + 4), std::vector<std::uint32_t>(4, 9));
}

TEST(DigestTransformTest, NameDigestLowerCasesAsciiLettersOfTheFirst64Characters) {
  EXPECT_EQ(nameDigest("client.dll"), nameDigest("CLIENT.DLL"));
  EXPECT_NE(nameDigest("client.dll"), nameDigest("client.dl"));
  EXPECT_NE(nameDigest("\xC4.mdl"), nameDigest("\xE4.mdl"));
  const std::string longName(64, 'x');
  EXPECT_EQ(nameDigest((longName + "tail").c_str()), nameDigest(longName.c_str()));
}

TEST(DigestTransformTest, ModelDigestSamplesTheFirst64BytesOfEveryStretchBeforeTheLast) {
  testing::ScratchFolder folder;
  // Sizes around a stretch and around the 16 KiB reads: the stretch that
  // ends a read counts only when more bytes follow.
  for (std::size_t size : {0, 256, 257, 1000, 16384, 16385, 16384 + 256, 16384 + 257, 3 * 16384 + 1}) {
    const std::vector<std::uint8_t> bytes = patternBytes(size, static_cast<std::uint32_t>(size));
    testing::writeFile("player.mdl", bytes);
    FileDigest expected;
    for (std::size_t position = 0; position + 256 < size; position += 256)
      digestTransform(expected.words, 4, bytes.data() + position, 64);
    std::uint32_t digest = 0xFFFFFFFF;
    EXPECT_TRUE(modelDigest("player.mdl", &digest));
    EXPECT_EQ(digest, expected.words[0]) << size;
  }
  std::uint32_t digest = 17;
  EXPECT_FALSE(modelDigest("no-such-dir/player.mdl", &digest));
  // A directory opens on some systems but cannot be read.
  EXPECT_FALSE(modelDigest(std::filesystem::temp_directory_path().string().c_str(), &digest));
  EXPECT_EQ(digest, 17u);
}

}  // namespace
}  // namespace kestrin
