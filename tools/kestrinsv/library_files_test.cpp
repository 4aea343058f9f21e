// The swap of a new server library, its trial and its rollback, on files in
// a scratch folder.
#include "kestrinsv/library_files.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/scratch_folder.h"

namespace kestrin::host {
namespace {

using testing::readFile;
using testing::writeFile;

constexpr const char* kNewDigest = "11507a0e2f5e69d5dfa40a62a1bd7b6ee57e6bcd85c67c9b8431b36fff21c437";
constexpr const char* kNewerDigest = "804f51f71254c4081e37e7c887073560f4a6fa6cdad202e9ac67e032c43ed1e1";
constexpr const char* kSpareDigest = "cf2d9706736982fb261656d2e712344c3c38bd94b34a444ea4f3ce97591cd48f";

TEST(LibraryFilesTest, ARolledBackLibraryIsNeverInstalledAgain) {
  testing::ScratchFolder folder;
  const LibraryFiles files("server.so");
  // A list edited on Windows.
  writeFile(kRejectedList, "not a digest\r\n" + std::string(kSpareDigest) + "\r\n");
  writeFile("server.so", "old");
  writeFile(kServerImage, "new");
  ASSERT_EQ(files.installNewLibrary(), LibraryFiles::Install::kInstalled);
  EXPECT_EQ(readFile("server.so"), "new");
  EXPECT_EQ(readFile("server.so.bak"), "old");
  EXPECT_FALSE(std::filesystem::exists(kServerImage));
  EXPECT_TRUE(files.onTrial());

  ASSERT_TRUE(files.rollBack("failed"));
  EXPECT_EQ(readFile("server.so"), "old");
  EXPECT_FALSE(std::filesystem::exists("server.so.bak"));
  EXPECT_FALSE(files.onTrial());

  for (const char* refused : {"new", "spare"}) {
    writeFile(kServerImage, refused);
    EXPECT_EQ(files.installNewLibrary(), LibraryFiles::Install::kRefused) << refused;
    EXPECT_FALSE(std::filesystem::exists(kServerImage));
    EXPECT_EQ(readFile("server.so"), "old");
    EXPECT_FALSE(files.onTrial());
  }

  writeFile(kServerImage, "newer");
  ASSERT_EQ(files.installNewLibrary(), LibraryFiles::Install::kInstalled);
  files.startupFinished();
  EXPECT_FALSE(files.onTrial());
  // Without the kept library nothing can be put back; the marker goes all
  // the same, and a digest is listed once.
  std::filesystem::remove("server.so.bak");
  writeFile("server.so.trial", "");
  EXPECT_FALSE(files.rollBack("failed"));
  EXPECT_FALSE(files.onTrial());
  EXPECT_FALSE(files.rollBack("failed"));
  EXPECT_EQ(readFile(kRejectedList),
            "not a digest\r\n" + std::string(kSpareDigest) + "\r\n" + kNewDigest + "\n" + kNewerDigest + "\n");
  EXPECT_EQ(files.installNewLibrary(), LibraryFiles::Install::kFailed);  // nothing to install
}

}  // namespace
}  // namespace kestrin::host
