#include "game/client_messages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "client/client_session.h"
#include "core/byte_order.h"
#include "core/clock.h"
#include "core/print.h"
#include "game/game_server.h"
#include "game/player_tables.h"
#include "game/report_log.h"
#include "rcon/command_queue.h"
#include "update/updater.h"

namespace kestrin {
namespace {

// The player's name from the game's user table, or the placeholder.
void playerName(const ClientSession& session, char* out) {
  if (!userName(*session.game, session.userId, session.wonId, out))
    std::snprintf(out, kPlayerNameSize, "%s", kUnknownPlayerName);
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
  if (!(session.nextUpdateChunkTime < now)) return;
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

void sendCheckRequest(ClientSession& session) {
  const CheckIdList& checks = *session.checkIdList;
  const ChecksumList& files = session.game->checksumList;
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
void verdict(ClientSession& session, const char* message) {
  GameServer& game = *session.game;
  queueCommand(game, RconCommandId::Say, message);
  writeReport(session, message);
  printMessage("%s\n", message);
  banClient(session, kVerdictBanMinutes);
  queueKick(game, session.userId);
}

void evaluateAnswer(ClientSession& session) {
  GameServer& game = *session.game;
  char name[kPlayerNameSize];
  char message[kClientMessageSize];
  if (session.checkAnswered == 0) {
    printMessage("Client packet timeout......\n");
    queueCommand(game, RconCommandId::Say, "Client packet timeout");
    kickClient(session);
    return;
  }
  const CheckIdList& checks = *session.checkIdList;
  const std::size_t idCount = std::min<std::size_t>(checks.checkIdCount, wire::kMaxCheckIds);
  for (std::size_t i = 0; i < idCount; ++i) {
    if (checks.checkExpected[i] == session.checkAnswers[i]) continue;
    playerName(session, name);
    std::snprintf(message, sizeof message, "(BETA) %s is a possible cheater (ID #%d) - kicking", name,
                  static_cast<int>(i));
    verdict(session, message);
    return;
  }
  const ChecksumList& files = game.checksumList;
  const std::size_t fileCount = std::min<std::size_t>(files.checkFileCount, wire::kMaxCheckFiles);
  for (std::size_t i = 0; i < fileCount; ++i) {
    if (files.checkFileDigests[i] == session.fileDigests[i]) continue;
    playerName(session, name);
    std::snprintf(message, sizeof message, "%s is using a modified model or dll (%s) - kicking", name,
                  files.checkFileNames[i]);
    verdict(session, message);
    return;
  }
  session.checkAnswered = 0;
  if (session.authenticated) return;
  session.authenticated = true;
  playerName(session, name);
  std::snprintf(message, sizeof message, "%s has been Kestrin authenticated", name);
  queueCommand(game, RconCommandId::Say, message);
}

}  // namespace

bool clientStep(ClientSession& session, std::uint32_t now) {
  if (session.closed) return false;
  if (session.updating) {
    sendUpdateChunk(session, now);
    return true;
  }
  if (timerExpired(session.nextCheckTime, now)) {
    session.nextCheckTime = now + kCheckIntervalMs;
    session.checkDeadline = now + kCheckAnswerWaitMs;
    sendCheckRequest(session);
  }
  if (timerExpired(session.checkDeadline, now)) {
    session.checkDeadline = 0;
    evaluateAnswer(session);
  }
  return true;
}

void joinClient(ClientSession& session, std::uint32_t now) {
  session.joined = true;
  char name[kPlayerNameSize];
  char message[kClientMessageSize];
  playerName(session, name);
  std::snprintf(message, sizeof message, "%s has joined with the Kestrin client", name);
  queueCommand(*session.game, RconCommandId::Say, message);
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

void sendDropNotice(ClientSession& session, wire::DropReason reason) {
  std::uint8_t frame[wire::kDropNoticeSize] = {};
  frame[wire::kFrameIdOffset] = wire::kPacketDrop;
  storeLe16(frame + wire::kFrameLengthOffset, wire::kDropNoticeSize);
  frame[wire::kDropReasonOffset] = reason;
  session.sendFrame(frame);
}

void kickClient(ClientSession& session) {
  sendDropNotice(session, wire::kDropKicked);
  queueKick(*session.game, session.userId);
  session.disconnect();
}

void banClient(ClientSession& session, int minutes) {
  sendDropNotice(session, wire::kDropBanned);
  queueBan(*session.game, session.wonId, minutes);
  session.disconnect();
}

}  // namespace kestrin
