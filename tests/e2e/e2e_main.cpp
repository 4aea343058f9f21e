// Entry point of the end-to-end test programs.  They must run inside a
// private network namespace (in_netns.sh), where the fixed ports are free.
#include <gtest/gtest.h>
#include <signal.h>

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
