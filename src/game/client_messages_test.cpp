#include "game/client_messages.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "client/client_session.h"
#include "core/byte_order.h"
#include "game/game_test_support.h"
#include "game/report_log.h"
#include "support/output_capture.h"
#include "support/socket_pair.h"
#include "update/updater.h"

namespace kestrin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

const std::uint8_t kSendKey[16] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71,
                                   0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9};

class ClientMessagesTest : public ::testing::Test {
 protected:
  ClientMessagesTest() {
    checks.checkIdCount = 6;
    for (std::uint32_t i = 0; i < 6; ++i) checks.checkIds[i] = i + 1;

    ChecksumList& files = t.game->checksumList;
    files.checkFileCount = 2;
    std::strcpy(files.checkFileNames[0], "client.dll");
    std::strcpy(files.checkFileNames[1], "player.mdl");
    files.checkFileSeeds[0] = 0x11111111;
    files.checkFileSeeds[1] = 0x22222222;
    files.checkFileKinds[1] = 1;
    files.checkFileDigests[0] = 0xAAAA0001;
    files.checkFileDigests[1] = 0xBBBB0002;

    auto [serverSide, clientSide] = testing::tcpPair();
    client = clientSide;
    session = new ClientSession();
    session->socket = serverSide;
    session->state = SessionState::kKeyed;
    session->clock = &t.now;
    session->checkList = &checks;
    session->update = &update;
    session->game = t.game.get();
    session->userId = 12;
    session->wonId = 345;
    blowfishSetKey(session->sendCipher, kSendKey, sizeof kSendKey);
    blowfishSetKey(clientCipher, kSendKey, sizeof kSendKey);
    attachClient(*t.game, session);
  }
  ~ClientMessagesTest() override { platform::closeSocket(client); }

  void addUser(const char* name) {
    UserRecord& row = t.game->userRecords[t.game->userRecordCount++];
    row.userId = 12;
    row.wonId = 345;
    std::strcpy(row.name, name);
  }

  void listPlayer() {
    int index = addStatus(*t.game);
    StatusRecord& row = t.game->statusRecords[index];
    std::strcpy(row.name, "Alice");
    row.userId = 12;
    row.wonId = 345;
    const std::uint8_t ip[4] = {198, 51, 100, 7};
    std::memcpy(row.ip, ip, 4);
    row.port = 27005;
  }

  // Moves the clock on and gives the session its step; returns the queue and
  // empties it as the game thread would.
  Strings step(std::uint32_t ms) {
    t.now += ms;
    clientStep(*session);
    Strings queued = t.queued();
    t.game->commandCount = 0;
    return queued;
  }

  // The answer the keyed dispatch stores, with every value right.
  void answerHonestly() {
    session->checkAnswered = 1;
    std::memset(session->checkAnswers, 0, sizeof session->checkAnswers);
    session->fileDigests[0] = 0xAAAA0001;
    session->fileDigests[1] = 0xBBBB0002;
  }

  // The next frame on the client's side, deciphered.
  Bytes readFrame() {
    Bytes head = testing::readBytes(client, 8);
    if (head.size() < 8) return head;
    blowfishDecipher(clientCipher, head.data(), head.data(), 8);
    std::size_t length = loadLe16(head.data() + 2);
    Bytes rest = testing::readBytes(client, length - 8);
    blowfishDecipher(clientCipher, rest.data(), rest.data(), static_cast<std::uint32_t>(rest.size()));
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }

  // Joined 30 s ago, the check request sent; the clock at its deadline.
  void checkRequested() {
    joinClient(*session);
    step(kCheckIntervalMs + 1);
    ASSERT_EQ(readFrame().size(), 240u);
    t.now += kCheckAnswerWaitMs;
    t.game->commandCount = 0;
  }

  testing::TestGame t;
  CheckList checks;
  UpdateState update;
  ClientSession* session = nullptr;
  platform::SocketHandle client = platform::kInvalidSocket;
  BlowfishKey clientCipher = {};
  testing::OutputCapture output;
};

TEST_F(ClientMessagesTest, JoinSaysTheNameAndTheFirstCheckGoesThirtySecondsLater) {
  addUser("Alice");
  joinClient(*session);
  EXPECT_TRUE(session->joined);
  EXPECT_EQ(t.queued(), (Strings{"5 Alice has joined with the Kestrin client"}));
  t.game->commandCount = 0;

  EXPECT_TRUE(step(kCheckIntervalMs).empty());
  EXPECT_TRUE(testing::nothingArrives(client, 50));
  step(1);
  Bytes request = readFrame();
  ASSERT_EQ(request.size(), 240u);
  EXPECT_EQ(request[0], 0x16);
  EXPECT_EQ(request[1], 7);
  EXPECT_EQ(loadLe16(request.data() + 4), 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(loadLe32(request.data() + 8 + 4 * i), static_cast<std::uint32_t>(i + 1));
  EXPECT_EQ(loadLe32(request.data() + 8 + 4 * 6), 0u);
  EXPECT_EQ(loadLe16(request.data() + 72), 2);
  EXPECT_EQ(loadLe32(request.data() + 76), 0x11111111u);
  EXPECT_EQ(loadLe32(request.data() + 80), 0x22222222u);
  EXPECT_EQ(request[204], 0);
  EXPECT_EQ(request[205], 1);
  EXPECT_EQ(session->checkDeadline, t.now + kCheckAnswerWaitMs);
  EXPECT_EQ(session->nextCheckTime, t.now + kCheckIntervalMs);
}

TEST_F(ClientMessagesTest, HonestClientIsAuthenticatedOnceAndKeepsBeingChecked) {
  addUser("Alice");
  checkRequested();
  answerHonestly();
  EXPECT_TRUE(step(0).empty());  // due, but not yet run out
  EXPECT_EQ(step(1), (Strings{"5 Alice has been Kestrin authenticated"}));
  EXPECT_TRUE(session->authenticated);
  EXPECT_EQ(session->checkAnswered, 0);

  for (int round = 0; round < 2; ++round) {
    step(kCheckIntervalMs - kCheckAnswerWaitMs);
    ASSERT_EQ(readFrame().size(), 240u);
    answerHonestly();
    EXPECT_TRUE(step(kCheckAnswerWaitMs + 1).empty());
  }
  EXPECT_FALSE(session->closed);
  EXPECT_EQ(output.text(), "");
}

TEST_F(ClientMessagesTest, ClientThatDoesNotAnswerIsKicked) {
  addUser("Alice");
  checkRequested();
  EXPECT_EQ(step(1), (Strings{"5 Client packet timeout", "3 #12"}));
  EXPECT_EQ(output.text(), "Client packet timeout......\n");
  Bytes drop = readFrame();
  ASSERT_EQ(drop.size(), 8u);
  EXPECT_EQ(drop[1], 6);
  EXPECT_EQ(drop[4], wire::kDropKicked);
  EXPECT_TRUE(session->closed);
  EXPECT_TRUE(testing::readBytes(client, 1).empty());
}

TEST_F(ClientMessagesTest, WrongCheckValueIsSaidLoggedBannedAndKicked) {
  testing::ScopedWorkingDirectory folder;
  addUser("Alice");
  listPlayer();
  checkRequested();
  output.clear();
  answerHonestly();
  session->checkAnswers[2] = 1;
  EXPECT_EQ(step(1), (Strings{"5 (BETA) Alice is a possible cheater (ID #2) - kicking", "6 5 345 kick", "3 #12"}));
  EXPECT_EQ(output.text(), "(BETA) Alice is a possible cheater (ID #2) - kicking\n");
  Bytes drop = readFrame();
  ASSERT_EQ(drop.size(), 8u);
  EXPECT_EQ(drop[4], wire::kDropBanned);
  EXPECT_TRUE(testing::readBytes(client, 1).empty());
  EXPECT_TRUE(session->closed);

  std::ifstream log("kestrin.log", std::ios::binary);
  std::stringstream text;
  text << log.rdbuf();
  EXPECT_TRUE(std::regex_match(text.str(),
                               std::regex(R"(\[\d\d\.\d\d\.\d{4} \d\d:\d\d:\d\d\] "Alice" \(345\) )"
                                          R"(198\.51\.100\.7:27005 - \(BETA\) Alice is a possible cheater )"
                                          R"(\(ID #2\) - kicking\n)")))
      << text.str();
}

TEST_F(ClientMessagesTest, WrongValueComesBeforeAWrongDigest) {
  testing::ScopedWorkingDirectory folder;
  addUser("Alice");
  checkRequested();
  answerHonestly();
  session->checkAnswers[4] = 9;
  session->fileDigests[0] = 0;
  Strings queued = step(1);
  ASSERT_FALSE(queued.empty());
  EXPECT_EQ(queued[0], "5 (BETA) Alice is a possible cheater (ID #4) - kicking");
}

TEST_F(ClientMessagesTest, WrongDigestNamesTheFile) {
  testing::ScopedWorkingDirectory folder;
  addUser("Alice");
  listPlayer();
  checkRequested();
  answerHonestly();
  session->fileDigests[1] = 0xBBBB0003;
  EXPECT_EQ(step(1), (Strings{"5 Alice is using a modified model or dll (player.mdl) - kicking", "6 5 345 kick",
                              "3 #12"}));
  EXPECT_TRUE(session->closed);
}

TEST_F(ClientMessagesTest, PlayerWithoutUserRowIsNamedUnknown) {
  testing::ScopedWorkingDirectory folder;
  joinClient(*session);
  EXPECT_EQ(t.queued(), (Strings{"5 unknown has joined with the Kestrin client"}));
  t.game->commandCount = 0;
  step(kCheckIntervalMs + 1);
  t.now += kCheckAnswerWaitMs;
  answerHonestly();
  session->checkAnswers[0] = 7;
  EXPECT_EQ(step(1)[0], "5 (BETA) unknown is a possible cheater (ID #0) - kicking");
  // No status row either: the verdict stands, the log line cannot be written.
  EXPECT_EQ(output.text(),
            "Internal error, could not find report log player info\n"
            "(BETA) unknown is a possible cheater (ID #0) - kicking\n");
  EXPECT_FALSE(std::filesystem::exists("kestrin.log"));
}

TEST_F(ClientMessagesTest, EmptyChecksumListJudgesTheChecksOnly) {
  t.game->checksumList.checkFileCount = 0;
  addUser("Alice");
  joinClient(*session);
  step(kCheckIntervalMs + 1);
  Bytes request = readFrame();
  ASSERT_EQ(request.size(), 240u);
  EXPECT_EQ(loadLe16(request.data() + 72), 0);
  t.now += kCheckAnswerWaitMs;
  answerHonestly();
  session->fileDigests[0] = 0;
  t.game->commandCount = 0;
  EXPECT_EQ(step(1), (Strings{"5 Alice has been Kestrin authenticated"}));
}

TEST_F(ClientMessagesTest, VerdictWithoutConsoleStillDropsTheClient) {
  checkRequested();
  t.game->rconReady.store(false);
  EXPECT_TRUE(step(1).empty());
  EXPECT_EQ(readFrame()[4], wire::kDropKicked);
  EXPECT_TRUE(session->closed);
}

class ClientUpdateTest : public ClientMessagesTest {
 protected:
  void loadImage(std::uint16_t version, std::size_t size) {
    update.clientImageData.reset(new std::uint8_t[size]);
    for (std::size_t i = 0; i < size; ++i) update.clientImageData[i] = static_cast<std::uint8_t>(i * 7 + version);
    update.clientImageSize = static_cast<std::uint32_t>(size);
    update.clientImageVersion.store(version);
  }
};

TEST_F(ClientUpdateTest, OutdatedClientGetsTheImageInChunksBeforeAnyCheck) {
  loadImage(7, 2048 + 100);
  session->clientVersion = 5;
  joinClient(*session);
  EXPECT_EQ(output.text(), "Init autoupdate\n");
  Bytes announce = readFrame();
  ASSERT_EQ(announce.size(), 16u);
  EXPECT_EQ(announce[1], 3);
  EXPECT_EQ(loadLe16(announce.data() + 4), 7);
  EXPECT_EQ(loadLe32(announce.data() + 8), 2148u);

  step(wire::kUpdateChunkIntervalMs);
  EXPECT_TRUE(testing::nothingArrives(client, 50));
  Bytes image;
  std::vector<std::uint16_t> counts;
  // Even with the clock far past the first check, chunks come first.
  for (std::uint32_t ms : {1u, 31000u, 31000u}) {
    step(ms);
    Bytes chunk = readFrame();
    ASSERT_EQ(chunk.size(), 1032u);
    EXPECT_EQ(chunk[1], 4);
    counts.push_back(loadLe16(chunk.data() + 1028));
    image.insert(image.end(), chunk.begin() + 4, chunk.begin() + 4 + counts.back());
  }
  EXPECT_EQ(counts, (std::vector<std::uint16_t>{1024, 1024, 100}));
  EXPECT_TRUE(std::equal(image.begin(), image.end(), update.clientImageData.get()));
  EXPECT_FALSE(session->updating);
  step(1);
  EXPECT_EQ(readFrame().size(), 240u);  // the check request, at last
}

TEST_F(ClientUpdateTest, ImageOfTwoWholeChunksEndsWithTheSecond) {
  loadImage(7, 2048);
  session->clientVersion = 6;
  joinClient(*session);
  readFrame();
  step(wire::kUpdateChunkIntervalMs + 1);
  EXPECT_TRUE(session->updating);
  step(wire::kUpdateChunkIntervalMs + 1);
  EXPECT_FALSE(session->updating);
  EXPECT_EQ(session->updateOffset, 2048u);
}

TEST_F(ClientUpdateTest, CurrentClientOrNoImageMeansNoTransfer) {
  session->clientVersion = 5;
  joinClient(*session);
  EXPECT_FALSE(session->updating);
  loadImage(5, 100);
  startUpdate(*session);
  EXPECT_FALSE(session->updating);
  EXPECT_TRUE(testing::nothingArrives(client, 50));
  EXPECT_EQ(output.text(), "");
}

TEST_F(ClientUpdateTest, NewImageDuringATransferStartsItOver) {
  loadImage(7, 3000);
  session->clientVersion = 5;
  joinClient(*session);
  readFrame();
  step(wire::kUpdateChunkIntervalMs + 1);
  step(wire::kUpdateChunkIntervalMs + 1);
  readFrame();
  readFrame();
  // Installed meanwhile: a newer, shorter image.
  loadImage(8, 300);
  step(wire::kUpdateChunkIntervalMs + 1);
  Bytes announce = readFrame();
  ASSERT_EQ(announce.size(), 16u);
  EXPECT_EQ(announce[1], 3);
  EXPECT_EQ(loadLe16(announce.data() + 4), 8);
  EXPECT_EQ(loadLe32(announce.data() + 8), 300u);
  step(wire::kUpdateChunkIntervalMs + 1);
  Bytes chunk = readFrame();
  ASSERT_EQ(chunk.size(), 1032u);
  EXPECT_EQ(loadLe16(chunk.data() + 1028), 300);
  EXPECT_TRUE(std::equal(chunk.begin() + 4, chunk.begin() + 304, update.clientImageData.get()));
  EXPECT_FALSE(session->updating);
}

}  // namespace
}  // namespace kestrin
