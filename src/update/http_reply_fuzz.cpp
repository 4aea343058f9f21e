// Feeds arbitrary bytes to the reply reader as a peer would send them: the
// first byte picks the capacity, the second the size of each read; a zero
// byte in the stream stands for an empty poll.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/wire.h"
#include "update/http_fetch.h"

namespace {

class FuzzPeer final : public kestrin::ReplySource {
 public:
  FuzzPeer(const std::uint8_t* data, std::size_t size, std::size_t chunk)
      : data_(data), size_(size), chunk_(chunk) {}

  long receiveSome(char* buffer, std::size_t length) override {
    if (at_ == size_) return -1;
    if (data_[at_] == 0 && chunk_ > 1) {
      ++at_;
      return 0;
    }
    if (length == 0) return -1;
    std::size_t n = std::min({length, chunk_, size_ - at_});
    std::memcpy(buffer, data_ + at_, n);
    at_ += n;
    return static_cast<long>(n);
  }
  bool pause(std::uint32_t) override { return true; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t chunk_;
  std::size_t at_ = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t capacities[] = {0, 1, 16, kestrin::wire::kUpdateListSize, 4096};
  std::size_t capacity = capacities[data[0] % 5];
  std::size_t chunk = 1 + data[1];
  FuzzPeer peer(data + 2, size - 2, chunk);
  std::vector<char> buffer(capacity + 1);
  std::size_t length = capacity;
  int code = kestrin::readReply(peer, buffer.data(), &length);
  // Any result but the stop (never requested here) and no connection (no
  // connect here); a body fits its buffer and is terminated.
  const bool bad = code == kestrin::kHttpOk ? length > capacity || buffer[length] != '\0'
                                            : code < kestrin::kHttpTimeout || code > kestrin::kHttpTooLarge;
  if (bad) __builtin_trap();
  return 0;
}
