#include "config/config.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/print.h"

namespace kestrin {

std::uint32_t ConfigSection::findFirst(const char* name, char* out) {
  cursor = 0;
  return findNext(name, out);
}

std::uint32_t ConfigSection::findNext(const char* name, char* out) {
  for (; cursor < count; ++cursor) {
    const ConfigEntry& entry = entries[cursor];
    if (std::strcmp(entry.name, name) == 0) {
      std::memcpy(out, entry.value, kConfigValueSize);
      ++cursor;
      return static_cast<std::uint32_t>(std::strlen(out));
    }
  }
  return 0;
}

bool ConfigSection::add(const char* name, const char* value, std::uint32_t line) {
  if (count == capacity) {
    std::uint32_t grown = capacity + kConfigEntryGrowth;
    std::unique_ptr<ConfigEntry[]> larger(new (std::nothrow) ConfigEntry[grown]);
    if (!larger) {
      printMessage("Config: Out of memory, variable [%s] dropped\n", name);
      return false;
    }
    if (count > 0) std::memcpy(larger.get(), entries.get(), count * sizeof(ConfigEntry));
    entries = std::move(larger);
    capacity = grown;
  }
  ConfigEntry& entry = entries[count];
  std::memset(&entry, 0, sizeof entry);
  std::memcpy(entry.name, name, std::strlen(name) + 1);
  std::memcpy(entry.value, value, std::strlen(value) + 1);
  entry.line = line;
  ++count;
  printMessage("Config: Parsing variable [%s] with parameter [%s]\n", name, value);
  return true;
}

void Config::parseLine(const char* text) {
  while (*text == ' ' || *text == '\t') ++text;
  if (*text == '\n' || *text == ';' || (text[0] == '/' && text[1] == '/')) return;

  char line[kConfigLineSize];
  std::size_t length = std::strlen(text);
  if (length >= sizeof line) length = sizeof line - 1;
  std::memcpy(line, text, length);
  line[length] = '\0';
  while (length > 0 && static_cast<unsigned char>(line[length - 1]) < 32) line[--length] = '\0';

  if (std::strcmp(line, "[game]") == 0) {
    if (sectionCount == kMaxConfigSections) {
      printMessage("Config: Too many [game] sections, at most %u are watched; section ignored\n",
                   static_cast<unsigned>(kMaxConfigSections));
      sectionRefused_ = true;
      return;
    }
    sections[sectionCount++].line = currentLine;
    sectionRefused_ = false;
    return;
  }
  if (sectionCount == 0 || sectionRefused_) return;

  char* space = std::strchr(line, ' ');
  if (space == nullptr) return;
  *space = '\0';
  const char* name = line;
  const char* value = space + 1;
  if (std::strlen(name) >= kConfigNameSize) {
    printMessage("Config: Variable name [%s] longer than %u characters, line ignored\n", name,
                 static_cast<unsigned>(kConfigNameSize - 1));
    return;
  }
  if (std::strlen(value) >= kConfigValueSize) {
    printMessage("Config: Value of [%s] longer than %u characters, line ignored\n", name,
                 static_cast<unsigned>(kConfigValueSize - 1));
    return;
  }
  sections[sectionCount - 1].add(name, value, currentLine);
}

bool Config::load(const char* fileName) {
  std::FILE* file = std::fopen(fileName, "r");
  if (file == nullptr) return false;
  // A read takes at most 255 characters.  The rest of a longer line is
  // skipped, never taken for a line of its own: the first 255 characters are
  // judged alone (and refused as too long unless they are a comment).
  char line[kConfigLineSize];
  std::size_t length = 0;
  bool skipping = false;
  currentLine = 1;
  for (int c = std::getc(file);; c = std::getc(file)) {
    if (c == EOF || c == '\n') {
      if (c == '\n' && !skipping && length < sizeof line - 1) line[length++] = '\n';
      if (!skipping && (length > 0 || c == '\n')) {
        line[length] = '\0';
        parseLine(line);
      }
      if (c == EOF) break;
      length = 0;
      skipping = false;
      ++currentLine;
      continue;
    }
    if (skipping || c == '\0') continue;
    line[length++] = static_cast<char>(c);
    if (length == sizeof line - 1) {
      line[length] = '\0';
      parseLine(line);
      skipping = true;
    }
  }
  std::fclose(file);
  currentLine = 0;
  return true;
}

}  // namespace kestrin
