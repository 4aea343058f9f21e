#include "update/updater.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/byte_order.h"
#include "core/print.h"
#include "core/run_result.h"

namespace kestrin {
namespace {

constexpr const char* kUpdateServer = KESTRIN_UPDATE_SERVER;
// Characters of an `sv` or `cv` value: host, blank and path together.
constexpr std::size_t kMaxImageSourceLength = 127;
constexpr std::size_t kQueryPathSize = 64;

// Empties a slot; the caller holds its lock.
void discard(ImageSlot& slot) {
  slot.ready = false;
  slot.data.reset();
  slot.size = 0;
}

void clearSlot(ImageSlot& slot) {
  std::lock_guard<std::mutex> lock(slot.mutex);
  discard(slot);
}

// Reads an `sv` or `cv` line into `source`.
void readImageSource(const char* key, const char* body, ImageSource* source) {
  LineText value;
  if (!findKeyValue(key, '=', value, body)) return;
  if (std::strlen(value) > kMaxImageSourceLength) {
    printMessage("Error: Update list value of %s longer than %u characters, ignored\n", key,
                 static_cast<unsigned>(kMaxImageSourceLength));
    return;
  }
  source->named = splitAt(value, ' ', source->host, source->path);
}

enum class FileWrite { kWritten, kNotCreated, kFailed };

// Writes `length` bytes of `data` after an optional header into `fileName`,
// created anew.  When a write or the close fails the partial file is
// removed.
FileWrite writeImageFile(const char* fileName, const std::uint8_t* header,
                         const std::uint8_t* data, std::size_t length) {
  std::FILE* file = std::fopen(fileName, "wb");
  if (file == nullptr) return FileWrite::kNotCreated;
  bool written = true;
  if (header != nullptr)
    written = std::fwrite(header, 1, wire::kImageHeaderSize, file) == wire::kImageHeaderSize;
  if (written && length > 0) written = std::fwrite(data, 1, length, file) == length;
  if (std::fclose(file) != 0) written = false;
  if (written) return FileWrite::kWritten;
  platform::removeFile(fileName);
  return FileWrite::kFailed;
}

// True when the slot holds an image whose activation time has come by
// `now`, read into `header`.  The caller holds the slot's lock.
bool slotDue(const ImageSlot& slot, std::uint32_t now, ImageHeader* header) {
  if (!slot.ready) return false;
  *header = readImageHeader(slot.header);
  return header->activationTime <= now;
}

}  // namespace

ImageHeader readImageHeader(const std::uint8_t* bytes) {
  ImageHeader header;
  header.magic0 = bytes[wire::kImageMagic0Offset];
  header.magic1 = bytes[wire::kImageMagic1Offset];
  header.version = loadLe16(bytes + wire::kImageVersionOffset);
  header.activationTime = loadLe32(bytes + wire::kImageActivationOffset);
  header.payloadSize = loadLe32(bytes + wire::kImagePayloadSizeOffset);
  return header;
}

void writeImageHeader(std::uint16_t version, std::uint32_t activationTime,
                      std::uint32_t payloadSize, std::uint8_t* out) {
  std::memset(out, 0, wire::kImageHeaderSize);
  out[wire::kImageMagic0Offset] = wire::kImageMagic0;
  out[wire::kImageMagic1Offset] = wire::kImageMagic1;
  storeLe16(out + wire::kImageVersionOffset, version);
  storeLe32(out + wire::kImageActivationOffset, activationTime);
  storeLe32(out + wire::kImagePayloadSizeOffset, payloadSize);
}

ImageCheck checkImage(const std::uint8_t* bytes, std::size_t length, ImageHeader* header) {
  if (length < wire::kImageHeaderSize) return ImageCheck::kTooShort;
  *header = readImageHeader(bytes);
  if (header->magic0 != wire::kImageMagic0 || header->magic1 != wire::kImageMagic1)
    return ImageCheck::kBadMagic;
  if (header->payloadSize != length - wire::kImageHeaderSize) return ImageCheck::kSizeMismatch;
  return ImageCheck::kOk;
}

bool readUpdateList(const char* body, UpdateList* list) {
  *list = UpdateList{};
  LineText value;
  if (!findKeyValue("time", '=', value, body)) return false;
  list->hasTime = true;
  std::uint64_t time = 0;
  if (readDecimal(value, &time) && time <= UINT32_MAX) {
    list->timeValid = true;
    list->time = static_cast<std::uint32_t>(time);
  }
  readImageSource("sv", body, &list->server);
  readImageSource("cv", body, &list->client);
  return true;
}

// ------------------------------------------------------------ checks

bool startUpdater(UpdateState& state, std::atomic<std::uint32_t>* clockOffset) {
  state.clockOffset = clockOffset;
  platform::startSockets();
  state.connection.setStopSignal(&state.stop);
  clearSlot(state.serverImage);
  clearSlot(state.clientImage);
  if (!updateCheck(state)) {
    printMessage("Error: Could not get mastertime\n");
    return false;
  }
  printMessage("Got mastertime %d\n", static_cast<int>(state.clockOffset->load()));
  if (!state.thread.start(&updateThreadMain, &state)) {
    printMessage("Error: Could not start update thread\n");
    return false;
  }
  return true;
}

void stopUpdater(UpdateState& state) {
  state.stop.request();
  state.thread.join();
  clearSlot(state.serverImage);
  clearSlot(state.clientImage);
  state.clientImageData.reset();
  state.clientImageSize = 0;
}

void updateThreadMain(void* argument) {
  UpdateState& state = *static_cast<UpdateState*>(argument);
  while (state.stop.sleep(state.checkPeriodMs)) updateCheck(state);
}

bool updateCheck(UpdateState& state) {
  char path[kQueryPathSize];
  std::snprintf(path, sizeof path, "/update.php?sv=%d&cv=%u&os=%s", wire::kServerVersion,
                static_cast<unsigned>(state.clientImageVersion.load()), kUpdateOsName);
  printMessage("Checking for update\n");

  char body[wire::kUpdateListSize + 1];
  std::size_t length = wire::kUpdateListSize;
  int code = httpGet(state.connection, kUpdateServer, path, body, &length);
  if (code == kHttpStopped) return false;
  if (code != kHttpOk) {
    printMessage("Error receiving update list. Error code #%d\n", code);
    return false;
  }

  UpdateList list;
  if (!readUpdateList(body, &list)) return false;
  if (list.timeValid) state.clockOffset->store(list.time);
  if (list.server.named) {
    printMessage("Downloading server update %s\n", list.server.path);
    downloadImage(state, list.server.host, list.server.path, state.serverImage);
  }
  if (list.client.named) {
    printMessage("Downloading client update %s\n", list.client.path);
    downloadImage(state, list.client.host, list.client.path, state.clientImage);
  }
  return true;
}

bool downloadImage(UpdateState& state, const char* host, const char* path, ImageSlot& slot) {
  clearSlot(slot);
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow)
                                             std::uint8_t[wire::kImageBufferSize + 1]);
  if (!buffer) {
    printMessage("Error receiving update %s. Out of memory\n", path);
    return false;
  }
  std::size_t length = wire::kImageBufferSize;
  int code = httpGet(state.connection, host, path, reinterpret_cast<char*>(buffer.get()), &length);
  if (code == kHttpStopped) return false;
  if (code != kHttpOk) {
    printMessage("Error receiving update %s. Error code #%d\n", path, code);
    return false;
  }

  ImageHeader header;
  switch (checkImage(buffer.get(), length, &header)) {
    case ImageCheck::kOk:
      break;
    case ImageCheck::kBadMagic:
      printMessage("Error receiving update %s. Signature mismatch\n", path);
      return false;
    case ImageCheck::kTooShort:
    case ImageCheck::kSizeMismatch:
      printMessage("Error receiving update %s. Filesize mismatch\n", path);
      return false;
  }

  std::lock_guard<std::mutex> lock(slot.mutex);
  std::memcpy(slot.header, buffer.get(), wire::kImageHeaderSize);
  slot.size = header.payloadSize;
  std::memmove(buffer.get(), buffer.get() + wire::kImageHeaderSize, slot.size);
  slot.data = std::move(buffer);
  slot.ready = true;
  printMessage("Update was successfully downloaded\n");
  return true;
}

// ------------------------------------------------------------ installation

int installStep(UpdateState& state, std::uint32_t now) {
  if (installServerImage(state, now)) return kRunServerInstalled;
  if (!installClientImage(state, now)) return kRunOn;
  if (!loadClientImage(state)) return kRunError;
  return kRunOn;
}

bool installServerImage(UpdateState& state, std::uint32_t now) {
  ImageSlot& slot = state.serverImage;
  std::lock_guard<std::mutex> lock(slot.mutex);
  ImageHeader header;
  if (!slotDue(slot, now, &header)) return false;
  if (header.version <= wire::kServerVersion) {
    printMessage("Serious error. Downloaded server version is the same as local version\n");
    discard(slot);
    return false;
  }
  switch (writeImageFile(kServerImageFileName, nullptr, slot.data.get(), slot.size)) {
    case FileWrite::kWritten:
      break;
    case FileWrite::kNotCreated:
      printMessage("Can't open server dat file for writing\n");
      return false;
    case FileWrite::kFailed:
      printMessage("Can't write server dat file, removed it\n");
      return false;
  }
  discard(slot);
  printMessage("Server patch was successfully installed [version: %d]\n", header.version);
  return true;
}

bool installClientImage(UpdateState& state, std::uint32_t now) {
  ImageSlot& slot = state.clientImage;
  std::lock_guard<std::mutex> lock(slot.mutex);
  ImageHeader header;
  if (!slotDue(slot, now, &header)) return false;
  if (header.version <= state.clientImageVersion.load()) {
    printMessage("Serious error. Downloaded client version is the same as local version\n");
    discard(slot);
    return false;
  }
  // The image clients are served stays whole until the new one is complete.
  switch (writeImageFile(kClientImageTempFileName, slot.header, slot.data.get(), slot.size)) {
    case FileWrite::kWritten:
      break;
    case FileWrite::kNotCreated:
      printMessage("Can't open client dat file for writing\n");
      return false;
    case FileWrite::kFailed:
      printMessage("Can't write client dat file, removed it\n");
      return false;
  }
  if (!platform::replaceFile(kClientImageTempFileName, kClientImageFileName)) {
    platform::removeFile(kClientImageTempFileName);
    printMessage("Can't replace client dat file\n");
    return false;
  }
  discard(slot);
  printMessage("Client patch was successfully installed [version: %d]\n", header.version);
  return true;
}

bool loadClientImage(UpdateState& state) {
  std::FILE* file = std::fopen(kClientImageFileName, "rb");
  if (file == nullptr) {
    printMessage("Alert: Can't load client dat file\n");
    return false;
  }
  long fileLength = -1;
  if (std::fseek(file, 0, SEEK_END) == 0) fileLength = std::ftell(file);
  std::unique_ptr<std::uint8_t[]> image;
  if (fileLength >= 0 && std::fseek(file, 0, SEEK_SET) == 0) {
    // One byte more, so that an empty file still has a buffer.
    image.reset(new (std::nothrow) std::uint8_t[static_cast<std::size_t>(fileLength) + 1]);
  }
  std::size_t length = static_cast<std::size_t>(fileLength);
  bool read = image && std::fread(image.get(), 1, length, file) == length;
  std::fclose(file);
  if (!read) {
    printMessage("Error, client dat file error\n");
    return false;
  }

  ImageHeader header;
  switch (checkImage(image.get(), length, &header)) {
    case ImageCheck::kOk:
      break;
    case ImageCheck::kBadMagic:
      printMessage("Error, client dat file signature mismatch\n");
      return false;
    case ImageCheck::kTooShort:
    case ImageCheck::kSizeMismatch:
      printMessage("Error, client dat file size mismatch\n");
      return false;
  }
  std::memmove(image.get(), image.get() + wire::kImageHeaderSize, header.payloadSize);
  state.clientImageData = std::move(image);
  state.clientImageSize = header.payloadSize;
  state.clientImageVersion.store(header.version);
  printMessage("Loaded cldll.dat [version: %d]\n", header.version);
  return true;
}

}  // namespace kestrin
