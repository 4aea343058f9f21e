#include "rcon/contact_marker.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace kestrin {
namespace {

TEST(ContactMarkerTest, CvarRepliesAndMarkerCleaning) {
  const struct {
    const char* reply;
    const char* name;
    const char* value;
  } replies[] = {
      {"l\"sv_contact\" is \"admin@example.org\"\n", "sv_contact", "admin@example.org"},
      // An empty value: the quotes are skipped as one run and the line end is read.
      {"l\"sv_contact\" is \"\"\n", "sv_contact", "\n"},
      {"lUnknown command: sv_contact\n", "kept", "kept"},
  };
  for (const auto& r : replies) {
    char name[kCvarValueSize] = "kept", value[kCvarValueSize] = "kept";
    parseCvarReply(r.reply, name, value);
    EXPECT_STREQ(name, r.name) << r.reply;
    EXPECT_STREQ(value, r.value) << r.reply;
  }

  const struct {
    const char* value;
    const char* cleaned;
    bool ok;
  } values[] = {
      {"admin@example.org", "admin@example.org", true},
      {"abc", "", true},
      {"abcd", "abcd", true},
      {"\n", "", true},
      {"admin{KESTRIN REQ}{1.2.3.4}", "admin", true},
      {"{KESTRIN REQ}{1.2.3.4}{KESTRIN REQ}{5.6.7.8}", "", true},
      {"a{KESTRIN REQ}{1.2.3.4}b{KESTRIN REQ}{5.6.7.8}c", "abc", true},
      {"admin{KESTRIN REQ}", nullptr, false},
      {"admin{KESTRIN", nullptr, false},
  };
  for (const auto& v : values) {
    char value[kCvarValueSize] = {};
    std::snprintf(value, sizeof value, "%s", v.value);
    EXPECT_EQ(cleanContactValue(value), v.ok) << v.value;
    if (v.ok) {
      EXPECT_STREQ(value, v.cleaned) << v.value;
    }
  }
}

TEST(ContactMarkerTest, NewValueKeepsTheMarkerWholeBehindTheAdministratorsText) {
  char out[kContactValueSize];
  formatContactValue("admin@example.org", "203.0.113.5", out);
  EXPECT_STREQ(out, "\"admin@example.org{KESTRIN REQ}{203.0.113.5}\"");
  const std::string ip(31, '9');
  formatContactValue(std::string(200, 'a').c_str(), ip.c_str(), out);
  const std::string value = out;
  EXPECT_EQ(value.size(), kContactValueSize - 1);
  EXPECT_EQ(value.substr(value.size() - 47), "{KESTRIN REQ}{" + ip + "}\"");
  EXPECT_EQ(value.substr(0, 2), "\"a");
}

}  // namespace
}  // namespace kestrin
