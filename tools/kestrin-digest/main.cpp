// kestrin-digest: prints, for model and library files, the values that an
// anti-cheat client must answer when a game's checksum list names them: the
// name digest sent in every check request, the kind and the file digest.
// It runs the server library's own digest code.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "digest/checksum_list.h"
#include "digest/digest_transform.h"
#include "digest/pe_image.h"

namespace {

enum ExitStatus { kExitOk = 0, kExitFileFailed = 1, kExitUsage = 2 };

void usage(std::FILE* out) {
  std::fprintf(out,
               "Usage: kestrin-digest [--json] [--dll FILE | --mdl FILE | FILE]...\n"
               "\n"
               "Prints for each file the values that a client must answer when a game's\n"
               "checksum list names it: the name digest (the seed sent with every check\n"
               "request), the kind (dll 0, mdl 1) and the file digest.\n"
               "\n"
               "  --dll FILE  digest FILE as a library (a 32-bit Windows PE image)\n"
               "  --mdl FILE  digest FILE as a model\n"
               "  FILE        the kind follows the extension: .dll library, .mdl model\n"
               "  --json      print a JSON array instead of a table\n"
               "  --help      show this text\n"
               "\n"
               "The name digest covers the file name without its folder, as the chkdll\n"
               "and chkmdl lines of kestrinsv.cfg give it; letter case does not matter.\n"
               "Exit status: 0 when every file was digested, 1 when some file could not\n"
               "be, 2 on a usage error.\n");
}

struct Row {
  std::string path;
  std::string name;
  bool isModel = false;
  std::uint32_t seed = 0;
  std::uint32_t digest = 0;
  std::string error;  // empty when digested
};

std::string baseName(const std::string& path) {
  const std::size_t slash = path.find_last_of("/\\");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool endsWithNoCase(const std::string& text, const char* suffix) {
  const std::size_t length = std::strlen(suffix);
  if (text.size() < length) return false;
  for (std::size_t k = 0; k < length; ++k) {
    char c = text[text.size() - length + k];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != suffix[k]) return false;
  }
  return true;
}

Row digestFile(const std::string& path, bool isModel) {
  Row row;
  row.path = path;
  row.name = baseName(path);
  row.isModel = isModel;
  row.seed = kestrin::nameDigest(row.name.c_str());
  if (row.name.size() >= kestrin::kCheckFileNameSize) {
    row.error = "name longer than 31 characters, which a checksum list refuses";
  } else if (isModel) {
    if (!kestrin::modelDigest(path.c_str(), &row.digest)) row.error = "cannot open or read the file";
  } else {
    kestrin::LibraryError error = kestrin::LibraryError::kNone;
    if (!kestrin::libraryDigest(path.c_str(), &row.digest, &error)) {
      row.error = kestrin::describeLibraryError(error);
    }
  }
  return row;
}

std::string jsonString(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

void printJson(const std::vector<Row>& rows) {
  std::printf("[\n");
  for (std::size_t k = 0; k < rows.size(); ++k) {
    const Row& row = rows[k];
    std::printf("  {\"file\": %s, \"name\": %s, \"kind\": \"%s\", \"kindCode\": %d, \"seed\": %u",
                jsonString(row.path).c_str(), jsonString(row.name).c_str(), row.isModel ? "mdl" : "dll",
                row.isModel ? kestrin::kCheckFileModel : kestrin::kCheckFileLibrary, static_cast<unsigned>(row.seed));
    if (row.error.empty()) {
      std::printf(", \"digest\": %u}", static_cast<unsigned>(row.digest));
    } else {
      std::printf(", \"error\": %s}", jsonString(row.error).c_str());
    }
    std::printf("%s\n", k + 1 < rows.size() ? "," : "");
  }
  std::printf("]\n");
}

void printTable(const std::vector<Row>& rows) {
  int width = 4;
  for (const Row& row : rows) {
    if (row.error.empty()) width = std::max(width, static_cast<int>(row.name.size()));
  }
  std::printf("%-*s  kind  seed        digest\n", width, "name");
  for (const Row& row : rows) {
    if (!row.error.empty()) continue;
    std::printf("%-*s  %s %d 0x%08X  0x%08X\n", width, row.name.c_str(), row.isModel ? "mdl" : "dll",
                row.isModel ? kestrin::kCheckFileModel : kestrin::kCheckFileLibrary, static_cast<unsigned>(row.seed),
                static_cast<unsigned>(row.digest));
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  std::vector<Row> rows;
  for (int k = 1; k < argc; ++k) {
    const std::string argument = argv[k];
    if (argument == "--help" || argument == "-h") {
      usage(stdout);
      return kExitOk;
    }
    if (argument == "--json") {
      json = true;
    } else if (argument == "--dll" || argument == "--mdl") {
      if (k + 1 >= argc) {
        std::fprintf(stderr, "kestrin-digest: %s needs a file\n", argument.c_str());
        return kExitUsage;
      }
      rows.push_back(digestFile(argv[++k], argument == "--mdl"));
    } else if (argument.size() > 1 && argument[0] == '-') {
      std::fprintf(stderr, "kestrin-digest: unknown option %s (see --help)\n", argument.c_str());
      return kExitUsage;
    } else if (endsWithNoCase(argument, ".dll") || endsWithNoCase(argument, ".mdl")) {
      rows.push_back(digestFile(argument, endsWithNoCase(argument, ".mdl")));
    } else {
      std::fprintf(stderr, "kestrin-digest: cannot tell the kind of %s; name it with --dll or --mdl\n",
                   argument.c_str());
      return kExitUsage;
    }
  }
  if (rows.empty()) {
    usage(stderr);
    return kExitUsage;
  }

  int status = kExitOk;
  for (const Row& row : rows) {
    if (row.error.empty()) continue;
    std::fprintf(stderr, "kestrin-digest: %s: %s\n", row.path.c_str(), row.error.c_str());
    status = kExitFileFailed;
  }
  if (json) {
    printJson(rows);
  } else {
    printTable(rows);
  }
  return status;
}
