#include "rcon/rcon_transport.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "game/game_server.h"
#include "rcon/rcon_test_peer.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

using testing::datagram;
using Strings = std::vector<std::string>;

// A peer script that answers every request with the same datagrams.
testing::RconPeer::Script always(Strings datagrams) {
  return [datagrams](const std::string&) { return datagrams; };
}

// Assembles datagrams held back to back, as pollReceive collects them;
// "(waiting)" when the collection is not complete.
std::string assembled(const Strings& datagrams) {
  std::string bytes;
  std::vector<std::uint32_t> ends;
  for (const std::string& d : datagrams) ends.push_back(static_cast<std::uint32_t>((bytes += d).size()));
  std::vector<char> out(bytes.size() + 2);
  return assembleReply(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), ends.data(),
                       ends.size(), out.data(), out.size())
             ? out.data()
             : "(waiting)";
}

TEST(ReplyCollectionTest, FindReplyStartNeedsAPrefixAndAFinalZero) {
  auto start = [](const std::string& b) {
    return findReplyStart(reinterpret_cast<const std::uint8_t*>(b.data()), b.size());
  };
  EXPECT_EQ(start(""), -1);
  EXPECT_EQ(start(std::string("\xFF\xFF\xFF", 3)), -1);
  EXPECT_EQ(start(datagram("lhello")), 4);
  EXPECT_EQ(start(std::string("\xFF\xFF\xFF\xFFlhello", 10)), -1);
  EXPECT_EQ(start(std::string("\xFF\xFF\xFF\xFF", 4) + '\0'), 4);
  EXPECT_EQ(start(datagram("lone") + datagram("ltwo")), static_cast<long>(datagram("lone").size() + 4));
}

TEST(ReplyCollectionTest, LRepliesAreJoinedInArrivalOrder) {
  // Datagrams that are no l-reply are passed over.
  EXPECT_EQ(assembled({datagram("l# 1 \"Al"), datagram("ice\" 12 3"), datagram("l4 1\n")}), "l# 1 \"Al4 1\n");
  EXPECT_EQ(assembled({datagram("lfirst half, "), datagram("lsecond half\n")}), "lfirst half, second half\n");
  EXPECT_EQ(assembled({datagram("9No challenge for your address.\n"), datagram("lBad rcon_password.\nBad challenge.\n")}),
            "lBad rcon_password.\nBad challenge.\n");
  // Without any l-reply the last datagram is the reply.
  EXPECT_EQ(assembled({datagram("9old"), datagram("challenge rcon 4242\n")}), "challenge rcon 4242\n");
  EXPECT_EQ(assembled({datagram("")}), "");
  // An unfinished last datagram means waiting on.
  EXPECT_EQ(assembled({datagram("lfirst"), "\xFF\xFF\xFF\xFFlsecond"}), "(waiting)");
  EXPECT_EQ(assembled({"no prefix at all"}), "(waiting)");
}

TEST(ChallengeTest, ReadsTwoWordsAndAnUnsignedNumberAndAddresses) {
  std::uint32_t id = 0;
  EXPECT_TRUE(parseChallenge("challenge rcon 4242\n", &id));
  EXPECT_EQ(id, 4242u);
  EXPECT_TRUE(parseChallenge("challenge rcon 4294967295\n", &id));
  EXPECT_EQ(id, 4294967295u);
  EXPECT_FALSE(parseChallenge("challenge rcon\n", &id));
  EXPECT_FALSE(parseChallenge("challenge rcon 4294967296\n", &id));
  EXPECT_FALSE(parseChallenge("challenge rcon -1\n", &id));
  EXPECT_FALSE(parseChallenge("", &id));
  // Game-server addresses are dotted IPv4 only.
  std::uint32_t a = 0;
  EXPECT_TRUE(parseIpv4Address("127.0.0.1", &a));
  EXPECT_EQ(a, 0x7F000001u);
  EXPECT_TRUE(parseIpv4Address("255.255.255.255", &a));
  for (const char* bad : {"256.0.0.1", "1.2.3", "1.2.3.4.5", "1..2.3", "a.b.c.d", "1.2.3.4 ", "0001.2.3.4", ""})
    EXPECT_FALSE(parseIpv4Address(bad, &a)) << bad;
}

class RconCommandTest : public ::testing::Test {
 protected:
  void aim(testing::RconPeer& peer) {
    peer.aim(*game);
    game->challengeId = 4242;
    std::strcpy(game->rconPassword, "pw");
  }
  testing::OutputCapture output;
  std::unique_ptr<GameServer> game = std::make_unique<GameServer>();
};

TEST_F(RconCommandTest, JoinsASplitReplyAndFormatsTheRequest) {
  testing::RconPeer peer(always({datagram("lpart one, "), datagram("lpart two\n")}));
  aim(peer);
  const char* reply = rconCommand(*game, "status", "");
  ASSERT_NE(reply, nullptr);
  EXPECT_STREQ(reply, "lpart one, part two\n");
  EXPECT_EQ(peer.requests(), std::vector<std::string>{"rcon 4242 \"pw\" status "});
  EXPECT_TRUE(game->rconReady.load());
  EXPECT_EQ(output.text(), "Game: Rcon password accepted\n");
  ASSERT_NE(rconCommand(*game, "users", ""), nullptr);
  EXPECT_EQ(output.text(), "Game: Rcon password accepted\n");
}

TEST_F(RconCommandTest, LeftoversOfAnEarlierRequestAreDropped) {
  testing::RconPeer peer(always({datagram("lfresh\n")}));
  aim(peer);
  peer.send(platform::Endpoint{platform::kLoopbackAddress, platform::localPort(game->socket)},
            datagram("lstale reply of a timed-out request\n"));
  bool ready = false;
  ASSERT_EQ(platform::pollReadable(&game->socket, 1, &ready, 5000), 1);
  EXPECT_STREQ(rconCommand(*game, "users", ""), "lfresh\n");
}

TEST_F(RconCommandTest, DatagramsFromAnyOtherSenderAreIgnored) {
  testing::RconPeer peer(always(
      {"OTHER:" + datagram("l# 1 \"Mallory\" 66 666 0 05:00 1 0 6.6.6.6:6\n"), datagram("lgenuine\n")}));
  aim(peer);
  EXPECT_STREQ(rconCommand(*game, "status", ""), "lgenuine\n");
}

TEST_F(RconCommandTest, RefusalsClearReadyAndConnected) {
  testing::RconPeer peer(always({datagram("lBad rcon_password.\n")}));
  aim(peer);
  game->rconReady.store(true);
  game->rconConnected.store(true);
  EXPECT_EQ(rconCommand(*game, "status", ""), nullptr);
  EXPECT_FALSE(game->rconReady.load());
  EXPECT_FALSE(game->rconConnected.load());
  EXPECT_EQ(output.text(), "Game: Error, bad rcon password [password: pw]\n");
  EXPECT_EQ(peer.requests().size(), 1u);
}

TEST_F(RconCommandTest, AReplyWithoutItsLetterIsAnError) {
  testing::RconPeer peer(always({datagram("9No challenge for your address.\n")}));
  aim(peer);
  game->rconConnected.store(true);
  EXPECT_EQ(rconCommand(*game, "status", ""), nullptr);
  EXPECT_EQ(output.text(), "Game: Error, No challenge for your address.\n\n");
  EXPECT_FALSE(game->rconConnected.load());
}

TEST_F(RconCommandTest, ARequestLongerThanItsBufferIsNotSent) {
  testing::RconPeer peer(always({datagram("l")}));
  aim(peer);
  std::string text(240, 'x');
  EXPECT_EQ(rconCommand(*game, "say", text.c_str()), nullptr);
  EXPECT_EQ(output.text(), "Game: Rcon request too long, [command: say] not sent\n");
  // The longest request that fits: 4 + 251 + 1 bytes.
  std::string fits(251 - std::string("rcon 4242 \"pw\" say ").size(), 'y');
  EXPECT_NE(rconCommand(*game, "say", fits.c_str()), nullptr);
  EXPECT_EQ(peer.requests().size(), 1u);
}

TEST_F(RconCommandTest, ConnectStepTakesTheChallengeAndWritesTheMarker) {
  testing::RconPeer peer([](const std::string& request) {
    if (request == "challenge rcon") return Strings{datagram("challenge rcon 777\n")};
    if (request == "rcon 777 \"pw\" sv_contact ")
      return Strings{datagram("l\"sv_contact\" is \"admin@example.org{KESTRIN REQ}{1.2.3.4}\"\n")};
    return Strings{datagram("l")};
  });
  aim(peer);
  std::strcpy(game->externalIp, "203.0.113.5");
  ASSERT_TRUE(requestChallenge(*game));
  EXPECT_EQ(game->challengeId, 777u);
  EXPECT_EQ(peer.requests(), (std::vector<std::string>{
                                 "challenge rcon", "rcon 777 \"pw\" sv_contact ", "rcon 777 \"pw\" sv_contact ",
                                 "rcon 777 \"pw\" sv_contact \"admin@example.org{KESTRIN REQ}{203.0.113.5}\""}));
  EXPECT_EQ(output.text(), "Game: Rcon password accepted\nGame: Got challengeid [id: 777]\n");
}

TEST_F(RconCommandTest, UnreadableChallengeFailsTheConnectStep) {
  testing::RconPeer peer(always({datagram("challenge rcon\n")}));
  aim(peer);
  EXPECT_FALSE(requestChallenge(*game));
  EXPECT_EQ(output.text(), "Couldn't not parse challenge message\n");
}

}  // namespace
}  // namespace kestrin
