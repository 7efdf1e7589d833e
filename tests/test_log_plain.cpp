// The plain build: trace lines vanish, LogLine still writes.
#include <gtest/gtest.h>

#include <string>

#include "lib/dir_stack.h"
#include "lib/log.h"
#include "tests/support/sim_fixture.h"

TEST_F(SimTest, PlainBuildTraceWritesNothing) {
  ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));
  sim_terminal_open(0, 1);
  sim_reset_counts();
  int evaluated = 0;
  TRACE("never %d", ++evaluated);
  EXPECT_EQ(0, evaluated);
  EXPECT_EQ(0u, sim_total_calls());
  EXPECT_EQ(0, sim_exists("/ProgramFiles/Settings/Brantlow/Brantlow.log"));
  EXPECT_STREQ("", sim_terminal_text(0));
}

TEST_F(SimTest, PlainBuildLogLineStillWrites) {
  ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));
  sim_terminal_open(0, 1);
  LogLine("both builds %d", 2);
  EXPECT_NE(std::string::npos,
            ReadText("/ProgramFiles/Settings/Brantlow/Brantlow.log").find(" both builds 2\r\n"));
  EXPECT_EQ(1, sim_console_contains("Brantlow: both builds 2"));
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
}
