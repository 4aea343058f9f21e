// Installing images on a file system that refuses the write: a 64 KiB
// tmpfs mounted in a private mount namespace of this test (the host program
// started from the test thread inherits it).  Linux, as root in the test's
// namespaces.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

#include "core/server.h"
#include "e2e/e2e_support.h"
#include "sim/update_server_sim.h"
#include "support/output_capture.h"
#include "update/updater.h"

namespace kestrin::e2e {
namespace {

std::string pattern(std::size_t size) {
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 13 + i / 509);
  return bytes;
}

class DiskFullTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Only this thread and the processes it starts see the new mounts.
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << std::strerror(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << std::strerror(errno);
    small_ = dir_.file("small");
    std::filesystem::create_directory(small_);
    ASSERT_EQ(::mount("tmpfs", small_.c_str(), "tmpfs", 0, "size=64k"), 0) << std::strerror(errno);
    mounted_ = true;
    ASSERT_TRUE(sim_.start(80));
  }
  void TearDown() override {
    if (mounted_) ::umount2(small_.c_str(), MNT_DETACH);
  }
  void enlarge() {
    ASSERT_EQ(::mount(nullptr, small_.c_str(), nullptr, MS_REMOUNT, "size=1m"), 0)
        << std::strerror(errno);
  }

  ScratchDir dir_;
  std::string small_;
  bool mounted_ = false;
  sim::UpdateServerSim sim_;
};

// The updater of this process, working in the small folder.
class InProcessDiskFullTest : public DiskFullTest {
 protected:
  void SetUp() override {
    DiskFullTest::SetUp();
    previous_ = std::filesystem::current_path();
    std::filesystem::current_path(small_);
    state_.clockNow = &clockNow_;
    state_.clockOffset = &clockOffset_;
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    DiskFullTest::TearDown();
  }
  bool ready(ImageSlot& slot) {
    std::lock_guard<std::mutex> lock(slot.mutex);
    return slot.ready;
  }

  std::filesystem::path previous_;
  std::uint32_t clockNow_ = 50000;
  std::atomic<std::uint32_t> clockOffset_{10000};
  UpdateState state_;
  testing::OutputCapture output_;
};

TEST_F(InProcessDiskFullTest, FailedServerWriteRemovesThePartialFileAndRetries) {
  std::string payload = pattern(150000);
  sim_.setList(sim::updateList(40000, "/server1004.img"));
  sim_.setFile("/server1004.img", sim::makeImage(1004, 0, payload));
  ASSERT_TRUE(updateCheck(state_));
  output_.clear();

  EXPECT_EQ(installStep(state_), kRunOn);
  EXPECT_EQ(output_.text(), "Can't write server dat file, removed it\n");
  EXPECT_FALSE(std::filesystem::exists(kServerImageFileName));
  EXPECT_TRUE(ready(state_.serverImage));
  EXPECT_EQ(installStep(state_), kRunOn);
  EXPECT_FALSE(std::filesystem::exists(kServerImageFileName));

  enlarge();
  EXPECT_EQ(installStep(state_), kRunServerInstalled);
  EXPECT_EQ(dir_.read("small/kestrinsv.tmp"), payload);
}

TEST_F(InProcessDiskFullTest, FailedClientWriteKeepsTheServedImageWhole) {
  std::string old = sim::makeImage(1, 0, "old client");
  dir_.write("small/cldll.dat", old);
  ASSERT_TRUE(loadClientImage(state_));
  sim_.setList(sim::updateList(40000, "", "/client2.img"));
  sim_.setFile("/client2.img", sim::makeImage(2, 0, pattern(100000)));
  ASSERT_TRUE(updateCheck(state_));
  output_.clear();

  EXPECT_EQ(installStep(state_), kRunOn);
  EXPECT_EQ(output_.text(), "Can't write client dat file, removed it\n");
  EXPECT_EQ(dir_.read("small/cldll.dat"), old);
  EXPECT_FALSE(std::filesystem::exists(kClientImageTempFileName));
  EXPECT_EQ(state_.clientImageVersion.load(), 1);
  EXPECT_TRUE(ready(state_.clientImage));

  enlarge();
  EXPECT_EQ(installStep(state_), kRunOn);
  EXPECT_EQ(state_.clientImageVersion.load(), 2);
}

TEST_F(DiskFullTest, HostKeepsRunningUntilTheServerImageFits) {
  std::string payload = pattern(150000);
  sim_.setList(sim::updateList(40000, "/server1004.img"));
  sim_.setFile("/server1004.img", sim::makeImage(1004, 0, payload));
  dir_.write("small/kestrinsv.cfg", "");
  HostProcess host(small_, "--once", &sim_);
  ASSERT_TRUE(waitUntil([&] { return host.countInOutput("Can't write server dat file, removed it\n") >= 3; },
                        20000))
      << host.output();
  EXPECT_EQ(host.output().find("Server patch was successfully installed"), std::string::npos);

  enlarge();
  EXPECT_EQ(host.waitExit(), 1) << host.output();
  EXPECT_NE(host.output().find("Server patch was successfully installed [version: 1004]\n"),
            std::string::npos);
  EXPECT_EQ(dir_.read("small/kestrinsv.tmp"), payload);
}

}  // namespace
}  // namespace kestrin::e2e
