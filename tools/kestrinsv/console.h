// What kestrinsv prints: the server library's texts on standard output and
// the host's own lines on standard output or error.  Unless plain, every line
// starts with the local date and time, "[2026-12-06 22:47:12] ".  The server
// prints some texts without a line end (the download notice) and the next
// text continues that line, so line starts are tracked per stream and a line
// is stamped once, when its first piece arrives.  Every write is flushed.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace kestrin::host {

// "[YYYY-MM-DD HH:MM:SS] " for `time`.
std::string timeStamp(const platform::LocalTime& time);

// Puts the stamp in front of every line of a stream of texts.  Not
// thread-safe: its owner serialises the calls.
class LineStamper {
 public:
  // `text` with `stamp` before each line that starts in it: before its first
  // character when the previous text ended a line (or none came yet), and
  // after each line end that is followed by more characters.
  std::string apply(std::string_view text, std::string_view stamp);

 private:
  bool atLineStart_ = true;
};

// Standard output and error of the host.  Safe from any thread; the library
// prints from its game threads and the host thread at once.
class Console {
 public:
  enum class Stream { kOut, kErr };

  // Plain: texts go out unchanged, for scripts.  Set before the first write.
  void setPlain(bool plain) { plain_ = plain; }
  void write(Stream stream, const char* text);

 private:
  std::mutex mutex_;
  bool plain_ = false;
  LineStamper out_;
  LineStamper err_;
};

// The host's one console.
Console& console();

// The host's own lines on standard output and on standard error through
// console(), formatted by the printf rules (cut at 1023 characters).
void printOut(const char* format, ...) __attribute__((format(printf, 1, 2)));
void printError(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kestrin::host
