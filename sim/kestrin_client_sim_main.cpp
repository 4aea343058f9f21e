// kestrin-client-sim: a simulated anti-cheat client, for trying the Kestrin
// server by hand.  Connects as one player, answers check requests by a
// policy and prints what happens.
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "digest/digest_transform.h"
#include "digest/pe_image.h"
#include "sim/client_sim.h"

namespace {

enum ExitStatus { kExitRanOut = 0, kExitDropped = 1, kExitUsage = 2, kExitFailed = 3 };

std::atomic<bool> gStop{false};

void onSignal(int) { gStop.store(true); }

void usage() {
  std::printf(
      "Usage: kestrin-client-sim --user ID --won ID [options]\n"
      "\n"
      "  --host A.B.C.D        server address (default 127.0.0.1)\n"
      "  --port N              server client port (default 27060)\n"
      "  --from A.B.C.D        connect from this local address (the player's, as\n"
      "                        the game server lists him)\n"
      "  --user ID             the player's user id on the game server\n"
      "  --won ID              the player's WON id\n"
      "  --version N           client version sent in the hello (default 1)\n"
      "  --key-bits N          size of the client's RSA key, 40 to 1024 (default 512)\n"
      "  --policy P            how check requests are answered:\n"
      "                          honest            right values and digests (default)\n"
      "                          wrong-value:I     1 for check I (0-based)\n"
      "                          wrong-digest:J    a wrong digest for file J (0-based)\n"
      "                          silent            no answers\n"
      "  --dll FILE            a library listed by the game (chkdll): its digest is\n"
      "                        answered when its name is asked (repeatable)\n"
      "  --mdl FILE            the same for a model (chkmdl)\n"
      "  --digest SEED:DIGEST  answer DIGEST for the file whose name digest is SEED,\n"
      "                        both as kestrin-digest prints them, decimal or 0x hex\n"
      "                        (repeatable)\n"
      "  --seconds N           stop after N seconds (default: run until dropped)\n"
      "  --help                show this text\n"
      "\n"
      "Exit status: 0 when the time ran out or the run was interrupted, 1 when the\n"
      "server closed the connection, 2 on a usage error, 3 when the handshake\n"
      "could not be run.\n");
}

const char* baseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  const char* back = std::strrchr(path, '\\');
  if (back != nullptr && (slash == nullptr || back > slash)) slash = back;
  return slash == nullptr ? path : slash + 1;
}

bool addDigest(const char* path, bool isModel, kestrin::sim::ClientSim::Options* options) {
  std::uint32_t digest = 0;
  bool ok = isModel ? kestrin::modelDigest(path, &digest) : kestrin::libraryDigest(path, &digest);
  if (!ok) {
    std::fprintf(stderr, "kestrin-client-sim: cannot digest %s\n", path);
    return false;
  }
  std::uint32_t seed = kestrin::nameDigest(baseName(path));
  options->digestsBySeed[seed] = digest;
  std::printf("%s: name digest %08x, file digest %08x\n", baseName(path), seed, digest);
  return true;
}

// One unsigned 32-bit number, decimal or 0x hex, ended by `stop`.
bool parseNumber(const char* text, char stop, std::uint32_t* value) {
  if (*text < '0' || *text > '9') return false;
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(text, &end, hex ? 16 : 10);
  if (end == text || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<std::uint32_t>(parsed);
  return *end == stop;
}

bool parseDigest(const char* text, kestrin::sim::ClientSim::Options* options) {
  const char* colon = std::strchr(text, ':');
  std::uint32_t seed = 0;
  std::uint32_t digest = 0;
  if (colon == nullptr || !parseNumber(text, ':', &seed) || !parseNumber(colon + 1, '\0', &digest)) return false;
  options->digestsBySeed[seed] = digest;
  return true;
}

bool parsePolicy(const std::string& text, kestrin::sim::ClientSim::Options* options) {
  using kestrin::sim::AnswerPolicy;
  auto indexAfter = [&](const char* prefix, AnswerPolicy policy) {
    std::size_t length = std::strlen(prefix);
    if (text.compare(0, length, prefix) != 0 || text.size() == length) return false;
    options->policy = policy;
    options->policyIndex = std::atoi(text.c_str() + length);
    return true;
  };
  if (text == "honest") {
    options->policy = AnswerPolicy::kHonest;
    return true;
  }
  if (text == "silent") {
    options->policy = AnswerPolicy::kSilent;
    return true;
  }
  return indexAfter("wrong-value:", AnswerPolicy::kWrongValue) ||
         indexAfter("wrong-digest:", AnswerPolicy::kWrongDigest);
}

}  // namespace

int main(int argc, char** argv) {
  kestrin::sim::ClientSim::Options options;
  bool haveUser = false;
  bool haveWon = false;
  long seconds = -1;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    bool hasValue = i + 1 < argc;
    if (arg == "--help" || arg == "-h") {
      usage();
      return kExitRanOut;
    } else if (arg == "--host" && hasValue) {
      if (!kestrin::platform::resolveHost(argv[++i], &options.address)) {
        std::fprintf(stderr, "kestrin-client-sim: cannot resolve %s\n", argv[i]);
        return kExitUsage;
      }
    } else if (arg == "--from" && hasValue) {
      if (!kestrin::platform::resolveHost(argv[++i], &options.localAddress)) {
        std::fprintf(stderr, "kestrin-client-sim: cannot resolve %s\n", argv[i]);
        return kExitUsage;
      }
    } else if (arg == "--port" && hasValue) {
      options.port = static_cast<std::uint16_t>(std::atoi(argv[++i]));
    } else if (arg == "--user" && hasValue) {
      options.userId = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
      haveUser = true;
    } else if (arg == "--won" && hasValue) {
      options.wonId = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
      haveWon = true;
    } else if (arg == "--version" && hasValue) {
      options.version = static_cast<std::uint16_t>(std::atoi(argv[++i]));
    } else if (arg == "--key-bits" && hasValue) {
      options.keyBits = static_cast<std::uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (arg == "--policy" && hasValue) {
      if (!parsePolicy(argv[++i], &options)) {
        std::fprintf(stderr, "kestrin-client-sim: unknown policy %s (try --help)\n", argv[i]);
        return kExitUsage;
      }
    } else if ((arg == "--dll" || arg == "--mdl") && hasValue) {
      if (!addDigest(argv[++i], arg == "--mdl", &options)) return kExitUsage;
    } else if (arg == "--digest" && hasValue) {
      if (!parseDigest(argv[++i], &options)) {
        std::fprintf(stderr, "kestrin-client-sim: bad --digest %s (SEED:DIGEST)\n", argv[i]);
        return kExitUsage;
      }
    } else if (arg == "--seconds" && hasValue) {
      seconds = std::atol(argv[++i]);
    } else {
      std::fprintf(stderr, "kestrin-client-sim: unknown argument %s (try --help)\n", arg.c_str());
      return kExitUsage;
    }
  }
  if (!haveUser || !haveWon) {
    std::fprintf(stderr, "kestrin-client-sim: --user and --won are required (try --help)\n");
    return kExitUsage;
  }

  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  kestrin::sim::ClientSim client(options);
  if (!client.start()) {
    std::fprintf(stderr, "kestrin-client-sim: cannot start the client thread\n");
    return kExitFailed;
  }
  std::size_t shown = 0;
  auto show = [&] {
    std::vector<std::string> events = client.events();
    for (; shown < events.size(); ++shown) std::printf("%s\n", events[shown].c_str());
    std::fflush(stdout);
  };
  int status = kExitRanOut;
  while (!gStop.load()) {
    show();
    if (client.connectionClosed()) {
      status = kExitDropped;
      break;
    }
    if (client.failed()) {
      status = kExitFailed;
      break;
    }
    if (seconds >= 0 && client.nowMs() >= static_cast<std::uint32_t>(seconds) * 1000u) break;
    kestrin::platform::sleepMilliseconds(100);
  }
  client.stop();
  show();
  if (client.failed()) status = kExitFailed;
  std::printf("checks answered: %d, drop notices: %u\n", client.answersSent(),
              static_cast<unsigned>(client.dropNotices().size()));
  return status;
}
