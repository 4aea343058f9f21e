// The configuration file "kestrinsv.cfg": up to eight "[game]" sections of
// name-value lines, read once at start-up on the host thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace kestrin {

inline constexpr std::size_t kMaxConfigSections = 8;
inline constexpr std::size_t kConfigNameSize = 32;   // at most 31 characters
inline constexpr std::size_t kConfigValueSize = 96;  // at most 95 characters
inline constexpr std::size_t kConfigLineSize = 256;  // a read takes at most 255
inline constexpr std::uint32_t kConfigEntryGrowth = 16;

struct ConfigEntry {
  char name[kConfigNameSize];
  char value[kConfigValueSize];
  std::uint32_t line;  // in the file, from 1
};

// One "[game]" section: its entries in file order.  The same name may occur
// any number of times.
struct ConfigSection {
  std::unique_ptr<ConfigEntry[]> entries;
  std::uint32_t count = 0;
  std::uint32_t capacity = 0;
  std::uint32_t cursor = 0;
  // The line of its "[game]" header.
  std::uint32_t line = 0;

  // Starts a search from the first entry; see findNext.
  std::uint32_t findFirst(const char* name, char* out);
  // Finds the next entry named `name` from `cursor` on.  Found: copies its
  // value into `out` (at least kConfigValueSize bytes), moves `cursor`
  // behind it and returns the value's length, 0 for an empty value.  Not
  // found: returns 0 and leaves `out` as it was.
  std::uint32_t findNext(const char* name, char* out);
  // Appends one entry read from file line `line`.  Precondition: name and
  // value fit their fields.  False, with a message, when memory runs out.
  bool add(const char* name, const char* value, std::uint32_t line);
};

struct Config {
  ConfigSection sections[kMaxConfigSections];
  std::uint32_t sectionCount = 0;
  // The file line being read, or being turned into a game entry, so that
  // whoever collects the messages printed meanwhile can place them; 0 for
  // none.  load() counts it; parseLine() files what it reads under it.
  std::uint32_t currentLine = 0;

  // Reads `fileName`.  False only when the file cannot be opened; every
  // refused line is reported with a "Config: " message.
  bool load(const char* fileName);
  // Handles one line of text (without its line end), as load does.
  void parseLine(const char* line);

 private:
  bool sectionRefused_ = false;
};

}  // namespace kestrin
