// Feeds arbitrary frames to a keyed session attached to a game, enciphered
// with the session's fixed key so that the fuzzer shapes what the keyed
// dispatch sees.  The first byte picks the size of the pieces the bytes
// arrive in.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "client/client_session.h"
#include "core/check_list.h"
#include "game/game_server.h"

namespace {

using namespace kestrin;

const std::uint8_t kKey[] = {0x0F, 0x1E, 0x2D, 0x3C, 0x4B, 0x5A, 0x69, 0x78, 0x87, 0x96, 0xA5};

struct Setup {
  std::uint32_t now = 100000;
  CheckList checks;
  std::unique_ptr<GameServer> game = std::make_unique<GameServer>();
  BlowfishKey cipher{};
  Setup() {
    checks.checkIdCount = 6;
    game->clock = &now;
    game->checksumList.checkFileCount = 3;
    blowfishSetKey(cipher, kKey, sizeof kKey);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Setup setup;
  if (size == 0) return 0;
  const std::size_t chunk = 1 + data[0] % 64;
  std::vector<std::uint8_t> stream(data + 1, data + size);
  blowfishEncipher(setup.cipher, stream.data(), stream.data(), static_cast<std::uint32_t>(stream.size()));

  auto session = std::make_unique<ClientSession>();
  session->clock = &setup.now;
  session->checkList = &setup.checks;
  session->game = setup.game.get();
  session->state = SessionState::kKeyed;
  blowfishSetKey(session->receiveCipher, kKey, sizeof kKey);

  for (std::size_t at = 0; at < stream.size() && !session->closed; at += chunk) {
    const std::size_t length = stream.size() - at < chunk ? stream.size() - at : chunk;
    if (session->receiveBytes(stream.data() + at, length) != nullptr) __builtin_trap();
    if (session->receiveCount >= 8 || session->frameCount >= wire::kSessionBufferSize) __builtin_trap();
  }
  return 0;
}
