#include "client/key_record.h"

#include <cstring>

#include "core/byte_order.h"

namespace kestrin {

void writeKeyRecord(const KeyRecord& record, std::uint8_t* out) {
  storeLe32(out + wire::kKeyRecordUserIdOffset, record.userId);
  storeLe32(out + wire::kKeyRecordWonIdOffset, record.wonId);
  std::memcpy(out + wire::kKeyRecordKeyOffset, record.key, sizeof record.key);
  storeLe32(out + wire::kKeyRecordKeyLengthOffset, record.keyLength);
}

KeyRecord readKeyRecord(const std::uint8_t* bytes) {
  KeyRecord record;
  record.userId = loadLe32(bytes + wire::kKeyRecordUserIdOffset);
  record.wonId = loadLe32(bytes + wire::kKeyRecordWonIdOffset);
  std::memcpy(record.key, bytes + wire::kKeyRecordKeyOffset, sizeof record.key);
  record.keyLength = loadLe32(bytes + wire::kKeyRecordKeyLengthOffset);
  return record;
}

}  // namespace kestrin
