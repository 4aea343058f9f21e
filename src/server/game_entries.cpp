#include "server/game_entries.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "core/line_scanner.h"
#include "core/print.h"
#include "game/game_thread.h"
#include "server/server.h"

namespace kestrin {

int findGame(const Server& server, const char* address, std::uint16_t port) {
  for (std::uint32_t i = 0; i < server.gameCount; ++i) {
    const GameServer& game = server.games[i];
    if (std::strcmp(game.address, address) == 0 && game.port == port) return static_cast<int>(i);
  }
  return -1;
}

bool parseRconValue(const char* value, RconSetting* setting) {
  char text[kConfigValueSize];
  std::snprintf(text, sizeof text, "%s", value);
  // A colon in the first character stays: it is no separator.
  for (std::size_t i = 1; i < sizeof text && text[0] != '\0' && text[i] != '\0'; ++i)
    if (text[i] == ':') text[i] = ' ';

  char address[kConfigValueSize];
  char password[kConfigValueSize];
  std::int32_t port = 0;
  LineScanner scan(text);
  if (!scan.word(address, sizeof address) || !scan.signedNumber(&port) ||
      !scan.word(password, sizeof password))
    return false;

  std::uint32_t ignored = 0;
  if (std::strlen(address) >= sizeof setting->address || !parseDottedQuad(address, &ignored)) {
    printMessage("Error: Rcon address [%s] is not a dotted IPv4 address\n", address);
    return false;
  }
  if (port < 1 || port > 65535) {
    printMessage("Error: Rcon port %d is out of range\n", static_cast<int>(port));
    return false;
  }
  if (std::strlen(password) >= sizeof setting->password) {
    printMessage("Error: Rcon password longer than %u characters\n",
                 static_cast<unsigned>(sizeof setting->password - 1));
    return false;
  }
  std::memcpy(setting->address, address, std::strlen(address) + 1);
  setting->port = static_cast<std::uint16_t>(port);
  std::memcpy(setting->password, password, std::strlen(password) + 1);
  return true;
}

bool nextCheckFile(const ConfigSection& section, CheckFileCursor* cursor, const char** fileName,
                   bool* isModel) {
  for (;;) {
    const char* key = cursor->models ? "chkmdl" : "chkdll";
    for (; cursor->next < section.count; ++cursor->next) {
      const ConfigEntry& entry = section.entries[cursor->next];
      if (std::strcmp(entry.name, key) != 0) continue;
      ++cursor->next;
      *fileName = entry.value;
      *isModel = cursor->models;
      return true;
    }
    if (cursor->models) return false;
    cursor->models = true;
    cursor->next = 0;
  }
}

namespace {

// The line of the entry that the section's last successful find returned.
std::uint32_t foundLine(const ConfigSection& section) { return section.entries[section.cursor - 1].line; }

}  // namespace

bool allocateGameEntries(Server& server) {
  server.games.reset(new (std::nothrow) GameServer[server.config.sectionCount]);
  server.gameCount = 0;
  if (!server.games) {
    printMessage("Error: Out of memory\n");
    return false;
  }
  return true;
}

EntryBuild buildGameEntry(Server& server, std::uint32_t sectionIndex, RconSetting* setting) {
  Config& config = server.config;
  ConfigSection& section = config.sections[sectionIndex];
  config.currentLine = section.line;
  char value[kConfigValueSize];
  if (section.findFirst("rcon", value) == 0) {
    printMessage("Error: Rcon parameter not found in game section %d\n", static_cast<int>(sectionIndex));
    return EntryBuild::kInvalid;
  }
  config.currentLine = foundLine(section);
  if (!parseRconValue(value, setting)) return EntryBuild::kInvalid;
  if (findGame(server, setting->address, setting->port) >= 0) {
    printMessage("Game: Alert, [ip: %s] [port: %d] already watched\n", setting->address, setting->port);
    return EntryBuild::kAlreadyWatched;
  }

  GameServer& game = server.games[server.gameCount];
  char directory[kConfigValueSize];
  if (section.findFirst("chkpath", directory) > 0) {
    const std::uint32_t pathLine = foundLine(section);
    // One checksum-list entry per listed file, libraries first.
    bool clientDllListed = false;
    CheckFileCursor cursor;
    const char* fileName = nullptr;
    bool isModel = false;
    while (nextCheckFile(section, &cursor, &fileName, &isModel)) {
      config.currentLine = section.entries[cursor.next - 1].line;
      if (!game.checksumList.addCheckFile(directory, fileName, isModel)) return EntryBuild::kInvalid;
      if (!isModel && std::strcmp(fileName, "client.dll") == 0) clientDllListed = true;
    }
    game.hltvNameSet = section.findFirst("hltvname", game.hltvName) > 0;
    if (!clientDllListed) {
      config.currentLine = pathLine;
      printMessage("Error: Client.dll checksum has to be enabled\n");
      return EntryBuild::kInvalid;
    }
  }

  char externalIp[kConfigValueSize];
  config.currentLine = section.line;
  if (section.findFirst("externalip", externalIp) == 0) {
    printMessage("Error: Exeternalip entry not found\n");
    return EntryBuild::kInvalid;
  }
  config.currentLine = foundLine(section);
  if (std::strlen(externalIp) >= sizeof game.externalIp) {
    printMessage("Error: Externalip value [%s] longer than %u characters\n", externalIp,
                 static_cast<unsigned>(sizeof game.externalIp - 1));
    return EntryBuild::kInvalid;
  }
  std::memcpy(game.externalIp, externalIp, std::strlen(externalIp) + 1);
  std::memcpy(game.address, setting->address, sizeof game.address);
  game.port = setting->port;
  config.currentLine = 0;
  ++server.gameCount;
  return EntryBuild::kBuilt;
}

bool buildGameEntries(Server& server) {
  if (!allocateGameEntries(server)) return false;
  for (std::uint32_t i = 0; i < server.config.sectionCount; ++i) {
    RconSetting setting;
    switch (buildGameEntry(server, i, &setting)) {
      case EntryBuild::kInvalid:
        return false;
      case EntryBuild::kAlreadyWatched:
        continue;
      case EntryBuild::kBuilt:
        break;
    }
    if (!startWatch(server.games[server.gameCount - 1], setting.address, setting.port, setting.password,
                    server.clockNow)) {
      --server.gameCount;
      printMessage("Error: Gameinit failed\n");
      return false;
    }
    printMessage("Game: Monitoring [ip: %s] [port: %d]\n", setting.address, setting.port);
  }
  return true;
}

}  // namespace kestrin
