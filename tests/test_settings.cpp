// Settings from "Brantlow.ini" and the dialog texts.
#include <gtest/gtest.h>

#include <string>

#include "app/settings.h"
#include "lib/dir_stack.h"
#include "lib/ini.h"
#include "tests/support/sim_fixture.h"

namespace {

class SettingsTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));
  }
  void Ini(const std::string& text) {
    WriteText("/ProgramFiles/Settings/Brantlow/Brantlow.ini", text);
  }
};

}  // namespace

TEST_F(SettingsTest, NoFileKeepsTheBuiltInValues) {
  LoadIni();
  EXPECT_EQ(36u, KeepBufferHours);
  EXPECT_EQ(2u, RenameMode);
  EXPECT_EQ(1, sim_log_contains("Brantlow.ini not Found, using KeepBufferHours=36, RenameMode 2"));
  EXPECT_EQ(nullptr, INIBuffer);
  EXPECT_EQ(0u, sim_heap_in_use());
}

TEST_F(SettingsTest, EmptyFileGivesTheFileDefaults) {
  Ini("");
  LoadIni();
  EXPECT_EQ(36u, KeepBufferHours);
  EXPECT_EQ(1u, RenameMode);
  EXPECT_EQ(1, sim_log_contains("Brantlow.ini Found, KeepBufferHours=36, RenameMode 1"));
}

TEST_F(SettingsTest, ValuesAreReadAndLogged) {
  Ini("KeepBufferHours=48\nRenameMode=0");
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  LoadIni();
  EXPECT_EQ(48u, KeepBufferHours);
  EXPECT_EQ(0u, RenameMode);
  std::string log = ReadText("/ProgramFiles/Settings/Brantlow/Brantlow.log");
  EXPECT_NE(std::string::npos,
            log.find(" Brantlow.ini Found, KeepBufferHours=48, RenameMode 0\r\n\r\n"));
  char path[200] = "";
  HDD_TAP_GetCurrentDir(path);
  EXPECT_STREQ("/DataFiles", path);
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
}

TEST_F(SettingsTest, OutOfRangeValuesAreClamped) {
  Ini("KeepBufferHours=20000\r\nRenameMode=7\r\n");
  LoadIni();
  EXPECT_EQ(10000u, KeepBufferHours);
  EXPECT_EQ(2u, RenameMode);
  Ini("KeepBufferHours=-5\r\nRenameMode=-1\r\n");
  LoadIni();
  EXPECT_EQ(0u, KeepBufferHours);
  EXPECT_EQ(0u, RenameMode);
}

TEST_F(SettingsTest, UnreadableFileGivesTheFileDefaults) {
  Ini("KeepBufferHours=48\r\nRenameMode=0\r\n");
  sim_fail_open("/ProgramFiles/Settings/Brantlow/Brantlow.ini");
  LoadIni();
  EXPECT_EQ(36u, KeepBufferHours);
  EXPECT_EQ(1u, RenameMode);
}

TEST(lanItems, BothLanguagesInIso8859_1) {
  EXPECT_STREQ("Ja", lanItems[0][0]);
  EXPECT_STREQ("Nein", lanItems[0][1]);
  EXPECT_STREQ("Gespeicherte Timeshiftpuffer l\xF6schen ?", lanItems[0][2]);
  EXPECT_STREQ("Timeshift eingeschaltet", lanItems[0][3]);
  EXPECT_STREQ("Timeshift speichern eingeschaltet", lanItems[0][4]);
  EXPECT_STREQ("Yes", lanItems[1][0]);
  EXPECT_STREQ("No", lanItems[1][1]);
  EXPECT_STREQ("Delte all saved timeshift recordings ?", lanItems[1][2]);
  EXPECT_STREQ("Timeshift switched on", lanItems[1][3]);
  EXPECT_STREQ("Timeshift storage switched on", lanItems[1][4]);
  EXPECT_EQ(38u, strlen(lanItems[0][2]));  // one byte for the umlaut
}
