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
// A P-256 public key in PEM takes 178 bytes; a longer file holds none.
constexpr std::size_t kMaxKeyFileSize = 4096;
constexpr std::size_t kDigestHexSize = 2 * platform::kSha256Size;

// Empties a slot; the caller holds its lock.
void discard(ImageSlot& slot) {
  slot.ready = false;
  slot.data.reset();
  slot.size = 0;
  slot.signatureSize = 0;
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

// Reads at most `capacity` bytes of the file `fileName` into `out`; its
// length, or -1 when it cannot be opened or read.
long readSmallFile(const char* fileName, void* out, std::size_t capacity) {
  std::FILE* file = std::fopen(fileName, "rb");
  if (file == nullptr) return -1;
  std::size_t length = std::fread(out, 1, capacity, file);
  bool failed = std::ferror(file) != 0;
  std::fclose(file);
  return failed ? -1 : static_cast<long>(length);
}

// True when the SHA-256 digest of the bytes is a line of the rejected list.
bool isRejected(const std::uint8_t* bytes, std::size_t length) {
  const std::string hex = sha256Hex(bytes, length);
  if (hex.empty()) return false;
  std::FILE* list = std::fopen(kRejectedListFileName, "rb");
  if (list == nullptr) return false;
  // Room for a digest, CR, LF and the terminator: longer lines come in
  // pieces, of which only the first is compared.
  char line[kDigestHexSize + 3];
  bool found = false;
  bool lineStart = true;
  while (!found && std::fgets(line, sizeof line, list) != nullptr) {
    std::size_t end = std::strlen(line);
    const bool whole = end > 0 && line[end - 1] == '\n';
    if (whole) --end;
    if (whole && end > 0 && line[end - 1] == '\r') --end;
    found = lineStart && end == kDigestHexSize && std::memcmp(line, hex.data(), kDigestHexSize) == 0;
    lineStart = whole;
  }
  std::fclose(list);
  return found;
}

// Writes one of the client image's files under its temporary name; false,
// with the reason printed, when it cannot be.
bool writeClientFile(const char* fileName, const std::uint8_t* header, const std::uint8_t* data,
                     std::size_t length) {
  switch (writeImageFile(fileName, header, data, length)) {
    case FileWrite::kWritten:
      return true;
    case FileWrite::kNotCreated:
      printMessage("Can't open client dat file for writing\n");
      return false;
    case FileWrite::kFailed:
      printMessage("Can't write client dat file, removed it\n");
      return false;
  }
  return false;
}

// True when the slot holds an image whose activation time has come by
// `now`, read into `header`.  The caller holds the slot's lock.
bool slotDue(const ImageSlot& slot, std::uint32_t now, ImageHeader* header) {
  if (!slot.ready) return false;
  *header = readImageHeader(slot.header);
  return header->activationTime <= now;
}

}  // namespace

std::string sha256Hex(const void* bytes, std::size_t length) {
  std::uint8_t digest[platform::kSha256Size];
  if (!platform::sha256(bytes, length, digest)) return "";
  std::string hex;
  for (std::uint8_t byte : digest) hex += {"0123456789abcdef"[byte >> 4], "0123456789abcdef"[byte & 15]};
  return hex;
}

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

const char* imageSignatureProblem(const std::string& keyPem, const std::uint8_t* image, std::size_t length,
                                  const std::uint8_t* signature, std::size_t signatureLength) {
  if (signatureLength > wire::kImageSignatureMaxSize) return "Malformed signature";
  switch (platform::verifySignature(keyPem, image, length, signature, signatureLength)) {
    case platform::SignatureCheck::kValid:
      return nullptr;
    case platform::SignatureCheck::kMalformed:
      return "Malformed signature";
    case platform::SignatureCheck::kWrong:
      break;
    case platform::SignatureCheck::kBadKey:
      return "No P-256 public key in update-key.pem";
  }
  return "Wrong signature";
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

void loadUpdateKey(UpdateState& state) {
  char key[kMaxKeyFileSize + 1];
  long length = readSmallFile(kUpdateKeyFileName, key, sizeof key);
  state.keyPinned = platform::fileExists(kUpdateKeyFileName);
  state.updateKey.assign(key, length > 0 ? static_cast<std::size_t>(length) : 0);
  if (!state.keyPinned) return;
  // The key is read before the signature, so an empty one tells a bad key.
  if (length > static_cast<long>(kMaxKeyFileSize) ||
      platform::verifySignature(state.updateKey, "", 0, "", 0) == platform::SignatureCheck::kBadKey) {
    printMessage("Error: No P-256 public key in update-key.pem, every update will be refused\n");
    return;
  }
  printMessage("Loaded update-key.pem, updates must be signed\n");
}

bool startUpdater(UpdateState& state, std::atomic<std::uint32_t>* clockOffset,
                  std::uint32_t clockStart) {
  state.clockOffset = clockOffset;
  state.clockStart = clockStart;
  platform::startSockets();
  state.connection.setStopSignal(&state.stop);
  clearSlot(state.serverImage);
  clearSlot(state.clientImage);
  if (!updateCheck(state)) {
    printMessage("Error: Could not get mastertime\n");
    return false;
  }
  printMessage("Got mastertime %d\n", static_cast<int>(state.masterTime.load()));
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
  if (list.timeValid) {
    // Storing the master time itself as the offset would put the clock
    // ahead by the server's whole run at every later check, and images
    // would fall due that much early.
    state.masterTime.store(list.time);
    state.clockOffset->store(list.time - (platform::milliseconds() - state.clockStart));
  }
  const bool skipped = std::strcmp(list.server.host, state.skippedHost) == 0 &&
                       std::strcmp(list.server.path, state.skippedPath) == 0;
  if (list.server.named && !skipped) {
    state.skippedHost[0] = state.skippedPath[0] = '\0';
    printMessage("Downloading server update %s\n", list.server.path);
    downloadImage(state, ImageKind::kServer, list.server.host, list.server.path);
  }
  if (list.client.named) {
    printMessage("Downloading client update %s\n", list.client.path);
    downloadImage(state, ImageKind::kClient, list.client.host, list.client.path);
  }
  return true;
}

bool downloadImage(UpdateState& state, ImageKind kind, const char* host, const char* path) {
  const bool server = kind == ImageKind::kServer;
  ImageSlot& slot = server ? state.serverImage : state.clientImage;
  const std::size_t capacity = server ? wire::kServerImageMaxSize : wire::kClientImageMaxSize;
  clearSlot(slot);
  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[capacity + 1]);
  if (!buffer) {
    printMessage("Error receiving update %s. Out of memory\n", path);
    return false;
  }
  std::size_t length = capacity;
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

  // The signature, one byte longer than any good one so that a longer file
  // shows as malformed.
  std::uint8_t signature[wire::kImageSignatureMaxSize + 2];
  std::size_t signatureLength = 0;
  if (state.keyPinned) {
    char signaturePath[wire::kHttpLineSize + 4];
    std::snprintf(signaturePath, sizeof signaturePath, "%s%s", path, wire::kImageSignatureSuffix);
    signatureLength = wire::kImageSignatureMaxSize + 1;
    code = httpGet(state.connection, host, signaturePath, reinterpret_cast<char*>(signature), &signatureLength);
    if (code == kHttpStopped) return false;
    if (code != kHttpOk) {
      printMessage("Error receiving update %s. No signature, error code #%d\n", path, code);
      return false;
    }
    if (const char* problem = imageSignatureProblem(state.updateKey, buffer.get(), length, signature, signatureLength)) {
      printMessage("Error receiving update %s. %s\n", path, problem);
      return false;
    }
  }
  if (server && isRejected(buffer.get() + wire::kImageHeaderSize, header.payloadSize)) {
    printMessage("Skipping server update %s: this library was rolled back before (" KESTRIN_REJECTED_LIST ")\n",
                 path);
    std::snprintf(state.skippedHost, sizeof state.skippedHost, "%s", host);
    std::snprintf(state.skippedPath, sizeof state.skippedPath, "%s", path);
    return false;
  }

  std::lock_guard<std::mutex> lock(slot.mutex);
  std::memcpy(slot.header, buffer.get(), wire::kImageHeaderSize);
  std::memcpy(slot.signature, signature, signatureLength);
  slot.signatureSize = signatureLength;
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
  // The image clients are served stays whole until the new one is
  // complete.  Its signature goes in place first: the other way round, a
  // failure in between would leave an image that does not load.
  const bool withSignature = slot.signatureSize > 0;
  if (!writeClientFile(kClientImageTempFileName, slot.header, slot.data.get(), slot.size)) return false;
  if (withSignature && !writeClientFile(kClientImageSignatureTempFileName, nullptr, slot.signature, slot.signatureSize)) {
    platform::removeFile(kClientImageTempFileName);
    return false;
  }
  if ((withSignature && !platform::replaceFile(kClientImageSignatureTempFileName, kClientImageSignatureFileName)) ||
      !platform::replaceFile(kClientImageTempFileName, kClientImageFileName)) {
    platform::removeFile(kClientImageSignatureTempFileName);
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
  return takeClientImage(state, std::move(image), length);
}

bool takeClientImage(UpdateState& state, std::unique_ptr<std::uint8_t[]> image, std::size_t length) {
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
  if (state.keyPinned) {
    std::uint8_t signature[wire::kImageSignatureMaxSize + 1];
    long signatureLength = readSmallFile(kClientImageSignatureFileName, signature, sizeof signature);
    const char* problem = signatureLength < 0 ? "No signature in cldll.dat.sig"
                                              : imageSignatureProblem(state.updateKey, image.get(), length, signature,
                                                                      static_cast<std::size_t>(signatureLength));
    if (problem != nullptr) {
      printMessage("Error, client dat file refused. %s\n", problem);
      return false;
    }
  }
  std::memmove(image.get(), image.get() + wire::kImageHeaderSize, header.payloadSize);
  state.clientImageData = std::move(image);
  state.clientImageSize = header.payloadSize;
  state.clientImageVersion.store(header.version);
  printMessage("Loaded cldll.dat [version: %d]\n", header.version);
  return true;
}

}  // namespace kestrin
