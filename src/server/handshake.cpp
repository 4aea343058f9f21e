#include "server/handshake.h"

#include <cstdio>
#include <mutex>

#include "client/client_session.h"
#include "client/key_record.h"
#include "core/byte_order.h"
#include "core/print.h"
#include "crypto/secure_wipe.h"
#include "game/command_queue.h"
#include "game/game_server.h"
#include "server/server.h"

namespace kestrin {
namespace {

// Prints the refusal the first time only: the frame is offered again with
// every read of the session.
bool refuse(ClientSession& session, const char* message) {
  if (!session.refusalPrinted) printMessage("%s", message);
  session.refusalPrinted = true;
  return false;
}

}  // namespace

bool Server::dispatchHandshake(std::uint32_t index, const std::uint8_t* frame) {
  if (index >= pendingCount) return false;
  ClientSession& session = *pendingSessions[index];
  const std::uint16_t length = loadLe16(frame + wire::kFrameLengthOffset);

  switch (frame[wire::kFrameIdOffset]) {
    case wire::kPacketHello: {
      if (length != wire::kHandshakeFrameSize) return refuse(session, "Packet size error\n");
      if (session.state != SessionState::kAwaitingHello) return refuse(session, "Didn't expect message 1\n");
      RsaPublicKey key = {};
      readRsaPublicKey(frame + wire::kHelloKeyOffset, kRsaPublicKeySize, key);
      // A key that cannot carry the key record could never be answered.
      if (!rsaValidatePublicKey(key, wire::kKeyRecordSize)) {
        printMessage("Client: Unusable client key [bits: %d]\n", static_cast<int>(key.bits));
        session.disconnect();
        return false;
      }
      session.clientKey = key;
      session.clientVersion = loadLe16(frame + wire::kHelloVersionOffset);
      session.state = SessionState::kAwaitingKey;
      requestUsersEverywhere(*this);
      if (!session.sendKey(*keyRandom)) {
        printMessage("Error: Could not draw a session key\n");
        session.disconnect();
        return false;
      }
      session.removeFrame();
      return true;
    }

    case wire::kPacketKey: {
      if (session.state != SessionState::kAwaitingKey) return refuse(session, "Didn't expect message 2\n");
      const std::uint32_t cipherLength = loadLe32(frame + wire::kKeyFrameCipherLengthOffset);
      if (cipherLength > wire::kMaxCipherLength) return refuse(session, "Packet error\n");
      if (length != wire::kHandshakeFrameSize) return refuse(session, "Packet size error\n");

      std::uint8_t plain[kRsaMaxModulusLength];
      std::uint32_t plainLength = 0;
      int result = rsaPrivateDecrypt(plain, &plainLength, frame + wire::kKeyFrameCipherOffset,
                                     cipherLength, privateKey);
      if (result != kRsaOk || plainLength != wire::kKeyRecordSize) {
        secureWipe(plain);
        return refuse(session, "Protocolkey packet error\n");
      }
      KeyRecord record = readKeyRecord(plain);
      secureWipe(plain);
      return acceptKeyRecord(index, record);
    }

    default:
      return refuse(session, "Unknown packet id\n");
  }
}

bool Server::acceptKeyRecord(std::uint32_t index, KeyRecord& record) {
  ClientSession& session = *pendingSessions[index];
  if (record.keyLength < 1 || record.keyLength > wire::kKeyRecordKeyCapacity) {
    secureWipe(record);
    return refuse(session, "Protocolkey length error\n");
  }
  GameServer* game = findGameOfUser(*this, record.userId, record.wonId);
  if (game == nullptr) {
    char message[96];
    std::snprintf(message, sizeof message, "Client that's not in a game connected [wonId: %d userId: %d]\n",
                  static_cast<int>(record.wonId), static_cast<int>(record.userId));
    secureWipe(record);
    return refuse(session, message);
  }

  session.userId = record.userId;
  session.wonId = record.wonId;
  session.listedFileCount = game->checksumList.checkFileCount;
  session.state = SessionState::kKeyed;
  ++clientsKeyed;
  blowfishSetKey(session.receiveCipher, record.key, static_cast<int>(record.keyLength));
  secureWipe(record);
  session.removeFrame();
  session.decipherHeldBytes();
  removePendingSession(index, false);
  if (!admitClient(*game, &session, clockNow)) {
    session.sendDropNotice(wire::kDropKicked);
    session.disconnect();
    delete &session;
    return true;
  }
  printMessage("Adding user userId: %d wonId: %d\n", static_cast<int>(session.userId),
               static_cast<int>(session.wonId));
  return true;
}

GameServer* findGameOfUser(Server& server, std::uint32_t userId, std::uint32_t wonId) {
  for (std::uint32_t i = 0; i < server.gameCount; ++i) {
    GameServer& game = server.games[i];
    std::lock_guard<std::mutex> lock(game.players.mutex);
    if (listsUser(game.players, userId, wonId)) return &game;
  }
  return nullptr;
}

void requestUsersEverywhere(Server& server) {
  for (std::uint32_t i = 0; i < server.gameCount; ++i)
    queueCommand(server.games[i], RconCommandId::Users, "");
}

}  // namespace kestrin
