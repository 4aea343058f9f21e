#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/print.h"
#include "core/random.h"
#include "support/output_capture.h"

namespace kestrin {
namespace {

TEST(ServerClockTest, CountsFromOffsetAcrossTimerWrapAndTimersRunOut) {
  EXPECT_EQ(serverClock(5000, 5000, 10000), 10000u);
  // The timer wraps 0x100 + 0x50 ms after start-up.
  EXPECT_EQ(serverClock(0x50u, 0xFFFFFF00u, 10000), 10000u + 0x150u);
  // The offset itself may make the clock wrap.
  EXPECT_EQ(serverClock(100, 0, 0xFFFFFFF0u), 100u - 0x10u);
  // A timer runs out only when set and strictly earlier, across the wrap too.
  EXPECT_FALSE(timerExpired(0, 50000));
  EXPECT_FALSE(timerExpired(50000, 50000));
  EXPECT_TRUE(timerExpired(49999, 50000));
  EXPECT_FALSE(timerExpired(50001, 50000));
  EXPECT_TRUE(timerExpired(0xFFFFFFF0u, 5));
  EXPECT_FALSE(timerExpired(5, 0xFFFFFFF0u));
}

TEST(RandomTest, LinearCongruentialSequenceWithAStatePerThread) {
  seedRandom(1);
  // The classic sequence for seed 1.
  EXPECT_EQ(nextRandom(), 41);
  EXPECT_EQ(nextRandom(), 18467);
  EXPECT_EQ(nextRandom(), 6334);
  seedRandom(12345);
  EXPECT_EQ(nextRandom(), 7584);
  // Another thread starts from the initial state, seed 1.
  int other = -1;
  std::thread([&] { other = nextRandom(); }).join();
  EXPECT_EQ(other, 41);
}

TEST(PrintTest, PassesTextUnchangedCutsAt1023AndTakesEveryThreadAtOnce) {
  testing::OutputCapture output;
  printMessage("Welcome to Kestrin Server [version: %d]\n", 1003);
  printMessage("no newline");
  EXPECT_EQ(output.text(), "Welcome to Kestrin Server [version: 1003]\nno newline");
  output.clear();
  printMessage("%s%s", std::string(5000, 'x').c_str(), "tail");
  EXPECT_EQ(output.text(), std::string(1023, 'x'));

  output.clear();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) printMessage("thread %d line %d\n", t, i);
    });
  for (auto& thread : threads) thread.join();
  const std::string text = output.text();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 800);
  EXPECT_NE(text.find("thread 3 line 199\n"), std::string::npos);
}

}  // namespace
}  // namespace kestrin
