// The worked examples of docs/protocol.md, computed by the server's own code:
// if one of these fails, the document and the code disagree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "client/client_session.h"
#include "core/byte_order.h"
#include "core/wire.h"
#include "crypto/blowfish.h"
#include "crypto/rsa.h"
#include "digest/digest_transform.h"
#include "support/client_frames.h"
#include "support/output_capture.h"
#include "support/socket_pair.h"
#include "update/updater.h"

namespace kestrin {
namespace {

using testing::Bytes;

TEST(WireExamplesTest, CheckBytesOfEveryFrame) {
  // id, the length as it stands in the header (padded when keyed), check.
  const int examples[][3] = {{1, 288, 0xE0}, {2, 288, 0xE1}, {3, 16, 0xF2},  {4, 1032, 0xFB},
                             {5, 8, 0xFC},   {6, 8, 0xFD},   {7, 240, 0x16}, {7, 208, 0x36}};
  for (const auto& [id, length, check] : examples)
    EXPECT_EQ(frameCheckByte(static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(length & 0xFF)), check) << id;
}

TEST(WireExamplesTest, PacketCipherBlockAndKeyedDropNotice) {
  // The all-zero block under the 8-byte all-zero key.
  BlowfishKey key;
  ASSERT_TRUE(blowfishSetKey(key, Bytes(8, 0).data(), 8));
  Bytes block(8, 0);
  blowfishEncipher(key, block.data(), block.data(), 8);
  EXPECT_EQ(block, (Bytes{0x45, 0x97, 0xF9, 0x4E, 0x78, 0xDD, 0x98, 0x61}));

  // Drop notice "kicked" (6 bytes) padded to 8 and enciphered under the
  // 16-byte key 00 01 02 ... 0F; the pad bytes here are zero.
  Bytes keyBytes(16);
  for (std::uint8_t i = 0; i < 16; ++i) keyBytes[i] = i;
  ASSERT_TRUE(blowfishSetKey(key, keyBytes.data(), 16));
  Bytes notice = testing::emptyFrame(wire::kPacketDrop, wire::kDropNoticeSize);
  notice[wire::kDropReasonOffset] = wire::kDropKicked;
  const Bytes onTheWire = testing::keyedFrame(key, notice);
  EXPECT_EQ(onTheWire, (Bytes{0x8F, 0x1E, 0x34, 0xCF, 0x43, 0x63, 0x8D, 0xC0}));
  blowfishDecipher(key, block.data(), onTheWire.data(), 8);
  EXPECT_EQ(block, (Bytes{0xFD, 0x06, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00}));
}

TEST(WireExamplesTest, NameDigestOfClientDll) {
  EXPECT_EQ(nameDigest("client.dll"), 0xC6FE4254u);
  EXPECT_EQ(nameDigest("Client.DLL"), 0xC6FE4254u);

  std::uint8_t block[kDigestBlockSize] = {};
  std::memcpy(block, "client.dll", 10);
  std::vector<std::uint32_t> state(4, 0);
  digestTransform(state.data(), 4, block, sizeof block);
  EXPECT_EQ(state, (std::vector<std::uint32_t>{0xC6FE4254u, 0x6DB972EEu, 0xA116F7B9u, 0xE4ABB99Bu}));
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

// 16 bytes a line behind their offset; a run of all-zero lines shows as "*".
std::string dump(const Bytes& bytes) {
  std::string out;
  bool skipping = false;
  for (std::size_t line = 0; line < bytes.size(); line += 16) {
    const std::size_t end = std::min(bytes.size(), line + 16);
    const bool zero = std::all_of(bytes.begin() + static_cast<long>(line), bytes.begin() + static_cast<long>(end),
                                  [](std::uint8_t b) { return b == 0; });
    if (zero) {
      if (!skipping) out += "*\n";
      skipping = true;
      continue;
    }
    skipping = false;
    char text[24];
    std::snprintf(text, sizeof text, "%04zX ", line);
    out += text;
    for (std::size_t i = line; i < end; ++i) {
      std::snprintf(text, sizeof text, " %02X", bytes[i]);
      out += text;
    }
    out += "\n";
  }
  return out;
}

TEST(WireExamplesTest, HandshakeOfOneSession) {
  // Fixed keys: the server's 510-bit pair from seed 1, the client's 512-bit
  // pair from seed 2, padding and session keys from seeded streams.
  const testing::KeyPair serverKeys = testing::seededKeyPair(510, 1);
  const testing::KeyPair clientKeys = testing::seededKeyPair(512, 2);
  auto [serverSide, clientSide] = testing::tcpPair();
  ClientSession session;
  session.socket = serverSide;
  session.start(1000);

  // 1. The server's hello, as the server sends it.
  session.sendHello(serverKeys.publicKey);
  const Bytes serverHello = testing::readBytes(clientSide, wire::kHandshakeFrameSize);
  EXPECT_EQ(dump(serverHello), R"(0000  E0 01 20 01 E8 03 00 00 00 00 00 00 00 00 00 00
0010  00 00 00 00 00 00 FE 01 00 00 00 00 00 00 00 00
*
0050  00 00 00 00 00 00 00 00 2D 12 38 3D 6B 6D 59 15
0060  01 B8 B3 C9 51 29 37 20 D7 E4 ED 73 93 6F C3 99
0070  7D 75 80 50 49 C0 AF CD 7E E7 DA 2A 53 C5 B3 14
0080  0D 01 A9 08 6E 57 E2 51 F7 64 35 F4 08 74 E8 57
0090  D7 4F C2 C3 6E 26 85 C7 00 00 00 00 00 00 00 00
*
0110  00 00 00 00 00 01 00 01 00 00 00 00 00 00 00 00
)");

  // 2. The client's hello: version 1 and its key.
  const Bytes clientHello = testing::helloFrame(1, clientKeys.publicKey);
  EXPECT_EQ(dump(clientHello), R"(0000  E0 01 20 01 01 00 00 00 00 00 00 00 00 00 00 00
0010  00 00 00 00 00 00 00 02 00 00 00 00 00 00 00 00
*
0050  00 00 00 00 00 00 00 00 A5 78 C1 D4 D5 71 02 33
0060  23 5B 34 00 69 86 CD 7F 0A E5 AC 7F 71 B9 C9 6E
0070  F8 38 EE 01 EC 40 4E 09 07 B5 54 BF C7 52 97 73
0080  5F 33 5B 0E 87 7D 35 F5 F9 5B AD 21 94 F2 68 A8
0090  91 57 D8 C9 75 7B 66 7D 00 00 00 00 00 00 00 00
*
0110  00 00 00 00 00 01 00 01 00 00 00 00 00 00 00 00
)");

  // 3. The server's key frame, enciphered with the client's key.
  session.clientKey = clientKeys.publicKey;
  testing::ScriptedRandom sessionKeySource(3);
  ASSERT_TRUE(session.sendKey(sessionKeySource));
  const Bytes serverKeyFrame = testing::readBytes(clientSide, wire::kHandshakeFrameSize);
  EXPECT_EQ(dump(serverKeyFrame), R"(0000  E1 02 20 01 40 00 00 00 21 00 73 4C 29 BD F6 63
0010  66 66 E7 47 E8 60 BF 28 71 9F 1F 62 38 97 59 29
0020  83 0A CD E4 D9 C2 19 EA 56 A5 96 F4 37 D8 2B A7
0030  2F 57 ED 6A DB 3C 6A 25 10 24 64 01 47 38 04 F6
0040  7A 6E CC E2 71 E1 56 7F 00 00 00 00 00 00 00 00
*
)");
  std::uint8_t plain[kRsaMaxModulusLength];
  std::uint32_t plainLength = 0;
  ASSERT_EQ(rsaPrivateDecrypt(plain, &plainLength, serverKeyFrame.data() + wire::kKeyFrameCipherOffset,
                              loadLe32(serverKeyFrame.data() + wire::kKeyFrameCipherLengthOffset),
                              clientKeys.privateKey),
            kRsaOk);
  EXPECT_EQ(dump(Bytes(plain, plain + plainLength)), R"(0000  00 00 00 00 00 00 00 00 1D B3 9C 12 37 A2 22 E3
0010  7D E3 B2 B6 7A 56 B7 CC 00 00 00 00 00 00 00 00
0020  00 00 00 00 00 00 00 00 10 00 00 00
)");

  // 4. The client's key message: user 13, WON id 513013, key 00 01 .. 0F.
  Bytes clientKey(16);
  for (std::uint8_t i = 0; i < 16; ++i) clientKey[i] = i;
  const Bytes record = testing::keyRecordBytes(13, 513013, clientKey, 16);
  EXPECT_EQ(dump(record), R"(0000  0D 00 00 00 F5 D3 07 00 00 01 02 03 04 05 06 07
0010  08 09 0A 0B 0C 0D 0E 0F 00 00 00 00 00 00 00 00
0020  00 00 00 00 00 00 00 00 10 00 00 00
)");
  testing::ScriptedRandom paddingSource(4);
  const Bytes clientKeyFrame = testing::keyMessageCarrying(serverKeys.publicKey, record, paddingSource);
  EXPECT_EQ(dump(clientKeyFrame), R"(0000  E1 02 20 01 40 00 00 00 20 1A 81 30 A8 2B BE 50
0010  E9 88 84 B9 55 45 D7 42 9C C4 12 6D 60 6E AB AF
0020  5D F8 F1 E7 1F 3B 2C DF F4 BA B5 8B FD 43 84 C9
0030  37 1F D6 BC 47 D1 07 53 E0 49 19 35 E9 7D E6 13
0040  9E A1 3B 91 1D 9C B7 BD 00 00 00 00 00 00 00 00
*
)");
  ASSERT_EQ(rsaPrivateDecrypt(plain, &plainLength, clientKeyFrame.data() + wire::kKeyFrameCipherOffset, 64,
                              serverKeys.privateKey),
            kRsaOk);
  EXPECT_EQ(Bytes(plain, plain + plainLength), record);

  // 5. The first keyed frame: the joined notice under the client's key.
  BlowfishKey clientCipher;
  ASSERT_TRUE(blowfishSetKey(clientCipher, clientKey.data(), 16));
  const Bytes joinedWire = testing::keyedFrame(clientCipher, testing::emptyFrame(wire::kPacketJoined, 4));
  Bytes joined(8);
  blowfishDecipher(clientCipher, joined.data(), joinedWire.data(), 8);
  EXPECT_EQ(dump(joined), "0000  FC 05 08 00 00 00 00 00\n");
  EXPECT_EQ(dump(joinedWire), "0000  7D C3 98 EF 98 41 79 32\n");

  testing::OutputCapture output;
  session.state = SessionState::kKeyed;
  session.wonId = 513013;
  session.userId = 13;
  session.receiveCipher = clientCipher;
  session.receiveBytes(joinedWire.data(), joinedWire.size());
  EXPECT_EQ(output.text(), "Player joined successfully with wonId: 7d3f5 and userId: 13\n");
  platform::closeSocket(clientSide);
}

}  // namespace
}  // namespace kestrin
