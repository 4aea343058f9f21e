#include "core/line_scanner.h"

#include <gtest/gtest.h>

#include <string>

namespace kestrin {
namespace {

TEST(LineScannerTest, DottedQuadsAreFoundLooselyAndParsedStrictly) {
  const struct {
    const char* text;
    bool quad;
    std::uint32_t address;  // 0 when the strict parse refuses
  } cases[] = {
      {"127.0.0.1", true, 0x7F000001u},     {"10.20.30.255", true, 0x0A141EFFu},
      {"1.2.3.4/", true, 0},                {"256.0.0.1", true, 0},
      {"0001.2.3.4", true, 0},              {"1..2.3", false, 0},
      {"1.2.3", false, 0},                  {"1.2.3.4.5", false, 0},
      {"100.200.100.200.1", false, 0},      {"updates.example.net", false, 0},
      {"", false, 0},                       {"x1.2.3.4", true, 0},
      {"100.200.100.200/", true, 0},        // 16 characters at most
      {"255.255.255.255", true, 0xFFFFFFFFu}, {"1.2.3.4 ", true, 0},
      {"a.b.c.d", false, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isDottedQuad(c.text), c.quad) << c.text;
    std::uint32_t address = 0;
    EXPECT_EQ(parseDottedQuad(c.text, &address), c.address != 0) << c.text;
    EXPECT_EQ(address, c.address) << c.text;
  }
}

TEST(LineScannerTest, FindKeyValueTakesTheFirstLineWhoseKeyBeginsWithTheKey) {
  const std::string header = "HTTP/1.0 200 OK\r\nServer: x\r\nContent-Length: 512\r\ncontent-length: 9\r\n\r";
  const std::string list = "junk line\ntimezone=7\ntime=123\ncv\nsv=a b\nlast=unterminated";
  const struct {
    std::string text;
    const char* key;
    char separator;
    const char* value;  // null when not found
  } cases[] = {
      {header, "HTTP", ' ', "200 OK"},
      {header, "Content-Length:", ' ', "512"},
      {header, "Content-length:", ' ', nullptr},  // case-sensitive
      {list, "time", '=', "7"},                   // "timezone" begins with "time"
      {list, "cv", '=', nullptr},                 // no separator
      {list, "sv", '=', "a b"},
      {list, "last", '=', nullptr},  // no line feed
      // Lines over 255 characters are passed over.
      {"time=" + std::string(250, '9') + "\r\ntime=42\n", "time", '=', "42"},
      {"time=" + std::string(250, '7') + "\n", "time", '=', "7777777777"},
  };
  for (const auto& c : cases) {
    LineText value = "x";
    EXPECT_EQ(findKeyValue(c.key, c.separator, value, c.text.c_str()), c.value != nullptr) << c.key;
    EXPECT_EQ(std::string(value).substr(0, 10), c.value != nullptr ? c.value : "") << c.key;
  }
}

}  // namespace
}  // namespace kestrin
