#include "game/game_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "game/command_queue.h"
#include "support/game_test_support.h"
#include "support/output_capture.h"
#include "support/rcon_test_peer.h"

namespace kestrin {
namespace {

using Strings = std::vector<std::string>;

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    platform::sleepMilliseconds(20);
  }
  return true;
}

TEST(GameThreadTest, WatchUsesALocalPortFrom2001To2999AndStopsPromptly) {
  testing::OutputCapture output;
  // A peer that never answers: the thread waits for its challenge, then
  // pauses 30 s.
  testing::RconPeer peer([](const std::string&) { return Strings{}; });
  testing::TestGame t;
  std::strcpy(t.game->externalIp, "203.0.113.5");
  ASSERT_TRUE(startWatch(*t.game, "127.0.0.1", peer.port(), "pw", t.now));
  EXPECT_EQ(t.game->nextReconcileTime, t.now + 20000);
  std::uint16_t local = platform::localPort(t.game->link.socket);
  EXPECT_GE(local, 2001);
  EXPECT_LE(local, 2999);
  EXPECT_NE(output.text().find("Game: HLDS Remote console initalized [listen port: " + std::to_string(local) + "]\n"),
            std::string::npos);
  ASSERT_TRUE(waitFor([&] { return output.contains("Game: Rcon timed out\n"); }, 10000));

  auto before = std::chrono::steady_clock::now();
  stopWatch(*t.game);
  auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(t.game->link.socket, platform::kInvalidSocket);
}

TEST(GameThreadTest, RefusedCommandLeadsToAFreshChallenge) {
  testing::OutputCapture output;
  std::atomic<int> challenges{0};
  std::atomic<bool> refuse{false};
  testing::RconPeer peer([&](const std::string& request) {
    if (request == "challenge rcon")
      return Strings{testing::datagram("challenge rcon " + std::to_string(100 + ++challenges) + "\n")};
    if (refuse.load() && request.find("rcon 101 ") == 0)
      return Strings{testing::datagram("9No challenge for your address.\n"),
                     testing::datagram("lBad rcon_password.\nBad challenge.\n")};
    if (request.find("sv_contact ") != std::string::npos && request.back() == ' ')
      return Strings{testing::datagram("l\"sv_contact\" is \"\"\n")};
    return Strings{testing::datagram("l")};
  });
  testing::TestGame t;
  peer.aim(t.game->link);
  t.game->rconReady.store(false);
  std::strcpy(t.game->externalIp, "203.0.113.5");
  std::strcpy(t.game->link.password, "pw");

  gameThreadStep(*t.game);
  EXPECT_TRUE(t.game->link.connected);
  EXPECT_TRUE(t.game->rconReady.load());
  EXPECT_EQ(peer.requests().back(), "rcon 101 \"pw\" sv_contact \"{KESTRIN REQ}{203.0.113.5}\"");

  refuse.store(true);
  queueCommand(*t.game, RconCommandId::Say, "hi");
  // A stale challenge is no wrong password: no 30-second pause follows (a
  // watchdog would end one after 10 s).
  std::thread watchdog([&] {
    if (!waitFor([&] { return !refuse.load(); }, 10000)) t.game->stopSignal.request();
  });
  gameThreadStep(*t.game);
  const bool paused = t.game->stopSignal.requested();
  refuse.store(false);
  watchdog.join();
  EXPECT_FALSE(paused);
  EXPECT_FALSE(t.game->rconReady.load());
  EXPECT_FALSE(t.game->link.connected);
  EXPECT_EQ(t.game->commands.size(), 0u);

  // The next step asks for a new challenge.
  gameThreadStep(*t.game);
  EXPECT_EQ(challenges.load(), 2);
  EXPECT_EQ(t.game->link.challengeId, 102u);
  EXPECT_TRUE(t.game->rconReady.load());
  EXPECT_NE(output.text().find("Game: Got challengeid [id: 102]\n"), std::string::npos);
}

TEST(GameThreadTest, QueuedCommandsRunOneAtATimeInQueueOrderBeforeThePolls) {
  testing::OutputCapture output;
  testing::RconPeer peer([](const std::string& request) {
    if (request.find("users") != std::string::npos)
      return Strings{testing::datagram("l    12 : 345678 : Alice\n1 users\n")};
    if (request.find("status") != std::string::npos)
      return Strings{testing::datagram("l# 1 \"Alice\" 12 345678 0 01:25 48 0 1.2.3.4:27005\n1 users\n")};
    return Strings{testing::datagram("l")};
  });
  testing::TestGame t;
  peer.aim(t.game->link);
  t.game->link.challengeId = 9;
  std::strcpy(t.game->link.password, "pw");
  queueCommand(*t.game, RconCommandId::Users, "");
  queueCommand(*t.game, RconCommandId::Status, "");
  queueBan(*t.game, 4294967295u, 1);
  queueKick(*t.game, 17);
  queueCommand(*t.game, RconCommandId::Say, "hello all");
  queueCommand(*t.game, RconCommandId::AddIp, "1 1.2.3.4");
  queueCommand(*t.game, static_cast<RconCommandId>(0), "");

  for (int i = 0; i < 5; ++i) runNextCommand(*t.game);
  EXPECT_EQ(t.game->commands.size(), 2u);
  EXPECT_EQ(output.text(), "Banning player\nGame: Unknown CMD Id 0\n");
  runNextCommand(*t.game);
  EXPECT_TRUE(findUser(t.game->players, 12, 345678));
  EXPECT_EQ(t.game->players.statusRecordCount, 0u);
  runNextCommand(*t.game);
  EXPECT_EQ(findStatus(t.game->players, 12, 345678), 0);
  EXPECT_EQ(t.game->commands.size(), 0u);
  EXPECT_EQ(peer.requests(), (Strings{"rcon 9 \"pw\" banid 1 4294967295 kick", "rcon 9 \"pw\" kick #17",
                                      "rcon 9 \"pw\" say hello all", "rcon 9 \"pw\" addip 1 1.2.3.4",
                                      "rcon 9 \"pw\" users ", "rcon 9 \"pw\" status "}));
}

TEST(GameThreadTest, ConnectStepTakesTheChallengeAndWritesTheMarker) {
  const std::string query = "rcon 777 \"pw\" sv_contact ";
  const struct {
    const char* challenge;
    const char* contact;
    Strings requests;
    const char* printed;
  } cases[] = {
      {"challenge rcon 777\n", "admin@example.org{KESTRIN REQ}{1.2.3.4}",
       {"challenge rcon", query, query, query + "\"admin@example.org{KESTRIN REQ}{203.0.113.5}\""},
       "Game: Rcon password accepted\nGame: Got challengeid [id: 777]\n"},
      // A marker without its braces is reported; the step goes on.
      {"challenge rcon 777\n", "broken {KESTRIN", {"challenge rcon", query, query},
       "Game: Rcon password accepted\nGame: Error, adding sv_contact error\nGame: Got challengeid [id: 777]\n"},
      {"challenge rcon\n", "", {"challenge rcon"}, "Couldn't not parse challenge message\n"},
  };
  testing::OutputCapture output;
  for (const auto& c : cases) {
    const std::string challenge = c.challenge, contact = c.contact;
    testing::RconPeer peer([&](const std::string& request) {
      if (request == "challenge rcon") return Strings{testing::datagram(challenge)};
      if (request == query) return Strings{testing::datagram("l\"sv_contact\" is \"" + contact + "\"\n")};
      return Strings{testing::datagram("l")};
    });
    testing::TestGame t;
    peer.aim(t.game->link);
    std::strcpy(t.game->link.password, "pw");
    t.game->rconReady.store(false);
    std::strcpy(t.game->externalIp, "203.0.113.5");
    output.clear();
    EXPECT_EQ(connectStep(*t.game), c.requests.size() > 1);
    EXPECT_EQ(peer.requests(), c.requests);
    EXPECT_EQ(output.text(), c.printed);
  }
}

}  // namespace
}  // namespace kestrin
