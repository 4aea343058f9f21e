// A whole "status" reply, as the game thread parses it into the player
// table, and its lines one by one.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "game/game_server.h"
#include "rcon/player_polling.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto* game = new kestrin::GameServer();
  std::string text = "l" + std::string(reinterpret_cast<const char*>(data), size);
  kestrin::parseStatusReply(*game, text.c_str());
  kestrin::StatusRecord row;
  kestrin::parseStatusLine(text.c_str() + 1, &row);
  // Start each input from an empty table now and then, so that both fresh
  // and full tables are exercised.
  if (size % 7 == 0) {
    delete game;
    game = new kestrin::GameServer();
  }
  return 0;
}
