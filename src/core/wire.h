// Sizes, offsets and ids of every wire and file format the server speaks.
// All multi-byte integers on the wire are little-endian unless said
// otherwise; use the helpers of core/byte_order.h to read and write them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestrin::wire {

// The server's own version: sent in the update query, compared with the
// version of a downloaded server image, and shown at start-up.
inline constexpr int kServerVersion = 1003;

// ------------------------------------------------ client protocol (TCP 27060)
inline constexpr std::uint16_t kClientPort = 27060;
inline constexpr int kListenBacklog = 8;

// Frame header: check byte, packet id, u16 total length (header included).
inline constexpr std::size_t kFrameHeaderSize = 4;
inline constexpr std::size_t kFrameCheckOffset = 0;
inline constexpr std::size_t kFrameIdOffset = 1;
inline constexpr std::size_t kFrameLengthOffset = 2;

// Size of each of a session's receive, frame and send buffers.
inline constexpr std::size_t kSessionBufferSize = 20480;
inline constexpr std::size_t kMaxPendingSessions = 31;
inline constexpr std::size_t kPendingListSlots = 32;
inline constexpr std::uint32_t kHandshakeTimeoutMs = 10000;

enum PacketId : std::uint8_t {
  kPacketHello = 1,         // both directions, plain, 288 bytes
  kPacketKey = 2,           // both directions, plain, 288 bytes
  kPacketUpdateAnnounce = 3,
  kPacketUpdateChunk = 4,
  kPacketJoined = 5,
  kPacketDrop = 6,
  kPacketCheck = 7,         // request from the server, answer from the client
};

// Hello (id 1) and key frame (id 2).
inline constexpr std::size_t kHandshakeFrameSize = 288;
inline constexpr std::size_t kHelloVersionOffset = 4;
inline constexpr std::size_t kHelloKeyOffset = 22;
inline constexpr std::uint16_t kServerHelloVersion = 1000;
inline constexpr std::size_t kKeyFrameCipherLengthOffset = 4;
inline constexpr std::size_t kKeyFrameCipherOffset = 8;
inline constexpr std::size_t kKeyFrameCipherCapacity = 280;
inline constexpr std::uint32_t kMaxCipherLength = 256;

// KeyRecord, the 44-byte plaintext of a key frame.
inline constexpr std::size_t kKeyRecordSize = 44;
inline constexpr std::size_t kKeyRecordUserIdOffset = 0;
inline constexpr std::size_t kKeyRecordWonIdOffset = 4;
inline constexpr std::size_t kKeyRecordKeyOffset = 8;
inline constexpr std::size_t kKeyRecordKeyCapacity = 32;
inline constexpr std::size_t kKeyRecordKeyLengthOffset = 40;
inline constexpr std::size_t kServerSessionKeySize = 16;

// Update announce (id 3) and chunk (id 4).
inline constexpr std::size_t kUpdateAnnounceSize = 12;
inline constexpr std::size_t kUpdateAnnounceVersionOffset = 4;
inline constexpr std::size_t kUpdateAnnounceSizeOffset = 8;
inline constexpr std::size_t kUpdateChunkSize = 1030;
inline constexpr std::size_t kUpdateChunkDataOffset = 4;
inline constexpr std::size_t kUpdateChunkCapacity = 1024;
inline constexpr std::size_t kUpdateChunkCountOffset = 1028;
inline constexpr std::uint32_t kUpdateChunkIntervalMs = 500;

// Drop notice (id 6).
inline constexpr std::size_t kDropNoticeSize = 6;
inline constexpr std::size_t kDropReasonOffset = 4;
enum DropReason : std::uint8_t { kDropLeft = 0, kDropKicked = 1, kDropBanned = 2 };

// Check request (id 7, server to client).
inline constexpr std::size_t kCheckRequestSize = 236;
inline constexpr std::size_t kCheckRequestIdCountOffset = 4;
inline constexpr std::size_t kCheckRequestIdsOffset = 8;
inline constexpr std::size_t kCheckRequestFileCountOffset = 72;
inline constexpr std::size_t kCheckRequestSeedsOffset = 76;
inline constexpr std::size_t kCheckRequestKindsOffset = 204;

// Check answer (id 7, client to server).
inline constexpr std::size_t kCheckAnswerWordOffset = 4;
inline constexpr std::size_t kCheckAnswerValuesOffset = 8;
inline constexpr std::size_t kCheckAnswerFileCountOffset = 72;
inline constexpr std::size_t kCheckAnswerDigestsOffset = 76;
inline constexpr std::size_t kCheckAnswerSize = 204;

inline constexpr std::size_t kMaxCheckIds = 16;
inline constexpr std::size_t kMaxCheckFiles = 32;

// ------------------------------------------------ remote console (UDP)
inline constexpr std::uint8_t kConnectionlessByte = 0xFF;
inline constexpr std::size_t kConnectionlessPrefixSize = 4;
inline constexpr char kReplyLetter = 'l';
inline constexpr std::size_t kRconRequestSize = 256;
inline constexpr std::size_t kRconBufferSize = 8192;
inline constexpr std::uint16_t kRconLocalPortFirst = 2001;
inline constexpr int kRconLocalPortSpan = 999;

// ------------------------------------------------ update images and list
inline constexpr std::uint16_t kUpdatePort = 80;
inline constexpr std::size_t kImageHeaderSize = 13;
inline constexpr std::uint8_t kImageMagic0 = 0x4B;
inline constexpr std::uint8_t kImageMagic1 = 0x55;
inline constexpr std::size_t kImageMagic0Offset = 0;
inline constexpr std::size_t kImageMagic1Offset = 1;
inline constexpr std::size_t kImageVersionOffset = 3;
inline constexpr std::size_t kImageActivationOffset = 5;
inline constexpr std::size_t kImagePayloadSizeOffset = 9;
// The largest image, header included, that is downloaded.  A server image
// carries a whole server library; a client image is sent on to anti-cheat
// clients, which hold at most 200000 bytes.
inline constexpr std::size_t kServerImageMaxSize = 1048576;
inline constexpr std::size_t kClientImageMaxSize = 200000;
inline constexpr std::size_t kUpdateListSize = 512;
inline constexpr std::size_t kHttpRequestSize = 512;
inline constexpr std::size_t kHttpLineSize = 256;
// An image's signature is published at the image's path with this suffix:
// an ECDSA-SHA256 signature on the curve P-256, in DER form, over the whole
// image (header and payload).  Its DER form takes at most 72 bytes.
inline constexpr const char* kImageSignatureSuffix = ".sig";
inline constexpr std::size_t kImageSignatureMaxSize = 72;

// ------------------------------------------------ PE libraries (file digests)
// The 32-bit Windows image format of the libraries whose code is digested.
// All fields are little-endian.
namespace pe {

inline constexpr std::uint8_t kMzMark0 = 0x4D;  // 'M'
inline constexpr std::uint8_t kMzMark1 = 0x5A;  // 'Z'

// DOS header.
inline constexpr std::size_t kDosHeaderSize = 64;
inline constexpr std::size_t kNewHeaderOffsetField = 60;  // e_lfanew

// Behind e_lfanew: signature, file header and 32-bit optional header.
inline constexpr std::size_t kSignatureSize = 4;
inline constexpr std::size_t kFileHeaderSize = 20;
inline constexpr std::size_t kOptionalHeaderSize = 224;
inline constexpr std::size_t kNtHeadersSize = kSignatureSize + kFileHeaderSize + kOptionalHeaderSize;

// File header fields, from the start of the file header.
inline constexpr std::size_t kMachineField = 0;
inline constexpr std::size_t kNumberOfSectionsField = 2;
inline constexpr std::size_t kSizeOfOptionalHeaderField = 16;
inline constexpr std::size_t kCharacteristicsField = 18;

// Optional header fields, from the start of the optional header.
inline constexpr std::size_t kMagicField = 0;
inline constexpr std::uint16_t kMagicPe32 = 0x10B;
inline constexpr std::size_t kSizeOfCodeField = 4;
inline constexpr std::size_t kSizeOfInitializedDataField = 8;
inline constexpr std::size_t kBaseOfCodeField = 20;
inline constexpr std::size_t kBaseOfDataField = 24;
inline constexpr std::size_t kSizeOfImageField = 56;
inline constexpr std::size_t kCheckSumField = 64;
inline constexpr std::size_t kNumberOfRvaAndSizesField = 92;
inline constexpr std::size_t kDataDirectoriesField = 96;
inline constexpr std::size_t kDataDirectoryCount = 16;
inline constexpr std::size_t kDataDirectorySize = 8;  // address, size
inline constexpr std::size_t kImportDirectory = 1;
inline constexpr std::size_t kBaseRelocationDirectory = 5;
inline constexpr std::size_t kImportAddressTableDirectory = 12;

// Section header.
inline constexpr std::size_t kSectionHeaderSize = 40;
inline constexpr std::size_t kSectionVirtualSizeField = 8;
inline constexpr std::size_t kSectionVirtualAddressField = 12;
inline constexpr std::size_t kSectionSizeOfRawDataField = 16;
inline constexpr std::size_t kSectionPointerToRawDataField = 20;
inline constexpr std::size_t kSectionCharacteristicsField = 36;
inline constexpr std::uint32_t kSectionContainsCode = 0x20;  // IMAGE_SCN_CNT_CODE

// Base relocation blocks: page address, block size, then u16 entries whose
// top four bits are the type and low twelve bits the offset in the page.
inline constexpr std::size_t kRelocationBlockHeaderSize = 8;
inline constexpr std::size_t kRelocationEntrySize = 2;
inline constexpr unsigned kRelocationTypeShift = 12;
inline constexpr std::uint16_t kRelocationOffsetMask = 0x0FFF;
inline constexpr unsigned kRelocationHighLow = 3;  // IMAGE_REL_BASED_HIGHLOW
inline constexpr std::size_t kRelocatedValueSize = 4;

}  // namespace pe

}  // namespace kestrin::wire
