// What the other tests, which use the platform layer throughout, do not
// show: refusals of ports and connections, polls of many sockets (one at
// a time and through a watch), the local time, which file a library path
// names, and digests and signatures against openssl's.
#include "platform/platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "support/scratch_folder.h"
#include "support/test_keys.h"

namespace kestrin::platform {
namespace {

// Polls a connect started with tcpConnectStart until it is decided (5 s).
ConnectState finishConnect(SocketHandle client) {
  ConnectState state = client == kInvalidSocket ? ConnectState::kFailed : ConnectState::kPending;
  for (int i = 0; i < 500 && state == ConnectState::kPending; ++i) {
    state = tcpConnectPoll(client);
    if (state == ConnectState::kPending) sleepMilliseconds(10);
  }
  return state;
}

TEST(PlatformTest, TakenPortsAndClosedPortsAreRefused) {
  SocketHandle listener = kInvalidSocket;
  ASSERT_EQ(tcpListen(0, 8, &listener), ListenResult::kOk);
  const std::uint16_t port = localPort(listener);
  SocketHandle second = kInvalidSocket;
  EXPECT_EQ(tcpListen(port, 8, &second), ListenResult::kBindFailed);
  SocketHandle udp = kInvalidSocket;
  ASSERT_EQ(udpOpen(0, &udp), UdpOpenResult::kOk);
  EXPECT_EQ(udpOpen(localPort(udp), &second), UdpOpenResult::kBindFailed);
  closeSocket(udp);

  SocketHandle client = tcpConnectStart(Endpoint{kLoopbackAddress, port});
  ASSERT_EQ(finishConnect(client), ConnectState::kConnected);
  closeSocket(client);
  closeSocket(listener);
  client = tcpConnectStart(Endpoint{kLoopbackAddress, port});
  EXPECT_EQ(finishConnect(client), ConnectState::kFailed);
  closeSocket(client);
}

// One poll takes in every socket it is given, however many: here the only
// one with data is the last of a hundred.
TEST(PlatformTest, PollSeesTheLastOfManySockets) {
  std::vector<SocketHandle> sockets(100, kInvalidSocket);
  for (SocketHandle& socket : sockets) ASSERT_EQ(udpOpen(0, &socket), UdpOpenResult::kOk);
  ASSERT_EQ(udpSendTo(sockets.front(), Endpoint{kLoopbackAddress, localPort(sockets.back())}, "x", 1), 1);
  auto ready = std::make_unique<bool[]>(sockets.size());
  EXPECT_EQ(pollReadable(sockets.data(), sockets.size(), ready.get(), 5000), 1);
  EXPECT_TRUE(ready[sockets.size() - 1]);
  for (SocketHandle socket : sockets) closeSocket(socket);
}

TEST(PlatformTest, ResolvesNumericHostsAndLocalTimeIsWithinADayOfTheUniversalDate) {
  std::uint32_t address = 0;
  ASSERT_TRUE(resolveHost("127.0.0.1", &address));
  EXPECT_EQ(address, kLoopbackAddress);
  LocalTime local;
  ASSERT_TRUE(localTimeNow(&local));
  EXPECT_TRUE(local.hour <= 23 && local.minute <= 59 && local.second <= 60);
  using namespace std::chrono;
  const sys_days today = floor<days>(system_clock::now());
  const year_month_day localDate{year{local.year}, month{static_cast<unsigned>(local.month)},
                                 day{static_cast<unsigned>(local.day)}};
  ASSERT_TRUE(localDate.ok());
  EXPECT_LE(std::abs((sys_days{localDate} - today).count()), 1);
}

// The main step watches more sockets at once than a select() set holds by
// default (64 on Windows).
TEST(PlatformTest, WatchSeesSocketsBeyondTheFirst64UntilTheyLeaveIt) {
  std::vector<SocketHandle> sockets(100, kInvalidSocket);
  SocketWatch watch;
  for (std::size_t i = 0; i < sockets.size(); ++i) {
    ASSERT_EQ(udpOpen(0, &sockets[i]), UdpOpenResult::kOk);
    ASSERT_TRUE(watch.add(sockets[i], &sockets[i]));
  }
  EXPECT_FALSE(watch.add(kInvalidSocket, nullptr));
  for (std::size_t i : {0, 64, 99}) udpSendTo(sockets[0], Endpoint{kLoopbackAddress, localPort(sockets[i])}, "x", 1);
  // Unread data keeps its socket ready; a socket that left the watch is not seen.
  for (const std::vector<SocketHandle*>& expected :
       {std::vector<SocketHandle*>{&sockets[0], &sockets[64], &sockets[99]}, {&sockets[0], &sockets[64]}}) {
    std::vector<SocketHandle*> seen;
    for (int i = 0; i < 500 && seen.size() < expected.size(); ++i) {
      seen.clear();
      for (int n = watch.wait(10), k = 0; k < n; ++k) seen.push_back(static_cast<SocketHandle*>(watch.readyTag(k)));
    }
    std::sort(seen.begin(), seen.end());
    EXPECT_EQ(seen, expected);
    watch.remove(sockets[99]);
  }
  for (SocketHandle socket : sockets) closeSocket(socket);
}

// A relative library path names a file of the current folder, as any other
// path does, even a file name alone: no search of the loader's folders.  The
// build puts the server library beside this program, the folder a Windows
// search looks in first.
TEST(PlatformTest, LibraryPathsAreFilesOfTheCurrentFolder) {
  const char* built = std::getenv("KESTRIN_TEST_LIBRARY");
  ASSERT_NE(built, nullptr) << "KESTRIN_TEST_LIBRARY names no library";
  const std::filesystem::path library = std::filesystem::absolute(built);
  testing::ScratchFolder folder;
  std::filesystem::create_directory("sub");
  std::filesystem::copy_file(library, std::filesystem::path("sub") / serverLibraryName());
  std::ofstream(serverLibraryName()) << "not a library";

  LibraryHandle copy = loadLibrary((std::string("sub/") + serverLibraryName()).c_str());
  ASSERT_NE(copy, 0u) << lastLibraryError();
  EXPECT_NE(findSymbol(copy, "initialize"), nullptr);
  unloadLibrary(copy);
  EXPECT_EQ(loadLibrary(serverLibraryName()), 0u);
  std::filesystem::current_path("sub");
  LibraryHandle named = loadLibrary(serverLibraryName());
  EXPECT_NE(named, 0u) << lastLibraryError();
  unloadLibrary(named);
}

TEST(PlatformTest, Sha256AndP256SignaturesAgreeWithOpenssl) {
  std::uint8_t digest[kSha256Size];
  ASSERT_TRUE(sha256("abc", 3, digest));
  char hex[2 * kSha256Size + 1];
  for (std::size_t i = 0; i < kSha256Size; ++i) std::snprintf(hex + 2 * i, 3, "%02x", digest[i]);
  EXPECT_STREQ(hex, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");

  const std::string good(reinterpret_cast<const char*>(testing::kAbcSignature), sizeof testing::kAbcSignature);
  std::string ours, oursFromEcForm;
  ASSERT_TRUE(signData(testing::kSigningKey, "abc", 3, &ours));
  ASSERT_TRUE(signData(testing::kSigningKeyEcForm, "abc", 3, &oursFromEcForm));
  EXPECT_FALSE(signData(testing::kVerifyingKey, "abc", 3, &ours));
  struct Case {
    const char* key;
    const char* message;
    std::string signature;
    SignatureCheck expected;
  };
  for (const Case& c : {
           Case{testing::kVerifyingKey, "abc", good, SignatureCheck::kValid},
           Case{testing::kVerifyingKey, "abc", ours, SignatureCheck::kValid},
           Case{testing::kVerifyingKey, "abc", oursFromEcForm, SignatureCheck::kValid},
           Case{testing::kVerifyingKey, "abd", good, SignatureCheck::kWrong},
           Case{testing::kOtherVerifyingKey, "abc", good, SignatureCheck::kWrong},
           Case{testing::kVerifyingKey, "abc", good.substr(0, good.size() - 1), SignatureCheck::kMalformed},
           Case{testing::kVerifyingKey, "abc", good + '\0', SignatureCheck::kMalformed},
           Case{testing::kVerifyingKey, "abc", "", SignatureCheck::kMalformed},
           // The same numbers in a longer length form, and r with a needless zero byte.
           Case{testing::kVerifyingKey, "abc", "\x30\x81" + good.substr(1), SignatureCheck::kMalformed},
           Case{testing::kVerifyingKey, "abc", std::string("\x30\x46\x02\x22\x00", 5) + good.substr(4),
                SignatureCheck::kMalformed},
           Case{testing::kP384VerifyingKey, "abc", good, SignatureCheck::kBadKey},
           Case{testing::kSigningKey, "abc", good, SignatureCheck::kBadKey},
           Case{"-----BEGIN PUBLIC KEY-----\nAAAA\n-----END PUBLIC KEY-----\n", "abc", good, SignatureCheck::kBadKey},
       }) {
    EXPECT_EQ(verifySignature(c.key, c.message, 3, c.signature.data(), c.signature.size()), c.expected)
        << c.message << " " << c.signature.size() << " bytes, key " << c.key;
  }
}

}  // namespace
}  // namespace kestrin::platform
