// The game entries and the contact marker through the host: two sections
// for one game server, the marker written behind the administrator's text
// and replaced rather than doubled, recovery after a game-server restart,
// and the start-up failures of invalid sections.
#include <gtest/gtest.h>

#include "e2e/monitoring_support.h"

namespace kestrin::e2e {
namespace {

int markers(const std::string& value) {
  int count = 0;
  for (std::size_t at = value.find("{KESTRIN"); at != std::string::npos; at = value.find("{KESTRIN", at + 1)) ++count;
  return count;
}

TEST(MonitoringContactTest, SameGameServerTwiceIsWatchedOnceAndMarkersAreReplaced) {
  sim::GameServerSim::Options first;
  first.port = 27015;
  sim::GameServerSim simA(first);
  sim::GameServerSim::Options second;
  second.port = 27016;
  second.password = "other";
  sim::GameServerSim simB(second);
  ASSERT_TRUE(simA.running() && simB.running());
  // A marker of an earlier run sits behind the administrator's text.
  simA.setCvar("sv_contact", "admin@example.org{KESTRIN REQ}{198.51.100.1}");

  ScratchDir dir;
  dir.write("kestrinsv.cfg", gameSection(27015, "secret", "203.0.113.5") +
                                 gameSection(27015, "ignored", "203.0.113.6") +
                                 gameSection(27016, "other", "203.0.113.7"));
  HostProcess host(dir.path());
  ASSERT_TRUE(host.waitForOutput("Init finished\n")) << host.output();
  std::string output = host.output();
  EXPECT_NE(output.find("Game: Monitoring [ip: 127.0.0.1] [port: 27015]\n"
                        "Game: Alert, [ip: 127.0.0.1] [port: 27015] already watched\n"),
            std::string::npos)
      << output;
  EXPECT_NE(output.find("Game: Monitoring [ip: 127.0.0.1] [port: 27016]\n"), std::string::npos);

  ASSERT_TRUE(waitUntil([&] { return simA.cvar("sv_contact") == "admin@example.org{KESTRIN REQ}{203.0.113.5}"; },
                        15000))
      << simA.cvar("sv_contact");
  ASSERT_TRUE(waitUntil([&] { return simB.cvar("sv_contact") == "{KESTRIN REQ}{203.0.113.7}"; }, 15000))
      << simB.cvar("sv_contact");
  EXPECT_EQ(simA.countAccepted("sv_contact \"admin@example.org{KESTRIN REQ}{203.0.113.6}\""), 0);

  // The game server restarts: the old challenge is refused once, the watch
  // takes a fresh one after its pause, writes the marker again and polls on.
  ASSERT_TRUE(waitUntil([&] { return host.countInOutput("Game: Got challengeid") == 2; }, 15000));
  simA.restart();
  ASSERT_TRUE(host.waitForOutput("Game: Error, bad rcon password [password: secret]\n", 40000)) << host.output();
  int statusPolls = simA.countAccepted("status");
  ASSERT_TRUE(waitUntil([&] { return simA.countAccepted("status") > statusPolls; }, 45000)) << host.output();
  EXPECT_EQ(host.countInOutput("Game: Got challengeid"), 3);
  // The fresh challenge is asked for only after the pause of a failed step.
  std::uint32_t refusedAt = 0, askedAgainAt = 0;
  for (const sim::ReceivedRequest& r : simA.requests()) {
    if (!r.challenge && !r.accepted && refusedAt == 0) refusedAt = r.atMs;
    if (r.challenge && refusedAt != 0 && askedAgainAt == 0) askedAgainAt = r.atMs;
  }
  ASSERT_NE(refusedAt, 0u);
  EXPECT_GE(askedAgainAt - refusedAt, 29500u);
  EXPECT_EQ(simA.cvar("sv_contact"), "admin@example.org{KESTRIN REQ}{203.0.113.5}");
  EXPECT_EQ(markers(simA.cvar("sv_contact")), 1);
  EXPECT_FALSE(simA.bannedSomeone());
}

TEST(MonitoringContactTest, InvalidSectionsStopStartUp) {
  struct Case {
    std::string config;
    std::string message;
  };
  for (const Case& c : {
           Case{"[game]\nexternalip 1.2.3.4\n", "Error: Rcon parameter not found in game section 0\n"},
           Case{gameSection(27015, std::string(40, 'p')), "Error: Rcon password longer than 31 characters\n"},
           Case{"[game]\nrcon 127.0.0.1:27015 pw\n", "Error: Exeternalip entry not found\n"},
           Case{gameSection(27015, "pw", "1.2.3.4", "chkpath /nonexistent\nchkdll client.dll\n"),
                "Game: Can't open dll /nonexistent/client.dll\n"},
       }) {
    ScratchDir dir;
    dir.write("kestrinsv.cfg", c.config);
    HostProcess host(dir.path());
    EXPECT_EQ(host.waitExit(), 2) << host.output();
    EXPECT_NE(host.output().find(c.message + "Error: Parsing game entries failed\n"), std::string::npos)
        << host.output();
    EXPECT_EQ(host.output().find("Init finished"), std::string::npos);
  }
}

}  // namespace
}  // namespace kestrin::e2e
