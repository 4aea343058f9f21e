#include "update/http_fetch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "support/output_capture.h"

namespace kestrin {
namespace {

TEST(TextRoutinesTest, RequestsFitTheirBufferOrAreRefused) {
  char request[wire::kHttpRequestSize];
  std::size_t length = buildRequest("127.0.0.1", "/update.php?sv=1003&cv=0&os=win", request);
  EXPECT_EQ(std::string(request, length),
            "GET /update.php?sv=1003&cv=0&os=win HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
  // 4 + path + 17 + 1 + 4 = 511 characters fit with the terminator; one more does not.
  std::string path = "/" + std::string(484, 'p');
  EXPECT_EQ(buildRequest("h", path.c_str(), request), 511u);
  EXPECT_EQ(buildRequest("h", (path + "p").c_str(), request), 0u);
  EXPECT_EQ(buildRequest("h\r\nX: y", "/", request), 0u);
}

// A peer scripted as a list of reads: each delivers its bytes (an empty one
// is a poll that finds nothing); after the last the peer closes, or stays
// silent when it keeps the connection open.
class ScriptedPeer final : public ReplySource {
 public:
  explicit ScriptedPeer(std::vector<std::string> reads, bool keepOpen = false)
      : reads_(reads.begin(), reads.end()), keepOpen_(keepOpen) {}

  long receiveSome(char* buffer, std::size_t length) override {
    ++receives;
    if (reads_.empty()) return keepOpen_ ? 0 : -1;
    std::string& next = reads_.front();
    if (next.empty()) {
      reads_.pop_front();
      return 0;
    }
    if (length == 0) return -1;  // a readable socket asked for nothing: treated as closed
    std::size_t n = std::min(length, next.size());
    next.copy(buffer, n);
    next.erase(0, n);
    if (next.empty()) reads_.pop_front();
    return static_cast<long>(n);
  }
  bool pause(std::uint32_t) override {
    ++pauses;
    return pauses <= stopAfterPauses;
  }

  int receives = 0;
  int pauses = 0;
  int stopAfterPauses = 1 << 30;

 private:
  std::deque<std::string> reads_;
  bool keepOpen_;
};

struct Fetched {
  int code;
  std::string body;
};

Fetched read(ScriptedPeer& peer, std::size_t capacity = 512) {
  std::vector<char> buffer(capacity + 1, 'X');
  std::size_t length = capacity;
  int code = readReply(peer, buffer.data(), &length);
  if (code != kHttpOk) return {code, ""};
  EXPECT_LE(length, capacity);
  EXPECT_EQ(buffer[length], '\0');
  return {code, std::string(buffer.data(), length)};
}

struct ReplyCase {
  const char* what;
  std::vector<std::string> reads;
  int code;
  std::string body;
  std::size_t capacity = 512;
  bool keepOpen = false;
};

TEST(ReplyTest, CodesAndBodies) {
  testing::OutputCapture output;
  const std::string ok = "HTTP/1.0 200 OK\r\n";
  const ReplyCase cases[] = {
      {"matching length, then the peer closes", {ok + "Content-Length: 11\r\n\r\ntime=12345\n"}, kHttpOk,
       "time=12345\n"},
      {"many pieces and empty polls", {"HTTP/1.0 2", "", "00 OK\r\nContent-Le", "ngth: 6\r\n\r", "", "\nab", "", "cdef"},
       kHttpOk, "abcdef"},
      {"no length", {ok + "\r\n", std::string(300, 'a')}, kHttpOk, std::string(300, 'a')},
      {"unrecognised length", {ok + "content-length: 99\r\n\r\nshort"}, kHttpOk, "short"},
      {"length at the capacity", {ok + "Content-Length: 64\r\n\r\n", std::string(64, 'b')}, kHttpOk, std::string(64, 'b'), 64},
      {"length over the capacity", {ok + "Content-Length: 513\r\n\r\n"}, kHttpTooLarge, ""},
      {"length past 32 bits", {ok + "Content-Length: 99999999999999\r\n\r\n"}, kHttpTooLarge, ""},
      {"shorter body", {ok + "Content-Length: 10\r\n\r\n12345"}, kHttpLengthMismatch, ""},
      // The header shares the buffer: the body may fill all of it, and a
      // longer one is cut there.
      {"longer body", {ok + "Content-Length: 50\r\n\r\n", std::string(70, 'b')}, kHttpLengthMismatch, "", 64},
      {"cut body", {ok + "\r\n", std::string(70, 'b')}, kHttpOk, std::string(64, 'b'), 64},
      {"no status", {"Server: x\r\n\r\nbody"}, kHttpBadReply, ""},
      {"closed in the header", {ok + "Content-"}, kHttpBadReply, ""},
      {"header over the buffer", {ok + "X: " + std::string(600, 'x') + "\r\n\r\n"}, kHttpBadReply, ""},
      {"kept open after the body", {ok + "Content-Length: 3\r\n\r\nabc"}, kHttpTimeout, "", 512, true},
  };
  for (const ReplyCase& c : cases) {
    ScriptedPeer peer(c.reads, c.keepOpen);
    Fetched got = read(peer, c.capacity);
    EXPECT_EQ(got.code, c.code) << c.what;
    EXPECT_EQ(got.body, c.body) << c.what;
  }
}

TEST(ReplyTest, HeaderEndAsTheLastFourBytesOfAReadIsFoundAtOnce) {
  ScriptedPeer peer({"HTTP/1.0 404 Not Found\r\n\r\n", "the body"});
  EXPECT_EQ(read(peer).code, kHttpBadReply);
  EXPECT_EQ(peer.receives, 1);  // the status is judged without reading the body
}

TEST(ReplyTest, SilenceEndsWithTimeoutAfter128EmptyPolls) {
  testing::OutputCapture output;
  ScriptedPeer silent({}, true);
  EXPECT_EQ(read(silent).code, kHttpTimeout);
  EXPECT_EQ(silent.receives, 129);
  EXPECT_EQ(output.text(), "Error receiving updates. Timeout\n");
}

TEST(ReplyTest, EveryBodyPollIsFollowedByAPauseThatAStopEnds) {
  ScriptedPeer peer({"HTTP/1.0 200 OK\r\n\r\n", "a", "b", "c"});
  EXPECT_EQ(read(peer).body, "abc");
  EXPECT_EQ(peer.pauses, 3);
  ScriptedPeer stopped({"HTTP/1.0 200 OK\r\n\r\n", "a", "b"}, true);
  stopped.stopAfterPauses = 1;
  EXPECT_EQ(read(stopped).code, kHttpStopped);
}

}  // namespace
}  // namespace kestrin
