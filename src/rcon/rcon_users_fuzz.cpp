// A whole "users" reply into the user table, and a single users line.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "game/game_server.h"
#include "rcon/player_polling.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static auto* game = new kestrin::GameServer();
  std::string text = "l" + std::string(reinterpret_cast<const char*>(data), size);
  kestrin::parseUsersReply(*game, text.c_str());
  kestrin::UserRecord row;
  kestrin::parseUsersLine(text.c_str() + 1, &row);
  return 0;
}
