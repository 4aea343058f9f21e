#include "update/updater.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "core/server.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

// An image whose header names `payloadSize` bytes, by default the payload's.
std::string image(std::uint16_t version, std::uint32_t activation, const std::string& payload,
                  std::uint32_t payloadSize = UINT32_MAX) {
  std::uint8_t header[wire::kImageHeaderSize];
  writeImageHeader(version, activation,
                   payloadSize == UINT32_MAX ? static_cast<std::uint32_t>(payload.size()) : payloadSize, header);
  return std::string(reinterpret_cast<char*>(header), sizeof header) + payload;
}

ImageCheck check(const std::string& bytes, ImageHeader* header) {
  return checkImage(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), header);
}

TEST(ImageHeaderTest, LayoutIsLittleEndianWithoutPadding) {
  std::uint8_t bytes[wire::kImageHeaderSize];
  writeImageHeader(0x1234, 0x89ABCDEF, 0x00030D40, bytes);
  const std::uint8_t expected[] = {0x4B, 0x55, 0x00, 0x34, 0x12, 0xEF, 0xCD,
                                   0xAB, 0x89, 0x40, 0x0D, 0x03, 0x00};
  EXPECT_EQ(std::memcmp(bytes, expected, sizeof expected), 0);
  bytes[2] = 0x77;  // the reserved byte is not read
  ImageHeader header = readImageHeader(bytes);
  EXPECT_EQ(header.version, 0x1234);
  EXPECT_EQ(header.activationTime, 0x89ABCDEFu);
  EXPECT_EQ(header.payloadSize, 0x00030D40u);
}

TEST(ImageHeaderTest, CheckFindsShortBadAndMismatchedImages) {
  ImageHeader header;
  EXPECT_EQ(check(image(7, 0, "payload"), &header), ImageCheck::kOk);
  EXPECT_EQ(header.version, 7);
  EXPECT_EQ(check(image(7, 0, ""), &header), ImageCheck::kOk);
  EXPECT_EQ(check(image(7, 0, "").substr(0, 12), &header), ImageCheck::kTooShort);
  std::string bad = image(7, 0, "x");
  bad[1] = 'V';
  EXPECT_EQ(check(bad, &header), ImageCheck::kBadMagic);
  EXPECT_EQ(check(image(7, 0, "abc", 4), &header), ImageCheck::kSizeMismatch);
  EXPECT_EQ(check(image(7, 0, "abc", 2), &header), ImageCheck::kSizeMismatch);
}

TEST(UpdateListTest, ReadsTimeAndImageSources) {
  UpdateList list;
  ASSERT_TRUE(readUpdateList("time=4000000\r\nsv=10.0.0.5 /sv/1004.img\ncv=updates.example /cl.img\n",
                             &list));
  EXPECT_TRUE(list.timeValid);
  EXPECT_EQ(list.time, 4000000u);
  EXPECT_TRUE(list.server.named);
  EXPECT_STREQ(list.server.host, "10.0.0.5");
  EXPECT_STREQ(list.server.path, "/sv/1004.img");
  EXPECT_TRUE(list.client.named);
  EXPECT_STREQ(list.client.host, "updates.example");
}

TEST(UpdateListTest, TimeIsRequiredAndMayBeNoNumber) {
  UpdateList list;
  EXPECT_FALSE(readUpdateList("sv=1.2.3.4 /a\n", &list));
  EXPECT_FALSE(readUpdateList("time=5", &list));  // the last line lacks its line feed
  ASSERT_TRUE(readUpdateList("time=soon\n", &list));
  EXPECT_FALSE(list.timeValid);
  ASSERT_TRUE(readUpdateList("time=4294967296\n", &list));
  EXPECT_FALSE(list.timeValid);
  ASSERT_TRUE(readUpdateList("time=4294967295\nsv=no-blank\n", &list));
  EXPECT_TRUE(list.timeValid);
  EXPECT_FALSE(list.server.named);
  EXPECT_FALSE(list.client.named);
}

TEST(UpdateListTest, ValuesOver127CharactersAreIgnoredWithAMessage) {
  testing::OutputCapture output;
  std::string longest = "h /" + std::string(124, 'p');  // 127 characters
  UpdateList list;
  ASSERT_TRUE(readUpdateList(("time=1\nsv=" + longest + "p\ncv=" + longest + "\n").c_str(), &list));
  EXPECT_FALSE(list.server.named);
  EXPECT_TRUE(list.client.named);
  EXPECT_EQ(std::string(list.client.path), longest.substr(2));
  EXPECT_EQ(output.text(), "Error: Update list value of sv longer than 127 characters, ignored\n");
}

// Runs each test in a fresh current folder, as the server works in the
// host's current folder.
class UpdaterFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    folder_ = std::filesystem::temp_directory_path() /
              ("kestrin-updater-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    std::filesystem::current_path(folder_);
    state_.clockNow = &clockNow_;
    state_.clockOffset = &clockOffset_;
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(folder_);
  }

  static void write(const std::string& name, const std::string& content) {
    std::ofstream(name, std::ios::binary) << content;
  }
  static std::string read(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  // Puts a downloaded image into `slot` as the update thread does.
  static void fill(ImageSlot& slot, const std::string& bytes) {
    std::lock_guard<std::mutex> lock(slot.mutex);
    std::memcpy(slot.header, bytes.data(), wire::kImageHeaderSize);
    slot.size = static_cast<std::uint32_t>(bytes.size() - wire::kImageHeaderSize);
    slot.data.reset(new std::uint8_t[slot.size + 1]);
    std::memcpy(slot.data.get(), bytes.data() + wire::kImageHeaderSize, slot.size);
    slot.ready = true;
  }
  static bool ready(ImageSlot& slot) {
    std::lock_guard<std::mutex> lock(slot.mutex);
    return slot.ready;
  }

  std::filesystem::path previous_;
  std::filesystem::path folder_;
  std::uint32_t clockNow_ = 50000;
  std::atomic<std::uint32_t> clockOffset_{10000};
  UpdateState state_;
  testing::OutputCapture output_;
};

TEST_F(UpdaterFilesTest, LoadsClientImageAndKeepsItWhenALaterLoadFails) {
  EXPECT_FALSE(loadClientImage(state_));
  EXPECT_EQ(output_.text(), "Alert: Can't load client dat file\n");

  write("cldll.dat", image(9, 0, ""));
  ASSERT_TRUE(loadClientImage(state_));
  EXPECT_EQ(state_.clientImageVersion.load(), 9);
  EXPECT_EQ(state_.clientImageSize, 0u);

  write("cldll.dat", image(12, 0, "client payload"));
  ASSERT_TRUE(loadClientImage(state_));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(state_.clientImageData.get()), state_.clientImageSize),
            "client payload");
  EXPECT_NE(output_.text().find("Loaded cldll.dat [version: 12]\n"), std::string::npos);

  output_.clear();
  std::string bad = image(13, 0, "x");
  bad[0] = 0;
  write("cldll.dat", bad);
  EXPECT_FALSE(loadClientImage(state_));
  write("cldll.dat", image(13, 0, "abc", 5));
  EXPECT_FALSE(loadClientImage(state_));
  write("cldll.dat", "KU\0\1");
  EXPECT_FALSE(loadClientImage(state_));
  EXPECT_EQ(output_.text(),
            "Error, client dat file signature mismatch\n"
            "Error, client dat file size mismatch\n"
            "Error, client dat file size mismatch\n");
  EXPECT_EQ(state_.clientImageVersion.load(), 12);
  EXPECT_EQ(state_.clientImageSize, 14u);
}

TEST_F(UpdaterFilesTest, ServerImageWaitsForItsActivationTimeThenIsWrittenAsPayload) {
  fill(state_.serverImage, image(1004, 60000, "new server library"));
  EXPECT_EQ(installStep(state_), kRunOn);
  EXPECT_TRUE(ready(state_.serverImage));
  EXPECT_FALSE(std::filesystem::exists(kServerImageFileName));
  clockNow_ = 60000;
  EXPECT_EQ(installStep(state_), kRunServerInstalled);
  EXPECT_EQ(read(kServerImageFileName), "new server library");
  EXPECT_FALSE(ready(state_.serverImage));
  EXPECT_EQ(output_.text(), "Server patch was successfully installed [version: 1004]\n");
}

TEST_F(UpdaterFilesTest, UncreatableServerFileIsRetriedEveryStep) {
  std::filesystem::create_directory(kServerImageFileName);
  fill(state_.serverImage, image(1004, 0, "x"));
  EXPECT_EQ(installStep(state_), kRunOn);
  EXPECT_EQ(installStep(state_), kRunOn);
  EXPECT_TRUE(ready(state_.serverImage));
  EXPECT_EQ(output_.text(),
            "Can't open server dat file for writing\nCan't open server dat file for writing\n");
  std::filesystem::remove(kServerImageFileName);
  EXPECT_EQ(installStep(state_), kRunServerInstalled);
}

TEST_F(UpdaterFilesTest, NewerClientImageIsWrittenWholeAndLoaded) {
  write("cldll.dat", image(3, 0, "old"));
  ASSERT_TRUE(loadClientImage(state_));
  std::string update = image(4, 0, "new client");
  fill(state_.clientImage, update);
  output_.clear();
  EXPECT_EQ(installStep(state_), kRunOn);
  EXPECT_EQ(read("cldll.dat"), update);
  EXPECT_FALSE(std::filesystem::exists(kClientImageTempFileName));
  EXPECT_EQ(state_.clientImageVersion.load(), 4);
  EXPECT_EQ(output_.text(),
            "Client patch was successfully installed [version: 4]\nLoaded cldll.dat [version: 4]\n");

  fill(state_.clientImage, image(4, 0, "again"));
  output_.clear();
  EXPECT_EQ(installStep(state_), kRunOn);
  EXPECT_FALSE(ready(state_.clientImage));
  EXPECT_EQ(read("cldll.dat"), update);
  EXPECT_EQ(output_.text(), "Serious error. Downloaded client version is the same as local version\n");
}

TEST_F(UpdaterFilesTest, ClientImageThatCannotBeWrittenLeavesTheOldFileWhole) {
  std::string old = image(3, 0, "old");
  write("cldll.dat", old);
  std::filesystem::create_directory(kClientImageTempFileName);
  fill(state_.clientImage, image(4, 0, "new"));
  EXPECT_EQ(installStep(state_), kRunOn);
  EXPECT_TRUE(ready(state_.clientImage));
  EXPECT_EQ(read("cldll.dat"), old);
  EXPECT_EQ(output_.text(), "Can't open client dat file for writing\n");
}

TEST_F(UpdaterFilesTest, InstalledClientImageThatFailsToLoadStopsWith2) {
  fill(state_.clientImage, image(5, 0, "abc", 4));  // its header does not match its payload
  EXPECT_EQ(installStep(state_), kRunError);
  EXPECT_EQ(output_.text(),
            "Client patch was successfully installed [version: 5]\n"
            "Error, client dat file size mismatch\n");
}

TEST_F(UpdaterFilesTest, ServerImageGoesFirst) {
  fill(state_.serverImage, image(1004, 0, "s"));
  fill(state_.clientImage, image(1, 0, "c"));
  EXPECT_EQ(installStep(state_), kRunServerInstalled);
  EXPECT_TRUE(ready(state_.clientImage));
}

}  // namespace
}  // namespace kestrin
