// The lines of the game server's "status" and "users" replies: one player
// each, read into the row types that the player and user tables keep.  The
// readers are pure and may be used from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin {

inline constexpr std::size_t kReplyLineSize = 256;
inline constexpr std::size_t kPlayerNameSize = 256;

// The fields of one player line of a "status" reply.
struct StatusLine {
  std::int32_t slot = 0;
  char name[kPlayerNameSize] = {};
  std::uint32_t userId = 0;
  std::uint32_t wonId = 0;
  std::int32_t frags = 0;
  std::int32_t hours = 0;  // 0 when the time column is minutes:seconds
  std::int32_t minutes = 0;
  std::int32_t seconds = 0;
  std::int32_t ping = 0;
  std::int32_t loss = 0;
  std::uint8_t ip[4] = {};  // a.b.c.d in text order
  std::int32_t port = 0;
};

// One row of a "users" reply.
struct UserRecord {
  std::uint32_t userId = 0;
  std::uint32_t wonId = 0;
  char name[kPlayerNameSize] = {};
};

// Takes the next line-feed-terminated line from *cursor into `line`
// (kReplyLineSize bytes) and moves the cursor behind it.  A line longer
// than 255 characters comes out empty, so that no parser sees half of it.
// False, with the cursor left, when no complete line is left.
bool nextLine(const char** cursor, char* line);

// One player line of a "status" reply, in either time form
// ("# 1 "Name" 12 345678 3 01:25 48 0 1.2.3.4:27005" or with h:mm:ss).
// False, with `row` untouched, for any other line.
bool parseStatusLine(const char* line, StatusLine* row);

// One row of a "users" reply ("12 : 345678 : Name"); false for any other line.
bool parseUsersLine(const char* line, UserRecord* row);

}  // namespace kestrin
