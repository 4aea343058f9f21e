// kestrin-image: makes update images (the 13-byte header and a payload) and
// shows the header of an image or of "cldll.dat".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/wire.h"
#include "update/updater.h"

namespace {

enum ExitStatus { kExitOk = 0, kExitBadImage = 1, kExitUsage = 2, kExitIo = 3 };

void usage() {
  std::printf(
      "Usage: kestrin-image make --version N --activation T --payload FILE --out IMAGE\n"
      "       kestrin-image show FILE\n"
      "\n"
      "make  writes IMAGE: the 13-byte image header (version N, activation time T,\n"
      "      the payload size) followed by the bytes of FILE.  N is 0 to 65535; T is\n"
      "      the server clock value (milliseconds, 0 to 4294967295) from which the\n"
      "      image may be installed.  A server image needs a version above the\n"
      "      running server's; a client image one above the loaded cldll.dat's.\n"
      "      An image, header included, holds at most %u bytes.\n"
      "show  prints the header of an image or of cldll.dat and whether its payload\n"
      "      size matches the file.  Exit status 1 for a bad magic, a file too short\n"
      "      for a header or a size mismatch.\n",
      static_cast<unsigned>(kestrin::wire::kImageBufferSize));
}

bool readFile(const char* name, std::vector<std::uint8_t>* content) {
  std::FILE* file = std::fopen(name, "rb");
  if (file == nullptr) return false;
  std::uint8_t buffer[65536];
  std::size_t n = 0;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) content->insert(content->end(), buffer, buffer + n);
  bool ok = std::ferror(file) == 0;
  std::fclose(file);
  return ok;
}

bool parseNumber(const char* text, unsigned long long limit, unsigned long long* value) {
  if (*text < '0' || *text > '9') return false;
  char* end = nullptr;
  *value = std::strtoull(text, &end, 10);
  return *end == '\0' && *value <= limit;
}

int make(int argc, char** argv) {
  const char* version = nullptr;
  const char* activation = nullptr;
  const char* payloadName = nullptr;
  const char* outName = nullptr;
  for (int i = 2; i < argc; ++i) {
    const char** target = nullptr;
    if (std::strcmp(argv[i], "--version") == 0) target = &version;
    else if (std::strcmp(argv[i], "--activation") == 0) target = &activation;
    else if (std::strcmp(argv[i], "--payload") == 0) target = &payloadName;
    else if (std::strcmp(argv[i], "--out") == 0) target = &outName;
    if (target == nullptr || i + 1 >= argc) {
      std::fprintf(stderr, "kestrin-image: bad argument %s (try --help)\n", argv[i]);
      return kExitUsage;
    }
    *target = argv[++i];
  }
  if (version == nullptr || activation == nullptr || payloadName == nullptr || outName == nullptr) {
    std::fprintf(stderr, "kestrin-image: make needs --version, --activation, --payload and --out\n");
    return kExitUsage;
  }
  unsigned long long versionValue = 0;
  unsigned long long activationValue = 0;
  if (!parseNumber(version, UINT16_MAX, &versionValue)) {
    std::fprintf(stderr, "kestrin-image: version %s is not a number from 0 to 65535\n", version);
    return kExitUsage;
  }
  if (!parseNumber(activation, UINT32_MAX, &activationValue)) {
    std::fprintf(stderr, "kestrin-image: activation time %s is not a number from 0 to 4294967295\n",
                 activation);
    return kExitUsage;
  }
  std::vector<std::uint8_t> payload;
  if (!readFile(payloadName, &payload)) {
    std::fprintf(stderr, "kestrin-image: cannot read %s\n", payloadName);
    return kExitIo;
  }
  constexpr std::size_t kMaxPayload = kestrin::wire::kImageBufferSize - kestrin::wire::kImageHeaderSize;
  if (payload.size() > kMaxPayload) {
    std::fprintf(stderr, "kestrin-image: %s holds %zu bytes; a payload holds at most %zu\n",
                 payloadName, payload.size(), kMaxPayload);
    return kExitBadImage;
  }
  std::uint8_t header[kestrin::wire::kImageHeaderSize];
  kestrin::writeImageHeader(static_cast<std::uint16_t>(versionValue),
                            static_cast<std::uint32_t>(activationValue),
                            static_cast<std::uint32_t>(payload.size()), header);
  std::FILE* out = std::fopen(outName, "wb");
  if (out == nullptr) {
    std::fprintf(stderr, "kestrin-image: cannot create %s\n", outName);
    return kExitIo;
  }
  bool written = std::fwrite(header, 1, sizeof header, out) == sizeof header &&
                 (payload.empty() || std::fwrite(payload.data(), 1, payload.size(), out) == payload.size());
  if (std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "kestrin-image: cannot write %s\n", outName);
    std::remove(outName);
    return kExitIo;
  }
  std::printf("%s: version %llu, activation time %llu, payload %zu bytes\n", outName, versionValue,
              activationValue, payload.size());
  return kExitOk;
}

int show(const char* name) {
  std::vector<std::uint8_t> image;
  if (!readFile(name, &image)) {
    std::fprintf(stderr, "kestrin-image: cannot read %s\n", name);
    return kExitIo;
  }
  kestrin::ImageHeader header;
  switch (kestrin::checkImage(image.data(), image.size(), &header)) {
    case kestrin::ImageCheck::kTooShort:
      std::fprintf(stderr, "kestrin-image: %s: %zu bytes, too short for the %zu-byte header\n", name,
                   image.size(), kestrin::wire::kImageHeaderSize);
      return kExitBadImage;
    case kestrin::ImageCheck::kBadMagic:
      std::fprintf(stderr, "kestrin-image: %s: bad magic %02X %02X, expected %02X %02X\n", name,
                   header.magic0, header.magic1, kestrin::wire::kImageMagic0,
                   kestrin::wire::kImageMagic1);
      return kExitBadImage;
    case kestrin::ImageCheck::kOk:
    case kestrin::ImageCheck::kSizeMismatch:
      break;
  }
  std::size_t follows = image.size() - kestrin::wire::kImageHeaderSize;
  std::printf("%s\n  version:         %u\n  activation time: %lu\n  payload size:    %lu bytes\n",
              name, static_cast<unsigned>(header.version),
              static_cast<unsigned long>(header.activationTime),
              static_cast<unsigned long>(header.payloadSize));
  if (header.payloadSize != follows) {
    std::printf("  size:            MISMATCH, %zu bytes follow the header\n", follows);
    std::fprintf(stderr, "kestrin-image: %s: size mismatch, header says %lu bytes, %zu follow\n",
                 name, static_cast<unsigned long>(header.payloadSize), follows);
    return kExitBadImage;
  }
  std::printf("  size:            matches\n");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    usage();
    return kExitOk;
  }
  if (argc >= 2 && std::strcmp(argv[1], "make") == 0) return make(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "show") == 0) return show(argv[2]);
  std::fprintf(stderr, "kestrin-image: expected make or show (try --help)\n");
  return kExitUsage;
}
