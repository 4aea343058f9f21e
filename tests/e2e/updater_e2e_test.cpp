// The updater in this process against the simulated update server on port
// 80: fetch results over real sockets, downloads, the image slots across
// several checks (driven directly instead of waiting for the update
// thread's period), and stopping the update thread mid-check.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "core/clock.h"
#include "core/run_result.h"
#include "e2e/e2e_support.h"
#include "sim/update_server_sim.h"
#include "support/output_capture.h"
#include "support/test_keys.h"
#include "update/http_fetch.h"
#include "update/updater.h"

namespace kestrin::e2e {
namespace {

class UpdaterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.start(80));
    state_.clockOffset = &clockOffset_;
    state_.connection.setStopSignal(&state_.stop);
  }
  void TearDown() override { stopUpdater(state_); }

  bool ready(ImageSlot& slot) {
    std::lock_guard<std::mutex> lock(slot.mutex);
    return slot.ready;
  }

  struct Fetched {
    int code;
    std::string body;
  };
  Fetched fetch(const std::string& path, std::size_t capacity = 512) {
    std::string buffer(capacity + 1, '\0');
    std::size_t length = capacity;
    int code = httpGet(state_.connection, "127.0.0.1", path.c_str(), buffer.data(), &length);
    return {code, code == kHttpOk ? buffer.substr(0, length) : ""};
  }

  sim::UpdateServerSim sim_;
  testing::ScratchFolder dir_;  // the current folder
  std::uint32_t clockNow_ = 20000;
  std::atomic<std::uint32_t> clockOffset_{10000};
  UpdateState state_;
  testing::OutputCapture output_;
};

TEST_F(UpdaterTest, FetchResultsOverRealSockets) {
  std::string body(3000, 'z');
  sim_.setFile("/plain", body);
  sim_.setFile("/nolength", body);
  sim_.setFault("/nolength", sim::HttpFault::kNoContentLength);
  EXPECT_EQ(fetch("/plain", 4096).body, body);  // a body only with kHttpOk
  EXPECT_EQ(fetch("/nolength", 4096).body, body);  // the body ends where the peer closes
  EXPECT_EQ(fetch("/" + std::string(600, 'p')).code, kHttpNoConnection);  // the request would not fit
  std::size_t length = 16;
  char buffer[17];
  EXPECT_EQ(httpGet(state_.connection, "no-such-host.invalid", "/", buffer, &length), kHttpNoConnection);
  EXPECT_EQ(output_.text(), "Error, hostname not found\n");
  EXPECT_EQ(sim_.requests(), (std::vector<std::string>{"/plain", "/nolength"}));
}

TEST_F(UpdaterTest, BadDownloadsLeaveTheSlotsEmpty) {
  sim_.setFile("/short.img", sim::makeImage(1004, 0, "").substr(0, 12));
  sim_.setFile("/magic.img", sim::makeImage(9, 0, "payload").replace(0, 1, "M"));
  sim_.setFile("/size.img", sim::makeImage(1004, 0, "payload", 8));
  const std::size_t header = wire::kImageHeaderSize;
  sim_.setSignedFile("/same.img", sim::makeImage(1003, 0, std::string(wire::kServerImageMaxSize - header, 's')),
                     testing::kSigningKey);
  sim_.setSignedFile("/client.img", sim::makeImage(0, 0, std::string(wire::kClientImageMaxSize - header, 'c')),
                     testing::kSigningKey);
  sim_.setFile("/large.img", sim::makeImage(1004, 0, std::string(wire::kServerImageMaxSize - header + 1, 's')));
  sim_.setFile("/large-client.img", sim::makeImage(1, 0, std::string(wire::kClientImageMaxSize - header + 1, 'c')));
  sim_.setFile("/unsigned.img", sim::makeImage(1004, 0, "unsigned"));
  sim_.setFile("/malformed.img", sim::makeImage(1004, 0, "malformed"));
  sim_.setFile("/malformed.img.sig", "0");
  sim_.setFile("/other.img", sim::makeImage(1004, 0, "other"));
  sim_.setFile("/other.img.sig", sim::signature(sim::makeImage(1004, 0, "another"), testing::kSigningKey));
  // The rejected library, and one whose digest ends a longer line.
  sim_.setFile("/rejected.img", sim::makeImage(1004, 0, "rolled back"));
  dir_.write(kRejectedListFileName, std::string(66, 'x') + sha256Hex("same", 4) + "\n" + sha256Hex("rolled back", 11) + "\r\n");
  sim_.setFile("/not-rejected.img", sim::makeImage(1003, 0, "same"));
  const std::string skipped =
      "Skipping server update /rejected.img: this library was rolled back before (kestrinsv.rejected)\n";
  const std::string same = "Serious error. Downloaded server version is the same as local version\n";
  struct Case {
    std::string server, client, output;
    bool keyPinned = false;
  };
  for (const Case& c : {
           Case{"/short.img", "/magic.img",
                "Downloading server update /short.img\nError receiving update /short.img. Filesize mismatch\n"
                "Downloading client update /magic.img\nError receiving update /magic.img. Signature mismatch\n"},
           Case{"/size.img", "/missing.img",
                "Downloading server update /size.img\nError receiving update /size.img. Filesize mismatch\n"
                "Downloading client update /missing.img\nError receiving update /missing.img. Error code #5\n"},
           // Downloaded, but discarded by the install step.
           Case{"/same.img", "/client.img",
                "Downloading server update /same.img\nUpdate was successfully downloaded\n"
                "Downloading client update /client.img\nUpdate was successfully downloaded\n" + same +
                    "Serious error. Downloaded client version is the same as local version\n",
                true},
           Case{"/large.img", "/large-client.img",
                "Downloading server update /large.img\nError receiving update /large.img. Error code #6\n"
                "Downloading client update /large-client.img\nError receiving update /large-client.img. Error code #6\n"},
           Case{"/unsigned.img", "/malformed.img",
                "Downloading server update /unsigned.img\nError receiving update /unsigned.img. No signature, error code #5\n"
                "Downloading client update /malformed.img\nError receiving update /malformed.img. Malformed signature\n",
                true},
           Case{"/other.img", "", "Downloading server update /other.img\nError receiving update /other.img. Wrong signature\n",
                true},
           // Skipped with one message until the list names another image.
           Case{"/rejected.img", "", "Downloading server update /rejected.img\n" + skipped},
           Case{"/rejected.img", "", ""},
           Case{"/not-rejected.img", "",
                "Downloading server update /not-rejected.img\nUpdate was successfully downloaded\n" + same},
           Case{"/rejected.img", "", "Downloading server update /rejected.img\n" + skipped},
       }) {
    output_.clear();
    state_.keyPinned = c.keyPinned;
    state_.updateKey = testing::kVerifyingKey;
    sim_.setList(sim::updateList(30000, c.server, c.client));
    ASSERT_TRUE(updateCheck(state_));
    EXPECT_EQ(installStep(state_, clockNow_), kRunOn);
    EXPECT_EQ(output_.text(), "Checking for update\n" + c.output);
    EXPECT_FALSE(ready(state_.serverImage));
    EXPECT_FALSE(ready(state_.clientImage));
  }
  EXPECT_FALSE(std::filesystem::exists(kServerImageFileName));
  const std::vector<std::string> requests = sim_.requests();
  EXPECT_EQ(std::count(requests.begin(), requests.end(), "/rejected.img"), 2);
}

TEST_F(UpdaterTest, WaitingImageIsReplacedOrGoneWhenALaterCheckNamesAnother) {
  sim_.setList(sim::updateList(30000, "/first.img"));
  sim_.setFile("/first.img", sim::makeImage(1004, 90000, "first"));
  sim_.setFile("/second.img", sim::makeImage(1005, 95000, "second"));
  ASSERT_TRUE(updateCheck(state_));
  clockNow_ = 30000;
  EXPECT_EQ(installStep(state_, clockNow_), kRunOn);
  EXPECT_TRUE(ready(state_.serverImage));
  // The second image takes the slot: the first would be due at 94999.
  sim_.setList(sim::updateList(31000, "/second.img"));
  ASSERT_TRUE(updateCheck(state_));
  clockNow_ = 94999;
  EXPECT_EQ(installStep(state_, clockNow_), kRunOn);
  EXPECT_TRUE(ready(state_.serverImage));

  sim_.setList(sim::updateList(40000, "/other.img"));
  ASSERT_TRUE(updateCheck(state_));
  EXPECT_NE(output_.text().find("Error receiving update /other.img. Error code #5\n"), std::string::npos);
  EXPECT_FALSE(ready(state_.serverImage));
  clockNow_ = 100000;
  EXPECT_EQ(installStep(state_, clockNow_), kRunOn);
  EXPECT_FALSE(std::filesystem::exists(kServerImageFileName));

  // A time that is no number leaves the master time as it was.
  const std::uint32_t offset = clockOffset_.load();
  sim_.setList("time=later\n");
  ASSERT_TRUE(updateCheck(state_));
  EXPECT_EQ(clockOffset_.load(), offset);
  EXPECT_EQ(state_.masterTime.load(), 40000u);

  // Ten minutes into the run, a check sets the master clock to the master
  // time it received, not that time plus the ten minutes.
  state_.clockStart = platform::milliseconds() - 600000;
  sim_.setList("time=700000\n");
  ASSERT_TRUE(updateCheck(state_));
  const std::uint32_t master = serverClock(platform::milliseconds(), state_.clockStart, clockOffset_.load());
  EXPECT_GE(master, 700000u);
  EXPECT_LT(master, 710000u);
}

TEST_F(UpdaterTest, ShutdownEndsTheThreadDuringAStalledCheck) {
  sim_.setList("time=50000\n");
  state_.checkPeriodMs = 100;
  ASSERT_TRUE(startUpdater(state_, &clockOffset_, platform::milliseconds()));
  EXPECT_NE(output_.text().find("Got mastertime 50000\n"), std::string::npos);
  sim_.setFault(sim::kUpdateListPath, sim::HttpFault::kStall);
  // The next query is answered with a stall: the thread's check then waits for data.
  ASSERT_TRUE(sim_.waitForQueries(sim_.queries().size() + 1, 10000));

  auto started = std::chrono::steady_clock::now();
  stopUpdater(state_);
  auto took = std::chrono::steady_clock::now() - started;
  // A check waited out would take the fetch's whole 12.8 s time-out.
  EXPECT_LT(took, std::chrono::seconds(5));
  EXPECT_EQ(output_.text().find("Error receiving update list"), std::string::npos);
}

TEST_F(UpdaterTest, AStopEndsAConnectThatIsNotAnswered) {
  // A listener whose queue is full leaves further connects unanswered.
  platform::SocketHandle listener = platform::kInvalidSocket;
  ASSERT_EQ(platform::tcpListen(0, 0, &listener), platform::ListenResult::kOk);
  platform::Endpoint peer{platform::kLoopbackAddress, platform::localPort(listener)};
  std::vector<platform::SocketHandle> fillers;
  for (int i = 0; i < 3; ++i) fillers.push_back(platform::tcpConnectStart(peer));
  platform::SocketHandle probe = platform::tcpConnectStart(peer);
  EXPECT_FALSE(waitUntil([&] { return platform::tcpConnectPoll(probe) != platform::ConnectState::kPending; },
                         300));

  state_.stop.request();
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(state_.connection.connectTo("127.0.0.1", peer.port), kConnectFailed);
  // Not the connect's whole 12.8 s time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  platform::closeSocket(probe);
  for (platform::SocketHandle filler : fillers) platform::closeSocket(filler);
  platform::closeSocket(listener);
}

}  // namespace
}  // namespace kestrin::e2e
