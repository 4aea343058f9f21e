#include "update/updater.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>

#include "core/run_result.h"
#include "support/output_capture.h"
#include "support/scratch_folder.h"
#include "support/test_keys.h"

namespace kestrin {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

// An image whose header names `payloadSize` bytes, by default the payload's.
std::string image(std::uint16_t version, std::uint32_t activation, const std::string& payload,
                  std::uint32_t payloadSize = UINT32_MAX) {
  std::uint8_t header[wire::kImageHeaderSize];
  writeImageHeader(version, activation,
                   payloadSize == UINT32_MAX ? static_cast<std::uint32_t>(payload.size()) : payloadSize, header);
  return std::string(reinterpret_cast<char*>(header), sizeof header) + payload;
}

std::string signatureOf(const std::string& bytes) {
  std::string signature;
  EXPECT_TRUE(platform::signData(testing::kSigningKey, bytes.data(), bytes.size(), &signature));
  return signature;
}

TEST(ImageHeaderTest, LittleEndianLayoutAndChecks) {
  std::uint8_t bytes[wire::kImageHeaderSize];
  writeImageHeader(0x1234, 0x89ABCDEF, 0x00030D40, bytes);
  const std::uint8_t expected[] = {0x4B, 0x55, 0x00, 0x34, 0x12, 0xEF, 0xCD, 0xAB, 0x89, 0x40, 0x0D, 0x03, 0x00};
  EXPECT_EQ(std::memcmp(bytes, expected, sizeof expected), 0);
  bytes[2] = 0x77;  // the reserved byte is not read
  ImageHeader header = readImageHeader(bytes);
  EXPECT_EQ(header.version, 0x1234);
  EXPECT_EQ(header.activationTime, 0x89ABCDEFu);
  EXPECT_EQ(header.payloadSize, 0x00030D40u);

  std::string badMagic = image(7, 0, "x");
  badMagic[1] = 'V';
  const struct {
    std::string bytes;
    ImageCheck result;
  } cases[] = {{image(7, 0, "payload"), ImageCheck::kOk},         {image(7, 0, ""), ImageCheck::kOk},
               {image(7, 0, "").substr(0, 12), ImageCheck::kTooShort}, {badMagic, ImageCheck::kBadMagic},
               {image(7, 0, "abc", 4), ImageCheck::kSizeMismatch},  {image(7, 0, "abc", 2), ImageCheck::kSizeMismatch}};
  for (const auto& c : cases) {
    EXPECT_EQ(checkImage(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size(), &header), c.result);
    if (c.result == ImageCheck::kOk) {
      EXPECT_EQ(header.version, 7);
    }
  }
}

TEST(UpdateListTest, TimeIsRequiredAndImagesAreNamedByHostAndPath) {
  testing::OutputCapture output;
  const std::string longest = "h /" + std::string(124, 'p');  // 127 characters
  const struct {
    std::string body;
    bool found;
    long long time;  // -1 when not a number
    std::string server, client;  // "host path", "" when none is named
  } cases[] = {
      {"time=4000000\r\nsv=10.0.0.5 /sv/1004.img\ncv=updates.example /cl.img\n", true, 4000000,
       "10.0.0.5 /sv/1004.img", "updates.example /cl.img"},
      {"sv=1.2.3.4 /a\n", false, -1, "", ""},
      {"time=5", false, -1, "", ""},  // the last line lacks its line feed
      {"time=soon\n", true, -1, "", ""},
      {"time=4294967296\n", true, -1, "", ""},
      {"time=4294967295\nsv=no-blank\n", true, 4294967295, "", ""},
      {"time=1\nsv=" + longest + "p\ncv=" + longest + "\n", true, 1, "", longest},
  };
  for (const auto& c : cases) {
    UpdateList list;
    EXPECT_EQ(readUpdateList(c.body.c_str(), &list), c.found) << c.body;
    EXPECT_EQ(list.timeValid ? static_cast<long long>(list.time) : -1, c.time) << c.body;
    EXPECT_EQ(list.server.named ? std::string(list.server.host) + " " + list.server.path : "", c.server) << c.body;
    EXPECT_EQ(list.client.named ? std::string(list.client.host) + " " + list.client.path : "", c.client) << c.body;
  }
  EXPECT_EQ(output.text(), "Error: Update list value of sv longer than 127 characters, ignored\n");
}

// Runs each test in a fresh current folder, as the server works in the
// host's current folder.
class UpdaterFilesTest : public ::testing::Test {
 protected:
  // Puts a downloaded image into `slot` as the update thread does.
  static void fill(ImageSlot& slot, const std::string& bytes, const std::string& signature = "") {
    std::lock_guard<std::mutex> lock(slot.mutex);
    std::memcpy(slot.signature, signature.data(), signature.size());
    slot.signatureSize = signature.size();
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
  // One install step; returns what it printed.
  std::string install(int expected) {
    output.clear();
    EXPECT_EQ(installStep(state, clockNow), expected);
    return output.text();
  }

  testing::ScratchFolder folder;
  std::uint32_t clockNow = 50000;
  UpdateState state;
  testing::OutputCapture output;
};

TEST_F(UpdaterFilesTest, LoadsClientImageAndKeepsItWhenALaterLoadFails) {
  EXPECT_FALSE(loadClientImage(state));
  EXPECT_EQ(output.text(), "Alert: Can't load client dat file\n");
  writeFile(kClientImageFileName, image(9, 0, ""));
  ASSERT_TRUE(loadClientImage(state));
  EXPECT_EQ(state.clientImageVersion.load(), 9);
  writeFile(kClientImageFileName, image(12, 0, "client payload"));
  ASSERT_TRUE(loadClientImage(state));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(state.clientImageData.get()), state.clientImageSize), "client payload");
  EXPECT_TRUE(output.contains("Loaded cldll.dat [version: 12]\n"));

  std::string bad = image(13, 0, "x");
  bad[0] = 0;
  output.clear();
  for (const std::string& file : {bad, image(13, 0, "abc", 5), std::string("KU\0\1", 4)}) {
    writeFile(kClientImageFileName, file);
    EXPECT_FALSE(loadClientImage(state));
  }
  EXPECT_EQ(output.text(),
            "Error, client dat file signature mismatch\n"
            "Error, client dat file size mismatch\n"
            "Error, client dat file size mismatch\n");
  EXPECT_EQ(state.clientImageVersion.load(), 12);
  EXPECT_EQ(state.clientImageSize, 14u);

  // With a pinned key the image loads only beside its good signature.
  const std::string signedImage = image(14, 0, "signed");
  writeFile(kClientImageFileName, signedImage);
  const struct {
    const char* key;
    std::string signature;  // none when empty
    const char* message;
  } cases[] = {
      {testing::kP384VerifyingKey, signatureOf(signedImage),
       "Error: No P-256 public key in update-key.pem, every update will be refused\n"
       "Error, client dat file refused. No P-256 public key in update-key.pem\n"},
      {testing::kVerifyingKey, "", "Error, client dat file refused. No signature in cldll.dat.sig\n"},
      {testing::kVerifyingKey, signatureOf(signedImage) + "0", "Error, client dat file refused. Malformed signature\n"},
      {testing::kVerifyingKey, signatureOf(bad), "Error, client dat file refused. Wrong signature\n"},
      {testing::kVerifyingKey, signatureOf(signedImage), "Loaded cldll.dat [version: 14]\n"},
  };
  for (const auto& c : cases) {
    writeFile(kUpdateKeyFileName, c.key);
    fs::remove(kClientImageSignatureFileName);
    if (!c.signature.empty()) writeFile(kClientImageSignatureFileName, c.signature);
    output.clear();
    loadUpdateKey(state);
    EXPECT_EQ(loadClientImage(state), c.message[0] == 'L');
    EXPECT_EQ(output.text(), (c.key == testing::kVerifyingKey ? "Loaded update-key.pem, updates must be signed\n" : "") +
                                 std::string(c.message));
  }
  EXPECT_EQ(state.clientImageVersion.load(), 14);
}

TEST_F(UpdaterFilesTest, ServerImageWaitsForItsActivationTimeAndMustBeNewer) {
  fill(state.serverImage, image(1003, 0, "same version"));
  EXPECT_EQ(install(kRunOn), "Serious error. Downloaded server version is the same as local version\n");
  EXPECT_FALSE(ready(state.serverImage));
  fill(state.serverImage, image(1004, 60000, "new server library"));
  fill(state.clientImage, image(1, 0, "c"));
  clockNow = 59999;
  EXPECT_EQ(install(kRunOn), "Client patch was successfully installed [version: 1]\nLoaded cldll.dat [version: 1]\n");
  EXPECT_TRUE(ready(state.serverImage));
  EXPECT_FALSE(fs::exists(kServerImageFileName));
  clockNow = 60000;
  // The server image goes first; it is written as its payload alone.
  fill(state.clientImage, image(2, 0, "c"));
  EXPECT_EQ(install(kRunServerInstalled), "Server patch was successfully installed [version: 1004]\n");
  EXPECT_EQ(readFile(kServerImageFileName), "new server library");
  EXPECT_FALSE(ready(state.serverImage));
  EXPECT_TRUE(ready(state.clientImage));
}

TEST_F(UpdaterFilesTest, NewerClientImageIsWrittenWholeAndLoaded) {
  writeFile(kClientImageFileName, image(3, 0, "old"));
  ASSERT_TRUE(loadClientImage(state));
  const std::string update = image(4, 0, "new client");
  fill(state.clientImage, update);
  EXPECT_EQ(install(kRunOn), "Client patch was successfully installed [version: 4]\nLoaded cldll.dat [version: 4]\n");
  EXPECT_EQ(readFile(kClientImageFileName), update);
  EXPECT_FALSE(fs::exists(kClientImageTempFileName));
  EXPECT_EQ(state.clientImageVersion.load(), 4);

  fill(state.clientImage, image(4, 0, "again"));
  EXPECT_EQ(install(kRunOn), "Serious error. Downloaded client version is the same as local version\n");
  EXPECT_FALSE(ready(state.clientImage));
  EXPECT_EQ(readFile(kClientImageFileName), update);

  // Installed, but its header does not match its payload.
  fill(state.clientImage, image(5, 0, "abc", 4));
  EXPECT_EQ(install(kRunError),
            "Client patch was successfully installed [version: 5]\nError, client dat file size mismatch\n");

  // A signed image's signature is written beside it and checked at the load.
  state.keyPinned = true;
  state.updateKey = testing::kVerifyingKey;
  const std::string signedUpdate = image(6, 0, "signed client"), signature = signatureOf(signedUpdate);
  fill(state.clientImage, signedUpdate, signature);
  EXPECT_EQ(install(kRunOn), "Client patch was successfully installed [version: 6]\nLoaded cldll.dat [version: 6]\n");
  EXPECT_EQ(readFile(kClientImageSignatureFileName), signature);
}

TEST_F(UpdaterFilesTest, ImageThatCannotBeWrittenWaitsAndTheOldFileStaysWhole) {
  // "/dev/full" takes no byte; a link to it stands for a full disk.  The
  // partial file is removed, which removes the link, never the device.
  const bool full = fs::is_character_file("/dev/full");
  const struct {
    const char* obstacle;
    bool folder;
    bool server;
    const char* message;
  } cases[] = {
      {kServerImageFileName, true, true, "Can't open server dat file for writing\n"},
      {kClientImageTempFileName, true, false, "Can't open client dat file for writing\n"},
      {kClientImageFileName, true, false, "Can't replace client dat file\n"},
      {kClientImageSignatureTempFileName, true, false, "Can't open client dat file for writing\n"},
      {kClientImageSignatureFileName, true, false, "Can't replace client dat file\n"},
      {kServerImageFileName, false, true, "Can't write server dat file, removed it\n"},
      {kClientImageTempFileName, false, false, "Can't write client dat file, removed it\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.message);
    if (!c.folder && !full) continue;  // no such device on this system
    testing::ScratchFolder scratch;
    const std::string old = image(3, 0, "old");
    if (std::string(c.obstacle) != kClientImageFileName) writeFile(kClientImageFileName, old);
    if (c.folder) {
      fs::create_directories(fs::path(c.obstacle) / "inside");
    } else {
      fs::create_symlink("/dev/full", c.obstacle);
    }
    ImageSlot& slot = c.server ? state.serverImage : state.clientImage;
    fill(slot, c.server ? image(1004, 0, "server") : image(4, 0, "client"), "signature");
    // A folder stays in the way and is met again; a link goes at once.
    for (int step = 0; step < (c.folder ? 2 : 1); ++step) EXPECT_EQ(install(kRunOn), c.message);
    EXPECT_TRUE(ready(slot));
    for (const char* temporary : {kClientImageTempFileName, kClientImageSignatureTempFileName}) {
      if (std::string(c.obstacle) != temporary) {
        EXPECT_FALSE(fs::exists(temporary)) << temporary;
      }
    }
    if (std::string(c.obstacle) != kClientImageFileName) {
      EXPECT_EQ(readFile(kClientImageFileName), old);
    }
    if (c.folder) {
      fs::remove_all(c.obstacle);
    } else {
      EXPECT_FALSE(fs::exists(fs::symlink_status(c.obstacle)));
      EXPECT_TRUE(fs::is_character_file("/dev/full"));
    }
    EXPECT_EQ(install(c.server ? kRunServerInstalled : kRunOn),
              c.server ? "Server patch was successfully installed [version: 1004]\n"
                       : "Client patch was successfully installed [version: 4]\nLoaded cldll.dat [version: 4]\n");
    state.clientImageVersion.store(0);
  }
}

}  // namespace
}  // namespace kestrin
