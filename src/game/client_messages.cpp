#include "game/client_messages.h"

#include "client/client_session.h"
#include "core/byte_order.h"

namespace kestrin {

bool clientStep(ClientSession& session) { return !session.closed; }

void joinClient(ClientSession& session) { session.joined = true; }

void sendDropNotice(ClientSession& session, wire::DropReason reason) {
  std::uint8_t frame[wire::kDropNoticeSize] = {};
  frame[wire::kFrameIdOffset] = wire::kPacketDrop;
  storeLe16(frame + wire::kFrameLengthOffset, wire::kDropNoticeSize);
  frame[wire::kDropReasonOffset] = reason;
  session.sendFrame(frame);
}

}  // namespace kestrin
