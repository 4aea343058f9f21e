// The host program with the real library: start-up against the simulated
// update server, every way start-up ends early, the swap of a new server
// library delivered as an update image and its rollback when it fails to
// start, and the image tool.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "core/wire.h"
#include "e2e/e2e_support.h"
#include "platform/platform.h"
#include "support/test_keys.h"

namespace kestrin::e2e {
namespace {

std::string shellQuoted(const std::string& path) { return "'" + path + "'"; }

TEST(HostTest, StartUpTakesTheMasterTimeThenOpensTheClientPort) {
  sim::UpdateServerSim updates;
  ASSERT_TRUE(updates.start(80));
  updates.setList(sim::updateList(123456));
  ScratchDir dir;
  dir.write("kestrinsv.cfg", "; one game server\n" + gameSection(27015));
  // With a pinned key the signed cldll.dat loads.
  dir.write("update-key.pem", testing::kVerifyingKey);
  const std::string clientImage = sim::makeImage(21, 0, "client payload");
  dir.write("cldll.dat", clientImage);
  dir.write("cldll.dat.sig", sim::signature(clientImage, testing::kSigningKey));
  HostProcess host(dir.path(), "--once --plain", &updates);
  ASSERT_TRUE(host.waitForOutput("Init finished\n")) << host.output();
  EXPECT_EQ(host.rawOutput(), host.output());
  const std::vector<std::string> inOrder = {
      "Welcome to Kestrin Server [version: 1003]\n", "Game: Monitoring [ip: 127.0.0.1] [port: 27015]\n",
      "Loaded update-key.pem, updates must be signed\n", "Loaded cldll.dat [version: 21]\n",
      "Checking for update\n", "Got mastertime 123456\n", "Waiting for clients... [port: 27060]\n", "Init finished\n"};
  for (std::size_t i = 1; i < inOrder.size(); ++i)
    EXPECT_LT(host.at(inOrder[i - 1]), host.at(inOrder[i])) << host.output();
  EXPECT_EQ(updates.queries(), std::vector<std::string>{"/update.php?sv=1003&cv=21&os=win"});

  sim::ClientConnection client;
  EXPECT_TRUE(client.connect(wire::kClientPort));
  EXPECT_TRUE(host.waitForOutput("Client connected [total: 1]\n")) << host.output();
}

// One way start-up can end: what the row prepares, the exit status and a
// piece of the output ("@LIBRARY@" stands for the library's path).
struct Start {
  Start(ScratchDir& d, sim::UpdateServerSim& u) : dir(d), updates(u) {}
  ScratchDir& dir;
  sim::UpdateServerSim& updates;
  std::string library = libraryPath();
  std::string arguments = "--once";
  platform::SocketHandle squatter = platform::kInvalidSocket;
  std::unique_ptr<ScratchDir> elsewhere;
};
struct StartCase {
  const char* name;
  std::function<void(Start&)> prepare;
  int status;
  std::string message;
};


// A server image whose time has come at the first check.
void withServerImage(Start& s) {
  s.updates.setList(sim::updateList(5000, "/server1004.img"));
  s.updates.setFile("/server1004.img", sim::makeImage(1004, 4000, "not a library"));
}

class HostStartTest : public ::testing::TestWithParam<StartCase> {};

TEST_P(HostStartTest, EndsWithItsStatusAndMessage) {
  ScratchDir dir;
  dir.write("kestrinsv.cfg", "");
  sim::UpdateServerSim updates;
  ASSERT_TRUE(updates.start(80));
  updates.setList("time=5000\n");
  Start start(dir, updates);
  GetParam().prepare(start);
  const std::string library = readFile(start.library);
  std::string message = GetParam().message;
  for (std::size_t at; (at = message.find("@LIBRARY@")) != std::string::npos;) message.replace(at, 9, start.library);

  HostProcess host(dir.path(), "--library " + shellQuoted(start.library) + " " + start.arguments, &updates);
  EXPECT_EQ(host.waitExit(), GetParam().status) << host.output();
  EXPECT_NE(host.at(message), std::string::npos) << host.output();
  EXPECT_EQ(host.at("Waiting for clients"), std::string::npos) << host.output();
  // Whatever went wrong, the library is the one the host was given.
  EXPECT_EQ(readFile(start.library), library);
  platform::closeSocket(start.squatter);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostStartTest,
    ::testing::Values(
        StartCase{"Help", [](Start& s) { s.arguments = "--help"; }, 0, "kestrinsv.tmp"},
        StartCase{"NoConfiguration", [](Start& s) { std::filesystem::remove(s.dir.file("kestrinsv.cfg")); }, 2,
                  "Welcome to Kestrin Server [version: 1003]\ncan't open config file\n"},
        StartCase{"TakenPort", [](Start& s) { platform::tcpListen(wire::kClientPort, 8, &s.squatter); }, 2,
                  "Got mastertime 5000\nNetwork: Unable to bind port\n"},
        StartCase{"NoUpdateServer", [](Start& s) { s.updates.stop(); }, 2,
                  "Error receiving update list. Error code #1\nError: Could not get mastertime\n"},
        StartCase{"UpdateListNotFound",
                  [](Start& s) { s.updates.setFault(sim::kUpdateListPath, sim::HttpFault::kNotFound); }, 2,
                  "Error receiving update list. Error code #5\nError: Could not get mastertime\n"},
        // Keys are matched with case; nothing named by the list is fetched.
        StartCase{"ListWithoutTime", [](Start& s) { s.updates.setList("sv=127.0.0.1 /never.img\nTime=5000\n"); }, 2,
                  "Checking for update\nError: Could not get mastertime\n"},
        StartCase{"InvalidGameSection",
                  [](Start& s) { s.dir.write("kestrinsv.cfg", "[game]\nrcon 127.0.0.1:27015 pw\n"); }, 2,
                  "Error: Exeternalip entry not found\nError: Parsing game entries failed\n"},
        StartCase{"MissingLibrary", [](Start& s) { s.library = "/nonexistent/kestrinserver.so"; }, 3,
                  "kestrinsv: cannot load /nonexistent/kestrinserver.so"},
        StartCase{"ServerImageDueWithOnce", withServerImage, 1,
                  "Server patch was successfully installed [version: 1004]\n"},
        // The library on another file system than the working folder: the
        // new one cannot be renamed over it, and the old one is put back.
        StartCase{"LibraryOnAnotherFileSystem",
                  [](Start& s) {
                    withServerImage(s);
                    s.arguments = "";
                    s.elsewhere = std::make_unique<ScratchDir>("/dev/shm");
                    s.library = s.elsewhere->file(libraryFileName());
                    std::filesystem::copy_file(libraryPath(), s.library);
                    struct stat here = {}, there = {};
                    ::stat(s.dir.path().c_str(), &here);
                    ::stat(s.elsewhere->path().c_str(), &there);
                    EXPECT_NE(here.st_dev, there.st_dev) << "/dev/shm and the temporary folder share a file system";
                  },
                  3,
                  "kestrinsv: cannot install kestrinsv.tmp as @LIBRARY@\n"
                  "kestrinsv: kept the previous library as @LIBRARY@\n"}),
    [](const ::testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

// Writes the payload file and the server image of version 1004 that carries it,
// server1004.img, made by kestrin-image.  The payload is `bytes`, or when
// empty a stripped copy of the library (under the sanitizers, where that
// would not fit an image, the same sources built without instrumentation).
void makeServerImage(const ScratchDir& dir, const std::string& bytes = "") {
  const char* plain = std::getenv("KESTRIN_PAYLOAD_LIBRARY");
  std::string payload = dir.file("payload");
  if (bytes.empty()) {
    CommandResult strip =
        run("strip -o " + shellQuoted(payload) + " " + shellQuoted(plain != nullptr ? plain : libraryPath()));
    ASSERT_EQ(strip.status, 0) << strip.output;
    ASSERT_LE(std::filesystem::file_size(payload), wire::kServerImageMaxSize - wire::kImageHeaderSize);
  } else {
    dir.write("payload", bytes);
  }
  CommandResult made =
      runTool(dir.path(), "kestrin-image", "make --version 1004 --activation 0 --payload payload --out server1004.img");
  ASSERT_EQ(made.status, 0) << made.output;
}

// A new server library delivered through the update server: the server
// writes it to "kestrinsv.tmp", shuts down, and the host swaps it in and runs
// it.  The library is named by its file name alone, which is a file of the
// working folder.
TEST(HostTest, InstallsTheNewLibraryAndRunsIt) {
  ScratchDir dir;
  sim::GameServerSim game(sim::GameServerSim::Options{.port = 27015});
  ASSERT_TRUE(game.running());
  dir.write("kestrinsv.cfg", gameSection(27015));
  const std::string name = libraryFileName(), library = dir.file(name);
  std::filesystem::copy_file(libraryPath(), library);
  std::string original = dir.read(name);
  ASSERT_NO_FATAL_FAILURE(makeServerImage(dir));

  sim::UpdateServerSim updates;
  ASSERT_TRUE(updates.start(80));
  // The first check names the image; the new library's checks see none.
  updates.queueList(sim::updateList(5000, "/server1004.img"));
  updates.setList("time=6000\n");
  // Signed, with the key pinned.
  dir.write("update-key.pem", testing::kVerifyingKey);
  updates.setSignedFile("/server1004.img", dir.read("server1004.img"), testing::kSigningKey);
  HostProcess host(dir.path(), "--library " + name, &updates);
  // The host swaps only after initialize has returned, that is after the
  // shutdown has joined the update thread and the game thread; the old
  // library is unloaded before the swap, so a thread left running in it
  // would bring the host down.
  const std::string installed = "Server patch was successfully installed [version: 1004]\n";
  const std::string swapped = "kestrinsv: installed new server library " + name + " (previous kept as " + name + ".bak)\n";
  ASSERT_TRUE(host.waitForOutput(installed, 30000)) << host.output();
  const auto shutdown = std::chrono::steady_clock::now();
  ASSERT_TRUE(host.waitForOutput(swapped)) << host.output();
  EXPECT_LT(std::chrono::steady_clock::now() - shutdown, std::chrono::seconds(1));
  // The first run stops before its listening socket, so the only
  // "Init finished" is the new library's.
  ASSERT_TRUE(host.waitForOutput("Init finished\n", 30000)) << host.output();
  EXPECT_EQ(host.countInOutput("Welcome to Kestrin Server [version: 1003]\n"), 2) << host.output();
  ASSERT_LT(host.at(installed), host.at(swapped)) << host.output();
  EXPECT_LT(host.at(swapped), host.output().rfind("Welcome to Kestrin Server"));
  EXPECT_EQ(updates.queries().size(), 2u);
  EXPECT_EQ(dir.read(name), dir.read("payload"));
  EXPECT_EQ(dir.read(name + ".bak"), original);
  EXPECT_FALSE(dir.exists("kestrinsv.tmp"));
  EXPECT_FALSE(dir.exists(name + ".trial"));  // its start-up has finished
  // The new library watches the game server afresh.
  ASSERT_TRUE(waitUntil(
      [&] {
        std::string output = host.output();
        return output.find("Game: Rcon password accepted\n", output.rfind("Welcome")) != std::string::npos;
      },
      20000))
      << host.output();
  // The running code is the new file, not the old one kept as .bak.
  std::string maps = readFile("/proc/" + std::to_string(host.pid()) + "/maps");
  EXPECT_NE(maps.find(library + "\n"), std::string::npos) << maps;
  EXPECT_EQ(maps.find(name + ".bak"), std::string::npos);
}

// A new library that fails to start: the kept one is put back and runs, and
// the new one's bytes are listed as rejected.
struct RollbackCase {
  const char* name;
  std::string payload;  // the new library's bytes; empty: the real library
  // The answer to the second update query, the new library's first.
  std::string secondList;
  sim::HttpFault secondFault;
  bool kill;  // the host is killed at that query and started again
  std::string message;  // "@LIBRARY@" stands for the library's path
};


class RollbackTest : public ::testing::TestWithParam<RollbackCase> {};

TEST_P(RollbackTest, TheKeptLibraryRunsOn) {
  const RollbackCase& c = GetParam();
  ScratchDir dir;
  dir.write("kestrinsv.cfg", "");
  const std::string name = libraryFileName(), library = dir.file(name);
  std::filesystem::copy_file(libraryPath(), library);
  const std::string original = dir.read(name);
  ASSERT_NO_FATAL_FAILURE(makeServerImage(dir, c.payload));
  const std::string digest = run("sha256sum " + shellQuoted(dir.file("payload"))).output.substr(0, 64) + "\n";
  sim::UpdateServerSim updates;
  ASSERT_TRUE(updates.start(80));
  updates.queueList(sim::updateList(5000, "/server1004.img"));
  updates.queueList(c.secondList, c.secondFault);
  updates.setList("time=6000\n");
  updates.setFile("/server1004.img", dir.read("server1004.img"));
  auto host = std::make_unique<HostProcess>(dir.path(), "--library " + shellQuoted(library), &updates);
  if (c.kill) {
    ASSERT_TRUE(updates.waitForQueries(2, 30000)) << host->output();
    EXPECT_TRUE(dir.exists(name + ".trial"));
    ::kill(host->pid(), SIGKILL);
    EXPECT_EQ(host->waitExit(), 128 + SIGKILL);
    host = std::make_unique<HostProcess>(dir.path(), "--library " + shellQuoted(library), &updates);
  }
  ASSERT_TRUE(host->waitForOutput("Init finished\n", 30000)) << host->output();
  std::string message = c.message;
  if (std::size_t at = message.find("@LIBRARY@"); at != std::string::npos) message.replace(at, 9, library);
  EXPECT_LT(host->at(message), host->at("Init finished\n")) << host->output();
  EXPECT_EQ(dir.read(name), original);
  EXPECT_FALSE(dir.exists(name + ".bak"));
  EXPECT_FALSE(dir.exists(name + ".trial"));
  EXPECT_EQ(dir.read("kestrinsv.rejected"), digest);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RollbackTest,
    ::testing::Values(
        RollbackCase{"NotALibrary", "not a library", "time=6000\n", sim::HttpFault::kNone, false,
                     "kestrinsv: new server library @LIBRARY@ cannot be loaded ("},
        RollbackCase{"StartUpFails", "", "no time\n", sim::HttpFault::kNone, false,
                     "kestrinsv: new server library @LIBRARY@ stopped before its start-up finished; "
                     "rolled back to the previous one\n"},
        RollbackCase{"KilledDuringStartUp", "", "time=6000\n", sim::HttpFault::kStall, true,
                     "kestrinsv: new server library @LIBRARY@ did not finish its start-up in the last run; "
                     "rolled back to the previous one\n"}),
    [](const ::testing::TestParamInfo<RollbackCase>& info) { return std::string(info.param.name); });

// The image tool, and signing as the operator's guide tells it: keys made
// by openssl, signatures checked both ways between openssl and the tool.
TEST(ImageToolTest, ShowsSignsAndChecksImages) {
  ScratchDir dir;
  dir.write("short", "KU\x01");
  dir.write("short.sig", "0");
  dir.write("magic", sim::makeImage(3, 0, "payload").replace(0, 2, "MZ"));
  dir.write("size", sim::makeImage(3, 0, "payload", 9));
  dir.write("cldll.dat", sim::makeImage(4, 7000, "client"));
  dir.write("largest", std::string(wire::kServerImageMaxSize - wire::kImageHeaderSize, '\0'));
  dir.write("big", dir.read("largest") + '\0');
  dir.write("other-key.pem", testing::kOtherVerifyingKey);
  struct Case {
    std::string arguments;
    int status;
    std::string text;
  };
  for (const Case& c : {
           Case{"show short", 1, "too short"},
           Case{"show magic", 1, "bad magic 4D 5A, expected 4B 55"},
           Case{"show size", 1, "size mismatch, header says 9 bytes, 7 follow"},
           Case{"show cldll.dat", 0,
                "version:         4\n  activation time: 7000\n  payload size:    6 bytes\n  size:            matches\n"},
           Case{"make --version 1 --activation 0 --payload largest --out largest.img", 0,
                "payload 1048563 bytes, too large for a client image"},
           Case{"make --version 1 --activation 0 --payload big --out big.img", 1, ""},
           Case{"openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out signing.pem", 0, ""},
           Case{"openssl pkey -in signing.pem -pubout -out update-key.pem", 0, ""},
           Case{"sign --key signing.pem cldll.dat", 0, "cldll.dat.sig: signature of cldll.dat"},
           Case{"openssl dgst -sha256 -verify update-key.pem -signature cldll.dat.sig cldll.dat", 0, "Verified OK"},
           Case{"verify --key other-key.pem cldll.dat", 1, "cldll.dat: wrong signature"},
           Case{"openssl dgst -sha256 -sign signing.pem -out cldll.dat.sig cldll.dat", 0, ""},
           Case{"verify --key update-key.pem cldll.dat", 0, "cldll.dat: good signature"},
           Case{"verify --key update-key.pem short", 1, "short: malformed signature"},
           Case{"verify --key update-key.pem magic", 1, "magic: no signature"},
           Case{"sign --key update-key.pem cldll.dat", 4, "update-key.pem holds no P-256 private key"},
           Case{"sign --key signing.pem size", 1, "size is not a whole image"},
       }) {
    CommandResult result = c.arguments.rfind("openssl ", 0) == 0
                               ? run("cd " + shellQuoted(dir.path()) + " && " + c.arguments)
                               : runTool(dir.path(), "kestrin-image", c.arguments);
    EXPECT_EQ(result.status, c.status) << c.arguments << "\n" << result.output;
    EXPECT_NE(result.output.find(c.text), std::string::npos) << result.output;
  }
  EXPECT_FALSE(dir.exists("big.img"));
  EXPECT_FALSE(dir.exists("size.sig"));
}

}  // namespace
}  // namespace kestrin::e2e
