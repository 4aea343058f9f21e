// Start-up of the host program and the real library against the simulated
// update server: the master time, the start-up failures without it, and
// the images of the first check.
#include <gtest/gtest.h>

#include <string>

#include "e2e/e2e_support.h"
#include "sim/update_server_sim.h"

namespace kestrin::e2e {
namespace {

// Position of `text` in `all`, npos when missing.
std::size_t at(const std::string& all, const std::string& text) { return all.find(text); }

class UpdateStartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.start(80));
    dir_.write("kestrinsv.cfg", "");
  }

  void expectNoMasterTime(HostProcess& host) {
    EXPECT_EQ(host.waitExit(), 2);
    std::string out = host.output();
    EXPECT_NE(at(out, "Error: Could not get mastertime\n"), std::string::npos) << out;
    EXPECT_EQ(at(out, "Got mastertime"), std::string::npos) << out;
    EXPECT_EQ(at(out, "Waiting for clients"), std::string::npos) << out;
  }

  sim::UpdateServerSim sim_;
  ScratchDir dir_;
};

TEST_F(UpdateStartTest, MasterTimeComesFromTheList) {
  sim_.setList("time=123456\n");
  HostProcess host(dir_.path(), "--once", &sim_);
  ASSERT_TRUE(host.waitForOutput("Init finished\n")) << host.output();
  std::string out = host.output();
  EXPECT_NE(at(out, "Alert: Can't load client dat file\n"), std::string::npos);
  std::size_t checking = at(out, "Checking for update\n");
  std::size_t got = at(out, "Got mastertime 123456\n");
  ASSERT_NE(got, std::string::npos) << out;
  EXPECT_LT(checking, got);
  EXPECT_LT(got, at(out, "Waiting for clients... [port: 27060]\n"));
  EXPECT_EQ(sim_.queries(), std::vector<std::string>{"/update.php?sv=1003&cv=0&os=win"});
}

TEST_F(UpdateStartTest, LoadedClientImageVersionGoesOutAsCv) {
  dir_.write("cldll.dat", sim::makeImage(21, 0, "client payload"));
  sim_.setList("time=5000\n");
  HostProcess host(dir_.path(), "--once", &sim_);
  ASSERT_TRUE(host.waitForOutput("Init finished\n")) << host.output();
  EXPECT_LT(at(host.output(), "Loaded cldll.dat [version: 21]\n"),
            at(host.output(), "Checking for update\n"));
  EXPECT_EQ(sim_.queries(), std::vector<std::string>{"/update.php?sv=1003&cv=21&os=win"});
}

TEST_F(UpdateStartTest, NoUpdateServerStopsStartUp) {
  sim_.stop();
  HostProcess host(dir_.path(), "--once", nullptr);
  expectNoMasterTime(host);
  EXPECT_NE(at(host.output(), "Error receiving update list. Error code #1\n"), std::string::npos);
}

TEST_F(UpdateStartTest, NotFoundStopsStartUp) {
  sim_.setList("time=5000\n");
  sim_.setFault(sim::kUpdateListPath, sim::HttpFault::kNotFound);
  HostProcess host(dir_.path(), "--once", &sim_);
  expectNoMasterTime(host);
  EXPECT_NE(at(host.output(), "Error receiving update list. Error code #5\n"), std::string::npos);
}

TEST_F(UpdateStartTest, ListWithoutTimeStopsStartUp) {
  sim_.setList("sv=127.0.0.1 /never.img\nTime=5000\n");
  HostProcess host(dir_.path(), "--once", &sim_);
  expectNoMasterTime(host);
  EXPECT_EQ(sim_.requests().size(), 1u);  // nothing downloaded
}

TEST_F(UpdateStartTest, StalledServerTimesOutWithCode3) {
  sim_.setList("time=5000\n");
  sim_.setFault(sim::kUpdateListPath, sim::HttpFault::kStall);
  HostProcess host(dir_.path(), "--once", &sim_);
  EXPECT_EQ(host.waitExit(40000), 2);
  EXPECT_NE(at(host.output(), "Error receiving updates. Timeout\n"
                              "Error receiving update list. Error code #3\n"
                              "Error: Could not get mastertime\n"),
            std::string::npos)
      << host.output();
}

TEST_F(UpdateStartTest, ServerImageOfTheRunningVersionIsDiscarded) {
  sim_.setList(sim::updateList(5000, "/server1003.img"));
  sim_.setFile("/server1003.img", sim::makeImage(1003, 0, "same version"));
  HostProcess host(dir_.path(), "--once", &sim_);
  ASSERT_TRUE(host.waitForOutput("Init finished\n")) << host.output();
  EXPECT_NE(at(host.output(), "Downloading server update /server1003.img\n"
                              "Update was successfully downloaded\n"
                              "Got mastertime 5000\n"
                              "Serious error. Downloaded server version is the same as local version\n"),
            std::string::npos)
      << host.output();
  EXPECT_FALSE(dir_.exists("kestrinsv.tmp"));
}

TEST_F(UpdateStartTest, NewerServerImageIsInstalledBeforeTheListeningSocket) {
  std::string payload(150000, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7 + i / 251);
  sim_.setList(sim::updateList(5000, "/server1004.img"));
  sim_.setFile("/server1004.img", sim::makeImage(1004, 4000, payload));
  HostProcess host(dir_.path(), "--once", &sim_);
  EXPECT_EQ(host.waitExit(), 1) << host.output();
  EXPECT_NE(at(host.output(), "Server patch was successfully installed [version: 1004]\n"),
            std::string::npos);
  EXPECT_EQ(at(host.output(), "Waiting for clients"), std::string::npos);
  EXPECT_EQ(dir_.read("kestrinsv.tmp"), payload);
}

}  // namespace
}  // namespace kestrin::e2e
