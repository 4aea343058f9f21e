// A new server library delivered through the update server: the server
// writes it to "kestrinsv.tmp", the host program swaps it in and runs it.
// The library under test is a copy in a scratch folder; the payload is a
// stripped copy of the same library (in sanitizer builds, where that would
// exceed an image's 200000 bytes, the same sources built without
// instrumentation), made into an image by kestrin-image.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/wire.h"
#include "e2e/e2e_support.h"
#include "sim/update_server_sim.h"

namespace kestrin::e2e {
namespace {

std::string imageToolPath() {
  const char* binary = std::getenv("KESTRIN_BINARY_DIR");
  return std::string(binary != nullptr ? binary : ".") + "/bin/kestrin-image";
}

struct CommandResult {
  int status;
  std::string output;
};

// Runs a shell command; its exit status and its standard output and error.
CommandResult run(const std::string& command) {
  CommandResult result{-1, ""};
  std::FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[512];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) result.output.append(buffer, n);
  int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

std::string shellQuoted(const std::string& path) { return "'" + path + "'"; }

// Runs kestrin-image with `arguments`.
CommandResult imageTool(const std::string& arguments) { return run(shellQuoted(imageToolPath()) + " " + arguments); }

std::string payloadLibrary() {
  const char* plain = std::getenv("KESTRIN_PAYLOAD_LIBRARY");
  return plain != nullptr ? plain : libraryPath();
}

TEST(ServerUpdateTest, HostInstallsTheNewLibraryAndRunsIt) {
  ScratchDir dir;
  dir.write("kestrinsv.cfg", "");
  std::string library = dir.file("kestrinserver.so");
  std::filesystem::copy_file(libraryPath(), library);
  std::string original = dir.read("kestrinserver.so");

  std::string payload = dir.file("payload.so");
  CommandResult strip = run("strip -o " + shellQuoted(payload) + " " + shellQuoted(payloadLibrary()));
  ASSERT_EQ(strip.status, 0) << strip.output;
  ASSERT_LE(std::filesystem::file_size(payload), wire::kImageBufferSize - wire::kImageHeaderSize)
      << "the stripped library no longer fits an update image";
  CommandResult made = imageTool("make --version 1004 --activation 0 --payload " + shellQuoted(payload) + " --out " +
                                  shellQuoted(dir.file("server1004.img")));
  ASSERT_EQ(made.status, 0) << made.output;
  CommandResult shown = imageTool("show " + shellQuoted(dir.file("server1004.img")));
  EXPECT_EQ(shown.status, 0);
  EXPECT_NE(shown.output.find("version:         1004\n"), std::string::npos) << shown.output;
  EXPECT_NE(shown.output.find("size:            matches\n"), std::string::npos) << shown.output;

  sim::UpdateServerSim sim;
  ASSERT_TRUE(sim.start(80));
  // The first check names the image; the new library's checks see none.
  sim.queueList(sim::updateList(5000, "/server1004.img"));
  sim.setList("time=6000\n");
  sim.setFile("/server1004.img", dir.read("server1004.img"));

  HostProcess host(dir.path(), "--library " + shellQuoted(library), &sim);
  // The first run stops before its listening socket, so the only
  // "Init finished" is the new library's.
  ASSERT_TRUE(waitUntil([&] { return host.countInOutput("Init finished\n") == 1; }, 30000))
      << host.output();
  std::string out = host.output();
  EXPECT_EQ(host.countInOutput("Welcome to Kestrin Server [version: 1003]\n"), 2) << out;
  std::size_t installed = out.find("Server patch was successfully installed [version: 1004]\n");
  std::size_t swapped = out.find("kestrinsv: installed new server library " + library);
  ASSERT_NE(installed, std::string::npos) << out;
  ASSERT_NE(swapped, std::string::npos) << out;
  EXPECT_LT(installed, swapped);
  EXPECT_LT(swapped, out.rfind("Welcome to Kestrin Server"));
  EXPECT_EQ(sim.queries().size(), 2u);

  EXPECT_EQ(dir.read("kestrinserver.so"), dir.read("payload.so"));
  EXPECT_EQ(dir.read("kestrinserver.so.bak"), original);
  EXPECT_FALSE(dir.exists("kestrinsv.tmp"));
  // The running code is the new file, not the old one kept as .bak.
  std::ifstream mapsFile("/proc/" + std::to_string(host.pid()) + "/maps");
  std::stringstream maps;
  maps << mapsFile.rdbuf();
  EXPECT_NE(maps.str().find(library + "\n"), std::string::npos) << maps.str();
  EXPECT_EQ(maps.str().find("kestrinserver.so.bak"), std::string::npos);
  host.stop();
}

TEST(ImageToolTest, ShowRefusesBadImages) {
  ScratchDir dir;
  dir.write("short", "KU\x01");
  dir.write("magic", sim::makeImage(3, 0, "payload").replace(0, 2, "MZ"));
  dir.write("size", sim::makeImage(3, 0, "payload", 9));
  dir.write("cldll.dat", sim::makeImage(4, 7000, "client"));

  auto expectShow = [&](const char* file, int status, const char* text) {
    CommandResult shown = imageTool("show " + shellQuoted(dir.file(file)));
    EXPECT_EQ(shown.status, status) << file;
    EXPECT_NE(shown.output.find(text), std::string::npos) << shown.output;
  };
  expectShow("short", 1, "too short");
  expectShow("magic", 1, "bad magic 4D 5A, expected 4B 55");
  expectShow("size", 1, "size mismatch, header says 9 bytes, 7 follow");
  expectShow("cldll.dat", 0, "activation time: 7000\n");

  dir.write("big", std::string(200000, '\0'));
  CommandResult tooLarge = imageTool("make --version 1 --activation 0 --payload " + shellQuoted(dir.file("big")) +
                                     " --out " + shellQuoted(dir.file("big.img")));
  EXPECT_EQ(tooLarge.status, 1) << tooLarge.output;
  EXPECT_FALSE(dir.exists("big.img"));
  CommandResult badVersion = imageTool("make --version 70000 --activation 0 --payload " +
                                       shellQuoted(dir.file("short")) + " --out " + shellQuoted(dir.file("x.img")));
  EXPECT_EQ(badVersion.status, 2) << badVersion.output;
}

}  // namespace
}  // namespace kestrin::e2e
