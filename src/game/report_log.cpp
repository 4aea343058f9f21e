#include "game/report_log.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "client/client_session.h"
#include "core/print.h"
#include "game/game_server.h"
#include "game/player_tables.h"

namespace kestrin {

std::size_t formatReportLine(char* out, const platform::LocalTime& time, const StatusLine& row,
                             const char* message) {
  int length = std::snprintf(out, kReportLineSize,
                             "[%02d.%02d.%04d %02d:%02d:%02d] \"%s\" (%d) %d.%d.%d.%d:%d - %s\n", time.day,
                             time.month, time.year, time.hour, time.minute, time.second, row.name,
                             static_cast<int>(row.wonId), row.ip[0], row.ip[1], row.ip[2], row.ip[3],
                             static_cast<int>(row.port), message);
  if (length < 0) {
    out[0] = '\0';
    return 0;
  }
  if (static_cast<std::size_t>(length) < kReportLineSize) return static_cast<std::size_t>(length);
  // Cut: the line still ends where a line ends.
  out[kReportLineSize - 2] = '\n';
  return kReportLineSize - 1;
}

bool appendReportLine(const char* path, const char* line) {
  std::FILE* file = std::fopen(path, "a");
  if (file == nullptr) return false;
  std::fwrite(line, 1, std::strlen(line), file);
  std::fclose(file);
  return true;
}

void writeReport(const GameServer& game, const ClientSession& session, const char* message) {
  StatusLine row;
  bool found = false;
  {
    std::lock_guard<std::mutex> lock(game.players.mutex);
    int index = findStatus(game.players, session.userId, session.wonId);
    if (index >= 0) {
      row = game.players.statusRecords[index];
      found = true;
    }
  }
  if (!found) {
    printMessage("Internal error, could not find report log player info\n");
    return;
  }
  platform::LocalTime now;
  platform::localTimeNow(&now);
  char line[kReportLineSize];
  formatReportLine(line, now, row, message);
  if (!appendReportLine(kReportLogFileName, line))
    printMessage("Internal error, could not open kestrin.log\n");
}

}  // namespace kestrin
