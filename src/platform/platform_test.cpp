#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "platform/stop_signal.h"

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

TEST(PlatformTest, TcpLoopbackRoundTripAndRefusals) {
  SocketHandle listener = kInvalidSocket;
  ASSERT_EQ(tcpListen(0, 8, &listener), ListenResult::kOk);
  std::uint16_t port = localPort(listener);
  ASSERT_NE(port, 0);
  SocketHandle second = kInvalidSocket;
  EXPECT_EQ(tcpListen(port, 8, &second), ListenResult::kBindFailed);

  SocketHandle client = tcpConnectStart(Endpoint{kLoopbackAddress, port});
  ASSERT_NE(client, kInvalidSocket);
  bool ready = false;
  ASSERT_EQ(pollReadable(&listener, 1, &ready, 5000), 1);
  SocketHandle server = tcpAccept(listener);
  ASSERT_NE(server, kInvalidSocket);
  ASSERT_EQ(finishConnect(client), ConnectState::kConnected);

  ASSERT_EQ(socketSend(client, "hello", 5), 5);
  ASSERT_EQ(pollReadable(&server, 1, &ready, 5000), 1);
  char buffer[16];
  ASSERT_EQ(socketReceive(server, buffer, sizeof buffer), 5);
  EXPECT_EQ(std::memcmp(buffer, "hello", 5), 0);

  closeSocket(client);
  ASSERT_EQ(pollReadable(&server, 1, &ready, 5000), 1);
  EXPECT_EQ(socketReceive(server, buffer, sizeof buffer), 0);
  closeSocket(server);
  closeSocket(listener);
  // Nobody listens on the port any more.
  client = tcpConnectStart(Endpoint{kLoopbackAddress, port});
  EXPECT_EQ(finishConnect(client), ConnectState::kFailed);
  closeSocket(client);
}

TEST(PlatformTest, UdpDatagramsCarryTheirSender) {
  SocketHandle a = kInvalidSocket, b = kInvalidSocket;
  ASSERT_EQ(udpOpen(0, &a), UdpOpenResult::kOk);
  ASSERT_EQ(udpOpen(0, &b), UdpOpenResult::kOk);
  bool ready = false;
  EXPECT_EQ(pollReadable(&b, 1, &ready, 0), 0);
  ASSERT_EQ(udpSendTo(a, Endpoint{kLoopbackAddress, localPort(b)}, "\xFF\xFF\xFF\xFFx", 5), 5);
  ASSERT_EQ(pollReadable(&b, 1, &ready, 5000), 1);
  char buffer[16];
  Endpoint from;
  ASSERT_EQ(udpReceiveFrom(b, buffer, sizeof buffer, &from), 5);
  EXPECT_EQ(from.address, kLoopbackAddress);
  EXPECT_EQ(from.port, localPort(a));
  EXPECT_EQ(udpReceiveFrom(b, buffer, sizeof buffer, &from), -1);  // nothing waiting
  closeSocket(a);
  closeSocket(b);
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

void countUntilStopped(void* raw) {
  auto* signal = static_cast<StopSignal*>(raw);
  while (signal->sleep(60000)) {
  }
}

TEST(PlatformTest, StopSignalEndsALongSleepAtOnce) {
  StopSignal signal;
  Thread thread;
  std::uint32_t start = milliseconds();
  ASSERT_TRUE(thread.start(countUntilStopped, &signal));
  signal.request();
  thread.join();
  EXPECT_FALSE(thread.started());
  EXPECT_LT(milliseconds() - start, 10000u);  // generous bound: the sleep was a minute
  EXPECT_FALSE(signal.sleep(1000));
}

TEST(PlatformTest, ResolvesNumericHosts) {
  std::uint32_t address = 0;
  ASSERT_TRUE(resolveHost("127.0.0.1", &address));
  EXPECT_EQ(address, kLoopbackAddress);
}

TEST(PlatformTest, LocalTimeIsWithinADayOfTheUniversalDate) {
  LocalTime local;
  ASSERT_TRUE(localTimeNow(&local));
  EXPECT_GE(local.month, 1);
  EXPECT_LE(local.month, 12);
  EXPECT_LE(local.hour, 23);
  EXPECT_LE(local.minute, 59);
  EXPECT_LE(local.second, 60);
  using namespace std::chrono;
  const sys_days today = floor<days>(system_clock::now());
  const year_month_day localDate{year{local.year}, month{static_cast<unsigned>(local.month)},
                                 day{static_cast<unsigned>(local.day)}};
  ASSERT_TRUE(localDate.ok());
  EXPECT_LE(std::abs((sys_days{localDate} - today).count()), 1);
}

// A relative library path names a file of the current folder, as any other
// path does, even a file name alone: no search of the loader's folders.  The
// build puts the server library beside this program, the folder a Windows
// search looks in first.
TEST(PlatformTest, LibraryPathsAreFilesOfTheCurrentFolder) {
  namespace fs = std::filesystem;
  const char* built = std::getenv("KESTRIN_TEST_LIBRARY");
  ASSERT_NE(built, nullptr) << "KESTRIN_TEST_LIBRARY names no library";
  const fs::path library = fs::absolute(built);
  const fs::path previous = fs::current_path();
  const fs::path folder = fs::temp_directory_path() / ("kestrin-platform-" + std::to_string(milliseconds()));
  fs::create_directories(folder / "sub");
  fs::current_path(folder);
  fs::copy_file(library, fs::path("sub") / serverLibraryName());
  std::ofstream(serverLibraryName()) << "not a library";

  LibraryHandle copy = loadLibrary((std::string("sub/") + serverLibraryName()).c_str());
  EXPECT_NE(copy, 0u) << lastLibraryError();
  EXPECT_NE(findSymbol(copy, "initialize"), nullptr);
  unloadLibrary(copy);
  EXPECT_EQ(loadLibrary(serverLibraryName()), 0u);
  fs::current_path(folder / "sub");
  LibraryHandle named = loadLibrary(serverLibraryName());
  EXPECT_NE(named, 0u) << lastLibraryError();
  unloadLibrary(named);

  fs::current_path(previous);
  std::error_code ignored;
  fs::remove_all(folder, ignored);
}

}  // namespace
}  // namespace kestrin::platform
