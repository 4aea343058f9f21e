// A simulated anti-cheat client for tests and demonstrations.
//
// ClientConnection is one TCP connection to the server's client port with
// the frame format: plain frames during the handshake, padded Blowfish
// frames once keyed.  Its calls wait with deadlines and suit tests that build
// odd handshakes frame by frame; it is used by one thread.
//
// ClientSim is a whole client on a thread of its own: it connects, runs the
// handshake, sends the joined notice, answers check requests by a policy,
// reassembles client-image chunks and records what the server sent.  Every
// public function of ClientSim is thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "crypto/blowfish.h"
#include "crypto/random_source.h"
#include "crypto/rsa.h"
#include "platform/platform.h"
#include "platform/stop_signal.h"
#include "support/client_frames.h"

namespace kestrin::sim {

using Bytes = testing::Bytes;

class ClientConnection {
 public:
  ClientConnection() = default;
  ~ClientConnection();
  ClientConnection(const ClientConnection&) = delete;
  ClientConnection& operator=(const ClientConnection&) = delete;

  // Connects to `port` at `address`, from `localAddress` when it is not 0;
  // false after the deadline.
  bool connect(std::uint16_t port, std::uint32_t address = platform::kLoopbackAddress,
               int timeoutMs = 5000, std::uint32_t localAddress = 0);
  void close();
  bool isOpen() const { return socket_ != platform::kInvalidSocket; }

  // Sends bytes as they are; false when the connection cannot take them all.
  bool sendRaw(const Bytes& bytes);
  // Sends a frame whose id and length are set: the check byte is filled in,
  // and once keyed the frame is padded and enciphered first.
  bool sendFrame(Bytes frame);

  enum class Read { kFrame, kTimeout, kClosed, kBadCheckByte };
  // The next whole frame (deciphered once keyed), padding included.
  Read readFrame(Bytes* frame, int timeoutMs);
  // True when the server closed the connection within the deadline; frames
  // still arriving before the close are passed over.
  bool waitForClose(int timeoutMs);

  // From now on frames are enciphered with `sendKey` and deciphered with
  // `receiveKey`; bytes already received stay as they are.
  void setKeys(const Bytes& sendKey, const Bytes& receiveKey);

 private:
  // Moves newly received bytes on: deciphered in whole blocks once keyed.
  void take(const std::uint8_t* data, std::size_t length);

  platform::SocketHandle socket_ = platform::kInvalidSocket;
  bool keyed_ = false;
  BlowfishKey sendCipher_ = {};
  BlowfishKey receiveCipher_ = {};
  Bytes raw_;
  Bytes frames_;
};

// A check request as the client saw it.
struct CheckRequest {
  std::uint32_t atMs = 0;
  std::vector<std::uint32_t> checkIds;
  std::vector<std::uint32_t> seeds;
  std::vector<std::uint8_t> kinds;
};

enum class AnswerPolicy {
  kHonest,       // 0 for every check, the right digest for every file
  kWrongValue,   // 1 for the check at `policyIndex`
  kWrongDigest,  // a wrong digest for the file at `policyIndex`
  kSilent,       // never answers
};

class ClientSim {
 public:
  struct Options {
    std::uint16_t port = 27060;
    std::uint32_t address = platform::kLoopbackAddress;
    // The address the client connects from (0: the system's choice); the
    // game server must list the player at it.
    std::uint32_t localAddress = 0;
    std::uint32_t userId = 0;
    std::uint32_t wonId = 0;
    std::uint16_t version = 1;
    std::uint32_t keyBits = 512;
    // Bytes of the client's own Blowfish key (1 to 32).
    std::uint32_t keyLength = 16;
    AnswerPolicy policy = AnswerPolicy::kHonest;
    int policyIndex = 0;
    // File digests by name digest (the seed in the request); a file not
    // found here is answered with 0.
    std::map<std::uint32_t, std::uint32_t> digestsBySeed;
    // Sent once keyed, after `joinedNoticeDelayMs`.
    bool sendJoinedNotice = true;
    int joinedNoticeDelayMs = 300;
    // Pause between the server's key frame and message 2, so that the
    // "users" poll the hello started can reach the server's tables.
    int keyMessageDelayMs = 1000;
  };

  explicit ClientSim(const Options& options);
  ~ClientSim();
  ClientSim(const ClientSim&) = delete;
  ClientSim& operator=(const ClientSim&) = delete;

  // Starts the client's thread; false when the thread cannot start.
  bool start();
  // Closes the connection at once and ends the thread: the client vanishes.
  void stop();
  // Like stop(), but a keyed client first sends the start of a frame and
  // vanishes in the middle of it.
  void vanishMidFrame();

  bool keyed() const;             // message 2 sent
  bool connectionClosed() const;  // the server closed the connection
  bool failed() const;            // the handshake could not be run
  std::uint32_t serverCipherLength() const;
  std::vector<std::uint8_t> dropNotices() const;
  std::vector<CheckRequest> checkRequests() const;
  int answersSent() const;
  bool announced() const;
  // Arrival times of the image chunks.
  std::vector<std::uint32_t> chunkTimes() const;
  // The image reassembled from the chunks so far.
  Bytes image() const;
  // What happened, one line each, stamped with milliseconds since start.
  std::vector<std::string> events() const;
  std::uint32_t nowMs() const;

 private:
  static void threadMain(void* self);
  void run();
  bool handshake();
  void serve();
  void handle(const Bytes& frame);
  void answer(const CheckRequest& request);
  void note(const std::string& text);

  Options options_;
  std::uint32_t startMs_ = 0;
  ClientConnection connection_;
  platform::Thread thread_;
  platform::StopSignal stop_;
  std::atomic<bool> vanish_{false};

  mutable std::mutex mutex_;
  bool keyed_ = false;
  bool closed_ = false;
  bool failed_ = false;
  std::uint32_t serverCipherLength_ = 0;
  std::vector<std::uint8_t> drops_;
  std::vector<CheckRequest> requests_;
  int answers_ = 0;
  bool announced_ = false;
  std::uint16_t announcedVersion_ = 0;
  std::uint32_t announcedSize_ = 0;
  std::vector<std::uint32_t> chunkTimes_;
  std::vector<std::uint16_t> chunkSizes_;
  Bytes image_;
  std::vector<std::string> events_;
};

// Text of a drop reason: "left", "kicked", "banned" or the number.
std::string dropReasonText(std::uint8_t reason);

}  // namespace kestrin::sim
