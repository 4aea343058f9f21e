// The status file as tables, and files that are not status files.
#include "kestrin-status/status_report.h"

#include <gtest/gtest.h>

namespace kestrin::status {
namespace {

constexpr const char* kStatus = R"({
  "version": 1003, "started": "2026-12-06 22:47:12", "written": "2026-12-06 23:59:02",
  "masterTime": 1000000, "clientImage": 2,
  "games": [
    {"address": "192.0.2.10", "port": 27015, "externalIp": "203.0.113.5", "console": "ready",
     "lastPoll": "2026-12-06 23:58:57",
     "players": [
       {"name": "Alice", "userId": 13, "wonId": 513013, "connected": 3600, "client": "authenticated",
        "lastCheck": "2026-12-06 23:58:41"},
       {"name": "Dave", "userId": 11, "wonId": 511011, "connected": 85, "client": "notice given",
        "lastCheck": null}]},
    {"address": "192.0.2.11", "port": 27016, "externalIp": "203.0.113.5", "console": "refused",
     "lastPoll": null, "players": []}],
  "pending": [{"state": "awaiting key", "seconds": 3}],
  "counters": {"clientsKeyed": 7, "checksPassed": 130, "verdicts": 2, "bans": 3, "kicks": 4}
})";

TEST(StatusReportTest, PrintsTheServerItsGamesPlayersAndHandshakes) {
  std::string out, error;
  ASSERT_TRUE(renderStatus(kStatus, &out, &error)) << error;
  EXPECT_EQ(out,
            "Kestrin server 1003, started 2026-12-06 22:47:12; status of 2026-12-06 23:59:02\n"
            "Master time 1000000; client image version 2\n"
            "Since the start: 7 clients keyed, 130 checks passed, 2 verdicts, 3 bans, 4 kicks\n"
            "\n"
            "Game 192.0.2.10:27015, external address 203.0.113.5: console ready, last poll 2026-12-06 23:58:57\n"
            "  player  user id  WON id  connected  client         last check\n"
            "  Alice   13       513013  1:00:00    authenticated  2026-12-06 23:58:41\n"
            "  Dave    11       511011  1:25       notice given   -\n"
            "\n"
            "Game 192.0.2.11:27016, external address 203.0.113.5: console refused, last poll never\n"
            "  (no players)\n"
            "\n"
            "Clients in the handshake: 1\n"
            "  state         for\n"
            "  awaiting key  3 s\n");
}

TEST(StatusReportTest, RefusesWhatIsNoStatusFile) {
  const std::string whole = kStatus;
  const std::string broken[] = {
      "",
      whole.substr(0, whole.size() / 2),
      "[1, 2]",
      std::string(kStatus).replace(whole.find("\"counters\""), 10, "\"kounters\""),
      std::string(kStatus).replace(whole.find("1003"), 4, "\"1003\""),
      std::string(kStatus).replace(whole.find("3600"), 4, "-3600"),
  };
  for (const std::string& text : broken) {
    std::string out, error;
    EXPECT_FALSE(renderStatus(text, &out, &error)) << text;
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace kestrin::status
