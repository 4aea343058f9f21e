#include "game/client_messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "client/client_session.h"
#include "core/byte_order.h"
#include "game/report_log.h"
#include "support/game_test_support.h"
#include "support/output_capture.h"
#include "support/scratch_folder.h"
#include "support/socket_pair.h"
#include "update/updater.h"

namespace kestrin {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Strings = std::vector<std::string>;

const std::uint8_t kSendKey[16] = {0x0A, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F, 0x60, 0x71,
                                   0x82, 0x93, 0xA4, 0xB5, 0xC6, 0xD7, 0xE8, 0xF9};

// A keyed session of player 12/345 attached to a game with six checks and
// two listed files, its client's end of the connection in `client`.
struct AttachedClient {
  AttachedClient() {
    checks.checkIdCount = 6;
    for (std::uint32_t i = 0; i < 6; ++i) checks.checkIds[i] = i + 1;
    ChecksumList& files = t.game->checksumList;
    files.checkFileCount = 2;
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
    session->checkIdList = &checks;
    session->update = &update;
    session->userId = 12;
    session->wonId = 345;
    blowfishSetKey(session->sendCipher, kSendKey, sizeof kSendKey);
    blowfishSetKey(clientCipher, kSendKey, sizeof kSendKey);
    attachClient(*t.game, session);
  }
  ~AttachedClient() { platform::closeSocket(client); }

  // Gives the player a user row (the name) and a status row (the report).
  void name() {
    PlayerTables& tables = t.game->players;
    UserRecord& user = tables.userRecords[tables.userRecordCount++];
    user.userId = 12;
    user.wonId = 345;
    std::strcpy(user.name, "Alice");
    StatusRecord& row = tables.statusRecords[addStatus(tables)];
    row.userId = 12;
    row.wonId = 345;
    output.clear();
  }

  // Moves the clock on, gives the session its step and takes the queue.
  Strings step(std::uint32_t ms) {
    t.now += ms;
    clientStep(*t.game, *session, t.now);
    return t.take();
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
    Bytes rest = testing::readBytes(client, loadLe16(head.data() + 2) - 8u);
    blowfishDecipher(clientCipher, rest.data(), rest.data(), static_cast<std::uint32_t>(rest.size()));
    head.insert(head.end(), rest.begin(), rest.end());
    return head;
  }

  void loadImage(std::uint16_t version, std::size_t size) {
    update.clientImageData.reset(new std::uint8_t[size]);
    for (std::size_t i = 0; i < size; ++i) update.clientImageData[i] = static_cast<std::uint8_t>(i * 7 + version);
    update.clientImageSize = static_cast<std::uint32_t>(size);
    update.clientImageVersion.store(version);
  }

  testing::TestGame t;
  CheckIdList checks;
  UpdateState update;
  ClientSession* session = nullptr;
  platform::SocketHandle client = platform::kInvalidSocket;
  BlowfishKey clientCipher = {};
  testing::OutputCapture output;
};

TEST(ClientMessagesTest, JoinedClientIsCheckedEveryThirtySecondsAndAuthenticatedOnce) {
  AttachedClient c;
  c.name();
  // The clock wraps during the first round.
  c.t.now = 0xFFFFFFFFu - kCheckIntervalMs - 5000;
  joinClient(*c.t.game, *c.session, c.t.now);
  EXPECT_EQ(c.t.take(), (Strings{"5 Alice has joined with the Kestrin client"}));
  for (int round = 0; round < 2; ++round) {
    EXPECT_TRUE(c.step(round == 0 ? kCheckIntervalMs : kCheckIntervalMs - kCheckAnswerWaitMs - 1).empty());
    EXPECT_TRUE(testing::nothingArrives(c.client, 50));
    c.step(1);
    Bytes request = c.readFrame();
    ASSERT_EQ(request.size(), 240u);
    EXPECT_EQ(request[wire::kFrameIdOffset], wire::kPacketCheck);
    EXPECT_EQ(loadLe16(&request[wire::kCheckRequestIdCountOffset]), 6);
    EXPECT_EQ(loadLe32(&request[wire::kCheckRequestIdsOffset + 4 * 5]), 6u);
    EXPECT_EQ(loadLe16(&request[wire::kCheckRequestFileCountOffset]), 2);
    EXPECT_EQ(loadLe32(&request[wire::kCheckRequestSeedsOffset + 4]), 0x22222222u);
    EXPECT_EQ(request[wire::kCheckRequestKindsOffset + 1], 1);
    c.answerHonestly();
    EXPECT_TRUE(c.step(kCheckAnswerWaitMs).empty());  // due, but not yet run out
    EXPECT_EQ(c.step(1), round == 0 ? Strings{"5 Alice has been Kestrin authenticated"} : Strings{});
    EXPECT_EQ(c.session->checkAnswered, 0);
  }
  EXPECT_FALSE(c.session->closed);
  EXPECT_EQ(c.output.text(), "");
}

TEST(ClientMessagesTest, VerdictsOnTheAnswer) {
  constexpr int kNone = -1;
  const std::string cheater = "5 (BETA) Alice is a possible cheater (ID #2) - kicking";
  const std::string modified = "5 Alice is using a modified model or dll (player.mdl) - kicking";
  const struct {
    bool answered;
    int wrongValue, wrongDigest;
    std::uint16_t fileCount;
    Strings queued;
    int drop;
  } cases[] = {
      {false, kNone, kNone, 2, {"5 Client packet timeout", "3 #12"}, wire::kDropKicked},
      {true, 2, kNone, 2, {cheater, "6 5 345 kick", "3 #12"}, wire::kDropBanned},
      {true, 2, 0, 2, {cheater, "6 5 345 kick", "3 #12"}, wire::kDropBanned},
      {true, kNone, 1, 2, {modified, "6 5 345 kick", "3 #12"}, wire::kDropBanned},
      {true, kNone, 1, 1, {"5 Alice has been Kestrin authenticated"}, kNone},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.queued[0]);
    testing::ScratchFolder folder;
    AttachedClient c;
    c.name();
    c.t.game->checksumList.checkFileCount = k.fileCount;
    joinClient(*c.t.game, *c.session, c.t.now);
    c.step(kCheckIntervalMs + 1);
    ASSERT_EQ(c.readFrame().size(), 240u);
    c.t.take();
    if (k.answered) c.answerHonestly();
    if (k.wrongValue != kNone) c.session->checkAnswers[k.wrongValue] = 9;
    if (k.wrongDigest != kNone) c.session->fileDigests[k.wrongDigest] ^= 1;
    c.t.now += kCheckAnswerWaitMs;
    EXPECT_EQ(c.step(1), k.queued);
    const std::string printed = !k.answered ? "Client packet timeout......\n"
                                : k.drop == kNone ? ""
                                                  : k.queued[0].substr(2) + "\n";
    EXPECT_EQ(c.output.text(), printed);
    EXPECT_EQ(c.session->closed, k.drop != kNone);
    if (k.drop != kNone) {
      Bytes drop = c.readFrame();
      ASSERT_EQ(drop.size(), 8u);
      EXPECT_EQ(drop[wire::kFrameIdOffset], wire::kPacketDrop);
      EXPECT_EQ(drop[wire::kDropReasonOffset], k.drop);
      EXPECT_TRUE(testing::readBytes(c.client, 1).empty());
    }
    // A ban is written to the report log.
    const std::string log = testing::readFile(kReportLogFileName, true);
    EXPECT_EQ(log.ends_with(" - " + printed), k.drop == wire::kDropBanned) << log;
  }
}

TEST(ClientMessagesTest, OutdatedClientGetsTheImageInChunksBeforeAnyCheck) {
  for (std::size_t size : {2148u, 2048u}) {
    AttachedClient c;
    c.loadImage(7, size);
    c.session->clientVersion = 6;
    joinClient(*c.t.game, *c.session, c.t.now);
    EXPECT_EQ(c.output.text(), "Init autoupdate\n");
    Bytes announce = c.readFrame();
    ASSERT_EQ(announce.size(), 16u);
    EXPECT_EQ(announce[wire::kFrameIdOffset], wire::kPacketUpdateAnnounce);
    EXPECT_EQ(loadLe16(&announce[wire::kUpdateAnnounceVersionOffset]), 7);
    EXPECT_EQ(loadLe32(&announce[wire::kUpdateAnnounceSizeOffset]), size);

    c.step(wire::kUpdateChunkIntervalMs);
    EXPECT_TRUE(testing::nothingArrives(c.client, 50));
    Bytes image;
    // Even with the clock far past the first check, chunks come first.
    for (int chunks = 0; c.session->updating && chunks < 4; ++chunks) {
      c.step(31000);
      Bytes chunk = c.readFrame();
      ASSERT_EQ(chunk.size(), 1032u);
      EXPECT_EQ(chunk[wire::kFrameIdOffset], wire::kPacketUpdateChunk);
      const std::uint16_t count = loadLe16(&chunk[wire::kUpdateChunkCountOffset]);
      EXPECT_EQ(count, std::min<std::size_t>(1024, size - image.size()));
      image.insert(image.end(), chunk.begin() + 4, chunk.begin() + 4 + count);
    }
    EXPECT_EQ(image, Bytes(c.update.clientImageData.get(), c.update.clientImageData.get() + size));
    c.step(1);
    EXPECT_EQ(c.readFrame().size(), 240u);  // the check request, at last
  }
}

TEST(ClientMessagesTest, CurrentClientOrNoImageMeansNoTransfer) {
  AttachedClient c;
  c.session->clientVersion = 5;
  joinClient(*c.t.game, *c.session, c.t.now);
  c.loadImage(5, 100);
  startUpdate(*c.session, c.t.now);
  EXPECT_FALSE(c.session->updating);
  EXPECT_TRUE(testing::nothingArrives(c.client, 50));
  EXPECT_EQ(c.output.text(), "");
}

TEST(ClientMessagesTest, NewImageDuringATransferStartsItOver) {
  AttachedClient c;
  c.loadImage(7, 3000);
  c.session->clientVersion = 5;
  joinClient(*c.t.game, *c.session, c.t.now);
  for (int i = 0; i < 2; ++i) c.step(wire::kUpdateChunkIntervalMs + 1);
  for (int i = 0; i < 3; ++i) c.readFrame();
  c.loadImage(8, 300);
  c.step(wire::kUpdateChunkIntervalMs + 1);
  Bytes announce = c.readFrame();
  ASSERT_EQ(announce.size(), 16u);
  EXPECT_EQ(loadLe16(&announce[wire::kUpdateAnnounceVersionOffset]), 8);
  EXPECT_EQ(loadLe32(&announce[wire::kUpdateAnnounceSizeOffset]), 300u);
  c.step(wire::kUpdateChunkIntervalMs + 1);
  Bytes chunk = c.readFrame();
  ASSERT_EQ(chunk.size(), 1032u);
  EXPECT_EQ(loadLe16(&chunk[wire::kUpdateChunkCountOffset]), 300);
  EXPECT_TRUE(std::equal(chunk.begin() + 4, chunk.begin() + 304, c.update.clientImageData.get()));
  EXPECT_FALSE(c.session->updating);
}

}  // namespace
}  // namespace kestrin
