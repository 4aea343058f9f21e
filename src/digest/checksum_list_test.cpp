#include "digest/checksum_list.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "digest/digest_transform.h"
#include "digest/pe_image.h"
#include "support/output_capture.h"
#include "support/pe_test_image.h"
#include "support/scratch_folder.h"

namespace kestrin {
namespace {

// A scratch folder "files" holding one library and one model.
class ChecksumListTest : public ::testing::Test {
 protected:
  ChecksumListTest() {
    std::filesystem::create_directory("files");
    write("client.dll", library);
    write("player.mdl", std::vector<std::uint8_t>(5000, 0x5A));
    output.clear();
  }
  static void write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    testing::writeFile("files/" + name, bytes);
  }

  testing::ScratchFolder folder;
  const std::vector<std::uint8_t> library =
      testing::codeImage(2, {{0x1000, {testing::highLow(4)}}, {0x2000, {}}}).build();
  testing::OutputCapture output;
  ChecksumList list;
};

TEST_F(ChecksumListTest, AppendsLibrariesAndModelsWithTheirDigests) {
  ASSERT_TRUE(list.addCheckFile("files", "client.dll", false));
  ASSERT_TRUE(list.addCheckFile("files/", "player.mdl", true));
  EXPECT_EQ(output.text(), "Game: Added dll [client.dll] to checksum list\nGame: Added mdl [player.mdl] to checksum list\n");
  ASSERT_EQ(list.checkFileCount, 2);
  EXPECT_STREQ(list.checkFileNames[1], "player.mdl");
  EXPECT_EQ(list.checkFileKinds[0], kCheckFileLibrary);
  EXPECT_EQ(list.checkFileKinds[1], kCheckFileModel);
  EXPECT_EQ(list.checkFileSeeds[0], 0xC6FE4254u);
  EXPECT_EQ(list.checkFileSeeds[1], nameDigest("player.mdl"));
  FileDigest state;
  ASSERT_EQ(codePagesDigest(loadImageFromMemory(library.data(), library.size()), state.words, 4), kCodePagesOk);
  EXPECT_EQ(list.checkFileDigests[0], state.words[0]);
  std::uint32_t model = 0;
  ASSERT_TRUE(modelDigest("files/player.mdl", &model));
  EXPECT_EQ(list.checkFileDigests[1], model);
}

TEST_F(ChecksumListTest, RefusalsNameTheReasonAndLeaveTheListUnchanged) {
  write("norelocs.dll", testing::TestImage{}.build());
  write(std::string(31, 'm'), {1});
  const std::string deep(300, 'd');
  const struct {
    std::string directory, name;
    bool model;
    std::string message;
  } cases[] = {
      {"files", "models/player.mdl", true, "Game: Error, slashes are not allowed in checksum file name\n"},
      {"files", "models\\player.mdl", true, "Game: Error, slashes are not allowed in checksum file name\n"},
      {"files", "missing.mdl", true, "Game: Can't open mdl files/missing.mdl\n"},
      // A directory that ends with a backslash gets no "/".
      {"files\\", "missing.dll", false, "Game: Can't open dll files\\missing.dll\n"},
      {"files", "player.mdl", false, "Game: Can't open dll files/player.mdl\n"},
      {"files", "norelocs.dll", false, "Game: Can't open dll files/norelocs.dll\n"},
      {"files", std::string(32, 'm'), true,
       "Game: Error, checksum file name longer than 31 characters [" + std::string(32, 'm') + "]\n"},
      {deep, "client.dll", false, "Game: Error, checksum file path longer than 259 characters [client.dll]\n"},
  };
  for (const auto& c : cases) {
    output.clear();
    EXPECT_FALSE(list.addCheckFile(c.directory.c_str(), c.name.c_str(), c.model));
    EXPECT_EQ(output.text(), c.message);
  }
  EXPECT_EQ(list.checkFileCount, 0);
  EXPECT_EQ(list.checkFileNames[0][0], '\0');

  // At most 32 files, with names of up to 31 characters.
  for (int k = 0; k < 32; ++k) ASSERT_TRUE(list.addCheckFile("files", std::string(31, 'm').c_str(), true));
  output.clear();
  EXPECT_FALSE(list.addCheckFile("files", "client.dll", false));
  EXPECT_EQ(output.text(), "Game: Error, more than 32 checksum files [client.dll]\n");
  EXPECT_EQ(list.checkFileCount, 32);
}

}  // namespace
}  // namespace kestrin
