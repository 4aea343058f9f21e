// Auto-update: the master time, the server and client images downloaded by
// the update thread, their installation by the host thread, and the loaded
// client image "cldll.dat".
//
// Threads: the update thread runs the checks after start-up (the first one
// runs on the host thread) and fills the image slots; the host thread
// installs from them in installStep and alone touches the loaded client
// image.  A slot's mutex is held only for short moves and for the install's
// file write, never across a fetch, so the host thread never waits on the
// network.
//
// Signed updates: with the publisher's public key in "update-key.pem", every
// image is used only when its signature, published at its path with ".sig"
// appended, is good; the loaded client image's signature is kept in
// "cldll.dat.sig" and checked at every load.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "core/line_scanner.h"
#include "core/wire.h"
#include "kestrin/kestrin.h"
#include "platform/platform.h"
#include "platform/stop_signal.h"
#include "update/http_fetch.h"

namespace kestrin {

inline constexpr std::uint32_t kUpdateCheckPeriodMs = 600000;
inline constexpr const char* kServerImageFileName = KESTRIN_SERVER_IMAGE_FILE;
inline constexpr const char* kClientImageFileName = "cldll.dat";
// The new "cldll.dat" is written here first and renamed over it when complete.
inline constexpr const char* kClientImageTempFileName = "cldll.dat.tmp";
inline constexpr const char* kClientImageSignatureFileName = "cldll.dat.sig";
inline constexpr const char* kClientImageSignatureTempFileName = "cldll.dat.sig.tmp";
inline constexpr const char* kUpdateKeyFileName = "update-key.pem";
inline constexpr const char* kRejectedListFileName = KESTRIN_REJECTED_LIST;
inline constexpr const char* kUpdateOsName = "win";

// The 13-byte header at the start of every update image and of "cldll.dat".
struct ImageHeader {
  std::uint8_t magic0 = 0;
  std::uint8_t magic1 = 0;
  std::uint16_t version = 0;
  std::uint32_t activationTime = 0;
  std::uint32_t payloadSize = 0;
};

// Reads the header from the first kImageHeaderSize bytes of `bytes`.
ImageHeader readImageHeader(const std::uint8_t* bytes);
// Writes a header with the magic bytes and a zero reserved byte.
void writeImageHeader(std::uint16_t version, std::uint32_t activationTime,
                      std::uint32_t payloadSize, std::uint8_t* out);

enum class ImageCheck { kOk, kTooShort, kBadMagic, kSizeMismatch };
// Checks an image of `length` bytes held in `bytes`: long enough for the
// header, the magic bytes, and a payload size equal to what follows the
// header.  The header is read into `header` whenever it is complete.
ImageCheck checkImage(const std::uint8_t* bytes, std::size_t length, ImageHeader* header);

// The SHA-256 digest of `length` bytes in lowercase hex, as the rejected list
// holds it; empty when the system failed.
std::string sha256Hex(const void* bytes, std::size_t length);

// Checks the bytes of a signature file over `length` bytes of `image` under
// the public key `keyPem`.  Null when the signature is good, otherwise why
// not, as printed: "Malformed signature" (including any file longer than
// wire::kImageSignatureMaxSize), "Wrong signature", or a key that is none.
const char* imageSignatureProblem(const std::string& keyPem, const std::uint8_t* image, std::size_t length,
                                  const std::uint8_t* signature, std::size_t signatureLength);

// A downloaded image waiting for installation.  Every field is guarded by
// `mutex`.  `data` is owned by the slot until the image is installed,
// discarded or replaced.  `signatureSize` is 0 when no key is pinned.
struct ImageSlot {
  std::mutex mutex;
  bool ready = false;
  std::uint8_t header[wire::kImageHeaderSize] = {};
  std::unique_ptr<std::uint8_t[]> data;
  std::uint32_t size = 0;
  std::uint8_t signature[wire::kImageSignatureMaxSize] = {};
  std::size_t signatureSize = 0;
};

enum class ImageKind { kServer, kClient };

// The parsed update list.  `server` and `client` name an image to download
// when `named` is set.
struct ImageSource {
  bool named = false;
  LineText host = {};
  LineText path = {};
};

struct UpdateList {
  bool hasTime = false;
  // Set when the time value is an unsigned 32-bit decimal number.
  bool timeValid = false;
  std::uint32_t time = 0;
  ImageSource server;
  ImageSource client;
};

struct UpdateState {
  // The pinned key, read by loadUpdateKey before the update thread starts
  // and constant from then on.
  bool keyPinned = false;
  std::string updateKey;
  // The server image last found rolled back before; not downloaded again
  // while the update list names it.  Used by whichever thread runs the
  // checks, one at a time.
  LineText skippedHost = {};
  LineText skippedPath = {};

  // Server.clockOffset and Server.clockStart, given at start-up.  Each
  // update check stores through `clockOffset` the master time less the
  // timer's run since `clockStart`, so that the master clock
  // ((timer - clockStart) + offset) reads the master time from the moment it
  // arrived on, however long the server has run.
  std::atomic<std::uint32_t>* clockOffset = nullptr;
  std::uint32_t clockStart = 0;
  // The master time the latest check received (0 before the first), for the
  // start-up line and the status file.  Written by the checks, read by any
  // thread.
  std::atomic<std::uint32_t> masterTime{0};

  ImageSlot serverImage;
  ImageSlot clientImage;

  platform::Thread thread;
  // Requested at shutdown: ends the thread's pauses and any fetch in progress.
  platform::StopSignal stop;
  std::uint32_t checkPeriodMs = kUpdateCheckPeriodMs;
  // Used by every fetch; one at a time.
  HttpConnection connection;

  // The loaded "cldll.dat" without its header; host thread only.
  std::unique_ptr<std::uint8_t[]> clientImageData;
  std::uint32_t clientImageSize = 0;
  // Its version, 0 while none is loaded.  Written by the host thread, read by
  // the update thread for the update query.
  std::atomic<std::uint16_t> clientImageVersion{0};
};

// Reads `time`, `sv` and `cv` from the body of the list fetch.  An `sv` or
// `cv` value longer than 127 characters is ignored with a message; one
// without a blank names no image.  True when a `time` line was found.
bool readUpdateList(const char* body, UpdateList* list);

// Start-up, before the client image is loaded: reads "update-key.pem" when
// it exists, and prints that updates must be signed, or that every image
// will be refused when the file holds no P-256 public key.
void loadUpdateKey(UpdateState& state);

// Start-up: clears the slots, runs the first check on the calling thread and
// starts the update thread; every check sets the master clock through
// `clockOffset`, counted from the timer value `clockStart`.  False, with the
// reason printed, when no master time was received or the thread could not
// start.
bool startUpdater(UpdateState& state, std::atomic<std::uint32_t>* clockOffset,
                  std::uint32_t clockStart);
// Shutdown: ends the update thread (a check in progress is abandoned within
// a second), joins it and releases every image buffer.  Harmless when the
// updater never started.
void stopUpdater(UpdateState& state);

// Fetches the update list, sets the master time and downloads the images it
// names.  True when the list held a `time` line.
bool updateCheck(UpdateState& state);
// Downloads one image of `kind` into its slot, with its signature when a key
// is pinned.  The slot's waiting image is discarded at once, even when the
// download then fails.  A server image whose payload is listed in
// "kestrinsv.rejected" is refused and remembered as skipped.
bool downloadImage(UpdateState& state, ImageKind kind, const char* host, const char* path);

// Host thread, every main step at ServerClock `now`, which images whose
// activation time has come are installed by: 1 when a server image was
// written to "kestrinsv.tmp", 2 when a client image was installed but could
// not be loaded, 0 otherwise.
int installStep(UpdateState& state, std::uint32_t now);
bool installServerImage(UpdateState& state, std::uint32_t now);
bool installClientImage(UpdateState& state, std::uint32_t now);
// Loads "cldll.dat" as the client image handed to clients, when a key is
// pinned only with a good signature in "cldll.dat.sig".  A failed load keeps
// the previously loaded image.
bool loadClientImage(UpdateState& state);
// The checks and the hand-over of loadClientImage on the `length` bytes read
// from "cldll.dat" (the buffer may be one byte longer); the image's payload
// is moved to the front of the buffer, which the state then owns.
bool takeClientImage(UpdateState& state, std::unique_ptr<std::uint8_t[]> image, std::size_t length);

// Body of the update thread: a check every checkPeriodMs until stopped.
void updateThreadMain(void* state);

}  // namespace kestrin
