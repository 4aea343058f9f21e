#include "rcon/game_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "rcon/command_queue.h"
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
  std::uint16_t local = platform::localPort(t.game->socket);
  EXPECT_GE(local, 2001);
  EXPECT_LE(local, 2999);
  EXPECT_NE(output.text().find("Game: HLDS Remote console initalized [listen port: " + std::to_string(local) + "]\n"),
            std::string::npos);
  ASSERT_TRUE(waitFor([&] { return output.contains("Game: Rcon timed out\n"); }, 10000));

  auto before = std::chrono::steady_clock::now();
  stopWatch(*t.game);
  auto took = std::chrono::steady_clock::now() - before;
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(t.game->socket, platform::kInvalidSocket);
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
  peer.aim(*t.game);
  t.game->rconReady.store(false);
  std::strcpy(t.game->externalIp, "203.0.113.5");
  std::strcpy(t.game->rconPassword, "pw");

  gameThreadStep(*t.game);
  EXPECT_TRUE(t.game->rconConnected.load());
  EXPECT_TRUE(t.game->rconReady.load());
  EXPECT_EQ(peer.requests().back(), "rcon 101 \"pw\" sv_contact \"{KESTRIN REQ}{203.0.113.5}\"");

  refuse.store(true);
  queueCommand(*t.game, RconCommandId::Say, "hi");
  runNextCommand(*t.game);
  EXPECT_FALSE(t.game->rconReady.load());
  EXPECT_FALSE(t.game->rconConnected.load());
  EXPECT_EQ(t.game->commandCount, 0);

  // The next step asks for a new challenge.
  gameThreadStep(*t.game);
  EXPECT_EQ(challenges.load(), 2);
  EXPECT_EQ(t.game->challengeId, 102u);
  EXPECT_TRUE(t.game->rconReady.load());
  EXPECT_NE(output.text().find("Game: Got challengeid [id: 102]\n"), std::string::npos);
}

TEST(ContactMarkerTest, CvarRepliesAndMarkerCleaning) {
  const struct {
    const char* reply;
    const char* name;
    const char* value;
  } replies[] = {
      {"l\"sv_contact\" is \"admin@example.org\"\n", "sv_contact", "admin@example.org"},
      // An empty value: the quotes are skipped as one run and the line end is read.
      {"l\"sv_contact\" is \"\"\n", "sv_contact", "\n"},
      {"lUnknown command: sv_contact\n", "kept", "kept"},
  };
  for (const auto& r : replies) {
    char name[kCvarValueSize] = "kept", value[kCvarValueSize] = "kept";
    parseCvarReply(r.reply, name, value);
    EXPECT_STREQ(name, r.name) << r.reply;
    EXPECT_STREQ(value, r.value) << r.reply;
  }

  const struct {
    const char* value;
    const char* cleaned;
    bool ok;
  } values[] = {
      {"admin@example.org", "admin@example.org", true},
      {"abc", "", true},
      {"abcd", "abcd", true},
      {"\n", "", true},
      {"admin{KESTRIN REQ}{1.2.3.4}", "admin", true},
      {"{KESTRIN REQ}{1.2.3.4}{KESTRIN REQ}{5.6.7.8}", "", true},
      {"a{KESTRIN REQ}{1.2.3.4}b{KESTRIN REQ}{5.6.7.8}c", "abc", true},
      {"admin{KESTRIN REQ}", nullptr, false},
      {"admin{KESTRIN", nullptr, false},
  };
  for (const auto& v : values) {
    char value[kCvarValueSize] = {};
    std::snprintf(value, sizeof value, "%s", v.value);
    EXPECT_EQ(cleanContactValue(value), v.ok) << v.value;
    if (v.ok) {
      EXPECT_STREQ(value, v.cleaned) << v.value;
    }
  }
}

TEST(ContactMarkerTest, NewValueKeepsTheMarkerWholeBehindTheAdministratorsText) {
  char out[kContactValueSize];
  formatContactValue("admin@example.org", "203.0.113.5", out);
  EXPECT_STREQ(out, "\"admin@example.org{KESTRIN REQ}{203.0.113.5}\"");
  const std::string ip(31, '9');
  formatContactValue(std::string(200, 'a').c_str(), ip.c_str(), out);
  const std::string value = out;
  EXPECT_EQ(value.size(), kContactValueSize - 1);
  EXPECT_EQ(value.substr(value.size() - 47), "{KESTRIN REQ}{" + ip + "}\"");
  EXPECT_EQ(value.substr(0, 2), "\"a");
}

}  // namespace
}  // namespace kestrin
