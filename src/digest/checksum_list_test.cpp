#include "digest/checksum_list.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "digest/digest_transform.h"
#include "digest/pe_image.h"
#include "support/pe_test_image.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

namespace fs = std::filesystem;

// A scratch folder holding one library and one model.
class ChecksumListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("kestrin_checksum_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(directory_);
    library_ = testing::codeImage(2, {{0x1000, {testing::highLow(4)}}, {0x2000, {}}}).build();
    write("client.dll", library_);
    model_.resize(5000);
    for (std::size_t k = 0; k < model_.size(); ++k) model_[k] = static_cast<std::uint8_t>(k * 7);
    write("player.mdl", model_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  void write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::fopen((directory_ / name).string().c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
  }
  std::string dir() const { return directory_.string(); }

  fs::path directory_;
  std::vector<std::uint8_t> library_;
  std::vector<std::uint8_t> model_;
  testing::OutputCapture output_;
};

TEST_F(ChecksumListTest, AppendsLibrariesAndModelsWithTheirDigests) {
  ChecksumList list;
  ASSERT_TRUE(list.addCheckFile(dir().c_str(), "client.dll", false));
  ASSERT_TRUE(list.addCheckFile((dir() + "/").c_str(), "player.mdl", true));
  EXPECT_EQ(output_.text(),
            "Game: Added dll [client.dll] to checksum list\n"
            "Game: Added mdl [player.mdl] to checksum list\n");
  ASSERT_EQ(list.checkFileCount, 2);
  EXPECT_STREQ(list.checkFileNames[0], "client.dll");
  EXPECT_STREQ(list.checkFileNames[1], "player.mdl");
  EXPECT_EQ(list.checkFileKinds[0], kCheckFileLibrary);
  EXPECT_EQ(list.checkFileKinds[1], kCheckFileModel);
  EXPECT_EQ(list.checkFileSeeds[0], 0xC6FE4254u);
  EXPECT_EQ(list.checkFileSeeds[1], nameDigest("player.mdl"));

  std::uint32_t expected = 0;
  FileDigest state;
  ASSERT_EQ(codePagesDigest(loadImageFromMemory(library_.data(), library_.size()), state.words, 4), kCodePagesOk);
  EXPECT_EQ(list.checkFileDigests[0], state.words[0]);
  ASSERT_TRUE(modelDigest((directory_ / "player.mdl").string().c_str(), &expected));
  EXPECT_EQ(list.checkFileDigests[1], expected);
  EXPECT_NE(expected, 0u);
}

TEST_F(ChecksumListTest, RefusalsNameTheReasonAndLeaveTheListUnchanged) {
  ChecksumList list;
  EXPECT_FALSE(list.addCheckFile(dir().c_str(), "models/player.mdl", true));
  EXPECT_FALSE(list.addCheckFile(dir().c_str(), "models\\player.mdl", true));
  EXPECT_EQ(output_.text(),
            "Game: Error, slashes are not allowed in checksum file name\n"
            "Game: Error, slashes are not allowed in checksum file name\n");
  output_.clear();

  EXPECT_FALSE(list.addCheckFile(dir().c_str(), "missing.mdl", true));
  EXPECT_EQ(output_.text(), "Game: Can't open mdl " + dir() + "/missing.mdl\n");
  output_.clear();
  // A directory that ends with a backslash gets no "/".
  EXPECT_FALSE(list.addCheckFile((dir() + "\\").c_str(), "missing.dll", false));
  EXPECT_EQ(output_.text(), "Game: Can't open dll " + dir() + "\\missing.dll\n");
  output_.clear();

  // A model passed as a library is not a PE image; so is a file without
  // relocations.
  EXPECT_FALSE(list.addCheckFile(dir().c_str(), "player.mdl", false));
  EXPECT_EQ(output_.text(), "Game: Can't open dll " + dir() + "/player.mdl\n");
  write("norelocs.dll", testing::TestImage{}.build());
  EXPECT_FALSE(list.addCheckFile(dir().c_str(), "norelocs.dll", false));
  EXPECT_EQ(list.checkFileCount, 0);
  EXPECT_EQ(list.checkFileNames[0][0], '\0');
}

TEST_F(ChecksumListTest, HoldsAtMost32NamesOf31Characters) {
  ChecksumList list;
  const std::string longest(31, 'm');
  write(longest, model_);
  ASSERT_TRUE(list.addCheckFile(dir().c_str(), longest.c_str(), true));
  EXPECT_STREQ(list.checkFileNames[0], longest.c_str());
  output_.clear();
  EXPECT_FALSE(list.addCheckFile(dir().c_str(), (longest + "m").c_str(), true));
  EXPECT_EQ(output_.text(), "Game: Error, checksum file name longer than 31 characters [" + longest + "m]\n");

  for (int k = 1; k < 32; ++k) ASSERT_TRUE(list.addCheckFile(dir().c_str(), "player.mdl", true));
  EXPECT_EQ(list.checkFileCount, 32);
  output_.clear();
  EXPECT_FALSE(list.addCheckFile(dir().c_str(), "client.dll", false));
  EXPECT_EQ(output_.text(), "Game: Error, more than 32 checksum files [client.dll]\n");
  EXPECT_EQ(list.checkFileCount, 32);
  EXPECT_STREQ(list.checkFileNames[31], "player.mdl");

  ChecksumList other;
  output_.clear();
  const std::string deep(300, 'd');
  EXPECT_FALSE(other.addCheckFile(deep.c_str(), "client.dll", false));
  EXPECT_EQ(output_.text(), "Game: Error, checksum file path longer than 259 characters [client.dll]\n");
}

}  // namespace
}  // namespace kestrin
