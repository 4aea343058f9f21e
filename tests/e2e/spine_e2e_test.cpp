// The host program and the real library: start-up, the listening socket and
// the start-up failures.
#include <gtest/gtest.h>

#include "e2e/e2e_support.h"
#include "platform/platform.h"

namespace kestrin::e2e {
namespace {

TEST(SpineTest, NoConfigurationFileStopsWithStatus2) {
  ScratchDir dir;
  HostProcess host(dir.path());
  EXPECT_EQ(host.waitExit(), 2);
  EXPECT_EQ(host.output(), "Welcome to Kestrin Server [version: 1003]\ncan't open config file\n");
}

TEST(SpineTest, ConfigurationWithoutSectionsRunsAndAcceptsClients) {
  ScratchDir dir;
  dir.write("kestrinsv.cfg", "; no game servers yet\n");
  HostProcess host(dir.path());
  ASSERT_TRUE(host.waitForOutput("Init finished\n")) << host.output();
  EXPECT_NE(host.output().find("Waiting for clients... [port: 27060]\n"), std::string::npos);
  // HostProcess's own update server supplied the master time.
  EXPECT_NE(host.output().find("Got mastertime 1000000\n"), std::string::npos);

  platform::SocketHandle client =
      platform::tcpConnectStart(platform::Endpoint{platform::kLoopbackAddress, 27060});
  ASSERT_NE(client, platform::kInvalidSocket);
  platform::ConnectState state = platform::ConnectState::kPending;
  ASSERT_TRUE(waitUntil(
      [&] {
        state = platform::tcpConnectPoll(client);
        return state != platform::ConnectState::kPending;
      },
      5000));
  EXPECT_EQ(state, platform::ConnectState::kConnected);
  platform::closeSocket(client);
  host.stop();
}

TEST(SpineTest, TakenPortStopsWithStatus2) {
  platform::SocketHandle squatter = platform::kInvalidSocket;
  ASSERT_EQ(platform::tcpListen(27060, 8, &squatter), platform::ListenResult::kOk);
  ScratchDir dir;
  dir.write("kestrinsv.cfg", "");
  HostProcess host(dir.path());
  EXPECT_EQ(host.waitExit(), 2);
  EXPECT_NE(host.output().find("Network: Unable to bind port\n"), std::string::npos) << host.output();
  EXPECT_EQ(host.output().find("Init finished"), std::string::npos);
  platform::closeSocket(squatter);
}

TEST(SpineTest, HelpDescribesTheResults) {
  ScratchDir dir;
  HostProcess host(dir.path(), "--help");
  EXPECT_EQ(host.waitExit(), 0);
  EXPECT_NE(host.output().find("kestrinsv.tmp"), std::string::npos);
}

TEST(SpineTest, MissingLibraryGivesStatus3) {
  ScratchDir dir;
  HostProcess host(dir.path(), "--library /nonexistent/kestrinserver.so");
  EXPECT_EQ(host.waitExit(), 3);
  EXPECT_NE(host.output().find("cannot load"), std::string::npos);
}

}  // namespace
}  // namespace kestrin::e2e
