// Shared setup of the client end-to-end tests: simulated game servers with
// their players, a host configured to watch them, simulated clients and raw
// client connections.  Linux only; test code.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/byte_order.h"
#include "core/wire.h"
#include "crypto/rsa.h"
#include "digest/checksum_list.h"
#include "e2e/e2e_support.h"
#include "e2e/monitoring_support.h"
#include "sim/client_sim.h"
#include "sim/game_server_sim.h"

namespace kestrin::e2e {

// A simulated game server on `port` with `players`.
inline std::unique_ptr<sim::GameServerSim> startGame(std::uint16_t port,
                                                     const std::vector<sim::SimPlayer>& players) {
  sim::GameServerSim::Options options;
  options.port = port;
  auto game = std::make_unique<sim::GameServerSim>(options);
  for (const sim::SimPlayer& p : players) game->addPlayer(p);
  return game;
}

// Waits until `count` games have accepted the remote-console password.
inline bool waitForGames(const HostProcess& host, int count, int timeoutMs = 30000) {
  return waitUntil([&] { return host.countInOutput("Game: Rcon password accepted\n") >= count; }, timeoutMs);
}

inline sim::ClientSim::Options clientOptions(std::uint32_t userId, std::uint32_t wonId) {
  sim::ClientSim::Options options;
  options.userId = userId;
  options.wonId = wonId;
  return options;
}

// What a simulated client saw, for failure messages.
inline std::string eventsOf(const sim::ClientSim& client) {
  std::string text;
  for (const std::string& line : client.events()) text += line + "\n";
  return text;
}

// A raw connection to the server with its hello read and its key taken.
struct RawClient {
  sim::ClientConnection connection;
  RsaPublicKey serverKey = {};

  // Connects and reads the server hello; false when either fails.
  bool open() {
    if (!connection.connect(wire::kClientPort)) return false;
    sim::Bytes hello;
    if (connection.readFrame(&hello, 10000) != sim::ClientConnection::Read::kFrame) return false;
    if (hello.size() != wire::kHandshakeFrameSize || hello[wire::kFrameIdOffset] != wire::kPacketHello)
      return false;
    return readRsaPublicKey(hello.data() + wire::kHelloKeyOffset, wire::kRsaPublicKeySize, serverKey);
  }

  // Sends message 1 with `clientKey` and reads the key frame; its cipher
  // length, or -1 when none came.
  long long exchangeKeys(const RsaPublicKey& clientKey, std::uint16_t version = 1) {
    connection.sendFrame(testing::helloFrame(version, clientKey));
    sim::Bytes frame;
    if (connection.readFrame(&frame, 10000) != sim::ClientConnection::Read::kFrame) return -1;
    if (frame[wire::kFrameIdOffset] != wire::kPacketKey) return -1;
    return loadLe32(frame.data() + wire::kKeyFrameCipherLengthOffset);
  }
};

// A client key pair from the system's generator.
struct ClientKeys {
  RsaPublicKey publicKey = {};
  RsaPrivateKey privateKey = {};
  explicit ClientKeys(std::uint32_t bits) {
    rsaGenerateKeyPair(publicKey, privateKey, RsaKeyRequest{bits, 1}, systemRandomSource());
  }
};

// A checksum folder holding client.dll and player.mdl, the configuration
// lines that list them (library first), and the answers an honest client
// gives, computed with the server's own digest code.
struct CheckedFiles {
  std::string lines;
  std::map<std::uint32_t, std::uint32_t> digestsBySeed;
  ChecksumList list;

  explicit CheckedFiles(const ScratchDir& dir) {
    lines = checksumLines(dir) + "chkmdl player.mdl\n";
    std::string model(4096, '\0');
    for (std::size_t i = 0; i < model.size(); ++i) model[i] = static_cast<char>(i * 13 + 5);
    dir.write("player.mdl", model);
    list.addCheckFile(dir.path().c_str(), "client.dll", false);
    list.addCheckFile(dir.path().c_str(), "player.mdl", true);
    for (std::size_t i = 0; i < list.checkFileCount; ++i)
      digestsBySeed[list.checkFileSeeds[i]] = list.checkFileDigests[i];
  }
};

// A player connected for `seconds`, from his own address.
inline sim::SimPlayer playerAt(const std::string& name, std::uint32_t userId, std::uint32_t wonId,
                               const std::string& address, int seconds = 0) {
  sim::SimPlayer p = player(name, userId, wonId, seconds);
  p.address = address;
  return p;
}

}  // namespace kestrin::e2e
