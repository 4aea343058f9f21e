// A stop request that sleeping threads notice at once.  Used to end the game
// and update threads at shutdown without waiting out their pauses.
// Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace kestrin::platform {

class StopSignal {
 public:
  void request() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopped_ = true;
    }
    wake_.notify_all();
  }

  bool requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
  }

  // Sleeps `ms` milliseconds or until a stop is requested.  True when the
  // whole pause passed, false when a stop was requested.
  bool sleep(std::uint32_t ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !wake_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stopped_; });
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stopped_ = false;
};

}  // namespace kestrin::platform
