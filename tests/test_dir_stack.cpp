// Directory stack and navigation on the simulated disk.
#include <gtest/gtest.h>

#include <string>

#include "lib/dir_stack.h"
#include "lib/firmware.h"
#include "tests/support/sim_fixture.h"

namespace {

class DirStackTest : public SimTest {
 protected:
  std::string Current() {
    char path[200];
    memset(path, '?', sizeof path);
    path[199] = 0;
    EXPECT_EQ(0, HDD_TAP_GetCurrentDir(path));
    return path;
  }
};

}  // namespace

TEST_F(DirStackTest, FirstChangeCalibratesInProgramFiles) {
  // The firmware is somewhere else; the relative path still resolves in
  // "/ProgramFiles", where the first change calibrates.
  TAP_Hdd_ChangeDir("/DataFiles");
  EXPECT_EQ(1, HDD_ChangeDir("Settings"));
  EXPECT_EQ("/ProgramFiles/Settings", Current());
  EXPECT_EQ(1, HDD_ChangeDir("/DataFiles/TimeShift"));
  EXPECT_EQ("/DataFiles/TimeShift", Current());
  EXPECT_EQ(0, HDD_ChangeDir("/NoSuchFolder"));
  EXPECT_EQ("/DataFiles/TimeShift", Current());
  EXPECT_EQ(0, HDD_ChangeDir(nullptr));
}

TEST_F(DirStackTest, SecondTryUsesTheUtf8Form) {
  ASSERT_EQ(1, sim_mkdir("/DataFiles/F\xC3\xBCr"));
  HDD_ChangeDir("/ProgramFiles");
  sim_reset_counts();
  EXPECT_EQ(1, HDD_ChangeDir("/DataFiles/F\xFCr"));
  EXPECT_EQ("/DataFiles/F\xC3\xBCr", Current());
  EXPECT_EQ(2u, sim_call_count("TAP_Hdd_ChangeDir"));

  sim_reset_counts();
  EXPECT_EQ(0, HDD_ChangeDir("/DataFiles/Missing"));  // ASCII is simply tried twice
  EXPECT_EQ(2u, sim_call_count("TAP_Hdd_ChangeDir"));
  EXPECT_EQ(0, HDD_ChangeDir("/DataFiles/Gr\xFCn"));
}

TEST_F(DirStackTest, Utf8FormBeyond255BytesGetsNoSecondTry) {
  HDD_ChangeDir("/ProgramFiles");
  std::string path = "/" + std::string(127, '\xFC');  // 255 bytes in UTF-8: fits
  sim_reset_counts();
  EXPECT_EQ(0, HDD_ChangeDir(path.c_str()));
  EXPECT_EQ(2u, sim_call_count("TAP_Hdd_ChangeDir"));
  for (char more : {'a', '\xFC'}) {  // 256 and 257 bytes in UTF-8
    sim_reset_counts();
    EXPECT_EQ(0, HDD_ChangeDir((path + more).c_str()));
    EXPECT_EQ(1u, sim_call_count("TAP_Hdd_ChangeDir"));
  }
}

TEST_F(DirStackTest, PushChangePopReturns) {
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  EXPECT_EQ(1, HDD_TAP_PushDir());
  EXPECT_EQ(0, HDD_TAP_DirStackDepth());
  EXPECT_EQ("/DataFiles", Current());  // a push does not move
  ASSERT_EQ(1, HDD_ChangeDir("/ProgramFiles/Settings"));
  EXPECT_EQ(1, HDD_TAP_PushDir());
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles/TimeShift"));
  EXPECT_EQ(1, HDD_TAP_PopDir());
  EXPECT_EQ("/ProgramFiles/Settings", Current());
  EXPECT_EQ(1, HDD_TAP_PopDir());
  EXPECT_EQ("/DataFiles", Current());
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
}

TEST_F(DirStackTest, SixteenPushesTheSeventeenthRefused) {
  for (int i = 0; i < 15; ++i) ASSERT_EQ(1, HDD_TAP_PushDir()) << i;
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  EXPECT_EQ(1, HDD_TAP_PushDir());
  EXPECT_EQ(15, HDD_TAP_DirStackDepth());
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles/TimeShift"));
  EXPECT_EQ(0, HDD_TAP_PushDir());
  EXPECT_EQ(15, HDD_TAP_DirStackDepth());
  EXPECT_EQ(1, HDD_TAP_PopDir());
  EXPECT_EQ("/DataFiles", Current());
  EXPECT_EQ(1, HDD_TAP_PopDir());
  EXPECT_EQ("/ProgramFiles", Current());
  EXPECT_EQ(13, HDD_TAP_DirStackDepth());
}

TEST_F(DirStackTest, PopOnEmptyStackTouchesNothing) {
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  sim_reset_counts();
  EXPECT_EQ(0, HDD_TAP_PopDir());
  EXPECT_EQ(0u, sim_call_count("TAP_Hdd_ChangeDir"));
  EXPECT_EQ("/DataFiles", Current());
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
}

TEST_F(DirStackTest, PopToARemovedFolderFailsAndDropsTheEntry) {
  ASSERT_EQ(1, sim_mkdir("/DataFiles/Gone"));
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles/Gone"));
  ASSERT_EQ(1, HDD_TAP_PushDir());
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  ASSERT_EQ(1, sim_rmtree("/DataFiles/Gone"));
  EXPECT_EQ(0, HDD_TAP_PopDir());
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
  EXPECT_EQ("/DataFiles", Current());
}

TEST_F(DirStackTest, UnreachableTablesRefuseThePush) {
  sim_fail_symbol("_tapTask", 1);
  char path[200] = "old";
  EXPECT_EQ(-3, HDD_TAP_GetCurrentDir(path));
  EXPECT_STREQ("", path);
  EXPECT_EQ(-3, HDD_TAP_GetCurrentDir(nullptr));
  EXPECT_EQ(0, HDD_TAP_PushDir());
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
}

TEST_F(DirStackTest, GetCurrentDirWithNullBuffer) {
  EXPECT_EQ(0, HDD_TAP_GetCurrentDir(nullptr));
  EXPECT_EQ("/ProgramFiles", Current());
}

TEST_F(DirStackTest, RecordWithoutFolderLeavesTheBufferAsItWas) {
  TYPE_TapTaskEntry* table = static_cast<TYPE_TapTaskEntry*>(FIS_vTAPTable());
  const dword index = *static_cast<const dword*>(FIS_vcurTapTask());
  const dword folder = table[index].folderWord;
  table[index].folderWord = 0;
  char path[200] = "old";
  EXPECT_EQ(0, HDD_TAP_GetCurrentDir(path));
  EXPECT_STREQ("old", path);
  table[index].folderWord = folder;
}

TEST_F(DirStackTest, PathsBeyond199CharactersAreRefusedNotCut) {
  // 1 + 9 + 1 + 188 = 199 characters: fits the 200-byte entry.
  std::string fits = "/DataFiles/" + std::string(188, 'a');
  ASSERT_EQ(1, sim_mkdir(fits.c_str()));
  ASSERT_EQ(1, HDD_ChangeDir(fits.c_str()));
  EXPECT_EQ(fits, Current());
  ASSERT_EQ(1, HDD_TAP_PushDir());

  std::string oneMore = "/DataFiles/" + std::string(189, 'a');  // 200 characters
  ASSERT_EQ(1, sim_mkdir(oneMore.c_str()));
  ASSERT_EQ(1, HDD_ChangeDir(oneMore.c_str()));
  char path[200] = "old";
  EXPECT_EQ(-3, HDD_TAP_GetCurrentDir(path));
  EXPECT_STREQ("", path);
  std::string tooLong = fits + "/b";  // 201 characters
  ASSERT_EQ(1, sim_mkdir(tooLong.c_str()));
  ASSERT_EQ(1, HDD_ChangeDir(tooLong.c_str()));
  EXPECT_EQ(-3, HDD_TAP_GetCurrentDir(path));
  EXPECT_EQ(0, HDD_TAP_PushDir());
  EXPECT_EQ(0, HDD_TAP_DirStackDepth());
  EXPECT_EQ(1, HDD_TAP_PopDir());
  EXPECT_EQ(fits, Current());
}

// ---------------------------------------------------------------------------
// HDD_TAP_IsCurrentDir and HDD_TAP_EnterDir: where the plug-in stands, as the
// firmware's folder record tells it, whatever a change reported.

TEST_F(DirStackTest, IsCurrentDirComparesWithTheFirmwaresRecord) {
  ASSERT_EQ(1, sim_mkdir("/DataFiles/F\xC3\xBCr"));
  ASSERT_EQ(1, sim_mkdir("/DataFiles/TimeShiftX"));
  struct {
    const char* standIn;  // entered with the firmware's own call
    const char* folder;
    int current;
  } const table[] = {
      {"/DataFiles/TimeShift", "/DataFiles/TimeShift", 1},
      {"/DataFiles/TimeShift", "/DataFiles/TimeShift/", 1},
      {"/DataFiles/TimeShift", "DataFiles/TimeShift", 1},  // counted from the disk's root
      {"/DataFiles/TimeShift", "DataFiles/TimeShift/", 1},
      {"/DataFiles/TimeShift", "TimeShift", 0},  // not from the current folder
      {"/DataFiles/TimeShift", "/DataFiles", 0},
      {"/DataFiles/TimeShift", "/DataFiles/TimeShift/Save", 0},
      {"/DataFiles/TimeShift", "/DataFiles/TimeShif", 0},
      {"/DataFiles/TimeShift", "/DataFiles/TimeShiftX", 0},
      {"/DataFiles/TimeShiftX", "/DataFiles/TimeShift", 0},
      {"/DataFiles/TimeShift", "/DataFiles/timeshift", 0},
      {"/DataFiles/TimeShift", "", 0},
      {"/DataFiles/TimeShift", nullptr, 0},
      {"/", "/", 1},
      {"/", "", 0},
      {"/", "DataFiles", 0},
      {"/DataFiles", "/", 0},
      {"/DataFiles/F\xC3\xBCr", "/DataFiles/F\xFCr", 1},  // current in its UTF-8 form
      {"/DataFiles/F\xC3\xBCr", "/DataFiles/F\xC3\xBCr", 1},
      {"/DataFiles/F\xC3\xBCr", "/DataFiles/F", 0},
  };
  for (const auto& row : table) {
    ASSERT_EQ(0u, TAP_Hdd_ChangeDir(row.standIn)) << row.standIn;
    EXPECT_EQ(row.current, HDD_TAP_IsCurrentDir(row.folder))
        << "in " << row.standIn << ", asked " << (row.folder ? row.folder : "NULL");
  }
  // A record that cannot be read tells nothing: no folder is current.
  Restart();
  sim_fail_symbol("_tapTask", 1);
  EXPECT_EQ(0, HDD_TAP_IsCurrentDir("/ProgramFiles"));
}

TEST_F(DirStackTest, EnterDirConfirmsWhereItStandsOrLeavesNothingPushed) {
  struct Row {
    const char* what;
    const char* start;
    const char* folder;
    void (*setup)();  // after the firmware was sent to start
    int entered;
    int depth;  // after the call
  };
  const Row table[] = {
      {"a folder", "/ProgramFiles", "/DataFiles/TimeShift", nullptr, 1, 0},
      {"with a trailing slash", "/ProgramFiles", "/DataFiles/TimeShift/", nullptr, 1, 0},
      // (The plug-in's first change goes into "/ProgramFiles" before it
      // takes a relative name: it changed into the root itself first.)
      {"from the root, without a leading slash", "/", "DataFiles",
       [] { ASSERT_EQ(1, HDD_ChangeDir("/")); }, 1, 0},
      {"found in its UTF-8 form", "/ProgramFiles", "/DataFiles/F\xFCr", nullptr, 1, 0},
      // A name without a leading "/" counts from the root, as the move
      // command reads it: the firmware went into /DataFiles/TimeShift.
      {"relative to another folder", "/DataFiles", "TimeShift", nullptr, 0, -1},
      {"missing", "/DataFiles", "/DataFiles/Nowhere", nullptr, 0, -1},
      {"a file", "/DataFiles", "/DataFiles/TimeShift/a.rec", nullptr, 0, -1},
      {"the change fails", "/DataFiles", "/DataFiles/TimeShift",
       [] { sim_fail_chdir("/DataFiles/TimeShift"); }, 0, -1},
      // The first change, into "/ProgramFiles", fails when the success value
      // is learnt: from then on a failed change reads as success, and only the
      // firmware's record shows that the plug-in did not move.
      {"success value learnt wrongly", "/DataFiles", "/DataFiles/TimeShift",
       [] {
         sim_fail_chdir("/ProgramFiles");
         sim_fail_chdir("/DataFiles/TimeShift");
       },
       0, -1},
      {"the folder record cannot be read", "/DataFiles", "/DataFiles/TimeShift",
       [] { sim_fail_symbol("_tapTask", 1); }, 0, -1},
      {"the stack is full", "/DataFiles", "/DataFiles/TimeShift",
       [] {
         for (int i = 0; i < 16; ++i) ASSERT_EQ(1, HDD_TAP_PushDir());
       },
       0, 15},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    Restart();
    ASSERT_EQ(1, sim_mkdir("/DataFiles/F\xC3\xBCr"));
    ASSERT_EQ(1, sim_write_file("/DataFiles/TimeShift/a.rec", "s", 1));
    ASSERT_EQ(0u, TAP_Hdd_ChangeDir(row.start));
    if (row.setup) row.setup();
    EXPECT_EQ(row.entered, HDD_TAP_EnterDir(row.folder));
    EXPECT_EQ(row.depth, HDD_TAP_DirStackDepth());
    const int entered = row.entered;
    sim_clear_faults();
    sim_fail_symbol("_tapTask", 0);
    if (entered) {
      EXPECT_EQ(1, HDD_TAP_IsCurrentDir(row.folder));
      EXPECT_EQ(1, HDD_TAP_PopDir());
    }
    EXPECT_EQ(row.start, Current()) << "the plug-in stands where it stood";
  }
}

// The firmware may name the disk's top folder "/mnt/hd/" or "/mnt/hd": the
// current folder is the text after the mount point either way.
TEST_F(DirStackTest, TopFolderWithOrWithoutItsSlash) {
  for (int slash : {1, 0}) {
    sim_set_top_folder_slash(slash);
    ASSERT_EQ(0u, TAP_Hdd_ChangeDir("/"));
    char path[200] = "old";
    EXPECT_EQ(0, HDD_TAP_GetCurrentDir(path)) << slash;
    EXPECT_STREQ(slash ? "/" : "", path);
  }
}
