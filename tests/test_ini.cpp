// INI reader: search order and place codes, the syntax rules, line ends and
// clamping, on files of the simulated disk.
#include <gtest/gtest.h>

#include <string>

#include "lib/dir_stack.h"
#include "lib/ini.h"
#include "tests/support/sim_fixture.h"

namespace {

class IniTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));
    ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  }
  void TearDown() override { INICloseFile(); }
  std::string Current() {
    char path[200] = "";
    HDD_TAP_GetCurrentDir(path);
    return path;
  }
  // Opens a settings file with this text and reads key with default 36,
  // bounds 0 to 10000.
  int Read(const std::string& text, const char* key, int def = 36, int lo = 0, int hi = 10000) {
    WriteText("/ProgramFiles/Settings/Brantlow/T.ini", text);
    EXPECT_EQ(3, INIOpenFile("T.ini", "Brantlow"));
    int value = INIGetInt(key, def, lo, hi);
    INICloseFile();
    return value;
  }
};

const char kPlaced[] = "x=1\r\n";

}  // namespace

TEST_F(IniTest, PlaceCodesFollowTheSearchOrder) {
  EXPECT_EQ(0, INILocateFile("T.ini", "Brantlow"));
  EXPECT_EQ("/DataFiles", Current());
  EXPECT_EQ(0, INILocateFile(nullptr, "Brantlow"));

  WriteText("/ProgramFiles/T.ini", kPlaced);
  EXPECT_EQ(5, INILocateFile("T.ini", "Brantlow"));
  EXPECT_EQ("/ProgramFiles", Current());
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));

  WriteText("/ProgramFiles/Settings/T.ini", kPlaced);
  EXPECT_EQ(4, INILocateFile("T.ini", "Brantlow"));
  EXPECT_EQ("/ProgramFiles/Settings", Current());
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));

  WriteText("/ProgramFiles/Settings/Brantlow/T.ini", kPlaced);
  EXPECT_EQ(3, INILocateFile("T.ini", "Brantlow"));
  EXPECT_EQ("/ProgramFiles/Settings/Brantlow", Current());
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));

  // A folder name that is absolute or empty is not searched.
  EXPECT_EQ(4, INILocateFile("T.ini", "/Brantlow"));
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  EXPECT_EQ(4, INILocateFile("T.ini", ""));
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  EXPECT_EQ(4, INILocateFile("T.ini", nullptr));
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));

  // The current folder comes first.
  WriteText("/DataFiles/T.ini", kPlaced);
  EXPECT_EQ(2, INILocateFile("T.ini", "Brantlow"));
  EXPECT_EQ("/DataFiles", Current());
}

TEST_F(IniTest, OpenReadsTheCurrentFolderCopyFirstAndRestoresTheFolder) {
  WriteText("/ProgramFiles/Settings/Brantlow/T.ini", "KeepBufferHours=1\r\n");
  WriteText("/DataFiles/T.ini", "KeepBufferHours=2\r\n");
  EXPECT_EQ(2, INIOpenFile("T.ini", "Brantlow"));
  EXPECT_EQ(2, INIGetInt("KeepBufferHours", 36, 0, 10000));
  INICloseFile();
  ASSERT_EQ(1, HDD_ChangeDir("/ProgramFiles/Settings"));
  EXPECT_EQ(3, INIOpenFile("T.ini", "Brantlow"));
  EXPECT_EQ(1, INIGetInt("KeepBufferHours", 36, 0, 10000));
  EXPECT_EQ("/ProgramFiles/Settings", Current());
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
}

TEST_F(IniTest, MissingFileGivesAnEmptyBlockAndDefaults) {
  EXPECT_EQ(1, INIOpenFile("T.ini", "Brantlow"));
  ASSERT_NE(nullptr, INIBuffer);
  EXPECT_EQ(512u, BufferSize);
  EXPECT_STREQ("", INIBuffer);
  EXPECT_EQ(36, INIGetInt("KeepBufferHours", 36, 0, 10000));
  EXPECT_EQ("/DataFiles", Current());
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
  INICloseFile();
  EXPECT_EQ(nullptr, INIBuffer);
  EXPECT_EQ(0u, BufferSize);
  EXPECT_EQ(0u, sim_heap_in_use());
}

TEST_F(IniTest, BlockSizeAndLineEndAppended) {
  std::string text = "A=1\n" + std::string(596, '#') + "B=2";  // 603 bytes
  WriteText("/DataFiles/T.ini", text);
  EXPECT_EQ(2, INIOpenFile("T.ini", nullptr));
  EXPECT_EQ(1536u, BufferSize);
  EXPECT_EQ(text + "\r\n", std::string(INIBuffer));
  INICloseFile();
  for (const char* end : {"\r", "\n"}) {  // a text that ends a line already keeps its end
    WriteText("/DataFiles/T.ini", std::string("A=1") + end);
    EXPECT_EQ(2, INIOpenFile("T.ini", nullptr));
    EXPECT_EQ(std::string("A=1") + end, INIBuffer);
    INICloseFile();
  }

  WriteText("/DataFiles/T.ini", "");
  EXPECT_EQ(2, INIOpenFile("T.ini", nullptr));
  EXPECT_EQ(1024u, BufferSize);
  EXPECT_STREQ("\r\n", INIBuffer);
  EXPECT_EQ(36, INIGetInt("KeepBufferHours", 36, 0, 10000));
}

TEST_F(IniTest, FailuresGivePlaceZeroAndDefaults) {
  WriteText("/DataFiles/T.ini", "KeepBufferHours=5\r\n");
  sim_fail_open("/DataFiles/T.ini");
  EXPECT_EQ(0, INIOpenFile("T.ini", nullptr));
  EXPECT_EQ(nullptr, INIBuffer);
  EXPECT_EQ(36, INIGetInt("KeepBufferHours", 36, 0, 10000));
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
  sim_clear_faults();

  sim_fail_alloc_all(1);
  EXPECT_EQ(0, INIOpenFile("T.ini", nullptr));
  EXPECT_EQ(36, INIGetInt("KeepBufferHours", 36, 0, 10000));
  sim_fail_alloc_all(0);
  EXPECT_EQ("/DataFiles", Current());
}

// Which line a key is read from, and what its value may carry: one table of
// settings files and the value each gives KeepBufferHours (default 36).
TEST_F(IniTest, KeysAtTheStartOfALineCommentsAndTrailingBlanks) {
  const struct {
    const char* text;
    int value;
  } table[] = {
      // Keys match without case and need the exact form around the "=".
      {"keepbufferhours=48\r\n", 48},
      {"KEEPBUFFERHOURS=48\r\n", 48},
      {"KeepBufferHours = 48\r\n", 36},
      {"KeepBufferHours =48\r\n", 36},
      {"KeepBufferHours= 48\r\n", 36},
      {"KeepBufferHours=\r\n", 36},
      {"Other=1\r\n", 36},
      {"A=1\r\nKeepBufferHours=7\r\nKeepBufferHours=8\r\n", 7},
      // A key counts only at the start of a line, blanks before it allowed.
      {"OldKeepBufferHours=5\r\n", 36},
      {"X=1 KeepBufferHours=5\r\nKeepBufferHours=6\r\n", 6},
      {"  KeepBufferHours=9\r\n", 9},
      {"\t KeepBufferHours=9\n", 9},
      // A line whose first character that is not a blank is ";" or "#" is a
      // comment, whatever follows the marker.
      {"#KeepBufferHours=1\r\nKeepBufferHours=2\r\n", 2},
      {";KeepBufferHours=1\r\nKeepBufferHours=2\r\n", 2},
      {"# KeepBufferHours=1\r\nKeepBufferHours=2\r\n", 2},
      {"; KeepBufferHours=2\r\nKeepBufferHours=168\r\n", 168},
      {"   ;KeepBufferHours=1\r\nKeepBufferHours=2\r\n", 2},
      {"; set KeepBufferHours=2 for a short keep\r\nKeepBufferHours=48\r\n", 48},
      {"#KeepBufferHours=1\r\n", 36},
      // A whole number may be followed by blanks and a comment.
      {"KeepBufferHours=48 \r\n", 48},
      {"KeepBufferHours=168 ; one week\r\n", 168},
      {"KeepBufferHours=168\t# one week\n", 168},
      {"KeepBufferHours=24;a day\r", 24},
      {"KeepBufferHours=12 34\r\n", 36},
      {"KeepBufferHours=12 x\r\n", 36},
      {"KeepBufferHours=12x ; no\r\n", 36},
      {"KeepBufferHours= ; none\r\n", 36},
      {"KeepBufferHours=-5 ; below the range\r\n", 0},
  };
  for (const auto& row : table) {
    EXPECT_EQ(row.value, Read(row.text, "KeepBufferHours")) << row.text;
  }
  // A key is cut to 78 characters: the 79th does not count, the 78th does.
  const std::string key78 = "A" + std::string(77, 'B');
  EXPECT_EQ(5, Read(key78 + "=5\r\n", (key78 + "C").c_str()));
  EXPECT_EQ(36, Read(key78.substr(0, 77) + "=5\r\n", key78.c_str()));
}

TEST_F(IniTest, ValuesAreDigitsWithAnOptionalMinus) {
  EXPECT_EQ(1, Read("RenameMode=two\r\n", "RenameMode", 1, 0, 2));
  EXPECT_EQ(1, Read("RenameMode=-\r\n", "RenameMode", 1, 0, 2));
  EXPECT_EQ(1, Read("RenameMode=1-\r\n", "RenameMode", 1, 0, 2));
  EXPECT_EQ(1, Read("RenameMode=+1\r\n", "RenameMode", 1, 0, 2));
  EXPECT_EQ(-5, Read("V=-5\r\n", "V", 0, -100, 100));
  EXPECT_EQ(0, INIGetInt(nullptr, 9, 0, 10));
}

TEST_F(IniTest, OutOfRangeValuesAreClamped) {
  EXPECT_EQ(10000, Read("KeepBufferHours=20000\r\n", "KeepBufferHours"));
  EXPECT_EQ(0, Read("RenameMode=-1\r\n", "RenameMode", 1, 0, 2));
  EXPECT_EQ(2, Read("RenameMode=7\r\n", "RenameMode", 1, 0, 2));
  // Twelve digits pass the 11-character test; beyond 32 bits the value is
  // 2^32 - 1, that is -1, and is clamped to the minimum.
  EXPECT_EQ(0, Read("KeepBufferHours=999999999999\r\n", "KeepBufferHours"));
  EXPECT_EQ(-1, Read("V=999999999999\r\n", "V", 0, -100, 100));
  // A leading minus negates modulo 2^32.
  EXPECT_EQ(2, Read("V=-4294967294\r\n", "V", 0, -100, 100));
  EXPECT_EQ(1, Read("V=-4294967295\r\n", "V", 0, -100, 100));  // 2^32 - 1 still fits
  // Only 11 characters are examined: a junk character behind them passes.
  EXPECT_EQ(12, Read("V=00000000012x\r\n", "V", 0, -100, 100));
  EXPECT_EQ(7, Read("V=0000000001x\r\n", "V", 7, -100, 100));      // the 11th is examined
  EXPECT_EQ(-1000, Read("V=2147483648\r\n", "V", 0, -1000, 100));  // 2^31 is negative
}

TEST_F(IniTest, AllLineEndStylesReadAsWritten) {
  const char* styles[] = {"\r\n", "\n", "\r"};
  for (const char* eol : styles) {
    for (int finalEnd = 0; finalEnd < 2; ++finalEnd) {
      std::string text = std::string("KeepBufferHours=48") + eol + "RenameMode=2";
      if (finalEnd) text += eol;
      SCOPED_TRACE(testing::Message()
                   << "style " << int(eol[strlen(eol) - 1]) << " final " << finalEnd);
      EXPECT_EQ(48, Read(text, "KeepBufferHours"));
      EXPECT_EQ(2, Read(text, "RenameMode", 1, 0, 2));
    }
  }
  // Mixed styles and empty lines.
  std::string mixed = "\n\nA=1\r\n\rB=2\nC=3\r\rD=4";
  EXPECT_EQ(1, Read(mixed, "A", 0, 0, 9));
  EXPECT_EQ(2, Read(mixed, "B", 0, 0, 9));
  EXPECT_EQ(3, Read(mixed, "C", 0, 0, 9));
  EXPECT_EQ(4, Read(mixed, "D", 0, 0, 9));
}

TEST_F(IniTest, FindStartEnd) {
  char* start = reinterpret_cast<char*>(1);
  char* end = reinterpret_cast<char*>(1);
  INIFindStartEnd("A=", &start, &end, 10);
  EXPECT_EQ(nullptr, start);  // no file open

  WriteText("/DataFiles/T.ini", "A=123456789\nB=1");
  ASSERT_EQ(2, INIOpenFile("T.ini", nullptr));
  INIFindStartEnd("a=", &start, &end, 100);
  EXPECT_EQ(INIBuffer, start);
  EXPECT_EQ(INIBuffer + 10, end);
  INIFindStartEnd("a=", &start, &end, 5);
  EXPECT_EQ(INIBuffer + 4, end);  // cut to the maximum length
  INIFindStartEnd("B=", &start, &end, 100);
  EXPECT_EQ(INIBuffer + 12, start);
  EXPECT_EQ(INIBuffer + 14, end);
  INIFindStartEnd("Z=", &start, &end, 100);
  EXPECT_EQ(nullptr, start);
  char* untouched = reinterpret_cast<char*>(1);
  INIFindStartEnd("A=", &untouched, &end, 0);
  EXPECT_EQ(reinterpret_cast<char*>(1), untouched);
}
