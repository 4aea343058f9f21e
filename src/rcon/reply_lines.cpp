#include "rcon/reply_lines.h"

#include <cstring>

#include "core/line_scanner.h"

namespace kestrin {
namespace {

// "# %d %*[\"]%[^\"]%*[\"] %d %u %d " up to the time column.
bool scanStatusHead(LineScanner& scan, StatusLine* row) {
  std::int32_t userId = 0;
  if (!scan.literal('#') || !scan.signedNumber(&row->slot)) return false;
  scan.blanks();
  if (!scan.run('"') || !scan.until('"', row->name, sizeof row->name) || !scan.run('"'))
    return false;
  if (!scan.signedNumber(&userId) || !scan.unsignedNumber(&row->wonId) ||
      !scan.signedNumber(&row->frags))
    return false;
  row->userId = static_cast<std::uint32_t>(userId);
  return true;
}

// " %d %d %d.%d.%d.%d:%d" behind the time column.
bool scanStatusTail(LineScanner& scan, StatusLine* row) {
  std::int32_t ip[4] = {};
  if (!scan.signedNumber(&row->ping) || !scan.signedNumber(&row->loss)) return false;
  for (int i = 0; i < 4; ++i) {
    if (i > 0 && !scan.literal('.')) return false;
    if (!scan.signedNumber(&ip[i])) return false;
  }
  if (!scan.literal(':') || !scan.signedNumber(&row->port)) return false;
  for (int i = 0; i < 4; ++i) row->ip[i] = static_cast<std::uint8_t>(ip[i]);
  return true;
}

}  // namespace

bool nextLine(const char** cursor, char* line) {
  const char* end = std::strchr(*cursor, '\n');
  if (end == nullptr) return false;
  auto length = static_cast<std::size_t>(end - *cursor);
  if (length >= kReplyLineSize) length = 0;
  std::memcpy(line, *cursor, length);
  line[length] = '\0';
  *cursor = end + 1;
  return true;
}

bool parseStatusLine(const char* line, StatusLine* row) {
  StatusLine parsed;
  LineScanner scan(line);
  if (!scanStatusHead(scan, &parsed) || !scan.signedNumber(&parsed.minutes) ||
      !scan.literal(':') || !scan.signedNumber(&parsed.seconds) ||
      !scanStatusTail(scan, &parsed)) {
    // The second form, from one hour on: h:mm:ss.
    LineScanner again(line);
    parsed = StatusLine{};
    if (!scanStatusHead(again, &parsed) || !again.signedNumber(&parsed.hours) ||
        !again.literal(':') || !again.signedNumber(&parsed.minutes) || !again.literal(':') ||
        !again.signedNumber(&parsed.seconds) || !scanStatusTail(again, &parsed))
      return false;
  }
  *row = parsed;
  return true;
}

bool parseUsersLine(const char* line, UserRecord* row) {
  LineScanner scan(line);
  UserRecord parsed;
  std::int32_t userId = 0;
  if (!scan.signedNumber(&userId)) return false;
  scan.blanks();
  if (!scan.literal(':') || !scan.unsignedNumber(&parsed.wonId)) return false;
  scan.blanks();
  if (!scan.literal(':')) return false;
  scan.blanks();
  if (!scan.until('\n', parsed.name, sizeof parsed.name)) return false;
  parsed.userId = static_cast<std::uint32_t>(userId);
  *row = parsed;
  return true;
}

}  // namespace kestrin
