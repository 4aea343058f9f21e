// Entry point of the end-to-end test program.  It must run inside a private
// network namespace (in_netns.sh), where the fixed ports are free.  ctest
// runs each test on its own with a filter, so a filter that selects nothing
// is a failure, not a pass.
#include <gtest/gtest.h>
#include <signal.h>

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  ::testing::InitGoogleTest(&argc, argv);
  int result = RUN_ALL_TESTS();
  return ::testing::UnitTest::GetInstance()->test_to_run_count() == 0 ? 1 : result;
}
