#include "digest/digest_transform.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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

// One transform of one 64-byte block from the zero state.
FileDigest singleBlock(const std::uint8_t* block) {
  FileDigest digest;
  digestTransform(digest.words, 4, block, 64);
  return digest;
}

// The model digest of a file holding `bytes`.
std::uint32_t modelOf(const std::vector<std::uint8_t>& bytes) {
  const char* path = "digest_transform_test.mdl";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  std::uint32_t digest = 0xFFFFFFFF;
  EXPECT_TRUE(modelDigest(path, &digest));
  std::remove(path);
  return digest;
}

// Values of the MD5 block transform from the zero state, as an independent
// implementation gives them; they pin the transform on every platform.
TEST(DigestTransformTest, KnownAnswers) {
  const std::uint8_t zeros[64] = {};
  const FileDigest zero = singleBlock(zeros);
  EXPECT_EQ(zero.words[0], 0xF7CD1C97u);
  EXPECT_EQ(zero.words[1], 0xA5483681u);
  EXPECT_EQ(zero.words[2], 0x2B68D832u);
  EXPECT_EQ(zero.words[3], 0xF90CA639u);
  EXPECT_EQ(nameDigest("client.dll"), 0xC6FE4254u);
  EXPECT_EQ(nameDigest("Player.MDL"), 0x8B3A058Fu);
}

TEST(DigestTransformTest, OutOfContractArgumentsLeaveTheStateAlone) {
  const std::vector<std::uint8_t> data = patternBytes(64, 7);
  std::uint32_t state[4] = {9, 9, 9, 9};
  digestTransform(state, 3, data.data(), 64);
  digestTransform(state, 4, data.data(), 63);
  EXPECT_EQ(std::vector<std::uint32_t>(state, state + 4), std::vector<std::uint32_t>(4, 9));
}

TEST(NameDigestTest, LowerCasesAsciiLettersOnly) {
  EXPECT_EQ(nameDigest("client.dll"), nameDigest("CLIENT.DLL"));
  EXPECT_EQ(nameDigest("client.dll"), nameDigest("Client.Dll"));
  EXPECT_NE(nameDigest("client.dll"), nameDigest("client.dl"));
  // Bytes above 0x7F keep their value.
  EXPECT_NE(nameDigest("\xC4.mdl"), nameDigest("\xE4.mdl"));
  // Only 64 characters fit the block.
  const std::string longName(64, 'x');
  EXPECT_EQ(nameDigest((longName + "tail").c_str()), nameDigest(longName.c_str()));
}

TEST(ModelDigestTest, SamplesTheFirst64BytesOfEveryStretchBeforeTheLast) {
  EXPECT_EQ(modelOf({}), 0u);
  EXPECT_EQ(modelOf(patternBytes(256, 1)), 0u);

  // 257 bytes: only bytes 0 to 63 count.
  const std::vector<std::uint8_t> small = patternBytes(257, 2);
  EXPECT_EQ(modelOf(small), singleBlock(small.data()).words[0]);

  // 1000 bytes are sampled at 0, 256 and 512; bytes 64-255 of each stretch
  // and the last stretch do not count.
  std::vector<std::uint8_t> bytes = patternBytes(1000, 3);
  FileDigest expected;
  for (std::size_t position : {0, 256, 512}) digestTransform(expected.words, 4, bytes.data() + position, 64);
  EXPECT_EQ(modelOf(bytes), expected.words[0]);
  for (std::size_t position : {64, 255, 320, 511, 768, 999}) bytes[position] ^= 0xFF;
  EXPECT_EQ(modelOf(bytes), expected.words[0]);
  bytes[512 + 63] ^= 1;
  EXPECT_NE(modelOf(bytes), expected.words[0]);
}

TEST(ModelDigestTest, StretchesAcrossReadChunks) {
  // Sizes around the 16 KiB reads: the stretch that ends a read counts only
  // when more bytes follow.
  for (std::size_t size : {16384, 16385, 16384 + 256, 16384 + 257, 3 * 16384 + 1}) {
    const std::vector<std::uint8_t> bytes = patternBytes(size, static_cast<std::uint32_t>(size));
    FileDigest expected;
    for (std::size_t position = 0; position + 256 < size; position += 256) {
      digestTransform(expected.words, 4, bytes.data() + position, 64);
    }
    EXPECT_EQ(modelOf(bytes), expected.words[0]) << size;
  }
}

TEST(ModelDigestTest, MissingFileFails) {
  std::uint32_t digest = 17;
  EXPECT_FALSE(modelDigest("no-such-dir/player.mdl", &digest));
  EXPECT_EQ(digest, 17u);
  // A directory opens on some systems but cannot be read.
  EXPECT_FALSE(modelDigest(std::filesystem::temp_directory_path().string().c_str(), &digest));
}

}  // namespace
}  // namespace kestrin
