// The test programs' main: GoogleTest's, with the plug-in's statics put back
// before every test case (tests/support/plugin_state.h). So a program runs
// all its cases in one process, in any order and with any --gtest_filter, as
// ctest runs each of them alone; SimTest gives each case a fresh simulated
// receiver.
#include <gtest/gtest.h>

#include "tests/support/plugin_state.h"

namespace {

class FreshPluginStateEachCase : public ::testing::EmptyTestEventListener {
  void OnTestStart(const ::testing::TestInfo&) override { FreshPluginState(); }
};

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  FreshPluginState();  // the copy, taken before any case has run
  ::testing::UnitTest::GetInstance()->listeners().Append(new FreshPluginStateEachCase);
  return RUN_ALL_TESTS();
}
