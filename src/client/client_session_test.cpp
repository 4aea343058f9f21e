#include "client/client_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/byte_order.h"
#include "support/client_frames.h"
#include "support/output_capture.h"
#include "support/socket_pair.h"

namespace kestrin {
namespace {

using testing::Bytes;
using testing::emptyFrame;

const std::uint8_t kKey[] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87, 0x98, 0xA9};

class SessionFramingTest : public ::testing::Test {
 protected:
  SessionFramingTest() {
    session->checkIdList = &checks;
    checks.checkIdCount = 6;
    session->start(now);
    blowfishSetKey(clientCipher, kKey, sizeof kKey);
  }

  void makeKeyed() {
    session->state = SessionState::kKeyed;
    blowfishSetKey(session->receiveCipher, kKey, sizeof kKey);
  }

  // A frame as the client sends it once keyed: `body` behind the header.
  Bytes keyed(std::uint8_t id, const Bytes& body = {}) {
    Bytes frame = emptyFrame(id, wire::kFrameHeaderSize);
    frame.insert(frame.end(), body.begin(), body.end());
    return testing::keyedFrame(clientCipher, frame);
  }
  // Bytes as they are, enciphered in whole blocks with the client's key.
  Bytes enciphered(Bytes bytes) {
    blowfishEncipher(clientCipher, bytes.data(), bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return bytes;
  }
  void restart(bool keyedSession) {
    session = std::make_unique<ClientSession>();
    session->start(now);
    if (keyedSession) makeKeyed();
  }

  const std::uint8_t* feed(const Bytes& bytes) { return session->receiveBytes(bytes.data(), bytes.size()); }

  std::uint32_t now = 50000;
  CheckIdList checks;
  BlowfishKey clientCipher = {};
  std::unique_ptr<ClientSession> session = std::make_unique<ClientSession>();
  testing::OutputCapture output;
};

TEST_F(SessionFramingTest, PlainFramesReachTheHandshakeWholeAndOneAtATime) {
  Bytes first = emptyFrame(wire::kPacketHello, 288);
  Bytes second = emptyFrame(wire::kPacketKey, 288);
  second[100] = 0x5A;
  EXPECT_EQ(feed(Bytes(first.begin(), first.begin() + 100)), nullptr);
  first.erase(first.begin(), first.begin() + 100);
  first.insert(first.end(), second.begin(), second.end());
  ASSERT_EQ(feed(first), session->frameBuffer);
  EXPECT_EQ(session->frameBuffer[wire::kFrameIdOffset], wire::kPacketHello);
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
  Bytes stream = keyed(wire::kPacketJoined);
  Bytes answer(200, 0);
  storeLe16(answer.data(), 1);
  for (int i = 0; i < 6; ++i) storeLe32(answer.data() + 4 + 4 * i, 100u + i);
  const Bytes answerFrame = keyed(wire::kPacketCheck, answer);
  stream.insert(stream.end(), answerFrame.begin(), answerFrame.end());

  EXPECT_EQ(feed(Bytes(stream.begin(), stream.begin() + 5)), nullptr);
  EXPECT_EQ(session->receiveCount, 5u);
  EXPECT_EQ(session->frameCount, 0u);
  EXPECT_EQ(feed(Bytes(stream.begin() + 5, stream.begin() + 10)), nullptr);
  // The first block is deciphered and the 8-byte notice handled; 2 bytes wait.
  EXPECT_EQ(session->receiveCount, 2u);
  EXPECT_EQ(session->frameCount, 0u);
  EXPECT_EQ(output.text(), "Player joined successfully with wonId: 159 and userId: 12\n");
  for (std::size_t at = 10; at < stream.size(); at += 5)
    feed(Bytes(stream.data() + at, stream.data() + std::min(at + 5, stream.size())));
  EXPECT_EQ(session->receiveCount, 0u);
  EXPECT_EQ(session->frameCount, 0u);
  EXPECT_EQ(session->checkAnswered, 1);
  EXPECT_EQ(session->checkAnswers[5], 105u);
  EXPECT_FALSE(session->closed);
}

// Whatever is held, deciphered or not, stays below the buffer size.
TEST_F(SessionFramingTest, HeldBytesOverflowAtTheBufferSize) {
  for (const bool keyedSession : {false, true}) {
    SCOPED_TRACE(keyedSession);
    restart(keyedSession);
    // A frame that declares more than it sends, filling the buffer; keyed,
    // the last 7 bytes wait undeciphered.
    Bytes filler = emptyFrame(7, 65000);
    filler.resize(wire::kSessionBufferSize - 1, 0);
    output.clear();
    EXPECT_EQ(feed(keyedSession ? enciphered(filler) : filler), nullptr);
    EXPECT_FALSE(session->closed);
    EXPECT_EQ(session->receiveCount, keyedSession ? 7u : 0u);
    EXPECT_EQ(feed(Bytes(1, 0)), nullptr);
    EXPECT_TRUE(session->closed);
    EXPECT_EQ(output.text(), "Client: Buffer overflow, hack attempt?\n");
  }
}

// Hostile frames end the session, in the pending state and keyed; behind a
// good frame in the same read the bad one is still caught.
TEST_F(SessionFramingTest, HostileFramesEndTheSession) {
  Bytes badCheck = emptyFrame(wire::kPacketHello, 288);
  badCheck[wire::kFrameCheckOffset] ^= 1;
  Bytes zeroLength = keyed(wire::kPacketJoined);
  Bytes zeroLengthTail = emptyFrame(wire::kPacketJoined, 0);
  zeroLengthTail.resize(8, 0);
  zeroLengthTail = enciphered(zeroLengthTail);
  zeroLength.insert(zeroLength.end(), zeroLengthTail.begin(), zeroLengthTail.end());
  struct Case {
    const char* name;
    bool keyedSession;
    Bytes bytes;
    const char* output;
  };
  const Case cases[] = {
      {"bad check byte", false, badCheck, ""},
      {"length 3", false, emptyFrame(wire::kPacketHello, 3), "Client: Frame length error, hack attempt?\n"},
      {"length 0 behind a joined notice", true, zeroLength,
       "Player joined successfully with wonId: 0 and userId: 0\nClient: Frame length error, hack attempt?\n"},
      {"unknown keyed id", true, keyed(9, Bytes(8, 0)), "Client: Unknown encrypted packet\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    restart(c.keyedSession);
    output.clear();
    EXPECT_EQ(feed(c.bytes), nullptr);
    EXPECT_TRUE(session->closed);
    EXPECT_EQ(output.text(), c.output);
    EXPECT_EQ(feed(emptyFrame(wire::kPacketHello, 288)), nullptr);
  }
}

TEST_F(SessionFramingTest, CheckAnswerKeepsWhatTheListsUseAndNothingPastTheFrame) {
  session->listedFileCount = 2;
  makeKeyed();
  Bytes answer(200, 0xEE);
  storeLe16(answer.data(), 3);
  for (int i = 0; i < 16; ++i) storeLe32(answer.data() + 4 + 4 * i, 10u + i);
  storeLe16(answer.data() + 68, 2);
  for (int i = 0; i < 32; ++i) storeLe32(answer.data() + 72 + 4 * i, 500u + i);
  feed(keyed(wire::kPacketCheck, answer));
  EXPECT_EQ(session->checkAnswered, 3);
  EXPECT_EQ(session->checkAnswers[5], 15u);
  EXPECT_EQ(session->checkAnswers[6], 0u);
  EXPECT_EQ(session->answerFileCount, 2);
  EXPECT_EQ(session->fileDigests[1], 501u);
  EXPECT_EQ(session->fileDigests[2], 0u);
  // The last digest ends the answer.
  session->listedFileCount = 32;
  feed(keyed(wire::kPacketCheck, answer));
  EXPECT_EQ(session->fileDigests[31], 531u);

  // A short answer: what lies past its end reads as zero.
  Bytes shortAnswer(8, 0);
  storeLe16(shortAnswer.data(), 1);
  storeLe32(shortAnswer.data() + 4, 77);
  feed(keyed(wire::kPacketCheck, shortAnswer));
  EXPECT_EQ(session->checkAnswered, 1);
  EXPECT_EQ(session->checkAnswers[0], 77u);
  EXPECT_EQ(session->checkAnswers[1], 0u);  // the padding
  EXPECT_EQ(session->checkAnswers[2], 0u);
  EXPECT_EQ(session->fileDigests[0], 0u);
}

TEST(SessionSendTest, KeyedFramesArePaddedAndEncipheredAndASendErrorEndsTheSessionOnce) {
  const std::uint8_t key[] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  testing::OutputCapture output;
  auto [serverSide, client] = testing::tcpPair();
  ClientSession session;
  session.socket = serverSide;
  session.state = SessionState::kKeyed;
  blowfishSetKey(session.sendCipher, key, sizeof key);
  for (const auto& [length, padded] : {std::pair<std::size_t, std::size_t>{12, 16}, {16, 24}, {236, 240}, {6, 8}}) {
    // Earlier bytes of the send buffer never show in the padding.
    std::memset(session.sendBuffer, 0xCC, sizeof session.sendBuffer);
    Bytes frame(length, 0x11);
    frame[wire::kFrameCheckOffset] = 0;
    frame[wire::kFrameIdOffset] = wire::kPacketUpdateAnnounce;
    storeLe16(frame.data() + wire::kFrameLengthOffset, static_cast<std::uint16_t>(length));
    session.sendFrame(frame.data());
    Bytes sent = testing::readBytes(client, padded);
    blowfishDecipher(session.sendCipher, sent.data(), sent.data(), static_cast<std::uint32_t>(sent.size()));
    EXPECT_EQ(sent, testing::resized(frame, padded)) << length;
  }
  EXPECT_TRUE(testing::nothingArrives(client));
  platform::closeSocket(client);

  // A socket that takes no data (listening, never connected) fails the send.
  platform::SocketHandle listener = platform::kInvalidSocket;
  ASSERT_EQ(platform::tcpListen(0, 1, &listener), platform::ListenResult::kOk);
  platform::closeSocket(session.socket);
  session.socket = listener;
  session.sendFrame(emptyFrame(wire::kPacketDrop, 6).data());
  EXPECT_TRUE(session.closed);
  EXPECT_EQ(session.socket, platform::kInvalidSocket);
  session.sendFrame(emptyFrame(wire::kPacketDrop, 6).data());
  EXPECT_EQ(output.text(), "Client: Send socket error\n");
}

}  // namespace
}  // namespace kestrin
