#include "client/client_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/byte_order.h"
#include "game/game_server.h"
#include "support/output_capture.h"
#include "support/socket_pair.h"

namespace kestrin {
namespace {

using Bytes = std::vector<std::uint8_t>;

const std::uint8_t kClientKey[] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9};
const std::uint8_t kServerKey[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF,
                                   0xFE, 0xDC, 0xBA, 0x98, 0x76, 0x54, 0x32, 0x10};

Bytes plainFrame(std::uint8_t id, std::size_t length) {
  Bytes frame(std::max<std::size_t>(length, 4), 0);
  frame[1] = id;
  storeLe16(frame.data() + 2, static_cast<std::uint16_t>(length));
  frame[0] = frameCheckByte(id, frame[2]);
  return frame;
}

class SessionFramingTest : public ::testing::Test {
 protected:
  SessionFramingTest() {
    session->clock = &now;
    session->checkList = &checks;
    checks.checkIdCount = 6;
    session->start();
    blowfishSetKey(clientCipher, kClientKey, sizeof kClientKey);
  }

  void makeKeyed() {
    session->state = SessionState::kKeyed;
    blowfishSetKey(session->receiveCipher, kClientKey, sizeof kClientKey);
  }

  // A frame as the client sends it once keyed: padded, checked, enciphered.
  Bytes keyedFrame(std::uint8_t id, Bytes body = {}) {
    std::size_t length = 4 + body.size();
    Bytes frame(paddedFrameLength(length), 0);
    if (!body.empty()) std::memcpy(frame.data() + 4, body.data(), body.size());
    frame[1] = id;
    storeLe16(frame.data() + 2, static_cast<std::uint16_t>(frame.size()));
    frame[0] = frameCheckByte(id, frame[2]);
    blowfishEncipher(clientCipher, frame.data(), frame.data(), static_cast<std::uint32_t>(frame.size()));
    return frame;
  }

  const std::uint8_t* feed(const Bytes& bytes) { return session->receiveBytes(bytes.data(), bytes.size()); }

  std::uint32_t now = 50000;
  CheckList checks;
  BlowfishKey clientCipher = {};
  std::unique_ptr<ClientSession> session = std::make_unique<ClientSession>();
  testing::OutputCapture output;
};

TEST_F(SessionFramingTest, FrameInTwoPiecesIsHandedOnWhenComplete) {
  Bytes hello = plainFrame(1, 288);
  EXPECT_EQ(feed(Bytes(hello.begin(), hello.begin() + 100)), nullptr);
  EXPECT_EQ(session->frameCount, 100u);
  const std::uint8_t* frame = feed(Bytes(hello.begin() + 100, hello.end()));
  ASSERT_EQ(frame, session->frameBuffer);
  EXPECT_EQ(std::memcmp(frame, hello.data(), hello.size()), 0);
}

TEST_F(SessionFramingTest, TwoFramesInOneReadReachTheHandshakeOneAtATime) {
  Bytes both = plainFrame(1, 288);
  Bytes second = plainFrame(2, 288);
  second[100] = 0x5A;
  both.insert(both.end(), second.begin(), second.end());
  ASSERT_NE(feed(both), nullptr);
  EXPECT_EQ(session->frameBuffer[1], 1);
  session->removeFrame();
  // The second waits in the buffer until the next read.
  EXPECT_EQ(session->frameCount, 288u);
  const std::uint8_t* frame = feed({});
  ASSERT_NE(frame, nullptr);
  EXPECT_EQ(std::memcmp(frame, second.data(), second.size()), 0);
}

TEST_F(SessionFramingTest, KeyedBytesAreDecipheredInWholeBlocksOnly) {
  makeKeyed();
  session->userId = 12;
  session->wonId = 0x159;
  Bytes stream = keyedFrame(wire::kPacketJoined);
  Bytes answer(200, 0);
  storeLe16(answer.data(), 1);
  for (int i = 0; i < 6; ++i) storeLe32(answer.data() + 4 + 4 * i, 100u + i);
  Bytes answerFrame = keyedFrame(wire::kPacketCheck, answer);
  stream.insert(stream.end(), answerFrame.begin(), answerFrame.end());
  ASSERT_EQ(stream.size(), 8u + 208u);

  EXPECT_EQ(feed(Bytes(stream.begin(), stream.begin() + 5)), nullptr);
  EXPECT_EQ(session->receiveCount, 5u);
  EXPECT_EQ(session->frameCount, 0u);
  EXPECT_EQ(feed(Bytes(stream.begin() + 5, stream.begin() + 10)), nullptr);
  // The first block is deciphered and the 8-byte notice handled; 2 bytes wait.
  EXPECT_EQ(session->receiveCount, 2u);
  EXPECT_EQ(session->frameCount, 0u);
  EXPECT_EQ(output.text(), "Player joined successfully with wonId: 159 and userId: 12\n");
  for (std::size_t at = 10; at < stream.size(); at += 5)
    feed(Bytes(stream.begin() + static_cast<long>(at),
               stream.begin() + static_cast<long>(std::min(at + 5, stream.size()))));
  EXPECT_EQ(session->receiveCount, 0u);
  EXPECT_EQ(session->frameCount, 0u);
  EXPECT_EQ(session->checkAnswered, 1);
  EXPECT_EQ(session->checkAnswers[5], 105u);
  EXPECT_FALSE(session->closed);
}

TEST_F(SessionFramingTest, BadCheckByteEndsTheSessionSilently) {
  Bytes hello = plainFrame(1, 288);
  hello[0] ^= 1;
  EXPECT_EQ(feed(hello), nullptr);
  EXPECT_TRUE(session->closed);
  EXPECT_EQ(output.text(), "");
  EXPECT_EQ(feed(plainFrame(1, 288)), nullptr);
}

TEST_F(SessionFramingTest, BufferLimitIsOneHundredBytesShortOfTheEnd) {
  // A frame that declares more than it sends, filling the buffer.
  Bytes filler = plainFrame(1, 65000);
  filler.resize(wire::kSessionBufferSize - 100);
  ASSERT_EQ(feed(filler), nullptr);
  EXPECT_EQ(feed(Bytes(99, 0)), nullptr);
  EXPECT_FALSE(session->closed);
  EXPECT_EQ(session->frameCount, wire::kSessionBufferSize - 1);

  auto other = std::make_unique<ClientSession>();
  other->clock = &now;
  other->start();
  ASSERT_EQ(other->receiveBytes(filler.data(), filler.size()), nullptr);
  Bytes hundred(100, 0);
  EXPECT_EQ(other->receiveBytes(hundred.data(), hundred.size()), nullptr);
  EXPECT_TRUE(other->closed);
  EXPECT_EQ(output.text(), "Client: Buffer overflow, hack attempt?\n");
}

TEST_F(SessionFramingTest, BufferLimitCountsUndecipheredBytes) {
  makeKeyed();
  Bytes filler(wire::kSessionBufferSize - 104, 0);
  // Only the header matters: a frame of 65000 declared bytes.
  Bytes plain = plainFrame(7, 65000);
  plain.resize(filler.size());
  blowfishEncipher(clientCipher, filler.data(), plain.data(), static_cast<std::uint32_t>(filler.size()));
  ASSERT_EQ(feed(filler), nullptr);
  ASSERT_EQ(feed(Bytes(5, 0)), nullptr);
  EXPECT_EQ(session->frameCount + session->receiveCount, wire::kSessionBufferSize - 99);
  // 99 bytes short, five of them still undeciphered: 98 more fit, 99 do not.
  EXPECT_EQ(feed(Bytes(98, 0)), nullptr);
  EXPECT_FALSE(session->closed);
  EXPECT_EQ(session->receiveCount, 7u);
  EXPECT_EQ(session->frameCount, wire::kSessionBufferSize - 8);
  EXPECT_EQ(feed(Bytes(1, 0)), nullptr);
  EXPECT_TRUE(session->closed);
}

TEST_F(SessionFramingTest, FrameShorterThanItsHeaderEndsTheSession) {
  EXPECT_EQ(feed(plainFrame(1, 2)), nullptr);
  EXPECT_TRUE(session->closed);
  EXPECT_EQ(output.text(), "Client: Frame length error, hack attempt?\n");

  // Keyed, behind a good frame in the same read: handled once, no loop.
  output.clear();
  session = std::make_unique<ClientSession>();
  session->clock = &now;
  session->start();
  makeKeyed();
  Bytes stream = keyedFrame(wire::kPacketJoined);
  Bytes zeroLength(8, 0);
  zeroLength[0] = frameCheckByte(5, 0);
  zeroLength[1] = 5;
  blowfishEncipher(clientCipher, zeroLength.data(), zeroLength.data(), 8);
  stream.insert(stream.end(), zeroLength.begin(), zeroLength.end());
  EXPECT_EQ(feed(stream), nullptr);
  EXPECT_TRUE(session->closed);
  EXPECT_EQ(output.text(),
            "Player joined successfully with wonId: 0 and userId: 0\n"
            "Client: Frame length error, hack attempt?\n");
}

TEST_F(SessionFramingTest, UnknownKeyedFrameClosesButLeavesTheSocketToTheGame) {
  auto [serverSide, clientSide] = testing::tcpPair();
  session->socket = serverSide;
  makeKeyed();
  EXPECT_EQ(feed(keyedFrame(9, Bytes(8, 0))), nullptr);
  EXPECT_TRUE(session->closed);
  EXPECT_EQ(session->socket, serverSide);
  EXPECT_EQ(output.text(), "Client: Unknown encrypted packet\n");
  // The frame stays; the game's pass disconnects and frees the session.
  EXPECT_EQ(session->frameCount, 16u);
  session->disconnect();
  session->disconnect();
  EXPECT_EQ(session->socket, platform::kInvalidSocket);
  platform::closeSocket(clientSide);
}

TEST_F(SessionFramingTest, CheckAnswerKeepsWhatTheListsUseAndNothingPastTheFrame) {
  auto game = std::make_unique<GameServer>();
  game->checksumList.checkFileCount = 2;
  session->game = game.get();
  makeKeyed();
  Bytes answer(200, 0xEE);
  storeLe16(answer.data(), 3);
  for (int i = 0; i < 16; ++i) storeLe32(answer.data() + 4 + 4 * i, 10u + i);
  storeLe16(answer.data() + 68, 2);
  for (int i = 0; i < 32; ++i) storeLe32(answer.data() + 72 + 4 * i, 500u + i);
  feed(keyedFrame(wire::kPacketCheck, answer));
  EXPECT_EQ(session->checkAnswered, 3);
  EXPECT_EQ(session->checkAnswers[5], 15u);
  EXPECT_EQ(session->checkAnswers[6], 0u);
  EXPECT_EQ(session->answerFileCount, 2);
  EXPECT_EQ(session->fileDigests[1], 501u);
  EXPECT_EQ(session->fileDigests[2], 0u);

  // A short answer: what lies past its end reads as zero.
  Bytes shortAnswer(8, 0);
  storeLe16(shortAnswer.data(), 1);
  storeLe32(shortAnswer.data() + 4, 77);
  feed(keyedFrame(wire::kPacketCheck, shortAnswer));
  EXPECT_EQ(session->checkAnswered, 1);
  EXPECT_EQ(session->checkAnswers[0], 77u);
  EXPECT_EQ(session->checkAnswers[1], 0u);  // the padding
  EXPECT_EQ(session->checkAnswers[2], 0u);
  EXPECT_EQ(session->fileDigests[0], 0u);
}

class SessionSendTest : public ::testing::Test {
 protected:
  SessionSendTest() {
    auto pair = testing::tcpPair();
    session.socket = pair.first;
    client = pair.second;
    blowfishSetKey(session.sendCipher, kServerKey, sizeof kServerKey);
    blowfishSetKey(clientCipher, kServerKey, sizeof kServerKey);
  }
  ~SessionSendTest() override { platform::closeSocket(client); }

  Bytes receiveKeyed(std::size_t count) {
    Bytes bytes = testing::readBytes(client, count);
    blowfishDecipher(clientCipher, bytes.data(), bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return bytes;
  }

  ClientSession session;
  platform::SocketHandle client = platform::kInvalidSocket;
  BlowfishKey clientCipher = {};
  testing::OutputCapture output;
};

TEST_F(SessionSendTest, PlainFramesGoAsTheyAreWithTheirCheckByte) {
  session.state = SessionState::kAwaitingHello;
  Bytes hello(288, 0);
  hello[1] = 1;
  storeLe16(hello.data() + 2, 288);
  hello[100] = 0x42;
  session.sendFrame(hello.data());
  Bytes sent = testing::readBytes(client, 288);
  ASSERT_EQ(sent.size(), 288u);
  EXPECT_EQ(sent[0], 0xE0);
  hello[0] = 0xE0;
  EXPECT_EQ(sent, hello);
}

TEST_F(SessionSendTest, KeyedFramesArePaddedAndEnciphered) {
  session.state = SessionState::kKeyed;
  struct Case {
    std::size_t length;
    std::size_t padded;
    std::uint8_t id;
    std::uint8_t check;
  };
  for (Case c : {Case{12, 16, 3, 0xF2}, Case{16, 24, 3, 0xEA}, Case{236, 240, 7, 0x16}, Case{6, 8, 6, 0xFD}}) {
    // Earlier bytes of the send buffer never show in the padding.
    std::memset(session.sendBuffer, 0xCC, sizeof session.sendBuffer);
    Bytes frame(c.length, 0x11);
    frame[0] = 0;
    frame[1] = c.id;
    storeLe16(frame.data() + 2, static_cast<std::uint16_t>(c.length));
    session.sendFrame(frame.data());
    Bytes sent = receiveKeyed(c.padded);
    ASSERT_EQ(sent.size(), c.padded) << c.length;
    EXPECT_EQ(sent[0], c.check) << c.length;
    EXPECT_EQ(sent[1], c.id);
    EXPECT_EQ(loadLe16(sent.data() + 2), c.padded);
    EXPECT_TRUE(std::equal(sent.begin() + 4, sent.begin() + static_cast<long>(c.length), frame.begin() + 4));
    EXPECT_TRUE(std::all_of(sent.begin() + static_cast<long>(c.length), sent.end(), [](std::uint8_t b) { return b == 0; }));
  }
  EXPECT_TRUE(testing::nothingArrives(client));
}

TEST_F(SessionSendTest, SendErrorEndsTheSessionOnce) {
  session.state = SessionState::kAwaitingHello;
  platform::closeSocket(client);
  client = platform::kInvalidSocket;
  Bytes frame(288, 0);
  frame[1] = 1;
  storeLe16(frame.data() + 2, 288);
  // The peer's reset may take a send or two to come back.
  for (int i = 0; i < 200 && !session.closed; ++i) {
    session.sendFrame(frame.data());
    if (!session.closed) platform::sleepMilliseconds(5);
  }
  EXPECT_TRUE(session.closed);
  EXPECT_EQ(output.text(), "Client: Send socket error\n");
  session.sendFrame(frame.data());
  EXPECT_EQ(output.text(), "Client: Send socket error\n");
}

}  // namespace
}  // namespace kestrin
