#include "rcon/rcon_transport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/wire.h"
#include "game/game_server.h"
#include "support/output_capture.h"
#include "support/rcon_test_peer.h"
#include "support/socket_pair.h"

namespace kestrin {
namespace {

using testing::datagram;
using Strings = std::vector<std::string>;

// A peer script that answers every request with the same datagrams.
testing::RconPeer::Script always(Strings datagrams) {
  return [datagrams](const std::string&) { return datagrams; };
}

TEST(ReplyCollectionTest, LRepliesAreJoinedInArrivalOrder) {
  const struct {
    Strings datagrams;
    const char* reply;  // null while the collection is not complete
  } cases[] = {
      // Datagrams that are no l-reply are passed over.
      {{datagram("l# 1 \"Al"), datagram("ice\" 12 3"), datagram("l4 1\n")}, "l# 1 \"Al4 1\n"},
      {{datagram("9No challenge for your address.\n"), datagram("lBad rcon_password.\n")}, "lBad rcon_password.\n"},
      // Without any l-reply the last datagram is the reply.
      {{datagram("9old"), datagram("challenge rcon 4242\n")}, "challenge rcon 4242\n"},
      {{datagram("")}, ""},
      {{datagram("lfirst"), "\xFF\xFF\xFF\xFFlsecond"}, nullptr},
      {{"no prefix at all"}, nullptr},
  };
  for (const auto& c : cases) {
    std::string bytes;
    std::vector<std::uint32_t> ends;
    for (const std::string& d : c.datagrams) ends.push_back(static_cast<std::uint32_t>((bytes += d).size()));
    std::vector<char> out(bytes.size() + 2);
    const bool complete = assembleReply(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                                        ends.data(), ends.size(), out.data(), out.size());
    ASSERT_EQ(complete, c.reply != nullptr) << bytes;
    if (complete) {
      EXPECT_STREQ(out.data(), c.reply);
    }
  }
}

TEST(ChallengeTest, ReadsTwoWordsAndAnUnsignedNumber) {
  const struct {
    const char* text;
    bool ok;
    std::uint32_t id;
  } challenges[] = {{"challenge rcon 4242\n", true, 4242},
                    {"challenge rcon 4294967295\n", true, 4294967295u},
                    {"challenge rcon\n", false, 0},
                    {"challenge rcon 4294967296\n", false, 0},
                    {"challenge rcon -1\n", false, 0}};
  for (const auto& c : challenges) {
    std::uint32_t id = 0;
    EXPECT_EQ(parseChallenge(c.text, &id), c.ok) << c.text;
    EXPECT_EQ(id, c.id) << c.text;
  }
}

class RconCommandTest : public ::testing::Test {
 protected:
  void aim(testing::RconPeer& peer) {
    peer.aim(*game);
    game->challengeId = 4242;
    std::strcpy(game->rconPassword, "pw");
  }
  platform::Endpoint gameSocket() const {
    return platform::Endpoint{platform::kLoopbackAddress, platform::localPort(game->socket)};
  }
  testing::OutputCapture output;
  std::unique_ptr<GameServer> game = std::make_unique<GameServer>();
};

TEST_F(RconCommandTest, JoinsASplitReplyAndFormatsTheRequest) {
  testing::RconPeer peer(always({datagram("lpart one, "), datagram("lpart two\n")}));
  aim(peer);
  EXPECT_STREQ(rconCommand(*game, "status", ""), "lpart one, part two\n");
  EXPECT_EQ(peer.requests(), Strings{"rcon 4242 \"pw\" status "});
  EXPECT_TRUE(game->rconReady.load());
  ASSERT_NE(rconCommand(*game, "users", ""), nullptr);
  EXPECT_EQ(output.text(), "Game: Rcon password accepted\n");
}

TEST_F(RconCommandTest, OnlyFreshDatagramsOfTheGameServerCount) {
  testing::RconPeer peer(always(
      {"OTHER:" + datagram("l# 1 \"Mallory\" 66 666 0 05:00 1 0 6.6.6.6:6\n"), datagram("lgenuine\n")}));
  aim(peer);
  peer.send(gameSocket(), datagram("lstale reply of a timed-out request\n"));
  ASSERT_TRUE(testing::waitReadable(game->socket));
  EXPECT_STREQ(rconCommand(*game, "status", ""), "lgenuine\n");
}

TEST_F(RconCommandTest, AFloodIsCutAtTheBufferAndAt64DatagramsAndTheReplyStaysWhole) {
  testing::RconPeer peer(always({}));
  aim(peer);
  const std::string dropped = "Game: Rcon reply too long, datagram dropped\n";
  // A datagram one byte larger than the room left is dropped; one that
  // fills the room exactly is kept.  (A datagram is its text and 7 bytes.)
  const std::size_t room = wire::kRconBufferSize - datagram("lfirst,").size();
  peer.send(gameSocket(), datagram("lfirst,"));
  peer.send(gameSocket(), datagram("l" + std::string(room - 6, 'x')));
  peer.send(gameSocket(), datagram("l" + std::string(room - 7, 'y')));
  EXPECT_STREQ(waitReply(*game), ("lfirst," + std::string(room - 7, 'y')).c_str());
  EXPECT_EQ(output.text(), dropped);

  output.clear();
  std::string expected = "l";
  for (int i = 0; i < 67; ++i) {
    peer.send(gameSocket(), datagram("l" + std::to_string(i) + ","));
    if (i < 64) expected += std::to_string(i) + ",";
  }
  EXPECT_STREQ(waitReply(*game), expected.c_str());
  EXPECT_EQ(output.text(), dropped + dropped + dropped);
}

TEST_F(RconCommandTest, RefusalsClearReadyAndConnected) {
  const struct {
    const char* reply;
    const char* message;
  } cases[] = {{"lBad rcon_password.\n", "Game: Error, bad rcon password [password: pw]\n"},
               {"9No challenge for your address.\n", "Game: Error, No challenge for your address.\n\n"}};
  for (const auto& c : cases) {
    testing::RconPeer peer(always({datagram(c.reply)}));
    aim(peer);
    game->rconReady.store(true);
    game->rconConnected.store(true);
    output.clear();
    EXPECT_EQ(rconCommand(*game, "status", ""), nullptr);
    EXPECT_FALSE(game->rconReady.load());
    EXPECT_FALSE(game->rconConnected.load());
    EXPECT_EQ(output.text(), c.message);
    EXPECT_EQ(peer.requests().size(), 1u);
  }
}

TEST_F(RconCommandTest, ARequestLongerThanItsBufferIsNotSent) {
  testing::RconPeer peer(always({datagram("l")}));
  aim(peer);
  // The longest request that fits: 4 + 251 + 1 bytes.
  const std::size_t head = std::string("rcon 4242 \"pw\" say ").size();
  for (std::size_t length : {std::size_t{240}, 252 - head}) {
    output.clear();
    EXPECT_EQ(rconCommand(*game, "say", std::string(length, 'x').c_str()), nullptr);
    EXPECT_EQ(output.text(), "Game: Rcon request too long, [command: say] not sent\n");
  }
  EXPECT_NE(rconCommand(*game, "say", std::string(251 - head, 'y').c_str()), nullptr);
  EXPECT_EQ(peer.requests().size(), 1u);
}

TEST_F(RconCommandTest, ConnectStepTakesTheChallengeAndWritesTheMarker) {
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
  for (const auto& c : cases) {
    const std::string challenge = c.challenge, contact = c.contact;
    testing::RconPeer peer([&](const std::string& request) {
      if (request == "challenge rcon") return Strings{datagram(challenge)};
      if (request == query) return Strings{datagram("l\"sv_contact\" is \"" + contact + "\"\n")};
      return Strings{datagram("l")};
    });
    aim(peer);
    game->rconReady.store(false);
    std::strcpy(game->externalIp, "203.0.113.5");
    output.clear();
    EXPECT_EQ(requestChallenge(*game), c.requests.size() > 1);
    EXPECT_EQ(peer.requests(), c.requests);
    EXPECT_EQ(output.text(), c.printed);
  }
}

}  // namespace
}  // namespace kestrin
