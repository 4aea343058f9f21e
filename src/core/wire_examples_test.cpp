// The worked examples of docs/protocol.md, computed by the server's own code:
// if one of these fails, the document and the code disagree.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/blowfish.h"
#include "client/client_session.h"
#include "core/byte_order.h"
#include "core/wire.h"
#include "digest/digest_transform.h"
#include "update/updater.h"

namespace kestrin {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(WireExamplesTest, CheckBytesOfEveryFrame) {
  struct Example {
    std::uint8_t id;
    std::uint16_t length;  // as it stands in the header: padded when keyed
    std::uint8_t check;
  };
  const Example examples[] = {
      {wire::kPacketHello, 288, 0xE0},          {wire::kPacketKey, 288, 0xE1},
      {wire::kPacketUpdateAnnounce, 16, 0xF2},  {wire::kPacketUpdateChunk, 1032, 0xFB},
      {wire::kPacketJoined, 8, 0xFC},           {wire::kPacketDrop, 8, 0xFD},
      {wire::kPacketCheck, 240, 0x16},          {wire::kPacketCheck, 208, 0x36},
  };
  for (const Example& example : examples) {
    SCOPED_TRACE(static_cast<int>(example.id));
    EXPECT_EQ(frameCheckByte(example.id, static_cast<std::uint8_t>(example.length & 0xFF)), example.check);
  }
}

TEST(WireExamplesTest, BlowfishBlockUnderTheAllZeroKey) {
  BlowfishKey key;
  const std::uint8_t zeros[8] = {};
  ASSERT_TRUE(blowfishSetKey(key, zeros, sizeof zeros));
  std::uint8_t block[8] = {};
  blowfishEncipher(key, block, block, sizeof block);
  EXPECT_EQ(Bytes(block, block + 8), (Bytes{0x45, 0x97, 0xF9, 0x4E, 0x78, 0xDD, 0x98, 0x61}));
}

TEST(WireExamplesTest, KeyedDropNoticeOnTheWire) {
  // Drop notice "kicked" (6 bytes) padded to 8 and enciphered under the
  // 16-byte key 00 01 02 ... 0F; the pad bytes here are zero.
  std::uint8_t frame[8] = {};
  frame[wire::kFrameIdOffset] = wire::kPacketDrop;
  storeLe16(frame + wire::kFrameLengthOffset, 8);
  frame[wire::kDropReasonOffset] = wire::kDropKicked;
  frame[wire::kFrameCheckOffset] = frameCheckByte(wire::kPacketDrop, 8);
  EXPECT_EQ(Bytes(frame, frame + 8), (Bytes{0xFD, 0x06, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00}));

  std::uint8_t keyBytes[16];
  for (std::uint8_t i = 0; i < sizeof keyBytes; ++i) keyBytes[i] = i;
  BlowfishKey key;
  ASSERT_TRUE(blowfishSetKey(key, keyBytes, sizeof keyBytes));
  std::uint8_t wire[8];
  blowfishEncipher(key, wire, frame, sizeof frame);
  EXPECT_EQ(Bytes(wire, wire + 8), (Bytes{0x8F, 0x1E, 0x34, 0xCF, 0x43, 0x63, 0x8D, 0xC0}));
  std::uint8_t back[8];
  blowfishDecipher(key, back, wire, sizeof wire);
  EXPECT_EQ(Bytes(back, back + 8), Bytes(frame, frame + 8));
}

TEST(WireExamplesTest, NameDigestOfClientDll) {
  EXPECT_EQ(nameDigest("client.dll"), 0xC6FE4254u);
  EXPECT_EQ(nameDigest("Client.DLL"), 0xC6FE4254u);

  std::uint8_t block[kDigestBlockSize] = {};
  std::memcpy(block, "client.dll", 10);
  std::uint32_t state[4] = {};
  digestTransform(state, 4, block, sizeof block);
  EXPECT_EQ(state[0], 0xC6FE4254u);
  EXPECT_EQ(state[1], 0x6DB972EEu);
  EXPECT_EQ(state[2], 0xA116F7B9u);
  EXPECT_EQ(state[3], 0xE4ABB99Bu);
}

TEST(WireExamplesTest, ModelDigestSamplesTheFirstStretchOfA300ByteFile) {
  // A 300-byte model holding the bytes 00 01 02 ... FF 00 01 ... is sampled
  // at offset 0 only: the stretch at 256 would reach the end of the file.
  const std::string path = (std::filesystem::temp_directory_path() / "kestrin_wire_examples.mdl").string();
  {
    std::ofstream model(path, std::ios::binary);
    for (int i = 0; i < 300; ++i) model.put(static_cast<char>(i & 0xFF));
  }
  std::uint32_t digest = 0;
  ASSERT_TRUE(modelDigest(path.c_str(), &digest));
  std::filesystem::remove(path);
  EXPECT_EQ(digest, 0x726C284Du);
}

TEST(WireExamplesTest, ImageHeader) {
  std::uint8_t header[wire::kImageHeaderSize];
  writeImageHeader(2, 1020000, 4096, header);
  EXPECT_EQ(Bytes(header, header + sizeof header),
            (Bytes{0x4B, 0x55, 0x00, 0x02, 0x00, 0x60, 0x90, 0x0F, 0x00, 0x00, 0x10, 0x00, 0x00}));
}

}  // namespace
}  // namespace kestrin
