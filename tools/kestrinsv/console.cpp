#include "kestrinsv/console.h"

#include <cstdarg>

namespace kestrin::host {

std::string timeStamp(const platform::LocalTime& time) {
  char text[64];
  std::snprintf(text, sizeof text, "[%04d-%02d-%02d %02d:%02d:%02d] ", time.year, time.month, time.day, time.hour,
                time.minute, time.second);
  return text;
}

std::string LineStamper::apply(std::string_view text, std::string_view stamp) {
  std::string out;
  out.reserve(text.size() + stamp.size());
  for (char c : text) {
    if (atLineStart_) out += stamp;
    out += c;
    atLineStart_ = c == '\n';
  }
  return out;
}

void Console::write(Stream stream, const char* text) {
  std::FILE* file = stream == Stream::kOut ? stdout : stderr;
  std::lock_guard<std::mutex> lock(mutex_);
  if (plain_) {
    std::fputs(text, file);
  } else {
    // A clock that cannot tell leaves the stamp's fields at zero.
    platform::LocalTime now;
    platform::localTimeNow(&now);
    std::string stamped = (stream == Stream::kOut ? out_ : err_).apply(text, timeStamp(now));
    std::fwrite(stamped.data(), 1, stamped.size(), file);
  }
  std::fflush(file);
}

Console& console() {
  static Console instance;
  return instance;
}

namespace {

void printTo(Console::Stream stream, const char* format, va_list arguments) {
  char text[1024];
  if (std::vsnprintf(text, sizeof text, format, arguments) >= 0) console().write(stream, text);
}

}  // namespace

void printOut(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  printTo(Console::Stream::kOut, format, arguments);
  va_end(arguments);
}

void printError(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  printTo(Console::Stream::kErr, format, arguments);
  va_end(arguments);
}

}  // namespace kestrin::host
