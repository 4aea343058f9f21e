// The worked examples of docs/protocol.md, computed by the server's own code:
// if one of these fails, the document and the code disagree.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "client/client_session.h"
#include "core/byte_order.h"
#include "core/wire.h"
#include "crypto/blowfish.h"
#include "crypto/rsa.h"
#include "support/client_frames.h"
#include "support/output_capture.h"
#include "support/socket_pair.h"

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

  // 4. The client's key message carries the key 00 01 .. 0F.
  Bytes clientKey(16);
  for (std::uint8_t i = 0; i < 16; ++i) clientKey[i] = i;

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

  // 6. A drop notice "kicked" under the same key: 6 bytes padded to 8 with zeros.
  session.sendCipher = clientCipher;
  session.sendDropNotice(wire::kDropKicked);
  EXPECT_EQ(dump(testing::readBytes(clientSide, 8)), "0000  8F 1E 34 CF 43 63 8D C0\n");
  platform::closeSocket(clientSide);
}

}  // namespace
}  // namespace kestrin
