// Every reader of remote-console replies on arbitrary bytes; the first byte
// picks the reader:
//   0 the challenge answer and the dotted address reader;
//   1 a console-variable reply, then the marker cleaning and the new value,
//     as the connect step runs them on the "sv_contact" reply;
//   2 the collection of a reply: datagrams (the rest split at each 0x0A 0x0B
//     pair, an unlikely pair in replies) held back to back and assembled;
//   3 a whole "status" reply into a player table kept across inputs, and one
//     status line;
//   4 a whole "users" reply into the user table, and one users line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/wire.h"
#include "game/game_server.h"
#include "rcon/game_thread.h"
#include "rcon/player_polling.h"
#include "rcon/rcon_transport.h"

namespace {

void assemble(const std::uint8_t* data, std::size_t size) {
  if (size > kestrin::wire::kRconBufferSize) return;
  std::vector<std::uint32_t> ends;
  std::vector<std::uint8_t> buffer;
  for (std::size_t i = 0; i < size; ++i) {
    if (i + 1 < size && data[i] == 0x0A && data[i + 1] == 0x0B && ends.size() < kestrin::kMaxReplyDatagrams) {
      ends.push_back(static_cast<std::uint32_t>(buffer.size()));
      ++i;
      continue;
    }
    buffer.push_back(data[i]);
  }
  ends.push_back(static_cast<std::uint32_t>(buffer.size()));
  std::vector<char> reply(buffer.size() + 2);
  if (kestrin::assembleReply(buffer.data(), buffer.size(), ends.data(), ends.size(), reply.data(), reply.size()) &&
      std::strlen(reply.data()) >= reply.size())
    __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static auto* game = new kestrin::GameServer();
  const std::string text = "l" + std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 5) {
    case 0: {
      std::uint32_t value = 0;
      kestrin::parseChallenge(text.c_str() + 1, &value);
      kestrin::parseIpv4Address(text.c_str() + 1, &value);
      break;
    }
    case 1: {
      char name[kestrin::kCvarValueSize] = {};
      char value[kestrin::kCvarValueSize] = {};
      kestrin::parseCvarReply(text.c_str(), name, value);
      char out[kestrin::kContactValueSize];
      if (kestrin::cleanContactValue(value)) kestrin::formatContactValue(value, "255.255.255.255", out);
      break;
    }
    case 2:
      assemble(data + 1, size - 1);
      break;
    case 3: {
      kestrin::parseStatusReply(*game, text.c_str());
      kestrin::StatusRecord row;
      kestrin::parseStatusLine(text.c_str() + 1, &row);
      // Start from an empty table now and then, so that both fresh and full
      // tables are exercised.
      if (size % 7 == 0) {
        delete game;
        game = new kestrin::GameServer();
      }
      break;
    }
    default: {
      kestrin::parseUsersReply(*game, text.c_str());
      kestrin::UserRecord row;
      kestrin::parseUsersLine(text.c_str() + 1, &row);
      break;
    }
  }
  return 0;
}
