// Log file and console of the diagnostic build: time layouts, the bytes of a
// log line, the console pieces, and the trace pattern.
#include <gtest/gtest.h>

#include <string>

#include "lib/dir_stack.h"
#include "lib/log.h"
#include "tests/support/sim_fixture.h"

namespace {

const char kStamp[] = "2026-12-08 20:05:07";

class LogTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim_set_clock(2026, 12, 8, 20, 5, 7);
  }
  std::string CurrentDir() {
    char path[200] = "?";
    HDD_TAP_GetCurrentDir(path);
    return path;
  }
};

}  // namespace

TEST_F(LogTest, NowPacksTheFirmwareTime) {
  word mjd;
  byte hour, minute, second;
  TAP_GetTime(&mjd, &hour, &minute, &second);
  byte seconds = 0;
  dword now = Now(&seconds);
  EXPECT_EQ((dword(mjd) << 16) | (20u << 8) | 5u, now);
  EXPECT_EQ(7, seconds);
  EXPECT_EQ(now, Now(nullptr));
}

TEST_F(LogTest, TimeFormatLayouts) {
  byte seconds;
  dword now = Now(&seconds);
  EXPECT_STREQ("", TimeFormat(now, seconds, 0));
  EXPECT_STREQ("20:05", TimeFormat(now, seconds, 1));
  EXPECT_STREQ("20:05:07", TimeFormat(now, seconds, 2));
  EXPECT_STREQ("2026-12-08", TimeFormat(now, seconds, 3));
  EXPECT_STREQ("2026-12-08 20:05", TimeFormat(now, seconds, 4));
  EXPECT_STREQ(kStamp, TimeFormat(now, seconds, 5));
  EXPECT_STREQ("20261208_2005", TimeFormat(now, seconds, 6));
  EXPECT_STREQ("", TimeFormat(now, seconds, 7));
  EXPECT_STREQ("", TimeFormat(now, seconds, 255));
  // Fields beyond their usual range are written in full, without overrun.
  char* wide = TimeFormat((now & 0xFFFF0000u) | 0xFFFFu, 255, 5);
  EXPECT_STREQ("2026-12-08 255:255:255", wide);
}

TEST_F(LogTest, FileLineIsStampBlankTextCrLf) {
  LogEntry("T.log", "Prog", 0, 5, "hello");
  LogEntry("T.log", "Prog", 0, 0, "bare");
  LogEntry("T.log", nullptr, 0, 2, "");
  LogEntry("T.log", "", 0, 5, "ends\r\n");
  EXPECT_EQ(std::string(kStamp) + " hello\r\nbare\r\n20:05:07 \r\n" + kStamp + " ends\r\n\r\n",
            ReadText("/ProgramFiles/T.log"));
}

TEST_F(LogTest, NoFileNameMeansNoFileAccess) {
  sim_reset_counts();
  LogEntry(nullptr, "Prog", 0, 5, "x");
  LogEntry("", "Prog", 0, 5, "x");
  EXPECT_EQ(0u, sim_call_count("TAP_Hdd_Create"));
  EXPECT_EQ(0u, sim_call_count("TAP_Hdd_Fopen"));
}

TEST_F(LogTest, FileThatCannotBeOpenedStillReachesTheConsole) {
  sim_terminal_open(0, 1);
  sim_fail_open("/ProgramFiles/T.log");
  LogEntry("T.log", "Prog", 1, 1, "lost");
  EXPECT_EQ("", ReadText("/ProgramFiles/T.log"));
  EXPECT_STREQ("20:05 Prog: lost\n", sim_terminal_text(0));
}

TEST_F(LogTest, ConsolePiecesGoToTheFirstOpenTerminal) {
  sim_terminal_open(3, 1);
  sim_terminal_open(5, 1);
  LogEntry(nullptr, "Prog", 1, 5, "hi");
  LogEntry(nullptr, nullptr, 1, 0, "bare");
  LogEntry(nullptr, "Prog", 1, 9, "");
  EXPECT_EQ(std::string(kStamp) + " Prog: hi\nbare\nProg: \n", sim_terminal_text(3));
  // Every piece goes out with its terminating zero byte, the empty stamp of
  // a layout without one included: 21 + 7 + 3 + 2, 5 + 2, 1 + 7 + 2 bytes.
  EXPECT_EQ(50u, sim_terminal_bytes(3));
  EXPECT_STREQ("", sim_terminal_text(0));
  EXPECT_STREQ("", sim_terminal_text(5));
}

TEST_F(LogTest, ConsoleFlagZeroWritesNoTerminal) {
  sim_terminal_open(0, 1);
  LogEntry("T.log", "Prog", 0, 5, "file only");
  EXPECT_STREQ("", sim_terminal_text(0));
}

TEST_F(LogTest, PrintNetWithoutTerminalsDropsTheText) {
  PrintNet("nobody listens");
  for (int n = 0; n < 20; ++n) EXPECT_STREQ("", sim_terminal_text(n));
  sim_terminal_open(19, 1);
  PrintNet("last");
  EXPECT_STREQ("last", sim_terminal_text(19));
  EXPECT_EQ(5u, sim_terminal_bytes(19));
}

TEST_F(LogTest, LongTextReachesTheConsoleWhole) {
  sim_terminal_open(0, 1);
  std::string text(999, 'x');
  text[510] = 'A';
  text[511] = 'B';
  std::string name(600, 'n');
  LogEntry(nullptr, name.c_str(), 1, 0, text.c_str());
  std::string shown = sim_terminal_text(0);
  // The name is only shown: cut to fit the console buffer.
  EXPECT_EQ(std::string(509, 'n') + ": " + text + "\n", shown);
  // Pieces of 511 characters: 1,022 go out in two, each with its zero byte.
  sim_terminal_open(1, 1);
  sim_terminal_open(0, 0);
  LogEntry(nullptr, nullptr, 1, 0, std::string(1022, 'y').c_str());
  EXPECT_EQ(1022u + 2 + 2, sim_terminal_bytes(1));
}

TEST_F(LogTest, LogLineWritesIntoTheSettingsFolderAndRestoresTheFolder) {
  ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));
  sim_terminal_open(2, 1);
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  LogLine("value %d of %s", 42, "x");
  TRACE("traced %d", 7);
  EXPECT_EQ(std::string(kStamp) + " value 42 of x\r\n" + kStamp + " traced 7\r\n",
            ReadText("/ProgramFiles/Settings/Brantlow/Brantlow.log"));
  EXPECT_EQ(std::string(kStamp) + " Brantlow: value 42 of x\n" + kStamp + " Brantlow: traced 7\n",
            sim_terminal_text(2));
  EXPECT_EQ("/DataFiles", CurrentDir());
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
  EXPECT_EQ(1, sim_log_contains("traced 7"));
}

TEST_F(LogTest, LogLineWithoutTheSettingsFolderWritesInTheCurrentFolder) {
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  LogLine("here");
  EXPECT_EQ(std::string(kStamp) + " here\r\n", ReadText("/DataFiles/Brantlow.log"));
  EXPECT_EQ(0, sim_exists("/ProgramFiles/Settings/Brantlow"));
  EXPECT_EQ("/DataFiles", CurrentDir());
}

TEST_F(LogTest, LogLineCutsALongLineToTheBuffer) {
  ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));
  std::string text(3000, 'y');
  LogLine("%s", text.c_str());
  EXPECT_EQ(std::string(kStamp) + " " + std::string(999, 'y') + "\r\n",
            ReadText("/ProgramFiles/Settings/Brantlow/Brantlow.log"));
}

TEST_F(LogTest, LogLineWithAFullStackGoesToTheConsoleOnly) {
  ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));
  sim_terminal_open(0, 1);
  for (int i = 0; i < 16; ++i) ASSERT_EQ(1, HDD_TAP_PushDir());
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  LogLine("full");
  EXPECT_EQ(15, HDD_TAP_DirStackDepth());
  EXPECT_EQ("/DataFiles", CurrentDir());
  EXPECT_EQ(0, sim_exists("/DataFiles/Brantlow.log"));
  EXPECT_EQ(0, sim_exists("/ProgramFiles/Settings/Brantlow/Brantlow.log"));
  EXPECT_EQ(1, sim_console_contains("Brantlow: full"));
}
