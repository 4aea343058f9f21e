#include "sim/client_sim.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "client/client_session.h"
#include "client/key_record.h"
#include "core/byte_order.h"
#include "core/wire.h"

namespace kestrin::sim {
namespace {

constexpr int kSliceMs = 50;
constexpr int kHandshakeReadMs = 5000;
constexpr std::size_t kReadChunk = 4096;

RandomSource& random() { return systemRandomSource(); }

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char buffer[512];
  va_list arguments;
  va_start(arguments, pattern);
  std::vsnprintf(buffer, sizeof buffer, pattern, arguments);
  va_end(arguments);
  return buffer;
}

}  // namespace

std::string dropReasonText(std::uint8_t reason) {
  switch (reason) {
    case wire::kDropLeft:
      return "left";
    case wire::kDropKicked:
      return "kicked";
    case wire::kDropBanned:
      return "banned";
    default:
      return std::to_string(reason);
  }
}

// ------------------------------------------------------------ ClientConnection

ClientConnection::~ClientConnection() { close(); }

bool ClientConnection::connect(std::uint16_t port, std::uint32_t address, int timeoutMs,
                               std::uint32_t localAddress) {
  close();
  platform::startSockets();
  const std::uint32_t start = platform::milliseconds();
  while (static_cast<int>(platform::milliseconds() - start) < timeoutMs) {
    platform::SocketHandle socket = platform::tcpConnectStart(platform::Endpoint{address, port}, localAddress);
    if (socket == platform::kInvalidSocket) {
      platform::sleepMilliseconds(kSliceMs);
      continue;
    }
    platform::ConnectState state = platform::ConnectState::kPending;
    while (state == platform::ConnectState::kPending &&
           static_cast<int>(platform::milliseconds() - start) < timeoutMs) {
      state = platform::tcpConnectPoll(socket);
      if (state == platform::ConnectState::kPending) platform::sleepMilliseconds(5);
    }
    if (state == platform::ConnectState::kConnected) {
      socket_ = socket;
      return true;
    }
    platform::closeSocket(socket);
    platform::sleepMilliseconds(kSliceMs);
  }
  return false;
}

void ClientConnection::close() {
  platform::closeSocket(socket_);
  socket_ = platform::kInvalidSocket;
  keyed_ = false;
  raw_.clear();
  frames_.clear();
}

bool ClientConnection::sendRaw(const Bytes& bytes) {
  std::size_t sent = 0;
  const std::uint32_t start = platform::milliseconds();
  while (sent < bytes.size()) {
    long n = platform::socketSend(socket_, bytes.data() + sent, bytes.size() - sent);
    if (n < 0) return false;
    sent += static_cast<std::size_t>(n);
    if (n == 0) {
      if (platform::milliseconds() - start > 5000) return false;
      platform::sleepMilliseconds(1);
    }
  }
  return true;
}

bool ClientConnection::sendFrame(Bytes frame) {
  if (frame.size() < wire::kFrameHeaderSize) return false;
  if (keyed_) {
    std::size_t padded = paddedFrameLength(frame.size());
    frame.resize(padded, 0);
    storeLe16(frame.data() + wire::kFrameLengthOffset, static_cast<std::uint16_t>(padded));
  }
  frame[wire::kFrameCheckOffset] =
      frameCheckByte(frame[wire::kFrameIdOffset], frame[wire::kFrameLengthOffset]);
  if (keyed_)
    blowfishEncipher(sendCipher_, frame.data(), frame.data(), static_cast<std::uint32_t>(frame.size()));
  return sendRaw(frame);
}

void ClientConnection::take(const std::uint8_t* data, std::size_t length) {
  if (!keyed_) {
    frames_.insert(frames_.end(), data, data + length);
    return;
  }
  raw_.insert(raw_.end(), data, data + length);
  std::size_t whole = raw_.size() / kBlowfishBlockSize * kBlowfishBlockSize;
  std::size_t at = frames_.size();
  frames_.resize(at + whole);
  blowfishDecipher(receiveCipher_, frames_.data() + at, raw_.data(), static_cast<std::uint32_t>(whole));
  raw_.erase(raw_.begin(), raw_.begin() + static_cast<long>(whole));
}

ClientConnection::Read ClientConnection::readFrame(Bytes* frame, int timeoutMs) {
  const std::uint32_t start = platform::milliseconds();
  for (;;) {
    if (frames_.size() >= wire::kFrameHeaderSize) {
      std::size_t length = loadLe16(frames_.data() + wire::kFrameLengthOffset);
      if (frames_[wire::kFrameCheckOffset] !=
          frameCheckByte(frames_[wire::kFrameIdOffset], frames_[wire::kFrameLengthOffset]))
        return Read::kBadCheckByte;
      if (length >= wire::kFrameHeaderSize && length <= frames_.size()) {
        frame->assign(frames_.begin(), frames_.begin() + static_cast<long>(length));
        frames_.erase(frames_.begin(), frames_.begin() + static_cast<long>(length));
        return Read::kFrame;
      }
    }
    if (socket_ == platform::kInvalidSocket) return Read::kClosed;
    int left = timeoutMs - static_cast<int>(platform::milliseconds() - start);
    if (left <= 0) return Read::kTimeout;
    bool ready = false;
    if (platform::pollReadable(&socket_, 1, &ready, std::min(left, kSliceMs)) < 1 || !ready) continue;
    std::uint8_t buffer[kReadChunk];
    long n = platform::socketReceive(socket_, buffer, sizeof buffer);
    if (n <= 0) {
      platform::closeSocket(socket_);
      socket_ = platform::kInvalidSocket;
      continue;
    }
    take(buffer, static_cast<std::size_t>(n));
  }
}

bool ClientConnection::waitForClose(int timeoutMs) {
  const std::uint32_t start = platform::milliseconds();
  Bytes frame;
  for (;;) {
    int left = timeoutMs - static_cast<int>(platform::milliseconds() - start);
    Read read = readFrame(&frame, std::max(left, 0));
    if (read == Read::kClosed) return true;
    if (read == Read::kTimeout) return false;
    if (read == Read::kBadCheckByte) frames_.clear();
  }
}

void ClientConnection::setKeys(const Bytes& sendKey, const Bytes& receiveKey) {
  blowfishSetKey(sendCipher_, sendKey.data(), static_cast<int>(sendKey.size()));
  blowfishSetKey(receiveCipher_, receiveKey.data(), static_cast<int>(receiveKey.size()));
  keyed_ = true;
}

// ------------------------------------------------------------ ClientSim

ClientSim::ClientSim(const Options& options) : options_(options) { startMs_ = platform::milliseconds(); }

ClientSim::~ClientSim() { stop(); }

bool ClientSim::start() { return thread_.start(&ClientSim::threadMain, this); }

void ClientSim::vanishMidFrame() {
  vanish_.store(true);
  stop();
}

void ClientSim::stop() {
  stop_.request();
  thread_.join();
  connection_.close();
}

std::uint32_t ClientSim::nowMs() const { return platform::milliseconds() - startMs_; }

void ClientSim::threadMain(void* self) { static_cast<ClientSim*>(self)->run(); }

void ClientSim::note(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  events_.push_back(format("%8.1f s  ", nowMs() / 1000.0) + text);
}

void ClientSim::run() {
  if (!handshake()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      failed_ = !closed_;
    }
    // The connection stays open until stop(): a refused client waits for
    // the server's verdict like a real one.
    while (!stop_.requested() && connection_.isOpen()) {
      Bytes frame;
      if (connection_.readFrame(&frame, kSliceMs) == ClientConnection::Read::kClosed) {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
      }
    }
    return;
  }
  serve();
}

bool ClientSim::handshake() {
  RsaPublicKey publicKey = {};
  RsaPrivateKey privateKey = {};
  if (rsaGenerateKeyPair(publicKey, privateKey, RsaKeyRequest{options_.keyBits, 1}, random()) != kRsaOk) {
    note("cannot generate the client key");
    return false;
  }
  if (!connection_.connect(options_.port, options_.address, 5000, options_.localAddress)) {
    note("cannot connect");
    return false;
  }
  note("connected");

  auto readHandshakeFrame = [&](std::uint8_t id, Bytes* frame) {
    const std::uint32_t start = platform::milliseconds();
    while (!stop_.requested() && platform::milliseconds() - start < kHandshakeReadMs) {
      switch (connection_.readFrame(frame, kSliceMs)) {
        case ClientConnection::Read::kFrame:
          if ((*frame)[wire::kFrameIdOffset] == id && frame->size() == wire::kHandshakeFrameSize) return true;
          note(format("unexpected frame id %d during the handshake", (*frame)[wire::kFrameIdOffset]));
          return false;
        case ClientConnection::Read::kTimeout:
          continue;
        case ClientConnection::Read::kClosed: {
          std::lock_guard<std::mutex> lock(mutex_);
          closed_ = true;
          return false;
        }
        case ClientConnection::Read::kBadCheckByte:
          note("bad check byte during the handshake");
          return false;
      }
    }
    return false;
  };

  Bytes hello;
  if (!readHandshakeFrame(wire::kPacketHello, &hello)) return false;
  RsaPublicKey serverKey = {};
  readRsaPublicKey(hello.data() + wire::kHelloKeyOffset, kRsaPublicKeySize, serverKey);
  note(format("server hello: version %u, key of %u bits",
              loadLe16(hello.data() + wire::kHelloVersionOffset), serverKey.bits));

  connection_.sendFrame(testing::helloFrame(options_.version, publicKey));
  Bytes keyFrame;
  if (!readHandshakeFrame(wire::kPacketKey, &keyFrame)) return false;
  std::uint32_t cipherLength = loadLe32(keyFrame.data() + wire::kKeyFrameCipherLengthOffset);
  std::uint8_t plain[kRsaMaxModulusLength];
  std::uint32_t plainLength = 0;
  if (cipherLength > wire::kKeyFrameCipherCapacity ||
      rsaPrivateDecrypt(plain, &plainLength, keyFrame.data() + wire::kKeyFrameCipherOffset, cipherLength,
                        privateKey) != kRsaOk ||
      plainLength != wire::kKeyRecordSize) {
    note("cannot open the server's key frame");
    return false;
  }
  KeyRecord serverRecord = readKeyRecord(plain);
  if (serverRecord.keyLength < 1 || serverRecord.keyLength > wire::kKeyRecordKeyCapacity) {
    note("the server's key frame names no usable key");
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    serverCipherLength_ = cipherLength;
  }
  note(format("server key frame: cipherLength %u", cipherLength));

  if (!stop_.sleep(static_cast<std::uint32_t>(options_.keyMessageDelayMs))) return false;
  Bytes clientKey(std::min<std::uint32_t>(std::max<std::uint32_t>(options_.keyLength, 1), 32));
  drawNonZeroBytes(random(), clientKey.data(), clientKey.size());
  Bytes message = testing::keyMessage(serverKey, options_.userId, options_.wonId, clientKey,
                             static_cast<std::uint32_t>(clientKey.size()), random());
  if (message.empty() || !connection_.sendFrame(message)) {
    note("cannot send the key message");
    return false;
  }
  connection_.setKeys(clientKey, Bytes(serverRecord.key, serverRecord.key + serverRecord.keyLength));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    keyed_ = true;
  }
  note(format("key message sent as userId %u wonId %u", options_.userId, options_.wonId));
  return true;
}

void ClientSim::serve() {
  bool noticeDue = options_.sendJoinedNotice;
  const std::uint32_t noticeAt = platform::milliseconds() + static_cast<std::uint32_t>(options_.joinedNoticeDelayMs);
  while (!stop_.requested() || vanish_.load()) {
    if (vanish_.load()) {
      // Three bytes: less than one enciphered block, so never a whole frame.
      connection_.sendRaw(Bytes(3, 0x5A));
      note("vanished in the middle of a frame");
      connection_.close();
      return;
    }
    if (noticeDue && static_cast<std::int32_t>(platform::milliseconds() - noticeAt) >= 0) {
      noticeDue = false;
      connection_.sendFrame(testing::emptyFrame(wire::kPacketJoined, wire::kFrameHeaderSize));
      note("joined notice sent");
    }
    Bytes frame;
    switch (connection_.readFrame(&frame, kSliceMs)) {
      case ClientConnection::Read::kFrame:
        handle(frame);
        break;
      case ClientConnection::Read::kTimeout:
        break;
      case ClientConnection::Read::kClosed: {
        note("connection closed by the server");
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
        return;
      }
      case ClientConnection::Read::kBadCheckByte:
        note("bad check byte from the server");
        connection_.close();
        return;
    }
  }
}

void ClientSim::handle(const Bytes& frame) {
  const std::uint8_t* f = frame.data();
  switch (f[wire::kFrameIdOffset]) {
    case wire::kPacketUpdateAnnounce: {
      if (frame.size() < wire::kUpdateAnnounceSize) break;
      std::lock_guard<std::mutex> lock(mutex_);
      announced_ = true;
      announcedVersion_ = loadLe16(f + wire::kUpdateAnnounceVersionOffset);
      announcedSize_ = loadLe32(f + wire::kUpdateAnnounceSizeOffset);
      image_.clear();
      events_.push_back(format("%8.1f s  update announced: version %u, %u bytes", nowMs() / 1000.0,
                               announcedVersion_, announcedSize_));
      return;
    }
    case wire::kPacketUpdateChunk: {
      if (frame.size() < wire::kUpdateChunkSize) break;
      std::uint16_t count = loadLe16(f + wire::kUpdateChunkCountOffset);
      count = static_cast<std::uint16_t>(std::min<std::size_t>(count, wire::kUpdateChunkCapacity));
      std::lock_guard<std::mutex> lock(mutex_);
      image_.insert(image_.end(), f + wire::kUpdateChunkDataOffset, f + wire::kUpdateChunkDataOffset + count);
      chunkTimes_.push_back(nowMs());
      chunkSizes_.push_back(count);
      if (image_.size() >= announcedSize_)
        events_.push_back(format("%8.1f s  image complete: %u bytes in %u chunks", nowMs() / 1000.0,
                                 static_cast<unsigned>(image_.size()), static_cast<unsigned>(chunkSizes_.size())));
      return;
    }
    case wire::kPacketDrop: {
      if (frame.size() < wire::kDropNoticeSize) break;
      std::uint8_t reason = f[wire::kDropReasonOffset];
      {
        std::lock_guard<std::mutex> lock(mutex_);
        drops_.push_back(reason);
      }
      note("drop notice " + std::to_string(reason) + " (" + dropReasonText(reason) + ")");
      return;
    }
    case wire::kPacketCheck: {
      if (frame.size() < wire::kCheckRequestSize) break;
      CheckRequest request;
      request.atMs = nowMs();
      std::size_t ids = std::min<std::size_t>(loadLe16(f + wire::kCheckRequestIdCountOffset), wire::kMaxCheckIds);
      for (std::size_t i = 0; i < ids; ++i)
        request.checkIds.push_back(loadLe32(f + wire::kCheckRequestIdsOffset + 4 * i));
      std::size_t files =
          std::min<std::size_t>(loadLe16(f + wire::kCheckRequestFileCountOffset), wire::kMaxCheckFiles);
      for (std::size_t i = 0; i < files; ++i) {
        request.seeds.push_back(loadLe32(f + wire::kCheckRequestSeedsOffset + 4 * i));
        request.kinds.push_back(f[wire::kCheckRequestKindsOffset + i]);
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(request);
      }
      note(format("check request: %u checks, %u files", static_cast<unsigned>(ids), static_cast<unsigned>(files)));
      answer(request);
      return;
    }
    default:
      break;
  }
  note(format("unexpected frame id %d, %u bytes", f[wire::kFrameIdOffset], static_cast<unsigned>(frame.size())));
}

void ClientSim::answer(const CheckRequest& request) {
  if (options_.policy == AnswerPolicy::kSilent) return;
  Bytes frame = testing::emptyFrame(wire::kPacketCheck, wire::kCheckAnswerSize);
  std::uint8_t* f = frame.data();
  storeLe16(f + wire::kCheckAnswerWordOffset, 1);
  for (std::size_t i = 0; i < request.checkIds.size(); ++i) {
    bool wrong = options_.policy == AnswerPolicy::kWrongValue && static_cast<int>(i) == options_.policyIndex;
    storeLe32(f + wire::kCheckAnswerValuesOffset + 4 * i, wrong ? 1 : 0);
  }
  storeLe16(f + wire::kCheckAnswerFileCountOffset, static_cast<std::uint16_t>(request.seeds.size()));
  for (std::size_t i = 0; i < request.seeds.size(); ++i) {
    auto found = options_.digestsBySeed.find(request.seeds[i]);
    std::uint32_t digest = found == options_.digestsBySeed.end() ? 0 : found->second;
    if (options_.policy == AnswerPolicy::kWrongDigest && static_cast<int>(i) == options_.policyIndex)
      digest ^= 0x5A5A5A5Au;
    storeLe32(f + wire::kCheckAnswerDigestsOffset + 4 * i, digest);
  }
  if (connection_.sendFrame(frame)) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++answers_;
  }
}

bool ClientSim::keyed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return keyed_;
}
bool ClientSim::connectionClosed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return closed_;
}
bool ClientSim::failed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return failed_;
}
std::uint32_t ClientSim::serverCipherLength() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return serverCipherLength_;
}
std::vector<std::uint8_t> ClientSim::dropNotices() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return drops_;
}
std::vector<CheckRequest> ClientSim::checkRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}
int ClientSim::answersSent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answers_;
}
bool ClientSim::announced() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return announced_;
}
std::vector<std::uint32_t> ClientSim::chunkTimes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return chunkTimes_;
}
Bytes ClientSim::image() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return image_;
}
std::vector<std::string> ClientSim::events() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

}  // namespace kestrin::sim
