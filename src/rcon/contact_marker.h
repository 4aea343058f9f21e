// The contact marker kept in the game server's "sv_contact" console
// variable: reading the variable's reply, removing earlier markers from the
// administrator's text and formatting the new value.  Pure functions; any
// thread.
#pragma once

#include <cstddef>

namespace kestrin {

inline constexpr std::size_t kCvarValueSize = 256;
inline constexpr std::size_t kContactValueSize = 128;
inline constexpr const char* kContactMarkerSearch = "{KESTRIN";

// Reads the reply to a console variable's name ("l"", name, "" is "", value,
// quotes) into `name` and `value` (kCvarValueSize bytes each); a field that
// cannot be read is left as it was.
void parseCvarReply(const char* reply, char* name, char* value);
// Removes every contact marker from `value` (texts of 1 to 3 characters are
// dropped whole); false when a marker lacks its two closing braces.
bool cleanContactValue(char* value);
// Formats the new quoted contact value into `out` (kContactValueSize bytes),
// cutting the administrator's text, never the marker, to make it fit.
void formatContactValue(const char* oldValue, const char* externalIp, char* out);

}  // namespace kestrin
