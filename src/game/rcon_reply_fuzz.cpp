// Every reader of remote-console replies on arbitrary bytes; the first byte
// picks one: 0 the challenge answer; 1 a console
// variable reply with the marker cleaning and new value of the connect step;
// 2 the assembly of datagrams held back to back (the rest split at each
// 0x0A 0x0B pair); 3 a "status" reply into a table kept across inputs, and
// one status line; 4 a "users" reply and one users line.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/wire.h"
#include "game/player_polling.h"
#include "game/player_tables.h"
#include "rcon/contact_marker.h"
#include "rcon/rcon_link.h"
#include "rcon/reply_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > kestrin::wire::kRconBufferSize) return 0;
  static auto* tables = new kestrin::PlayerTables();
  const std::string text = "l" + std::string(reinterpret_cast<const char*>(data + 1), size - 1);
  char name[kestrin::kCvarValueSize] = {};
  char value[kestrin::kCvarValueSize] = {};
  std::uint32_t number = 0;
  switch (data[0] % 5) {
    case 0:
      kestrin::parseChallenge(text.c_str() + 1, &number);
      break;
    case 1:
      kestrin::parseCvarReply(text.c_str(), name, value);
      if (kestrin::cleanContactValue(value)) kestrin::formatContactValue(value, "255.255.255.255", name);
      break;
    case 2: {
      std::vector<std::uint32_t> ends;
      std::vector<std::uint8_t> buffer;
      for (std::size_t i = 1; i < size; ++i) {
        if (i + 1 < size && data[i] == 0x0A && data[i + 1] == 0x0B && ends.size() + 1 < kestrin::kMaxReplyDatagrams) {
          ends.push_back(static_cast<std::uint32_t>(buffer.size()));
          ++i;
        } else {
          buffer.push_back(data[i]);
        }
      }
      ends.push_back(static_cast<std::uint32_t>(buffer.size()));
      std::vector<char> reply(buffer.size() + 2);
      if (kestrin::assembleReply(buffer.data(), buffer.size(), ends.data(), ends.size(), reply.data(), reply.size()) &&
          std::strlen(reply.data()) >= reply.size())
        __builtin_trap();
      break;
    }
    case 3: {
      kestrin::parseStatusReply(*tables, text.c_str());
      kestrin::StatusLine row;
      kestrin::parseStatusLine(text.c_str() + 1, &row);
      // Now and then from an empty table, so that fresh and full tables both occur.
      if (size % 7 == 0) {
        delete tables;
        tables = new kestrin::PlayerTables();
      }
      break;
    }
    default: {
      kestrin::parseUsersReply(*tables, text.c_str());
      kestrin::UserRecord row;
      kestrin::parseUsersLine(text.c_str() + 1, &row);
    }
  }
  return 0;
}
