#include "digest/checksum_list.h"

#include <cstdio>
#include <cstring>

#include "core/print.h"
#include "digest/digest_transform.h"
#include "digest/pe_image.h"

namespace kestrin {

bool ChecksumList::addCheckFile(const char* directory, const char* fileName, bool isModel) {
  if (std::strchr(fileName, '\\') != nullptr || std::strchr(fileName, '/') != nullptr) {
    printMessage("Game: Error, slashes are not allowed in checksum file name\n");
    return false;
  }
  const std::size_t nameLength = std::strlen(fileName);
  if (nameLength >= kCheckFileNameSize) {
    printMessage("Game: Error, checksum file name longer than %d characters [%s]\n",
                 static_cast<int>(kCheckFileNameSize - 1), fileName);
    return false;
  }
  if (checkFileCount >= wire::kMaxCheckFiles) {
    printMessage("Game: Error, more than %d checksum files [%s]\n", static_cast<int>(wire::kMaxCheckFiles),
                 fileName);
    return false;
  }
  const std::size_t directoryLength = std::strlen(directory);
  const bool hasSeparator =
      directoryLength > 0 && (directory[directoryLength - 1] == '/' || directory[directoryLength - 1] == '\\');
  char path[kCheckFilePathSize];
  const int pathLength =
      std::snprintf(path, sizeof path, "%s%s%s", directory, hasSeparator ? "" : "/", fileName);
  if (pathLength < 0 || static_cast<std::size_t>(pathLength) >= sizeof path) {
    printMessage("Game: Error, checksum file path longer than %d characters [%s]\n",
                 static_cast<int>(kCheckFilePathSize - 1), fileName);
    return false;
  }

  const std::uint32_t seed = nameDigest(fileName);
  std::uint32_t digest = 0;
  if (isModel) {
    if (!modelDigest(path, &digest)) {
      printMessage("Game: Can't open mdl %s\n", path);
      return false;
    }
    printMessage("Game: Added mdl [%s] to checksum list\n", fileName);
  } else {
    if (!libraryDigest(path, &digest)) {
      printMessage("Game: Can't open dll %s\n", path);
      return false;
    }
    printMessage("Game: Added dll [%s] to checksum list\n", fileName);
  }

  const std::uint16_t index = checkFileCount;
  checkFileKinds[index] = isModel ? kCheckFileModel : kCheckFileLibrary;
  checkFileSeeds[index] = seed;
  checkFileDigests[index] = digest;
  std::memcpy(checkFileNames[index], fileName, nameLength + 1);
  ++checkFileCount;
  return true;
}

}  // namespace kestrin
