#include "rcon/rcon_link.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/wire.h"
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
    peer.aim(*link);
    link->challengeId = 4242;
    std::strcpy(link->password, "pw");
  }
  platform::Endpoint gameSocket() const {
    return platform::Endpoint{platform::kLoopbackAddress, platform::localPort(link->socket)};
  }
  testing::OutputCapture output;
  platform::StopSignal stop;
  std::unique_ptr<RconLink> link = std::make_unique<RconLink>(stop);
};

TEST_F(RconCommandTest, OnlyFreshDatagramsOfTheGameServerCount) {
  testing::RconPeer peer(always(
      {"OTHER:" + datagram("l# 1 \"Mallory\" 66 666 0 05:00 1 0 6.6.6.6:6\n"), datagram("lgenuine\n")}));
  aim(peer);
  // A stranger's trickle never even reaches the connected socket.
  for (int i = 0; i < 25; ++i) peer.send(gameSocket(), datagram("lnoise\n"), true);
  EXPECT_FALSE(testing::waitReadable(link->socket, 100));
  peer.send(gameSocket(), datagram("lstale reply of a timed-out request\n"));
  ASSERT_TRUE(testing::waitReadable(link->socket));
  EXPECT_STREQ(rconCommand(*link, "status", "").text, "lgenuine\n");
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
  EXPECT_STREQ(waitReply(*link), ("lfirst," + std::string(room - 7, 'y')).c_str());
  EXPECT_EQ(output.text(), dropped);

  output.clear();
  std::string expected = "l";
  for (int i = 0; i < 67; ++i) {
    peer.send(gameSocket(), datagram("l" + std::to_string(i) + ","));
    if (i < 64) expected += std::to_string(i) + ",";
  }
  EXPECT_STREQ(waitReply(*link), expected.c_str());
  EXPECT_EQ(output.text(), dropped + dropped + dropped);
}

TEST_F(RconCommandTest, RefusalsAreToldAndClearConnected) {
  const struct {
    const char* reply;
    const char* message;
    bool stale;
  } cases[] = {{"lBad rcon_password.\n", "Game: Error, bad rcon password [password: pw]\n", false},
               {"lBad rcon_password.\nBad challenge.\n", "Game: Error, bad rcon password [password: pw]\n", true},
               {"9No challenge for your address.\n", "Game: Error, No challenge for your address.\n\n", true}};
  for (const auto& c : cases) {
    testing::RconPeer peer(always({datagram(c.reply)}));
    aim(peer);
    link->connected = true;
    output.clear();
    const RconReply reply = rconCommand(*link, "status", "");
    EXPECT_EQ(reply.text, nullptr);
    EXPECT_TRUE(reply.refused);
    EXPECT_FALSE(link->connected);
    EXPECT_EQ(link->challengeStale, c.stale);
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
    EXPECT_EQ(rconCommand(*link, "say", std::string(length, 'x').c_str()).text, nullptr);
    EXPECT_EQ(output.text(), "Game: Rcon request too long, [command: say] not sent\n");
  }
  EXPECT_NE(rconCommand(*link, "say", std::string(251 - head, 'y').c_str()).text, nullptr);
  EXPECT_EQ(peer.requests().size(), 1u);
}

}  // namespace
}  // namespace kestrin
