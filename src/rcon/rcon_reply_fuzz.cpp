// The collection of a reply: arbitrary datagrams (the input split at each
// 0x0A 0x0B pair, an unlikely pair in replies) held back to back, then
// assembled as the wait does.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/wire.h"
#include "game/game_server.h"
#include "rcon/rcon_transport.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kestrin::wire::kRconBufferSize) return 0;
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
  kestrin::findReplyStart(buffer.data(), buffer.size());
  if (kestrin::assembleReply(buffer.data(), buffer.size(), ends.data(), ends.size(), reply.data(), reply.size()))
    if (std::strlen(reply.data()) >= reply.size()) __builtin_trap();
  return 0;
}
