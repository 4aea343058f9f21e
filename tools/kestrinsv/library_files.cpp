#include "kestrinsv/library_files.h"

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <utility>
#include <vector>

#include "platform/platform.h"

namespace kestrin::host {
namespace {

bool isRejected(const std::string& digest) {
  std::ifstream list(kRejectedList);
  for (std::string line; std::getline(list, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line == digest) return true;
  }
  return false;
}

void addRejected(const std::string& digest) {
  std::FILE* list = std::fopen(kRejectedList, "ab");
  bool written = list != nullptr && std::fprintf(list, "%s\n", digest.c_str()) > 0;
  if (list != nullptr && std::fclose(list) != 0) written = false;
  if (!written) std::fprintf(stderr, "kestrinsv: cannot add %s to %s\n", digest.c_str(), kRejectedList);
}

}  // namespace

std::string fileDigest(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "";
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::uint8_t digest[platform::kSha256Size];
  if (in.bad() || !platform::sha256(bytes.data(), bytes.size(), digest)) return "";
  std::string hex;
  for (std::uint8_t byte : digest) {
    char pair[3];
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

LibraryFiles::LibraryFiles(std::string library) : library_(std::move(library)) {}

LibraryFiles::Install LibraryFiles::installNewLibrary() const {
  if (!platform::fileExists(kServerImage)) {
    std::fprintf(stderr, "kestrinsv: %s is missing, nothing to install\n", kServerImage);
    return Install::kFailed;
  }
  std::string digest = fileDigest(kServerImage);
  if (!digest.empty() && isRejected(digest)) {
    platform::removeFile(kServerImage);
    std::fprintf(stderr, "kestrinsv: refused %s: the same library was rolled back before (%s in %s)\n",
                 kServerImage, digest.c_str(), kRejectedList);
    return Install::kRefused;
  }
  std::string bak = backup();
  if (!platform::replaceFile(library_.c_str(), bak.c_str())) {
    std::fprintf(stderr, "kestrinsv: cannot keep %s as %s\n", library_.c_str(), bak.c_str());
    return Install::kFailed;
  }
  // The marker goes before the new library: a run that dies from here on
  // puts the kept one back at the next start.
  std::string marker = trialMarker();
  std::FILE* file = std::fopen(marker.c_str(), "w");
  if (file == nullptr || std::fclose(file) != 0)
    std::fprintf(stderr, "kestrinsv: cannot create %s; a crash of the new library will not be undone\n",
                 marker.c_str());
  if (!platform::replaceFile(kServerImage, library_.c_str())) {
    std::fprintf(stderr, "kestrinsv: cannot install %s as %s\n", kServerImage, library_.c_str());
    platform::removeFile(marker.c_str());
    if (platform::replaceFile(bak.c_str(), library_.c_str()))
      std::fprintf(stderr, "kestrinsv: kept the previous library as %s\n", library_.c_str());
    else
      std::fprintf(stderr, "kestrinsv: cannot put %s back as %s\n", bak.c_str(), library_.c_str());
    return Install::kFailed;
  }
  std::printf("kestrinsv: installed new server library %s (previous kept as %s)\n", library_.c_str(), bak.c_str());
  std::fflush(stdout);
  return Install::kInstalled;
}

bool LibraryFiles::onTrial() const { return platform::fileExists(trialMarker().c_str()); }

void LibraryFiles::startupFinished() const { platform::removeFile(trialMarker().c_str()); }

bool LibraryFiles::rollBack(const std::string& reason) const {
  std::string digest = fileDigest(library_);
  if (!digest.empty() && !isRejected(digest)) addRejected(digest);
  std::string bak = backup();
  bool restored = platform::replaceFile(bak.c_str(), library_.c_str());
  platform::removeFile(trialMarker().c_str());
  if (restored)
    std::fprintf(stderr, "kestrinsv: new server library %s %s; rolled back to the previous one\n",
                 library_.c_str(), reason.c_str());
  else
    std::fprintf(stderr, "kestrinsv: new server library %s %s, and %s cannot be put back\n", library_.c_str(),
                 reason.c_str(), bak.c_str());
  return restored;
}

}  // namespace kestrin::host
