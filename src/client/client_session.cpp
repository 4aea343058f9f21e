#include "client/client_session.h"

#include <algorithm>
#include <cstring>

#include "client/key_record.h"
#include "core/byte_order.h"
#include "core/print.h"
#include "crypto/secure_wipe.h"

namespace kestrin {

std::uint8_t frameCheckByte(std::uint8_t id, std::uint8_t lengthLow) {
  return static_cast<std::uint8_t>(id - lengthLow - 1);
}

ClientSession::~ClientSession() {
  if (watch != nullptr) watch->remove(socket);
  platform::closeSocket(socket);
  secureWipe(sendCipher);
  secureWipe(receiveCipher);
}

void ClientSession::start(std::uint32_t now) {
  state = SessionState::kAwaitingHello;
  connectTime = now;
}

bool ClientSession::watchWith(platform::SocketWatch& socketWatch) {
  if (!socketWatch.add(socket, this)) return false;
  watch = &socketWatch;
  return true;
}

const std::uint8_t* ClientSession::receive() {
  if (closed) return nullptr;
  long received = platform::socketReceive(socket, receiveBuffer + receiveCount,
                                          wire::kSessionBufferSize - receiveCount);
  if (received <= 0) {
    disconnect();
    return nullptr;
  }
  return frameReceived(static_cast<std::size_t>(received));
}

const std::uint8_t* ClientSession::receiveBytes(const std::uint8_t* data, std::size_t length) {
  if (closed) return nullptr;
  length = std::min<std::size_t>(length, wire::kSessionBufferSize - receiveCount);
  if (length > 0) std::memcpy(receiveBuffer + receiveCount, data, length);
  return frameReceived(length);
}

const std::uint8_t* ClientSession::frameReceived(std::size_t received) {
  // The undeciphered remainder counts too: everything held must fit in the
  // frame buffer once deciphered.
  if (frameCount + receiveCount + received >= wire::kSessionBufferSize) {
    printMessage("Client: Buffer overflow, hack attempt?\n");
    disconnect();
    return nullptr;
  }
  receiveCount += static_cast<std::uint32_t>(received);
  if (state == SessionState::kKeyed) {
    if (receiveCount < kBlowfishBlockSize) return nullptr;
    decipherReceived();
  } else {
    std::memcpy(frameBuffer + frameCount, receiveBuffer, receiveCount);
    frameCount += receiveCount;
    receiveCount = 0;
  }

  if (frameCount < wire::kFrameHeaderSize) return nullptr;
  if (frameBuffer[wire::kFrameCheckOffset] !=
      frameCheckByte(frameBuffer[wire::kFrameIdOffset], frameBuffer[wire::kFrameLengthOffset])) {
    disconnect();
    return nullptr;
  }
  while (!closed && frameCount >= wire::kFrameHeaderSize) {
    std::uint16_t length = loadLe16(frameBuffer + wire::kFrameLengthOffset);
    if (length < wire::kFrameHeaderSize) {
      // Such a frame could never be consumed.
      printMessage("Client: Frame length error, hack attempt?\n");
      disconnect();
      return nullptr;
    }
    if (length > frameCount) return nullptr;
    // The handshake takes exactly one frame per read.
    if (state != SessionState::kKeyed) return frameBuffer;
    dispatchKeyed();
  }
  return nullptr;
}

void ClientSession::decipherReceived() {
  std::uint32_t done = blowfishDecipher(receiveCipher, frameBuffer + frameCount, receiveBuffer, receiveCount);
  frameCount += done;
  receiveCount -= done;
  std::memmove(receiveBuffer, receiveBuffer + done, receiveCount);
}

void ClientSession::decipherHeldBytes() {
  // Before keying every byte went straight on to the frame buffer.
  std::memcpy(receiveBuffer, frameBuffer, frameCount);
  receiveCount = frameCount;
  frameCount = 0;
  decipherReceived();
}

void ClientSession::dispatchKeyed() {
  switch (frameBuffer[wire::kFrameIdOffset]) {
    case wire::kPacketJoined:
      printMessage("Player joined successfully with wonId: %x and userId: %d\n", wonId,
                   static_cast<int>(userId));
      break;
    case wire::kPacketCheck:
      storeCheckAnswer();
      break;
    default:
      printMessage("Client: Unknown encrypted packet\n");
      closed = true;
      return;
  }
  removeFrame();
}

void ClientSession::storeCheckAnswer() {
  // A short answer reads as zeros past its end, never as older bytes.
  std::uint8_t answer[wire::kCheckAnswerSize] = {};
  std::size_t length = loadLe16(frameBuffer + wire::kFrameLengthOffset);
  std::memcpy(answer, frameBuffer, std::min(length, sizeof answer));

  checkAnswered = loadLe16(answer + wire::kCheckAnswerWordOffset);
  std::size_t idCount = checkIdList == nullptr ? 0 : std::min<std::size_t>(checkIdList->checkIdCount, wire::kMaxCheckIds);
  for (std::size_t i = 0; i < idCount; ++i)
    checkAnswers[i] = loadLe32(answer + wire::kCheckAnswerValuesOffset + 4 * i);
  answerFileCount = loadLe16(answer + wire::kCheckAnswerFileCountOffset);
  std::size_t fileCount = std::min<std::size_t>(listedFileCount, wire::kMaxCheckFiles);
  for (std::size_t i = 0; i < fileCount; ++i)
    fileDigests[i] = loadLe32(answer + wire::kCheckAnswerDigestsOffset + 4 * i);
}

void ClientSession::removeFrame() {
  std::uint32_t length = loadLe16(frameBuffer + wire::kFrameLengthOffset);
  length = std::min(length, frameCount);
  frameCount -= length;
  std::memmove(frameBuffer, frameBuffer + length, frameCount);
}

void ClientSession::sendFrame(const std::uint8_t* frame) {
  if (socket == platform::kInvalidSocket) return;
  std::size_t length = loadLe16(frame + wire::kFrameLengthOffset);
  if (length < wire::kFrameHeaderSize) return;
  bool keyed = state == SessionState::kKeyed;
  std::size_t total = keyed ? paddedFrameLength(length) : length;
  if (total > sizeof sendBuffer) return;

  std::memcpy(sendBuffer, frame, length);
  if (keyed) {
    // The padding carries no meaning; zeros keep earlier frames out of it.
    std::memset(sendBuffer + length, 0, total - length);
    storeLe16(sendBuffer + wire::kFrameLengthOffset, static_cast<std::uint16_t>(total));
  }
  sendBuffer[wire::kFrameCheckOffset] =
      frameCheckByte(sendBuffer[wire::kFrameIdOffset], sendBuffer[wire::kFrameLengthOffset]);
  if (keyed) blowfishEncipher(sendCipher, sendBuffer, sendBuffer, static_cast<std::uint32_t>(total));

  // Part of a frame would leave the client's stream out of step for good.
  if (platform::socketSend(socket, sendBuffer, total) != static_cast<long>(total)) {
    printMessage("Client: Send socket error\n");
    disconnect();
  }
}

void ClientSession::sendHello(const RsaPublicKey& serverKey) {
  std::uint8_t frame[wire::kHandshakeFrameSize] = {};
  frame[wire::kFrameIdOffset] = wire::kPacketHello;
  storeLe16(frame + wire::kFrameLengthOffset, wire::kHandshakeFrameSize);
  storeLe16(frame + wire::kHelloVersionOffset, wire::kServerHelloVersion);
  writeRsaPublicKey(serverKey, frame + wire::kHelloKeyOffset, kRsaPublicKeySize);
  sendFrame(frame);
}

bool ClientSession::sendKey(RandomSource& random) {
  KeyRecord record;
  if (!drawNonZeroBytes(random, record.key, wire::kServerSessionKeySize)) return false;
  record.keyLength = wire::kServerSessionKeySize;
  std::uint8_t plain[wire::kKeyRecordSize];
  writeKeyRecord(record, plain);

  std::uint8_t frame[wire::kHandshakeFrameSize] = {};
  std::uint32_t cipherLength = 0;
  int result = rsaPublicEncrypt(frame + wire::kKeyFrameCipherOffset, &cipherLength, plain,
                                wire::kKeyRecordSize, clientKey, random);
  if (result == kRsaOk) blowfishSetKey(sendCipher, record.key, wire::kServerSessionKeySize);
  secureWipe(plain);
  secureWipe(record);
  if (result != kRsaOk) return false;

  frame[wire::kFrameIdOffset] = wire::kPacketKey;
  storeLe16(frame + wire::kFrameLengthOffset, wire::kHandshakeFrameSize);
  storeLe32(frame + wire::kKeyFrameCipherLengthOffset, cipherLength);
  sendFrame(frame);
  return true;
}

void ClientSession::sendDropNotice(wire::DropReason reason) {
  std::uint8_t frame[wire::kDropNoticeSize] = {};
  frame[wire::kFrameIdOffset] = wire::kPacketDrop;
  storeLe16(frame + wire::kFrameLengthOffset, wire::kDropNoticeSize);
  frame[wire::kDropReasonOffset] = reason;
  sendFrame(frame);
}

void ClientSession::disconnect() {
  closed = true;
  if (watch != nullptr) watch->remove(socket);
  platform::closeSocket(socket);
  socket = platform::kInvalidSocket;
}

}  // namespace kestrin
