// Collects everything the server prints, for tests.  Install one per test;
// thread-safe.
#pragma once

#include <mutex>
#include <string>

#include "core/print.h"

namespace kestrin::testing {

class OutputCapture {
 public:
  OutputCapture() {
    instance() = this;
    setPrintCallback(&OutputCapture::receive);
  }
  ~OutputCapture() {
    setPrintCallback(nullptr);
    instance() = nullptr;
  }
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  std::string text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
  }
  bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

 private:
  static OutputCapture*& instance() {
    static OutputCapture* current = nullptr;
    return current;
  }
  static void receive(const char* text) {
    OutputCapture* self = instance();
    if (self == nullptr) return;
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->text_ += text;
  }

  mutable std::mutex mutex_;
  std::string text_;
};

}  // namespace kestrin::testing
