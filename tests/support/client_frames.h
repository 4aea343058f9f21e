// Frames as an anti-cheat client builds them, shared by the unit tests, the
// fuzz targets and the simulated client.  Test code.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "client/client_session.h"
#include "client/key_record.h"
#include "core/byte_order.h"
#include "core/wire.h"
#include "crypto/blowfish.h"
#include "crypto/rsa.h"
#include "support/key_pairs.h"

namespace kestrin::testing {

// A plain frame of `length` bytes (at least a header) with `id`, the length
// field and the check byte set, the rest zero.
inline Bytes emptyFrame(std::uint8_t id, std::size_t length) {
  Bytes frame(std::max(length, wire::kFrameHeaderSize), 0);
  frame[wire::kFrameIdOffset] = id;
  storeLe16(frame.data() + wire::kFrameLengthOffset, static_cast<std::uint16_t>(length));
  frame[wire::kFrameCheckOffset] = frameCheckByte(id, frame[wire::kFrameLengthOffset]);
  return frame;
}

// Message 1: the 288-byte hello with the client's version and public key.
inline Bytes helloFrame(std::uint16_t version, const RsaPublicKey& clientKey) {
  Bytes frame = emptyFrame(wire::kPacketHello, wire::kHandshakeFrameSize);
  storeLe16(frame.data() + wire::kHelloVersionOffset, version);
  writeRsaPublicKey(clientKey, frame.data() + wire::kHelloKeyOffset, kRsaPublicKeySize);
  return frame;
}

// The 44-byte key record of message 2; `keyLengthField` is written as it is.
inline Bytes keyRecordBytes(std::uint32_t userId, std::uint32_t wonId, const Bytes& key,
                            std::uint32_t keyLengthField) {
  KeyRecord record;
  record.userId = userId;
  record.wonId = wonId;
  std::memcpy(record.key, key.data(), std::min(key.size(), sizeof record.key));
  record.keyLength = keyLengthField;
  Bytes plain(wire::kKeyRecordSize);
  writeKeyRecord(record, plain.data());
  return plain;
}

// Message 2 carrying `plain` (a key record, or any other message that fits),
// enciphered with the server's public key.  The cipher length field is what
// the encryption gave unless `cipherLengthField` is not negative.  Empty when
// the encryption fails.
inline Bytes keyMessageCarrying(const RsaPublicKey& serverKey, const Bytes& plain, RandomSource& random,
                                long long cipherLengthField = -1) {
  Bytes frame = emptyFrame(wire::kPacketKey, wire::kHandshakeFrameSize);
  std::uint32_t cipherLength = 0;
  if (rsaPublicEncrypt(frame.data() + wire::kKeyFrameCipherOffset, &cipherLength, plain.data(),
                       static_cast<std::uint32_t>(plain.size()), serverKey, random) != kRsaOk)
    return {};
  if (cipherLengthField >= 0) cipherLength = static_cast<std::uint32_t>(cipherLengthField);
  storeLe32(frame.data() + wire::kKeyFrameCipherLengthOffset, cipherLength);
  return frame;
}

// Message 2: the key frame carrying userId, wonId and the client's Blowfish
// key (see keyRecordBytes and keyMessageCarrying).
inline Bytes keyMessage(const RsaPublicKey& serverKey, std::uint32_t userId, std::uint32_t wonId,
                        const Bytes& key, std::uint32_t keyLengthField, RandomSource& random,
                        long long cipherLengthField = -1) {
  return keyMessageCarrying(serverKey, keyRecordBytes(userId, wonId, key, keyLengthField), random,
                            cipherLengthField);
}

// `frame` cut or zero-extended to `length` bytes (at least a header), its
// length field and check byte made to match.
inline Bytes resized(Bytes frame, std::size_t length) {
  frame.resize(length, 0);
  storeLe16(frame.data() + wire::kFrameLengthOffset, static_cast<std::uint16_t>(length));
  frame[wire::kFrameCheckOffset] = frameCheckByte(frame[wire::kFrameIdOffset], frame[wire::kFrameLengthOffset]);
  return frame;
}

// A frame as a keyed client sends it: `frame` (id set, at least a header)
// padded to whole blocks, its length field and check byte set, enciphered
// with `cipher`.
inline Bytes keyedFrame(const BlowfishKey& cipher, Bytes frame) {
  frame.resize(paddedFrameLength(std::max(frame.size(), wire::kFrameHeaderSize)), 0);
  storeLe16(frame.data() + wire::kFrameLengthOffset, static_cast<std::uint16_t>(frame.size()));
  frame[wire::kFrameCheckOffset] = frameCheckByte(frame[wire::kFrameIdOffset], frame[wire::kFrameLengthOffset]);
  blowfishEncipher(cipher, frame.data(), frame.data(), static_cast<std::uint32_t>(frame.size()));
  return frame;
}

}  // namespace kestrin::testing
