// kestrin-image: makes update images (the 13-byte header and a payload),
// shows the header of an image or of "cldll.dat", and signs images and checks
// their signatures for servers that pin the publisher's key.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "core/wire.h"
#include "platform/platform.h"
#include "update/updater.h"

namespace {

enum ExitStatus { kExitOk = 0, kExitBadImage = 1, kExitUsage = 2, kExitIo = 3, kExitBadKey = 4 };

void usage() {
  std::printf(
      "Usage: kestrin-image make --version N --activation T --payload FILE --out IMAGE\n"
      "       kestrin-image show FILE\n"
      "       kestrin-image sign --key PRIVATE.pem IMAGE\n"
      "       kestrin-image verify --key PUBLIC.pem IMAGE\n"
      "\n"
      "make  writes IMAGE: the 13-byte image header (version N, activation time T,\n"
      "      the payload size) followed by the bytes of FILE.  N is 0 to 65535; T is\n"
      "      the server clock value (milliseconds, 0 to 4294967295) from which the\n"
      "      image may be installed.  A server image needs a version above the\n"
      "      running server's; a client image one above the loaded cldll.dat's.\n"
      "      An image, header included, holds at most %u bytes as a server image,\n"
      "      %u bytes as a client image.\n"
      "show  prints the header of an image or of cldll.dat and whether its payload\n"
      "      size matches the file.  Exit status 1 for a bad magic, a file too short\n"
      "      for a header or a size mismatch.\n"
      "sign  writes IMAGE%s: the ECDSA-SHA256 signature (DER) of the whole image\n"
      "      under the P-256 private key in PRIVATE.pem (PEM, as openssl genpkey\n"
      "      writes it).  Publish it beside the image, at the image's path with\n"
      "      %s appended.\n"
      "verify  checks IMAGE%s against the image and the public key in\n"
      "      PUBLIC.pem (the update-key.pem that servers pin).  Exit status 1 for\n"
      "      a wrong or malformed signature.\n"
      "Exit status 4 when the key file holds no P-256 key of the right kind.\n",
      static_cast<unsigned>(kestrin::wire::kServerImageMaxSize),
      static_cast<unsigned>(kestrin::wire::kClientImageMaxSize), kestrin::wire::kImageSignatureSuffix,
      kestrin::wire::kImageSignatureSuffix, kestrin::wire::kImageSignatureSuffix);
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
  constexpr std::size_t kMaxPayload = kestrin::wire::kServerImageMaxSize - kestrin::wire::kImageHeaderSize;
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
  const bool serverOnly = sizeof header + payload.size() > kestrin::wire::kClientImageMaxSize;
  std::printf("%s: version %llu, activation time %llu, payload %zu bytes%s\n", outName, versionValue,
              activationValue, payload.size(), serverOnly ? ", too large for a client image" : "");
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

// Reads the key and the image of sign and verify; false with a message when
// one cannot be read.
bool readKeyAndImage(const char* keyName, const char* imageName, std::string* key,
                     std::vector<std::uint8_t>* image) {
  std::vector<std::uint8_t> keyBytes;
  for (auto [name, content] : {std::pair{keyName, &keyBytes}, std::pair{imageName, image}}) {
    if (!readFile(name, content)) {
      std::fprintf(stderr, "kestrin-image: cannot read %s\n", name);
      return false;
    }
  }
  key->assign(keyBytes.begin(), keyBytes.end());
  return true;
}

int sign(const char* keyName, const char* imageName) {
  std::string key;
  std::vector<std::uint8_t> image;
  if (!readKeyAndImage(keyName, imageName, &key, &image)) return kExitIo;
  kestrin::ImageHeader header;
  if (kestrin::checkImage(image.data(), image.size(), &header) != kestrin::ImageCheck::kOk) {
    std::fprintf(stderr, "kestrin-image: %s is not a whole image (see kestrin-image show)\n", imageName);
    return kExitBadImage;
  }
  std::string signature;
  if (!kestrin::platform::signData(key, image.data(), image.size(), &signature)) {
    std::fprintf(stderr, "kestrin-image: %s holds no P-256 private key\n", keyName);
    return kExitBadKey;
  }
  std::string outName = std::string(imageName) + kestrin::wire::kImageSignatureSuffix;
  std::FILE* out = std::fopen(outName.c_str(), "wb");
  bool written = out != nullptr && std::fwrite(signature.data(), 1, signature.size(), out) == signature.size();
  if (out == nullptr || std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "kestrin-image: cannot write %s\n", outName.c_str());
    std::remove(outName.c_str());
    return kExitIo;
  }
  std::printf("%s: signature of %s, %zu bytes\n", outName.c_str(), imageName, signature.size());
  return kExitOk;
}

int verify(const char* keyName, const char* imageName) {
  std::string key;
  std::vector<std::uint8_t> image;
  std::vector<std::uint8_t> signature;
  std::string signatureName = std::string(imageName) + kestrin::wire::kImageSignatureSuffix;
  if (!readKeyAndImage(keyName, imageName, &key, &image)) return kExitIo;
  if (!readFile(signatureName.c_str(), &signature)) {
    std::fprintf(stderr, "kestrin-image: %s: no signature, cannot read %s\n", imageName, signatureName.c_str());
    return kExitBadImage;
  }
  switch (kestrin::platform::verifySignature(key, image.data(), image.size(), signature.data(), signature.size())) {
    case kestrin::platform::SignatureCheck::kValid:
      std::printf("%s: good signature\n", imageName);
      return kExitOk;
    case kestrin::platform::SignatureCheck::kWrong:
      std::fprintf(stderr, "kestrin-image: %s: wrong signature, %s was not made over this image with this key\n",
                   imageName, signatureName.c_str());
      return kExitBadImage;
    case kestrin::platform::SignatureCheck::kMalformed:
      std::fprintf(stderr, "kestrin-image: %s: malformed signature, %s is no ECDSA signature in DER form\n",
                   imageName, signatureName.c_str());
      return kExitBadImage;
    case kestrin::platform::SignatureCheck::kBadKey:
      break;
  }
  std::fprintf(stderr, "kestrin-image: %s holds no P-256 public key\n", keyName);
  return kExitBadKey;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    usage();
    return kExitOk;
  }
  if (argc >= 2 && std::strcmp(argv[1], "make") == 0) return make(argc, argv);
  if (argc == 3 && std::strcmp(argv[1], "show") == 0) return show(argv[2]);
  if (argc == 5 && std::strcmp(argv[2], "--key") == 0) {
    if (std::strcmp(argv[1], "sign") == 0) return sign(argv[3], argv[4]);
    if (std::strcmp(argv[1], "verify") == 0) return verify(argv[3], argv[4]);
  }
  std::fprintf(stderr, "kestrin-image: expected make, show, sign or verify (try --help)\n");
  return kExitUsage;
}
