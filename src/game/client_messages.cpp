#include "game/client_messages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "client/client_session.h"
#include "core/byte_order.h"
#include "core/clock.h"
#include "core/print.h"
#include "game/command_queue.h"
#include "game/game_server.h"
#include "game/player_tables.h"
#include "game/report_log.h"
#include "update/updater.h"

namespace kestrin {
namespace {

// The player's name from the game's user table, or the placeholder.  The
// caller holds the tables' mutex.
void playerName(const PlayerTables& tables, const ClientSession& session, char* out) {
  if (!userName(tables, session.userId, session.wonId, out))
    std::snprintf(out, kPlayerNameSize, "%s", kUnknownPlayerName);
}

void lockedPlayerName(const GameServer& game, const ClientSession& session, char* out) {
  std::lock_guard<std::mutex> lock(game.players.mutex);
  playerName(game.players, session, out);
}

void sendAnnounce(ClientSession& session) {
  std::uint8_t frame[wire::kUpdateAnnounceSize] = {};
  frame[wire::kFrameIdOffset] = wire::kPacketUpdateAnnounce;
  storeLe16(frame + wire::kFrameLengthOffset, wire::kUpdateAnnounceSize);
  storeLe16(frame + wire::kUpdateAnnounceVersionOffset, session.updateVersion);
  storeLe32(frame + wire::kUpdateAnnounceSizeOffset, session.update->clientImageSize);
  session.sendFrame(frame);
}

void sendUpdateChunk(ClientSession& session, std::uint32_t now) {
  if (!timeAfter(now, session.nextUpdateChunkTime)) return;
  const UpdateState& update = *session.update;
  if (update.clientImageVersion.load() != session.updateVersion) {
    // A newer image was installed under the transfer: start over with it.
    session.updating = false;
    startUpdate(session, now);
    return;
  }
  session.nextUpdateChunkTime = now + wire::kUpdateChunkIntervalMs;
  const std::uint32_t count = std::min<std::uint32_t>(update.clientImageSize - session.updateOffset,
                                                      wire::kUpdateChunkCapacity);
  std::uint8_t frame[wire::kUpdateChunkSize] = {};
  frame[wire::kFrameIdOffset] = wire::kPacketUpdateChunk;
  storeLe16(frame + wire::kFrameLengthOffset, wire::kUpdateChunkSize);
  std::memcpy(frame + wire::kUpdateChunkDataOffset, update.clientImageData.get() + session.updateOffset, count);
  storeLe16(frame + wire::kUpdateChunkCountOffset, static_cast<std::uint16_t>(count));
  session.sendFrame(frame);
  session.updateOffset += count;
  if (session.updateOffset >= update.clientImageSize) session.updating = false;
}

void sendCheckRequest(const GameServer& game, ClientSession& session) {
  const CheckIdList& checks = *session.checkIdList;
  const ChecksumList& files = game.checksumList;
  const std::size_t idCount = std::min<std::size_t>(checks.checkIdCount, wire::kMaxCheckIds);
  const std::size_t fileCount = std::min<std::size_t>(files.checkFileCount, wire::kMaxCheckFiles);
  std::uint8_t frame[wire::kCheckRequestSize] = {};
  frame[wire::kFrameIdOffset] = wire::kPacketCheck;
  storeLe16(frame + wire::kFrameLengthOffset, wire::kCheckRequestSize);
  storeLe16(frame + wire::kCheckRequestIdCountOffset, static_cast<std::uint16_t>(idCount));
  for (std::size_t i = 0; i < idCount; ++i) storeLe32(frame + wire::kCheckRequestIdsOffset + 4 * i, checks.checkIds[i]);
  storeLe16(frame + wire::kCheckRequestFileCountOffset, static_cast<std::uint16_t>(fileCount));
  for (std::size_t i = 0; i < fileCount; ++i) {
    storeLe32(frame + wire::kCheckRequestSeedsOffset + 4 * i, files.checkFileSeeds[i]);
    frame[wire::kCheckRequestKindsOffset + i] = files.checkFileKinds[i];
  }
  session.sendFrame(frame);
}

// Said on the game, written to the report log and printed; then a five-minute
// ban and a kick.
void verdict(GameServer& game, ClientSession& session, const char* message) {
  ++game.verdicts;
  queueCommand(game, RconCommandId::Say, message);
  writeReport(game, session, message);
  printMessage("%s\n", message);
  banClient(game, session, kVerdictBanMinutes);
  queueKick(game, session.userId);
}

void evaluateAnswer(GameServer& game, ClientSession& session) {
  char name[kPlayerNameSize];
  char message[kClientMessageSize];
  if (session.checkAnswered == 0) {
    printMessage("Client packet timeout......\n");
    queueCommand(game, RconCommandId::Say, "Client packet timeout");
    kickClient(game, session);
    return;
  }
  const CheckIdList& checks = *session.checkIdList;
  const std::size_t idCount = std::min<std::size_t>(checks.checkIdCount, wire::kMaxCheckIds);
  for (std::size_t i = 0; i < idCount; ++i) {
    if (checks.checkExpected[i] == session.checkAnswers[i]) continue;
    lockedPlayerName(game, session, name);
    std::snprintf(message, sizeof message, "(BETA) %s is a possible cheater (ID #%d) - kicking", name,
                  static_cast<int>(i));
    verdict(game, session, message);
    return;
  }
  const ChecksumList& files = game.checksumList;
  const std::size_t fileCount = std::min<std::size_t>(files.checkFileCount, wire::kMaxCheckFiles);
  for (std::size_t i = 0; i < fileCount; ++i) {
    if (files.checkFileDigests[i] == session.fileDigests[i]) continue;
    lockedPlayerName(game, session, name);
    std::snprintf(message, sizeof message, "%s is using a modified model or dll (%s) - kicking", name,
                  files.checkFileNames[i]);
    verdict(game, session, message);
    return;
  }
  session.checkAnswered = 0;
  ++game.checksPassed;
  platform::localTimeNow(&session.lastCheckPassed);
  if (session.authenticated) return;
  session.authenticated = true;
  lockedPlayerName(game, session, name);
  std::snprintf(message, sizeof message, "%s has been Kestrin authenticated", name);
  queueCommand(game, RconCommandId::Say, message);
}

}  // namespace

bool clientStep(GameServer& game, ClientSession& session, std::uint32_t now) {
  if (session.closed) return false;
  // Checks, and so verdicts, only for a session joined to its player.
  if (!session.joined) return true;
  if (session.updating) {
    sendUpdateChunk(session, now);
    return true;
  }
  if (timerExpired(session.nextCheckTime, now)) {
    session.nextCheckTime = now + kCheckIntervalMs;
    session.checkDeadline = now + kCheckAnswerWaitMs;
    sendCheckRequest(game, session);
  }
  if (timerExpired(session.checkDeadline, now)) {
    session.checkDeadline = 0;
    evaluateAnswer(game, session);
  }
  return true;
}

void joinClient(GameServer& game, ClientSession& session, std::uint32_t now) {
  session.joined = true;
  char name[kPlayerNameSize];
  char message[kClientMessageSize];
  playerName(game.players, session, name);
  std::snprintf(message, sizeof message, "%s has joined with the Kestrin client", name);
  queueCommand(game, RconCommandId::Say, message);
  session.nextCheckTime = now + kCheckIntervalMs;
  startUpdate(session, now);
}

void startUpdate(ClientSession& session, std::uint32_t now) {
  const UpdateState* update = session.update;
  if (update == nullptr || !update->clientImageData || update->clientImageSize == 0) return;
  const std::uint16_t version = update->clientImageVersion.load();
  if (!(session.clientVersion < version)) return;
  session.updating = true;
  session.updateOffset = 0;
  session.updateVersion = version;
  session.nextUpdateChunkTime = now + wire::kUpdateChunkIntervalMs;
  sendAnnounce(session);
  printMessage("Init autoupdate\n");
}

void kickClient(GameServer& game, ClientSession& session) {
  session.sendDropNotice(wire::kDropKicked);
  queueKick(game, session.userId);
  session.disconnect();
}

void banClient(GameServer& game, ClientSession& session, int minutes) {
  session.sendDropNotice(wire::kDropBanned);
  queueBan(game, session.wonId, minutes);
  session.disconnect();
}

}  // namespace kestrin
