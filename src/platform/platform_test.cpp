#include "platform/platform.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

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

}  // namespace
}  // namespace kestrin::platform
