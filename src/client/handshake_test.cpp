#include "client/handshake.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "client/client_session.h"
#include "core/byte_order.h"
#include "core/server.h"
#include "game/client_messages.h"
#include "support/output_capture.h"
#include "support/scripted_random.h"
#include "support/socket_pair.h"

namespace kestrin {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct KeyPair {
  RsaPublicKey publicKey = {};
  RsaPrivateKey privateKey = {};
};

KeyPair generate(std::uint32_t bits, std::uint64_t seed) {
  testing::ScriptedRandom random(seed);
  KeyPair pair;
  EXPECT_EQ(rsaGenerateKeyPair(pair.publicKey, pair.privateKey, RsaKeyRequest{bits, 1}, random), kRsaOk);
  return pair;
}

const KeyPair& serverKeys() {
  static const KeyPair keys = generate(510, 1);
  return keys;
}
const KeyPair& clientKeys() {
  static const KeyPair keys = generate(510, 2);
  return keys;
}

Bytes frameOf(std::uint8_t id, std::size_t length, std::size_t size = 288) {
  Bytes frame(size, 0);
  frame[1] = id;
  storeLe16(frame.data() + 2, static_cast<std::uint16_t>(length));
  frame[0] = frameCheckByte(id, frame[2]);
  return frame;
}

Bytes hello(const RsaPublicKey& key, std::uint16_t version = 5, std::size_t length = 288) {
  Bytes frame = frameOf(1, length, length);
  storeLe16(frame.data() + 4, version);
  writeRsaPublicKey(key, frame.data() + 22, 258);
  return frame;
}

Bytes keyMessage(std::uint32_t userId, std::uint32_t wonId, const Bytes& key, std::uint32_t keyLength,
                 long long cipherLength = -1, std::size_t length = 288) {
  KeyRecord record;
  record.userId = userId;
  record.wonId = wonId;
  std::memcpy(record.key, key.data(), key.size());
  record.keyLength = keyLength;
  std::uint8_t plain[44];
  writeKeyRecord(record, plain);
  Bytes frame = frameOf(2, length, std::max<std::size_t>(length, 288));
  testing::ScriptedRandom random(7);
  std::uint32_t produced = 0;
  EXPECT_EQ(rsaPublicEncrypt(frame.data() + 8, &produced, plain, 44, serverKeys().publicKey, random), kRsaOk);
  storeLe32(frame.data() + 4, cipherLength < 0 ? produced : static_cast<std::uint32_t>(cipherLength));
  return frame;
}

const Bytes kClientBlowfishKey = {0x31, 0x41, 0x59, 0x26, 0x53, 0x58, 0x97, 0x93, 0x23, 0x84,
                                  0x62, 0x64, 0x33, 0x83, 0x27, 0x95, 0x02, 0x88, 0x41, 0x97};

class HandshakeTest : public ::testing::Test {
 protected:
  HandshakeTest() {
    server->clockNow = 100000;
    server->games.reset(new GameServer[2]);
    server->gameCount = 2;
    for (int i = 0; i < 2; ++i) {
      server->games[i].clock = &server->clockNow;
      server->games[i].rconReady.store(true);
    }
    server->publicKey = serverKeys().publicKey;
    server->privateKey = serverKeys().privateKey;
    server->keyRandom = &random;
    server->checkList.checkIdCount = 6;
    platform::startSockets();
    EXPECT_EQ(platform::tcpListen(0, 8, &server->listenSocket), platform::ListenResult::kOk);
  }
  ~HandshakeTest() override {
    for (platform::SocketHandle s : clients) platform::closeSocket(s);
    server->shutdown();
  }

  void addUser(int game, std::uint32_t userId, std::uint32_t wonId) {
    GameServer& g = server->games[game];
    UserRecord& row = g.userRecords[g.userRecordCount++];
    row.userId = userId;
    row.wonId = wonId;
  }

  // Connects a client and lets the server accept it; the server hello is
  // read off the client's socket into `helloFrame`.
  platform::SocketHandle connect(Bytes* helloFrame = nullptr) {
    platform::SocketHandle client = platform::tcpConnectStart(
        platform::Endpoint{platform::kLoopbackAddress, platform::localPort(server->listenSocket)});
    clients.push_back(client);
    EXPECT_TRUE(testing::waitReadable(server->listenSocket));
    server->acceptClient();
    Bytes frame = testing::readBytes(client, 288);
    if (helloFrame != nullptr) *helloFrame = frame;
    return client;
  }

  // Sends bytes from a client and runs the pending poll once they are there.
  void deliver(platform::SocketHandle client, const Bytes& bytes, std::uint32_t index = 0) {
    ASSERT_EQ(platform::socketSend(client, bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    ASSERT_LT(index, server->clientCount);
    ASSERT_TRUE(testing::waitReadable(server->clients[index]->socket));
    server->pollPendingClients();
  }

  // Runs message 1 and returns the server's key frame.
  Bytes keyExchange(platform::SocketHandle client, std::uint32_t index = 0,
                    const RsaPublicKey& key = clientKeys().publicKey) {
    deliver(client, hello(key), index);
    return testing::readBytes(client, 288);
  }

  std::uint32_t queuedUsersPolls(int game) {
    GameServer& g = server->games[game];
    std::uint32_t count = 0;
    for (std::int32_t i = 0; i < g.commandCount; ++i)
      if (g.commands[(g.commandHead + static_cast<std::uint32_t>(i)) % kCommandQueueCapacity].id ==
          static_cast<std::uint8_t>(RconCommandId::Users))
        ++count;
    return count;
  }

  testing::ScriptedRandom random{99};
  std::unique_ptr<Server> server = std::make_unique<Server>();
  std::vector<platform::SocketHandle> clients;
  testing::OutputCapture output;
};

TEST_F(HandshakeTest, FullHandshakeHandsTheSessionToTheGameThatListsThePlayer) {
  addUser(0, 99, 999);
  addUser(1, 12, 345);
  Bytes helloFrame;
  platform::SocketHandle client = connect(&helloFrame);
  ASSERT_EQ(helloFrame.size(), 288u);
  EXPECT_EQ(helloFrame[0], 0xE0);
  EXPECT_EQ(helloFrame[1], 1);
  EXPECT_EQ(loadLe16(helloFrame.data() + 2), 288);
  EXPECT_EQ(loadLe16(helloFrame.data() + 4), 1000);
  Bytes serverKey(258);
  writeRsaPublicKey(serverKeys().publicKey, serverKey.data(), serverKey.size());
  EXPECT_TRUE(std::equal(serverKey.begin(), serverKey.end(), helloFrame.begin() + 22));
  EXPECT_EQ(output.text(), "Client connected [total: 1]\n");

  Bytes keyFrame = keyExchange(client);
  ASSERT_EQ(keyFrame.size(), 288u);
  EXPECT_EQ(keyFrame[0], 0xE1);
  EXPECT_EQ(keyFrame[1], 2);
  ASSERT_EQ(loadLe32(keyFrame.data() + 4), 64u);
  std::uint8_t plain[128];
  std::uint32_t plainLength = 0;
  ASSERT_EQ(rsaPrivateDecrypt(plain, &plainLength, keyFrame.data() + 8, 64, clientKeys().privateKey), kRsaOk);
  ASSERT_EQ(plainLength, 44u);
  KeyRecord serverRecord = readKeyRecord(plain);
  EXPECT_EQ(serverRecord.keyLength, 16u);
  for (int i = 0; i < 16; ++i) EXPECT_NE(serverRecord.key[i], 0);
  ClientSession* session = server->clients[0];
  EXPECT_EQ(session->state, SessionState::kAwaitingKey);
  EXPECT_EQ(session->clientVersion, 5);
  EXPECT_EQ(session->frameCount, 0u);
  EXPECT_EQ(queuedUsersPolls(0), 1u);
  EXPECT_EQ(queuedUsersPolls(1), 1u);

  output.clear();
  deliver(client, keyMessage(12, 345, kClientBlowfishKey, 20));
  EXPECT_EQ(output.text(), "Adding user userId: 12 wonId: 345\n");
  EXPECT_EQ(server->clientCount, 0u);
  ASSERT_EQ(server->games[1].clientCount, 1u);
  EXPECT_EQ(server->games[1].clients[0], session);
  EXPECT_EQ(server->games[0].clientCount, 0u);
  EXPECT_EQ(session->state, SessionState::kKeyed);
  EXPECT_EQ(session->game, &server->games[1]);
  EXPECT_EQ(session->userId, 12u);
  EXPECT_EQ(session->wonId, 345u);

  // Keyed both ways: the client's key one way, the server's the other.
  BlowfishKey toServer = {};
  blowfishSetKey(toServer, kClientBlowfishKey.data(), 20);
  Bytes joined = frameOf(5, 8, 8);
  blowfishEncipher(toServer, joined.data(), joined.data(), 8);
  output.clear();
  ASSERT_EQ(platform::socketSend(client, joined.data(), 8), 8);
  ASSERT_TRUE(testing::waitReadable(session->socket));
  pollClients(server->games[1]);
  EXPECT_EQ(output.text(), "Player joined successfully with wonId: 159 and userId: 12\n");

  sendDropNotice(*session, wire::kDropLeft);
  Bytes drop = testing::readBytes(client, 8);
  ASSERT_EQ(drop.size(), 8u);
  BlowfishKey fromServer = {};
  blowfishSetKey(fromServer, serverRecord.key, 16);
  blowfishDecipher(fromServer, drop.data(), drop.data(), 8);
  EXPECT_EQ(drop[1], 6);
  EXPECT_EQ(loadLe16(drop.data() + 2), 8);
  EXPECT_EQ(drop[4], 0);
}

TEST_F(HandshakeTest, ZeroIdsMatchTheFirstUserOfTheFirstGameWithAny) {
  addUser(1, 40, 4000);
  addUser(1, 41, 4100);
  platform::SocketHandle client = connect();
  keyExchange(client);
  deliver(client, keyMessage(0, 0, kClientBlowfishKey, 16));
  ASSERT_EQ(server->games[1].clientCount, 1u);
  EXPECT_TRUE(output.contains("Adding user userId: 0 wonId: 0\n"));

  addUser(0, 50, 5000);
  platform::SocketHandle second = connect();
  keyExchange(second);
  deliver(second, keyMessage(0, 0, kClientBlowfishKey, 16));
  EXPECT_EQ(server->games[0].clientCount, 1u);
}

// Every refusal prints its message and keeps the frame; the frame is offered
// again with the next read.
TEST_F(HandshakeTest, RefusalsKeepTheFrameAndTheState) {
  addUser(1, 12, 345);
  struct Case {
    const char* name;
    bool afterHello;
    Bytes frame;
    const char* message;
  };
  const Bytes key = kClientBlowfishKey;
  std::vector<Case> cases = {
      {"message 2 first", false, keyMessage(12, 345, key, 16), "Didn't expect message 2\n"},
      {"short hello", false, hello(clientKeys().publicKey, 5, 287), "Packet size error\n"},
      {"short hello in state 5", true, hello(clientKeys().publicKey, 5, 287), "Packet size error\n"},
      {"second hello", true, hello(clientKeys().publicKey), "Didn't expect message 1\n"},
      {"cipherLength 257", true, keyMessage(12, 345, key, 16, 257), "Packet error\n"},
      {"cipherLength 65", true, keyMessage(12, 345, key, 16, 65), "Protocolkey packet error\n"},
      {"long key message", true, keyMessage(12, 345, key, 16, -1, 296), "Packet size error\n"},
      {"keyLength 0", true, keyMessage(12, 345, key, 0), "Protocolkey length error\n"},
      {"keyLength 33", true, keyMessage(12, 345, key, 33), "Protocolkey length error\n"},
      {"player not listed", true, keyMessage(13, 345, key, 16),
       "Client that's not in a game connected [wonId: 345 userId: 13]\n"},
      {"unknown id", false, frameOf(3, 16, 16), "Unknown packet id\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    platform::SocketHandle client = connect();
    ClientSession* session = server->clients[server->clientCount - 1];
    if (c.afterHello) keyExchange(client, server->clientCount - 1);
    SessionState before = session->state;
    output.clear();
    deliver(client, c.frame, server->clientCount - 1);
    EXPECT_EQ(output.text(), c.message);
    EXPECT_EQ(session->state, before);
    EXPECT_EQ(session->frameCount, c.frame.size());
    EXPECT_FALSE(session->closed);
    // One more byte: the kept frame is offered again.
    deliver(client, Bytes{0}, server->clientCount - 1);
    EXPECT_EQ(output.text(), std::string(c.message) + c.message);
  }
  EXPECT_EQ(server->clientCount, cases.size());
}

TEST_F(HandshakeTest, KeyFrameFitsTheClientKey) {
  static const KeyPair big = generate(1024, 3);
  platform::SocketHandle client = connect();
  Bytes keyFrame = keyExchange(client, 0, big.publicKey);
  ASSERT_EQ(keyFrame.size(), 288u);
  ASSERT_EQ(loadLe32(keyFrame.data() + 4), 128u);
  std::uint8_t plain[128];
  std::uint32_t plainLength = 0;
  EXPECT_EQ(rsaPrivateDecrypt(plain, &plainLength, keyFrame.data() + 8, 128, big.privateKey), kRsaOk);
  EXPECT_EQ(plainLength, 44u);
}

TEST_F(HandshakeTest, ClientKeyThatCannotCarryTheKeyRecordEndsTheSession) {
  static const KeyPair small = generate(256, 4);
  RsaPublicKey tooManyBits = clientKeys().publicKey;
  tooManyBits.bits = 1025;
  for (const RsaPublicKey& key : {small.publicKey, tooManyBits}) {
    platform::SocketHandle client = connect();
    output.clear();
    deliver(client, hello(key), server->clientCount - 1);
    EXPECT_EQ(output.text(), "Client: Unusable client key [bits: " + std::to_string(key.bits) + "]\n");
    EXPECT_TRUE(server->clients[server->clientCount - 1]->closed);
    // No key frame: the connection just ends.
    EXPECT_TRUE(testing::readBytes(client, 1).empty());
  }
  output.clear();
  server->expirePendingClients();
  EXPECT_EQ(output.text(), "Client disconnected [total: 1]\nClient disconnected [total: 0]\n");
}

TEST_F(HandshakeTest, ClientOfAFullGameGetsDropNoticeOneAndIsClosed) {
  addUser(1, 12, 345);
  for (int i = 0; i < 63; ++i) ASSERT_TRUE(attachClient(server->games[1], new ClientSession()));
  platform::SocketHandle client = connect();
  Bytes keyFrame = keyExchange(client);
  std::uint8_t plain[128];
  std::uint32_t plainLength = 0;
  ASSERT_EQ(rsaPrivateDecrypt(plain, &plainLength, keyFrame.data() + 8, 64, clientKeys().privateKey), kRsaOk);
  output.clear();
  deliver(client, keyMessage(12, 345, kClientBlowfishKey, 16));
  EXPECT_EQ(output.text(), "Client: Game full, client dropped [userId: 12 wonId: 345]\n");
  EXPECT_EQ(server->clientCount, 0u);
  EXPECT_EQ(server->games[1].clientCount, 63u);

  Bytes drop = testing::readBytes(client, 9);
  ASSERT_EQ(drop.size(), 8u);  // the notice, then the end of the stream
  BlowfishKey fromServer = {};
  blowfishSetKey(fromServer, readKeyRecord(plain).key, 16);
  blowfishDecipher(fromServer, drop.data(), drop.data(), 8);
  EXPECT_EQ(drop[1], 6);
  EXPECT_EQ(drop[4], wire::kDropKicked);
}

TEST_F(HandshakeTest, BytesBehindTheKeyMessageAreTakenAsKeyed) {
  addUser(0, 12, 345);
  platform::SocketHandle client = connect();
  keyExchange(client);
  BlowfishKey toServer = {};
  blowfishSetKey(toServer, kClientBlowfishKey.data(), 16);
  Bytes joined = frameOf(5, 8, 8);
  blowfishEncipher(toServer, joined.data(), joined.data(), 8);
  Bytes both = keyMessage(12, 345, kClientBlowfishKey, 16);
  both.insert(both.end(), joined.begin(), joined.end());
  deliver(client, both);
  ASSERT_EQ(server->games[0].clientCount, 1u);
  ClientSession* session = server->games[0].clients[0];
  EXPECT_EQ(session->frameCount, 8u);

  output.clear();
  ASSERT_EQ(platform::socketSend(client, joined.data(), 8), 8);
  ASSERT_TRUE(testing::waitReadable(session->socket));
  pollClients(server->games[0]);
  EXPECT_EQ(output.text(),
            "Player joined successfully with wonId: 159 and userId: 12\n"
            "Player joined successfully with wonId: 159 and userId: 12\n");
  EXPECT_FALSE(session->closed);
}

TEST_F(HandshakeTest, PendingListTakesOneClientPerStepAndAtMost31) {
  const std::uint16_t port = platform::localPort(server->listenSocket);
  std::vector<platform::SocketHandle> waiting;
  for (int i = 0; i < 2; ++i) {
    waiting.push_back(platform::tcpConnectStart(platform::Endpoint{platform::kLoopbackAddress, port}));
    clients.push_back(waiting.back());
  }
  ASSERT_TRUE(testing::waitReadable(server->listenSocket));
  server->acceptClient();
  EXPECT_EQ(server->clientCount, 1u);
  server->acceptClient();
  EXPECT_EQ(server->clientCount, 2u);

  while (server->clientCount < 31) connect();
  output.clear();
  platform::SocketHandle refused = connect();
  EXPECT_EQ(output.text(), "Failed to add client\n");
  EXPECT_EQ(server->clientCount, 31u);
  EXPECT_TRUE(testing::readBytes(refused, 1).empty());
  // The others go on: the last one still gets its key frame.
  EXPECT_EQ(keyExchange(clients[30], 30).size(), 288u);
}

TEST_F(HandshakeTest, PendingSessionsEndTenSecondsAfterAcceptAndAreFreedAtShutdown) {
  platform::SocketHandle first = connect();
  server->clockNow += 5000;
  platform::SocketHandle second = connect();
  output.clear();
  server->clockNow = 100000 + 10000;
  server->expirePendingClients();
  EXPECT_EQ(output.text(), "");
  server->clockNow += 1;
  server->expirePendingClients();
  EXPECT_EQ(output.text(), "Client timeout...\n");
  EXPECT_TRUE(server->clients[0]->closed);
  EXPECT_TRUE(testing::readBytes(first, 1).empty());
  output.clear();
  server->expirePendingClients();
  EXPECT_EQ(output.text(), "Client disconnected [total: 1]\n");

  server->shutdown();
  EXPECT_EQ(server->clientCount, 0u);
  EXPECT_TRUE(testing::readBytes(second, 1).empty());
}

}  // namespace
}  // namespace kestrin
