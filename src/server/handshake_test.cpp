#include "server/handshake.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "client/client_session.h"
#include "client/key_record.h"
#include "core/byte_order.h"
#include "server/server.h"
#include "support/client_frames.h"
#include "support/output_capture.h"
#include "support/socket_pair.h"

namespace kestrin {
namespace {

using testing::Bytes;

const testing::KeyPair& serverKeys() {
  static const testing::KeyPair keys = testing::seededKeyPair(510, 1);
  return keys;
}
const testing::KeyPair& clientKeys() {
  static const testing::KeyPair keys = testing::seededKeyPair(510, 2);
  return keys;
}

// The client's Blowfish key; a client sends the first 1 to 32 bytes of it.
const Bytes kClientKey = {0x31, 0x41, 0x59, 0x26, 0x53, 0x58, 0x97, 0x93, 0x23, 0x84, 0x62,
                          0x64, 0x33, 0x83, 0x27, 0x95, 0x02, 0x88, 0x41, 0x97, 0x16, 0x93,
                          0x99, 0x37, 0x51, 0x05, 0x82, 0x09, 0x74, 0x94, 0x45, 0x92};

// The server's session key, read from its key frame with the client's key;
// all zero when the frame does not carry a 16-byte key.
BlowfishKey serverCipher(const Bytes& keyFrame) {
  std::uint8_t plain[kRsaMaxModulusLength];
  std::uint32_t plainLength = 0;
  BlowfishKey cipher = {};
  const std::uint32_t cipherLength = loadLe32(keyFrame.data() + wire::kKeyFrameCipherLengthOffset);
  if (rsaPrivateDecrypt(plain, &plainLength, keyFrame.data() + wire::kKeyFrameCipherOffset, cipherLength,
                        clientKeys().privateKey) == kRsaOk &&
      plainLength == wire::kKeyRecordSize && readKeyRecord(plain).keyLength == wire::kServerSessionKeySize)
    blowfishSetKey(cipher, readKeyRecord(plain).key, wire::kServerSessionKeySize);
  return cipher;
}

class HandshakeTest : public ::testing::Test {
 protected:
  HandshakeTest() {
    server->clockNow = 100000;
    server->games.reset(new GameServer[2]);
    server->gameCount = 2;
    for (int i = 0; i < 2; ++i) {
      server->games[i].rconReady.store(true);
    }
    server->publicKey = serverKeys().publicKey;
    server->privateKey = serverKeys().privateKey;
    server->keyRandom = &random;
    server->checkIdList.checkIdCount = 6;
    platform::startSockets();
    EXPECT_EQ(platform::tcpListen(0, 8, &server->listenSocket), platform::ListenResult::kOk);
    server->watch.add(server->listenSocket, nullptr);
  }
  ~HandshakeTest() override {
    for (platform::SocketHandle s : clients) platform::closeSocket(s);
    server->shutdown();
  }

  void addUser(int game, std::uint32_t userId, std::uint32_t wonId) {
    PlayerTables& tables = server->games[game].players;
    UserRecord& row = tables.userRecords[tables.userRecordCount++];
    row.userId = userId;
    row.wonId = wonId;
  }

  // The listening socket's part of a main step.
  void accept() {
    server->pollSockets();
    server->acceptClient();
  }

  // Connects a client (from `from` when not 0), lets the server accept it
  // and reads the server hello.
  platform::SocketHandle connect(std::uint32_t from = 0) {
    platform::SocketHandle client = platform::tcpConnectStart(
        platform::Endpoint{platform::kLoopbackAddress, platform::localPort(server->listenSocket)}, from);
    clients.push_back(client);
    EXPECT_TRUE(testing::waitReadable(server->listenSocket));
    accept();
    testing::readBytes(client, wire::kHandshakeFrameSize);
    return client;
  }

  // Sends bytes from a client and runs the pending poll once they are there.
  void deliver(platform::SocketHandle client, const Bytes& bytes, std::uint32_t index = 0) {
    ASSERT_EQ(platform::socketSend(client, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    ASSERT_LT(index, server->pendingCount);
    ASSERT_TRUE(testing::waitReadable(server->pendingSessions[index]->socket));
    server->pollSockets();
    server->readPendingSessions();
  }

  // Runs message 1 and returns the server's key frame.
  Bytes keyExchange(platform::SocketHandle client, std::uint32_t index = 0,
                    const RsaPublicKey& key = clientKeys().publicKey) {
    deliver(client, testing::helloFrame(5, key), index);
    return testing::readBytes(client, wire::kHandshakeFrameSize);
  }

  Bytes keyMessage(std::uint32_t userId, std::uint32_t wonId, std::uint32_t keyLength,
                   long long cipherLength = -1) {
    return testing::keyMessage(serverKeys().publicKey, userId, wonId, kClientKey, keyLength, padding, cipherLength);
  }

  testing::ScriptedRandom random{99};
  testing::ScriptedRandom padding{7};
  std::unique_ptr<Server> server = std::make_unique<Server>();
  std::vector<platform::SocketHandle> clients;
  testing::OutputCapture output;
};

TEST_F(HandshakeTest, FullHandshakeKeysBothWaysAndHandsTheSessionToTheGameThatListsThePlayer) {
  addUser(0, 99, 999);
  addUser(1, 12, 345);
  platform::SocketHandle client = connect();
  EXPECT_EQ(output.text(), "Client connected [total: 1]\n");
  const Bytes keyFrame = keyExchange(client);
  ASSERT_EQ(keyFrame.size(), wire::kHandshakeFrameSize);
  ClientSession* session = server->pendingSessions[0];
  EXPECT_EQ(session->state, SessionState::kAwaitingKey);
  EXPECT_EQ(session->clientVersion, 5);
  EXPECT_EQ(session->peerAddress, platform::kLoopbackAddress);
  EXPECT_EQ(session->frameCount, 0u);
  for (int i = 0; i < 2; ++i) {
    RconCommand queued;
    EXPECT_EQ(server->games[i].commands.size(), 1u);
    ASSERT_TRUE(server->games[i].commands.take(&queued));
    EXPECT_EQ(queued.id, static_cast<std::uint8_t>(RconCommandId::Users));
  }

  // A 32-byte key, the longest a client may choose.  A keyed frame sent
  // right behind the key message is held under the client's key.
  BlowfishKey clientCipher;
  blowfishSetKey(clientCipher, kClientKey.data(), 32);
  const Bytes joined = testing::keyedFrame(clientCipher, testing::emptyFrame(wire::kPacketJoined, 4));
  Bytes both = keyMessage(12, 345, 32);
  both.insert(both.end(), joined.begin(), joined.end());
  output.clear();
  deliver(client, both);
  EXPECT_EQ(output.text(), "Adding user userId: 12 wonId: 345\n");
  EXPECT_EQ(server->pendingCount, 0u);
  EXPECT_EQ(server->games[0].clientCount, 0u);
  ASSERT_EQ(server->games[1].clientCount, 1u);
  EXPECT_EQ(server->games[1].clients[0], session);
  EXPECT_EQ(session->frameCount, 8u);

  output.clear();
  ASSERT_EQ(platform::socketSend(client, joined.data(), joined.size()), 8);
  ASSERT_TRUE(testing::waitReadable(session->socket));
  server->pollSockets();
  readClients(server->games[1]);
  EXPECT_EQ(output.text(),
            "Player joined successfully with wonId: 159 and userId: 12\n"
            "Player joined successfully with wonId: 159 and userId: 12\n");

  // The server's key the other way.
  session->sendDropNotice(wire::kDropLeft);
  Bytes drop = testing::readBytes(client, 8);
  ASSERT_EQ(drop.size(), 8u);
  blowfishDecipher(serverCipher(keyFrame), drop.data(), drop.data(), 8);
  EXPECT_EQ(drop, (Bytes{0xFD, wire::kPacketDrop, 8, 0, wire::kDropLeft, 0, 0, 0}));
}

// Every refusal prints its message and keeps the frame; the frame is offered
// again with the next read, without a second message.
TEST_F(HandshakeTest, RefusalsKeepTheFrameAndTheState) {
  addUser(1, 12, 345);
  // Valid blocks one byte short of a key record and one byte over.
  const Bytes record = testing::keyRecordBytes(12, 345, kClientKey, 16);
  Bytes longRecord = record;
  longRecord.push_back(0);
  const Bytes hello = testing::helloFrame(5, clientKeys().publicKey);
  struct Case {
    const char* name;
    bool afterHello;
    Bytes frame;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"message 2 first", false, keyMessage(12, 345, 16), "Didn't expect message 2\n"},
      {"short hello", false, testing::resized(hello, 287), "Packet size error\n"},
      {"short hello in state 5", true, testing::resized(hello, 287), "Packet size error\n"},
      {"second hello", true, hello, "Didn't expect message 1\n"},
      {"cipherLength 257", true, keyMessage(12, 345, 16, 257), "Packet error\n"},
      {"cipherLength 256", true, keyMessage(12, 345, 16, 256), "Protocolkey packet error\n"},
      {"cipherLength 65", true, keyMessage(12, 345, 16, 65), "Protocolkey packet error\n"},
      {"long key message", true, testing::resized(keyMessage(12, 345, 16), 296), "Packet size error\n"},
      {"long, cipherLength 257", true, testing::resized(keyMessage(12, 345, 16, 257), 296), "Packet error\n"},
      {"43-byte record", true,
       testing::keyMessageCarrying(serverKeys().publicKey, Bytes(record.begin(), record.end() - 1), padding),
       "Protocolkey packet error\n"},
      {"45-byte record", true,
       testing::keyMessageCarrying(serverKeys().publicKey, longRecord, padding),
       "Protocolkey packet error\n"},
      {"keyLength 0", true, keyMessage(12, 345, 0), "Protocolkey length error\n"},
      {"keyLength 33", true, keyMessage(12, 345, 33), "Protocolkey length error\n"},
      {"player not listed", true, keyMessage(13, 345, 16),
       "Client that's not in a game connected [wonId: 345 userId: 13]\n"},
      {"ids of 0", true, keyMessage(0, 0, 16), "Client that's not in a game connected [wonId: 0 userId: 0]\n"},
      {"unknown id", false, testing::emptyFrame(3, 16), "Unknown packet id\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::SocketHandle client = connect(0x7F000100 + static_cast<std::uint32_t>(&c - cases.data()));
    const std::uint32_t index = server->pendingCount - 1;
    ClientSession* session = server->pendingSessions[index];
    if (c.afterHello) keyExchange(client, index);
    const SessionState before = session->state;
    output.clear();
    deliver(client, c.frame, index);
    EXPECT_EQ(output.text(), c.message);
    EXPECT_EQ(session->state, before);
    EXPECT_EQ(session->frameCount, c.frame.size());
    EXPECT_FALSE(session->closed);
    deliver(client, Bytes{0}, index);
    EXPECT_EQ(output.text(), c.message);
  }
  EXPECT_EQ(server->pendingCount, cases.size());
  EXPECT_EQ(server->games[1].clientCount, 0u);
}

TEST_F(HandshakeTest, KeyFrameFitsTheClientKey) {
  static const testing::KeyPair big = testing::seededKeyPair(1024, 3);
  const Bytes keyFrame = keyExchange(connect(), 0, big.publicKey);
  ASSERT_EQ(keyFrame.size(), wire::kHandshakeFrameSize);
  EXPECT_EQ(loadLe32(keyFrame.data() + wire::kKeyFrameCipherLengthOffset), 128u);
  std::uint8_t plain[kRsaMaxModulusLength];
  std::uint32_t plainLength = 0;
  EXPECT_EQ(rsaPrivateDecrypt(plain, &plainLength, keyFrame.data() + wire::kKeyFrameCipherOffset, 128,
                              big.privateKey),
            kRsaOk);
  EXPECT_EQ(plainLength, wire::kKeyRecordSize);
}

TEST_F(HandshakeTest, HelloThatCannotBeAnsweredEndsTheSession) {
  // 432 bits carry 43 bytes, one short of a key record.
  static const testing::KeyPair small = testing::seededKeyPair(432, 4);
  RsaPublicKey tooManyBits = clientKeys().publicKey;
  tooManyBits.bits = 1025;
  struct Case {
    RsaPublicKey key;
    bool randomFails;
    const char* message;
  };
  for (const Case& c : {Case{small.publicKey, false, "Client: Unusable client key [bits: 432]\n"},
                        Case{tooManyBits, false, "Client: Unusable client key [bits: 1025]\n"},
                        Case{clientKeys().publicKey, true, "Error: Could not draw a session key\n"}}) {
    SCOPED_TRACE(c.message);
    if (c.randomFails) random.failAfter(random.drawn());
    platform::SocketHandle client = connect();
    output.clear();
    deliver(client, testing::helloFrame(5, c.key), server->pendingCount - 1);
    EXPECT_EQ(output.text(), c.message);
    EXPECT_TRUE(server->pendingSessions[server->pendingCount - 1]->closed);
    // No key frame: the connection just ends.
    EXPECT_TRUE(testing::readBytes(client, 1).empty());
  }
}

TEST_F(HandshakeTest, ClientOfAFullGameGetsDropNoticeOneAndIsClosed) {
  addUser(1, 12, 345);
  for (std::uint32_t i = 0; i < 63; ++i) {
    auto* joined = new ClientSession();
    joined->userId = 100 + i;
    joined->joined = true;
    ASSERT_TRUE(attachClient(server->games[1], joined));
  }
  platform::SocketHandle client = connect();
  const Bytes keyFrame = keyExchange(client);
  ASSERT_EQ(keyFrame.size(), wire::kHandshakeFrameSize);
  // A one-byte key, the shortest a client may choose.
  output.clear();
  deliver(client, keyMessage(12, 345, 1));
  EXPECT_EQ(output.text(), "Client: Game full, client dropped [userId: 12 wonId: 345]\n");
  EXPECT_EQ(server->pendingCount, 0u);
  EXPECT_EQ(server->games[1].clientCount, 63u);

  Bytes drop = testing::readBytes(client, 9);
  ASSERT_EQ(drop.size(), 8u);  // the notice, then the end of the stream
  blowfishDecipher(serverCipher(keyFrame), drop.data(), drop.data(), 8);
  EXPECT_EQ(drop[wire::kFrameIdOffset], wire::kPacketDrop);
  EXPECT_EQ(drop[wire::kDropReasonOffset], wire::kDropKicked);
}

// Sessions that never join cannot keep a player's own client out: in a full
// game the oldest of them makes room, a second session of the player from
// his address replaces the first, and only a stranger is refused.
TEST_F(HandshakeTest, UnjoinedSessionsNeverKeepThePlayersClientOut) {
  addUser(1, 12, 345);
  GameServer& game = server->games[1];
  for (std::uint32_t i = 0; i < 63; ++i) {
    auto* squatter = new ClientSession();
    squatter->userId = 100 + i;
    squatter->joined = i != 3 && i != 7;
    ASSERT_TRUE(attachClient(game, squatter));
  }
  const struct {
    std::uint32_t listedAt;  // the player's address in status, 0: not listed
    const char* printed;
    bool admitted;
  } cases[] = {
      {0, "Client: Unjoined client dropped to make room [userId: 103 wonId: 0]\nClient 3 disconnected [total: 62]\n",
       true},
      {0, "Client: Replaced by a new client of the player [userId: 12 wonId: 345]\nClient 62 disconnected [total: 62]\n",
       true},
      {0x0A000009,
       "Client: Address mismatch, client dropped [client: 127.0.0.1 player: 10.0.0.9 userId: 12 wonId: 345]\n", false},
      {platform::kLoopbackAddress,
       "Client: Replaced by a new client of the player [userId: 12 wonId: 345]\nClient 62 disconnected [total: 62]\n",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.printed);
    server->clockNow += 1000;
    if (c.listedAt != 0) {
      PlayerTables& tables = game.players;
      const int found = findStatus(tables, 12, 345);
      StatusRecord& row = tables.statusRecords[found >= 0 ? found : addStatus(tables)];
      row.userId = 12;
      row.wonId = 345;
      row.listed = 1;
      for (int b = 0; b < 4; ++b) row.ip[b] = static_cast<std::uint8_t>(c.listedAt >> (24 - 8 * b));
    }
    platform::SocketHandle client = connect();
    keyExchange(client);
    output.clear();
    deliver(client, keyMessage(12, 345, 16));
    EXPECT_EQ(output.text(), std::string(c.printed) + (c.admitted ? "Adding user userId: 12 wonId: 345\n" : ""));
    EXPECT_EQ(game.clientCount, 63u);
    EXPECT_EQ(game.clients[62]->joinDeadline == server->clockNow + kJoinWaitMs, c.admitted);
  }
}

TEST_F(HandshakeTest, PendingListTakesEveryWaitingClientButFourPerAddressAndGivesIdleSlotsAway) {
  platform::SocketHandle first = connect();
  const std::uint16_t port = platform::localPort(server->listenSocket);
  for (int i = 0; i < 4; ++i) {
    clients.push_back(platform::tcpConnectStart(platform::Endpoint{platform::kLoopbackAddress, port}));
    for (int wait = 0; wait < 1000 && platform::tcpConnectPoll(clients.back()) == platform::ConnectState::kPending;
         ++wait)
      testing::waitReadable(clients.back(), 1);
  }
  output.clear();
  accept();
  EXPECT_EQ(output.text(),
            "Client connected [total: 2]\nClient connected [total: 3]\nClient connected [total: 4]\n"
            "Client: Too many connections from 127.0.0.1, connection closed\n");
  // A moving handshake keeps its slot however long it takes.
  EXPECT_EQ(keyExchange(first, 0).size(), wire::kHandshakeFrameSize);

  for (std::uint32_t i = 4; i < 31; ++i) connect(0x7F000002 + i / 4);
  output.clear();
  connect(0x7F000040);
  EXPECT_EQ(output.text(), "Failed to add client\n");
  server->clockNow += kPendingIdleMs;
  output.clear();
  connect(0x7F000041);
  EXPECT_EQ(output.text(), "Client: Idle connection from 127.0.0.1 closed to make room\nClient connected [total: 31]\n");
  EXPECT_EQ(server->pendingSessions[0]->state, SessionState::kAwaitingKey);
  EXPECT_EQ(server->pendingSessions[30]->peerAddress, 0x7F000041u);
}

TEST_F(HandshakeTest, TooManyConnectionsIsPrintedOncePerMinutePerAddressAcrossTheClockWrap) {
  // The first line's minute ends after the step clock's wrap.
  server->clockNow = 0xFFFFF000u;
  const std::uint16_t port = platform::localPort(server->listenSocket);
  for (int i = 0; i < 4; ++i) {
    connect(0x7F000005);
    connect(0x7F000006);
  }
  struct Case {
    std::uint32_t advanceMs;
    std::uint32_t from;
    const char* printed;
  } cases[] = {
      {0, 0x7F000005, "Client: Too many connections from 127.0.0.5, connection closed\n"},
      {1000, 0x7F000005, ""},
      {kRefusalLineEveryMs - 1001, 0x7F000006, "Client: Too many connections from 127.0.0.6, connection closed\n"},
      {1, 0x7F000005, "Client: Too many connections from 127.0.0.5, connection closed [1 more since the last line]\n"},
      {kRefusalLineEveryMs - 1, 0x7F000005, ""},
      {0, 0x7F000005, ""},
      {1, 0x7F000005, "Client: Too many connections from 127.0.0.5, connection closed [2 more since the last line]\n"},
  };
  for (const Case& c : cases) {
    server->clockNow += c.advanceMs;
    clients.push_back(platform::tcpConnectStart(platform::Endpoint{platform::kLoopbackAddress, port}, c.from));
    for (int wait = 0; wait < 1000 && platform::tcpConnectPoll(clients.back()) == platform::ConnectState::kPending;
         ++wait)
      testing::waitReadable(clients.back(), 1);
    output.clear();
    accept();
    EXPECT_EQ(output.text(), c.printed) << server->clockNow;
  }
}

TEST_F(HandshakeTest, AMasterTimeJumpBackByADayLeavesDeadlinesRunning) {
  server->clockStart = platform::milliseconds();
  server->clockOffset.store(500000000u);
  server->updateClock();
  connect();
  server->clockOffset.store(500000000u - 86400000u);
  server->clockStart -= wire::kHandshakeTimeoutMs + 1000;  // 11 s later
  server->updateClock();
  EXPECT_LT(server->masterNow, 500000000u);
  output.clear();
  server->expirePendingSessions();
  EXPECT_EQ(output.text(), "Client timeout...\n");
}

TEST_F(HandshakeTest, PendingSessionsEndTenSecondsAfterAcceptAndAreFreedAtShutdown) {
  platform::SocketHandle first = connect();
  server->clockNow += 5000;
  platform::SocketHandle second = connect();
  output.clear();
  server->clockNow = 100000 + 10000;
  server->expirePendingSessions();
  EXPECT_EQ(output.text(), "");
  server->clockNow += 1;
  server->expirePendingSessions();
  EXPECT_EQ(output.text(), "Client timeout...\n");
  EXPECT_TRUE(server->pendingSessions[0]->closed);
  EXPECT_TRUE(testing::readBytes(first, 1).empty());
  output.clear();
  server->expirePendingSessions();
  EXPECT_EQ(output.text(), "Client disconnected [total: 1]\n");

  server->shutdown();
  EXPECT_EQ(server->pendingCount, 0u);
  EXPECT_TRUE(testing::readBytes(second, 1).empty());
}

}  // namespace
}  // namespace kestrin
