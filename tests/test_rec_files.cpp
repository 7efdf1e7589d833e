// Recording sets renamed, moved and deleted as one; what is in use; how many
// recording slots the receiver has. Every operation must leave the directory
// stack as it found it.
#include <ctype.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "lib/dir_stack.h"
#include "lib/intent.h"
#include "lib/rec_files.h"
#include "sim/control.h"
#include "tests/support/plugin_state.h"
#include "tests/support/sim_fixture.h"

namespace {

const char kTs[] = "/DataFiles/TimeShift";
const char kSave[] = "/DataFiles/TimeShift/Save";

std::string In(const char* folder, const std::string& name) {
  return std::string(folder) + "/" + name;
}

class RecFilesTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(1, sim_mkdir(kSave));
    // The plug-in's own folder, where its intent records go.
    ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));
  }
  // A recording set whose three files each hold their own name.
  void MakeSet(const char* folder, const std::string& stream) {
    for (const char* ext : {"", ".inf", ".nav"}) {
      std::string path = In(folder, stream + ext);
      WriteText(path.c_str(), stream + ext);
    }
  }
  bool Has(const char* folder, const std::string& name) {
    return sim_exists(In(folder, name).c_str()) != 0;
  }
  std::string Content(const char* folder, const std::string& name) {
    return ReadText(In(folder, name).c_str());
  }
  std::string CurrentDir() {
    char path[200] = {0};
    HDD_TAP_GetCurrentDir(path);
    return path;
  }
  void EnterTimeShift() {
    ASSERT_EQ(1, HDD_ChangeDir(kTs));
    ASSERT_EQ(-1, HDD_TAP_DirStackDepth());
  }
};

// The stops and deletions of HDD_Delete in order; a set's three files go
// each under the temporary name, after every stop, and then the intent record
// that named them.
std::string DeleteCalls() {
  return CallsAmong({"TAP_Hdd_StopTs", "TAP_Hdd_StopMp3", "TAP_Hdd_StopRecord", "TAP_Hdd_Rename",
                     "TAP_Hdd_Delete", "TAP_Hdd_Create"});
}
const char kDeleteSet[] =
    "TAP_Hdd_Create TAP_Hdd_Rename TAP_Hdd_Delete TAP_Hdd_Rename TAP_Hdd_Delete TAP_Hdd_Rename "
    "TAP_Hdd_Delete TAP_Hdd_Delete ";

// Every operation below leaves the stack as it found it, on every path.
#define EXPECT_BALANCED(call)                         \
  do {                                                \
    int depthBefore_ = HDD_TAP_DirStackDepth();       \
    call;                                             \
    EXPECT_EQ(depthBefore_, HDD_TAP_DirStackDepth()); \
  } while (0)

// ---------------------------------------------------------------------------
// HDD_Rename

TEST_F(RecFilesTest, RenameTakesCompanionsAndMakesNameUnique) {
  MakeSet(kTs, "A.rec");
  MakeSet(kTs, "B.rec");
  EnterTimeShift();
  char name[128] = "B.rec";
  EXPECT_BALANCED(HDD_Rename("A.rec", name));
  EXPECT_STREQ("B-2.rec", name);
  EXPECT_EQ("A.rec", Content(kTs, "B-2.rec"));
  EXPECT_EQ("A.rec.inf", Content(kTs, "B-2.rec.inf"));
  EXPECT_EQ("A.rec.nav", Content(kTs, "B-2.rec.nav"));
  EXPECT_EQ("B.rec", Content(kTs, "B.rec"));
  EXPECT_EQ("B.rec.inf", Content(kTs, "B.rec.inf"));
  EXPECT_FALSE(Has(kTs, "A.rec") || Has(kTs, "A.rec.inf") || Has(kTs, "A.rec.nav"));
}

TEST_F(RecFilesTest, RenameTriesPlainNameFirstAndLeavesMissingFileAlone) {
  MakeSet(kTs, "A.rec");
  EnterTimeShift();
  char name[128] = "B-3.rec";
  EXPECT_BALANCED(HDD_Rename("A.rec", name));
  EXPECT_STREQ("B.rec", name);
  EXPECT_TRUE(Has(kTs, "B.rec") && Has(kTs, "B.rec.inf") && Has(kTs, "B.rec.nav"));

  char untouched[128] = "C.rec";
  EXPECT_BALANCED(HDD_Rename("Missing.rec", untouched));
  EXPECT_STREQ("C.rec", untouched);
  EXPECT_FALSE(Has(kTs, "C.rec"));
}

TEST_F(RecFilesTest, RenameOfCompanionOrDeletedNameRenamesOneFile) {
  MakeSet(kTs, "A.rec");
  EnterTimeShift();
  char name[128] = "B.rec.inf";
  EXPECT_BALANCED(HDD_Rename("A.rec.inf", name));
  EXPECT_STREQ("B.rec", name);  // the unique-name search gives the stream name
  EXPECT_EQ("A.rec.inf", Content(kTs, "B.rec"));
  EXPECT_TRUE(Has(kTs, "A.rec") && Has(kTs, "A.rec.nav"));

  WriteText(In(kTs, "D.rec.del").c_str(), "d");
  WriteText(In(kTs, "D.rec.inf.del").c_str(), "i");
  char renamed[128] = "E.rec.del";
  EXPECT_BALANCED(HDD_Rename("D.rec.del", renamed));
  EXPECT_TRUE(Has(kTs, "E.rec.del"));
  EXPECT_TRUE(Has(kTs, "D.rec.inf.del"));
}

TEST_F(RecFilesTest, RenameToDeletionSuffixCarriesItToCompanions) {
  MakeSet(kTs, "Film.rec");
  EnterTimeShift();
  char name[128] = "Film.rec.del";
  EXPECT_BALANCED(HDD_Rename("Film.rec", name));
  EXPECT_STREQ("Film.rec.del", name);
  EXPECT_EQ("Film.rec.inf", Content(kTs, "Film.rec.inf.del"));
  EXPECT_EQ("Film.rec.nav", Content(kTs, "Film.rec.nav.del"));
}

TEST_F(RecFilesTest, RenameRefusesNameWhoseCompanionsWouldNotFit) {
  MakeSet(kTs, "A.rec");
  EnterTimeShift();
  char name[128];
  std::string longName = std::string(121, 'x') + ".rec";  // 125: its ".inf" needs 129
  snprintf(name, sizeof name, "%s", longName.c_str());
  EXPECT_BALANCED(HDD_Rename("A.rec", name));
  EXPECT_EQ(longName, name);
  EXPECT_TRUE(Has(kTs, "A.rec") && Has(kTs, "A.rec.inf") && Has(kTs, "A.rec.nav"));
  EXPECT_FALSE(Has(kTs, longName));
}

// ---------------------------------------------------------------------------
// HDD_Move

TEST_F(RecFilesTest, MoveIntoSaveGivesUniqueNameWithCompanions) {
  MakeSet(kTs, "Film.rec");
  MakeSet(kSave, "Film.rec");
  MakeSet(kSave, "Film-2.rec");
  std::string before = CurrentDir();
  sim_reset_counts();
  int result = 0;
  EXPECT_BALANCED(result = HDD_Move("Film.rec", kTs, kSave));
  EXPECT_EQ(1, result);
  EXPECT_EQ(3u, sim_shell_commands());
  EXPECT_EQ("Film.rec", Content(kSave, "Film-3.rec"));
  EXPECT_EQ("Film.rec.inf", Content(kSave, "Film-3.rec.inf"));
  EXPECT_EQ("Film.rec.nav", Content(kSave, "Film-3.rec.nav"));
  EXPECT_EQ("Film.rec.inf", Content(kSave, "Film.rec.inf"));
  EXPECT_EQ("Film-2.rec", Content(kSave, "Film-2.rec"));
  EXPECT_FALSE(Has(kTs, "Film.rec") || Has(kTs, "Film.rec.inf") || Has(kTs, "Film.rec.nav"));
  EXPECT_EQ(before, CurrentDir());
}

TEST_F(RecFilesTest, MoveReturnsOneWhenCompanionIsMissing) {
  WriteText(In(kTs, "Film.mpg").c_str(), "s");
  WriteText(In(kTs, "Film.mpg.inf").c_str(), "i");
  int result = 0;
  EXPECT_BALANCED(result = HDD_Move("Film.mpg", kTs, kSave));
  EXPECT_EQ(1, result);
  EXPECT_TRUE(Has(kSave, "Film.mpg") && Has(kSave, "Film.mpg.inf"));
  EXPECT_FALSE(Has(kSave, "Film.mpg.nav"));
}

TEST_F(RecFilesTest, MoveOfMissingFileOrFolderIssuesNoCommand) {
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  sim_reset_counts();
  int result = 1;
  EXPECT_BALANCED(result = HDD_Move("Nothing.rec", kTs, kSave));
  EXPECT_EQ(0, result);
  EXPECT_BALANCED(result = HDD_Move("Nothing.rec", "/DataFiles/Missing", kSave));
  EXPECT_EQ(0, result);
  EXPECT_EQ(0u, sim_shell_commands());
  EXPECT_EQ("/DataFiles", CurrentDir());
}

TEST_F(RecFilesTest, MoveCommandSlashRules) {
  WriteText(In(kTs, "x.ts").c_str(), "x");
  sim_reset_counts();
  // A trailing "/" gets no second one; a ".ts" file moves alone.
  EXPECT_EQ(1, HDD_Move("x.ts", "/DataFiles/TimeShift/", "/DataFiles/TimeShift/Save/"));
  EXPECT_EQ(1u, sim_shell_commands());
  EXPECT_STREQ("mv \"/mnt/hd/DataFiles/TimeShift/x.ts\" \"/mnt/hd/DataFiles/TimeShift/Save/x.ts\"",
               sim_last_shell_command());
  EXPECT_TRUE(Has(kSave, "x.ts"));

  // A folder without a leading "/" gets one after the mount point (both
  // folders are entered relative to the disk's root here).
  WriteText("/DataFiles/y.ts", "y");
  ASSERT_EQ(1, HDD_ChangeDir("/"));
  int result = 0;
  EXPECT_BALANCED(result = HDD_Move("y.ts", "DataFiles", "/DataFiles/TimeShift"));
  EXPECT_EQ(1, result);
  EXPECT_STREQ("mv \"/mnt/hd/DataFiles/y.ts\" \"/mnt/hd/DataFiles/TimeShift/y.ts\"",
               sim_last_shell_command());
  EXPECT_TRUE(Has(kTs, "y.ts"));

  WriteText("/z.ts", "z");
  EXPECT_BALANCED(result = HDD_Move("z.ts", "/", "DataFiles"));
  EXPECT_EQ(1, result);
  EXPECT_STREQ("mv \"/mnt/hd/z.ts\" \"/mnt/hd/DataFiles/z.ts\"", sim_last_shell_command());
  EXPECT_TRUE(sim_exists("/DataFiles/z.ts"));
}

TEST_F(RecFilesTest, MoveOfDeletedOrCompanionNameTakesSetAlong) {
  WriteText(In(kTs, "Film.rec.del").c_str(), "s");
  WriteText(In(kTs, "Film.rec.inf.del").c_str(), "i");
  WriteText(In(kTs, "Film.rec.nav.del").c_str(), "n");
  EXPECT_EQ(1, HDD_Move("Film.rec.del", kTs, kSave));
  EXPECT_TRUE(Has(kSave, "Film.rec.del") && Has(kSave, "Film.rec.inf.del") &&
              Has(kSave, "Film.rec.nav.del"));

  MakeSet(kTs, "Doc.rec");
  sim_reset_counts();
  EXPECT_EQ(1, HDD_Move("Doc.rec.inf", kTs, kSave));
  EXPECT_EQ(2u, sim_shell_commands());
  EXPECT_EQ("Doc.rec.inf", Content(kSave, "Doc.rec"));  // under the stream name
  EXPECT_TRUE(Has(kSave, "Doc.rec.nav"));
  EXPECT_TRUE(Has(kTs, "Doc.rec"));
}

TEST_F(RecFilesTest, MoveRefusesNamesThatDoNotFit) {
  // 127 characters, taken in Save: the unique name would need 129.
  std::string longName = std::string(123, 'y') + ".rec";
  MakeSet(kTs, "Film.rec");
  WriteText(In(kTs, longName).c_str(), "s");
  WriteText(In(kSave, longName).c_str(), "old");
  sim_reset_counts();
  int result = 1;
  EXPECT_BALANCED(result = HDD_Move(longName.c_str(), kTs, kSave));
  EXPECT_EQ(0, result);
  // A stream name of 124 characters: its companions would need 128.
  std::string stream = std::string(120, 'z') + ".rec";
  MakeSet(kTs, stream);
  EXPECT_BALANCED(result = HDD_Move(stream.c_str(), kTs, kSave));
  EXPECT_EQ(0, result);
  // A name longer than 127 characters, and a name that reaches into another folder.
  std::string tooLong(140, 'w');
  EXPECT_BALANCED(result = HDD_Move(tooLong.c_str(), kTs, kSave));
  EXPECT_EQ(0, result);
  WriteText(In(kSave, "old.rec").c_str(), "o");
  EXPECT_BALANCED(result = HDD_Move("Save/old.rec", kTs, kTs));
  EXPECT_EQ(0, result);
  EXPECT_EQ(0u, sim_shell_commands());
  EXPECT_TRUE(Has(kTs, longName) && Has(kTs, stream) && Has(kTs, stream + ".inf"));
  EXPECT_EQ("old", Content(kSave, longName));
}

TEST_F(RecFilesTest, MoveRefusesCommandBeyondItsBuffer) {
  // Two folders of 600 dollar signs: escaped, the command needs far more
  // than 2,048 bytes.
  std::string folder = "/DataFiles/" + std::string(200, '$') + "/" + std::string(200, '$') + "/" +
                       std::string(200, '$');
  if (!sim_mkdir(folder.c_str())) GTEST_SKIP() << "the disk does not take such long paths";
  WriteText((folder + "/a.ts").c_str(), "a");
  sim_reset_counts();
  int result = 1;
  EXPECT_BALANCED(result = HDD_Move("a.ts", folder.c_str(), folder.c_str()));
  EXPECT_EQ(0, result);
  EXPECT_EQ(0u, sim_shell_commands());
  EXPECT_TRUE(sim_exists((folder + "/a.ts").c_str()));
}

// Every file below the sandbox, as paths relative to it.
std::set<std::string> SandboxFiles(const std::string& root) {
  std::set<std::string> files;
  for (auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    files.insert(entry.path().lexically_relative(root).string());
  }
  return files;
}

TEST_F(RecFilesTest, MoveKeepsHostileNamesExactAndRunsNothingElse) {
  const std::vector<std::string> names = {
      "quote\"d.rec",
      "dollar$HOME.rec",
      "$(echo x > pwned).rec",
      "`touch pwned`.rec",
      "back\\slash.rec",
      "end\\.rec",
      "esc\\\"aped\\$x.rec",
      "with space.rec",
      "semi;colon; echo x > pwned.rec",
      "amp&er & echo x>pwned.rec",
      "pi|pe | tee pwned.rec",
      "star*.rec",
      "quest?on.rec",
      "new\nline.rec",
      "\xC4rger \xFC\xF6\xDF.rec",
      "'single' ${IFS} $((1+1)) !bang ~.rec",
  };
  for (const std::string& name : names) MakeSet(kTs, name);
  std::set<std::string> before = SandboxFiles(disk);

  sim_reset_counts();
  for (const std::string& name : names) {
    int result = 0;
    EXPECT_BALANCED(result = HDD_Move(name.c_str(), kTs, kSave));
    EXPECT_EQ(1, result) << name;
  }
  EXPECT_EQ(3u * names.size(), sim_shell_commands());

  std::set<std::string> expected = before;
  for (const std::string& name : names) {
    for (const char* ext : {"", ".inf", ".nav"}) {
      std::string file = name + ext;
      EXPECT_EQ(file, Content(kSave, file)) << "missing in Save: " << file;
      expected.erase("DataFiles/TimeShift/" + file);
      expected.insert("DataFiles/TimeShift/Save/" + file);
    }
  }
  EXPECT_EQ(expected, SandboxFiles(disk));
  EXPECT_FALSE(std::filesystem::exists("pwned"));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(disk).parent_path() / "pwned"));
}

TEST_F(RecFilesTest, MoveOfSparseBufferRenamesAndNeverCopies) {
  MakeSet(kTs, "Big.rec");
  char host[4096];
  ASSERT_NE(nullptr, sim_host_path("/DataFiles/TimeShift/Big.rec", host, sizeof host));
  const off_t size = off_t(4) << 30;
  ASSERT_EQ(0, truncate(host, size));
  sim_reset_counts();
  EXPECT_EQ(1, HDD_Move("Big.rec", kTs, kSave));
  EXPECT_EQ(3u, sim_shell_commands());  // one command per file of the set
  ASSERT_NE(nullptr, sim_host_path("/DataFiles/TimeShift/Save/Big.rec", host, sizeof host));
  struct stat st;
  ASSERT_EQ(0, stat(host, &st));
  EXPECT_EQ(size, st.st_size);
  EXPECT_LT(static_cast<long long>(st.st_blocks) * 512, 1LL << 20) << "the move copied the data";
  EXPECT_FALSE(Has(kTs, "Big.rec"));
}

// ---------------------------------------------------------------------------
// HDD_Delete

TEST_F(RecFilesTest, DeleteOfRecordingInSlotOneStopsSlotFirst) {
  sim_record_start(1, "Film.rec");
  ASSERT_TRUE(sim_exists("/DataFiles/Film.rec"));
  ASSERT_EQ(1, HDD_ChangeDir("/DataFiles"));
  EXPECT_EQ(4, HDD_isFileInUse("Film.rec"));
  sim_reset_counts();
  EXPECT_BALANCED(HDD_Delete("Film.rec"));
  EXPECT_EQ(1u, sim_stop_record_calls(1));
  EXPECT_EQ(0u, sim_stop_record_calls(0));
  EXPECT_EQ(std::string("TAP_Hdd_StopRecord ") + kDeleteSet, DeleteCalls());
  EXPECT_FALSE(sim_exists("/DataFiles/Film.rec") || sim_exists("/DataFiles/Film.rec.inf") ||
               sim_exists("/DataFiles/Film.rec.nav"));
  EXPECT_FALSE(sim_exists("/DataFiles/FilerDelete.tmp"));
}

TEST_F(RecFilesTest, DeleteOfPlayedFileStopsPlaybackFirst) {
  for (int mode : {1, 5}) {
    MakeSet(kSave, "Film.rec");
    sim_play("/DataFiles/TimeShift/Save/Film.rec", mode);
    ASSERT_EQ(1, HDD_ChangeDir(kSave));
    EXPECT_EQ(mode == 5 ? 2 : 1, HDD_isFileInUse("Film.rec"));
    sim_reset_counts();
    EXPECT_BALANCED(HDD_Delete("Film.rec"));
    EXPECT_EQ(std::string("TAP_Hdd_StopTs TAP_Hdd_StopMp3 ") + kDeleteSet, DeleteCalls());
    EXPECT_EQ(0u, sim_stop_record_calls(0) + sim_stop_record_calls(1));
    EXPECT_FALSE(Has(kSave, "Film.rec") || Has(kSave, "Film.rec.inf") ||
                 Has(kSave, "Film.rec.nav"));
    sim_play_stop();
  }
}

TEST_F(RecFilesTest, DeleteSuffixCases) {
  MakeSet(kSave, "Film.mpg");
  MakeSet(kSave, "Clip.rec");
  WriteText(In(kSave, "Old.rec.del").c_str(), "s");
  WriteText(In(kSave, "Old.rec.inf.del").c_str(), "i");
  WriteText(In(kSave, "Gone.rec.inf").c_str(), "i");
  WriteText(In(kSave, "Other.ts").c_str(), "t");
  WriteText(In(kSave, "Other.ts.inf").c_str(), "t");
  ASSERT_EQ(1, HDD_ChangeDir(kSave));
  sim_reset_counts();

  EXPECT_BALANCED(HDD_Delete("Film.mpg"));
  EXPECT_FALSE(Has(kSave, "Film.mpg") || Has(kSave, "Film.mpg.inf") || Has(kSave, "Film.mpg.nav"));
  // Every file under the temporary name, and the intent record.
  EXPECT_EQ(4u, sim_call_count("TAP_Hdd_Delete"));
  EXPECT_EQ(3u, sim_call_count("TAP_Hdd_Rename"));

  EXPECT_BALANCED(HDD_Delete("Old.rec.del"));  // that one file only
  EXPECT_FALSE(Has(kSave, "Old.rec.del"));
  EXPECT_TRUE(Has(kSave, "Old.rec.inf.del"));

  EXPECT_BALANCED(HDD_Delete("Clip.rec.inf"));  // a companion alone
  EXPECT_FALSE(Has(kSave, "Clip.rec.inf"));
  EXPECT_TRUE(Has(kSave, "Clip.rec") && Has(kSave, "Clip.rec.nav"));

  EXPECT_BALANCED(HDD_Delete("Other.ts"));
  EXPECT_TRUE(Has(kSave, "Other.ts.inf"));

  EXPECT_BALANCED(HDD_Delete("Gone.rec"));  // missing: its companions stay
  EXPECT_TRUE(Has(kSave, "Gone.rec.inf"));

  // A stream of 124 characters: its companions' names of 128 do not fit, so
  // the set is left whole.
  const std::string stream124 = std::string(120, 'q') + ".rec";
  MakeSet(kSave, stream124);
  EXPECT_BALANCED(HDD_Delete(stream124.c_str()));
  EXPECT_TRUE(Has(kSave, stream124) && Has(kSave, stream124 + ".inf") &&
              Has(kSave, stream124 + ".nav"));

  // Beyond the name limit: never touched, nor the namesake that its first
  // 127 characters name.
  const std::string name128(128, 'L');
  WriteText(In(kSave, name128).c_str(), "l");
  WriteText(In(kSave, name128.substr(0, 127)).c_str(), "namesake");
  EXPECT_BALANCED(HDD_Delete(name128.c_str()));
  EXPECT_TRUE(Has(kSave, name128));
  EXPECT_EQ("namesake", Content(kSave, name128.substr(0, 127)));
  EXPECT_FALSE(Has(kSave, "FilerDelete.tmp"));
}

// ---------------------------------------------------------------------------
// Disks that are not pristine, and firmware faults

TEST_F(RecFilesTest, NewNamesAreFreeForTheWholeSet) {
  MakeSet(kTs, "A.rec");
  WriteText(In(kTs, "B.rec.inf").c_str(), "stranger");
  EnterTimeShift();
  char name[128] = "B.rec";
  EXPECT_BALANCED(HDD_Rename("A.rec", name));
  EXPECT_STREQ("B-2.rec", name);
  EXPECT_EQ("stranger", Content(kTs, "B.rec.inf"));
  EXPECT_EQ("A.rec.inf", Content(kTs, "B-2.rec.inf"));

  // In Save a stray companion and a folder named like one take their names.
  WriteText(In(kSave, "B.rec.inf").c_str(), "saved");
  ASSERT_EQ(1, sim_mkdir(In(kSave, "B-2.rec.nav").c_str()));
  EXPECT_EQ(1, HDD_Move("B-2.rec", kTs, kSave));
  EXPECT_EQ("A.rec", Content(kSave, "B-3.rec"));
  EXPECT_EQ("A.rec.inf", Content(kSave, "B-3.rec.inf"));
  EXPECT_EQ("A.rec.nav", Content(kSave, "B-3.rec.nav"));
  EXPECT_EQ("saved", Content(kSave, "B.rec.inf"));
  EXPECT_FALSE(Has(kSave, "B-2.rec.nav/B-2.rec.nav"));
}

TEST_F(RecFilesTest, FoldersAndDotNamesAreNeverRenamedMovedOrDeleted) {
  ASSERT_EQ(1, sim_mkdir(In(kTs, "Shelf.rec").c_str()));
  WriteText(In(kTs, "Shelf.rec/mine").c_str(), "m");
  WriteText(In(kTs, "Lone.rec").c_str(), "s");
  ASSERT_EQ(1, sim_mkdir(In(kTs, "Lone.rec.inf").c_str()));
  sim_reset_counts();
  int result = 1;
  for (const char* name : {".", "..", "Shelf.rec"}) {
    EXPECT_BALANCED(result = HDD_Move(name, kTs, kSave));
    EXPECT_EQ(0, result) << name;
  }
  EXPECT_EQ(0u, sim_shell_commands());

  EnterTimeShift();
  char name[128] = "Other.rec";
  EXPECT_BALANCED(HDD_Rename("Shelf.rec", name));
  EXPECT_BALANCED(result = HDD_Delete("Shelf.rec"));
  EXPECT_EQ(0, result);
  EXPECT_EQ("m", Content(kTs, "Shelf.rec/mine"));
  // A folder named like a companion is not part of the set.
  char renamed[128] = "Pair.rec";
  EXPECT_BALANCED(HDD_Rename("Lone.rec", renamed));
  EXPECT_TRUE(Has(kTs, "Pair.rec") && Has(kTs, "Lone.rec.inf") && !Has(kTs, "Pair.rec.inf"));
  EXPECT_BALANCED(result = HDD_Delete("Pair.rec"));
  EXPECT_EQ(1, result);
  EXPECT_TRUE(Has(kTs, "Lone.rec.inf"));
  EXPECT_FALSE(Has(kTs, "FilerDelete.tmp"));
}

TEST_F(RecFilesTest, FaultsLeaveTheSetWhereItWas) {
  // A target folder that cannot be entered: nothing moves, nothing is
  // overwritten there.
  MakeSet(kTs, "News.rec");
  MakeSet(kSave, "News-2.rec");
  sim_fail_chdir(kSave);
  sim_reset_counts();
  int result = 1;
  EXPECT_BALANCED(result = HDD_Move("News.rec", kTs, kSave));
  EXPECT_EQ(0, result);
  EXPECT_EQ(0u, sim_shell_commands());
  EXPECT_EQ("News-2.rec", Content(kSave, "News-2.rec"));
  EXPECT_TRUE(Has(kTs, "News.rec") && Has(kTs, "News.rec.inf") && Has(kTs, "News.rec.nav"));
  sim_clear_faults();

  // A stale "FilerDelete.tmp" is not the plug-in's: it stays and blocks
  // nothing; the set goes under the next free temporary name.
  WriteText(In(kSave, "FilerDelete.tmp").c_str(), "stale");
  ASSERT_EQ(1, HDD_ChangeDir(kSave));
  EXPECT_BALANCED(result = HDD_Delete("News-2.rec"));
  EXPECT_EQ(1, result);
  EXPECT_EQ("stale", Content(kSave, "FilerDelete.tmp"));
  EXPECT_FALSE(Has(kSave, "News-2.rec") || Has(kSave, "News-2.rec.inf") ||
               Has(kSave, "News-2.rec.nav") || Has(kSave, "FilerDelete-2.tmp"));
}

TEST_F(RecFilesTest, StreamsInAnyLetterCaseTakeTheirCompanions) {
  // A stale companion in Save takes its name from a stream of any case, and
  // the set arrives whole beside it.
  WriteText(In(kSave, "News.REC.inf").c_str(), "stale");
  for (const char* stream : {"News.REC", "Clip.Mpg"}) MakeSet(kTs, stream);
  EXPECT_EQ(1, HDD_Move("News.REC", kTs, kSave));
  EXPECT_EQ("News.REC", Content(kSave, "News-2.REC"));
  EXPECT_EQ("News.REC.inf", Content(kSave, "News-2.REC.inf"));
  EXPECT_EQ("News.REC.nav", Content(kSave, "News-2.REC.nav"));
  EXPECT_EQ("stale", Content(kSave, "News.REC.inf"));
  EnterTimeShift();
  char name[128] = "Film.MPG";
  EXPECT_EQ(1, HDD_Rename("Clip.Mpg", name));
  EXPECT_EQ("Clip.Mpg.nav", Content(kTs, "Film.MPG.nav"));
  EXPECT_EQ(1, HDD_Delete("Film.MPG"));
  EXPECT_FALSE(Has(kTs, "Film.MPG") || Has(kTs, "Film.MPG.inf") || Has(kTs, "Film.MPG.nav"));
}

TEST_F(RecFilesTest, AMemberThatIsNeitherFileNorFolderLeavesTheSetAlone) {
  // An ".inf" that cannot be opened; a companion-named folder that cannot be
  // entered and was never listed; and an ".inf" that cannot be opened while a
  // folder of that name was listed in another folder (Save): nothing is
  // renamed, moved or deleted.
  for (int variant : {0, 1, 2}) {
    MakeSet(kTs, "A.rec");
    if (variant == 1) {
      ASSERT_EQ(1, sim_rmtree(In(kTs, "A.rec.inf").c_str()));
      ASSERT_EQ(1, sim_mkdir(In(kTs, "A.rec.inf").c_str()));
      sim_fail_chdir(In(kTs, "A.rec.inf").c_str());
    } else {
      sim_fail_open(In(kTs, "A.rec.inf").c_str());
    }
    if (variant == 2) {
      ASSERT_EQ(1, sim_mkdir(In(kSave, "A.rec.inf").c_str()));
      ASSERT_EQ(1, HDD_ChangeDir(kSave));
      HDD_NoteFolder("A.rec.inf");
      EXPECT_EQ(1, HDD_IsFolder("A.rec.inf"));
    }
    sim_reset_counts();
    EXPECT_EQ(0, HDD_Move("A.rec", kTs, kSave)) << variant;
    EnterTimeShift();
    char name[128] = "B.rec";
    EXPECT_EQ(0, HDD_Rename("A.rec", name)) << variant;
    EXPECT_EQ(0, HDD_Delete("A.rec")) << variant;
    EXPECT_EQ(0u, sim_shell_commands() + sim_call_count("TAP_Hdd_Rename") +
                      sim_call_count("TAP_Hdd_Delete"));
    EXPECT_TRUE(Has(kTs, "A.rec") && Has(kTs, "A.rec.inf") && Has(kTs, "A.rec.nav"));
    sim_clear_faults();
    for (const char* ext : {"", ".inf", ".nav"})
      sim_rmtree(In(kTs, std::string("A.rec") + ext).c_str());
  }
}

// ---------------------------------------------------------------------------
// HDD_IsFolder and HDD_RenameFile: the two tests every step on a set rests on

// The plug-in loaded afresh in the timeshift folder, its first change (into
// "/ProgramFiles", where it learns the firmware's success value) failing:
// from then on a failed change reads as success and a good one as failure.
void LearnSuccessWrongly() {
  FreshPluginState();
  sim_fail_chdir("/ProgramFiles");
  HDD_ChangeDir(kTs);
}

// A folder is what can be entered or what a folder scan listed as one; where
// that cannot be told, a name counts as a folder, so that nothing is done
// with it. The plug-in stands where it
// stood afterwards, the stack as it was.
TEST_F(RecFilesTest, IsFolderTellsWhatCanBeEnteredAndDoubtsOtherwise) {
  struct Row {
    const char* what;
    const char* name;
    void (*setup)();  // after the plug-in changed into the timeshift folder
    int folder;
    int depth;  // after the call
  };
  const Row table[] = {
      {"a folder", "Sub", nullptr, 1, -1},
      {"a folder named like a recording", "Shelf.rec", nullptr, 1, -1},
      {"the current folder", ".", nullptr, 1, -1},
      {"its parent", "..", nullptr, 1, -1},
      {"a file", "a.rec", nullptr, 0, -1},
      {"a missing name", "b.rec", nullptr, 0, -1},
      {"a file, the success value learnt wrongly", "a.rec", LearnSuccessWrongly, 1, -1},
      {"a folder, the success value learnt wrongly", "Sub", LearnSuccessWrongly, 1, -1},
      {"a file, the current folder not readable", "a.rec", [] { sim_fail_symbol("_tapTask", 1); },
       1, -1},
      {"a file, the stack full", "a.rec",
       [] {
         for (int i = 0; i < 16; ++i) ASSERT_EQ(1, HDD_TAP_PushDir());
       },
       1, 15},
      {"a file, the way back refused", "a.rec", [] { sim_fail_chdir(kTs); }, 1, -1},
      // A folder named like a companion that the firmware will not enter is
      // one when a folder scan listed it.
      {"a folder not entered, listed by a scan", "Held.rec.inf",
       [] {
         ASSERT_EQ(1, sim_mkdir(In(kTs, "Held.rec.inf").c_str()));
         sim_fail_chdir(In(kTs, "Held.rec.inf").c_str());
         HDD_NoteFolder("Held.rec.inf");
       },
       1, -1},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    Restart();
    ASSERT_EQ(1, sim_mkdir(In(kTs, "Sub").c_str()));
    ASSERT_EQ(1, sim_mkdir(In(kTs, "Shelf.rec").c_str()));
    MakeSet(kTs, "a.rec");
    ASSERT_EQ(1, HDD_ChangeDir(kTs));
    if (row.setup) row.setup();
    EXPECT_EQ(row.folder, HDD_IsFolder(row.name));
    EXPECT_EQ(row.depth, HDD_TAP_DirStackDepth());
    sim_clear_faults();
    sim_fail_symbol("_tapTask", 0);
    EXPECT_EQ(kTs, CurrentDir());
    EXPECT_EQ("a.rec", Content(kTs, "a.rec"));
  }
}

// One file of the current folder onto a free name, nothing else: a taken
// name, a folder on either side, or a name not known to be a file leave
// everything as it was; the result says whether the file moved.
TEST_F(RecFilesTest, RenameFileMovesOneFileOntoAFreeNameOnly) {
  struct Row {
    const char* what;
    const char* from;
    const char* to;
    void (*setup)();
    int renamed;
  };
  const Row table[] = {
      {"a file onto a free name", "a.rec", "b.rec", nullptr, 1},
      {"onto a file", "a.rec", "taken.rec", nullptr, 0},
      {"onto a folder", "a.rec", "Sub", nullptr, 0},
      {"onto itself", "a.rec", "a.rec", nullptr, 0},
      {"a folder", "Sub", "Other", nullptr, 0},
      {"a missing file", "gone.rec", "b.rec", nullptr, 0},
      {"folders not told from files", "a.rec", "b.rec", LearnSuccessWrongly, 0},
      {"a file that cannot be opened", "a.rec", "b.rec",
       [] { sim_fail_open(In(kTs, "a.rec").c_str()); }, 0},
      {"a folder that cannot be entered", "Sub", "Other",
       [] { sim_fail_chdir(In(kTs, "Sub").c_str()); }, 0},
      {"the firmware's rename fails", "a.rec", "b.rec",
       [] { sim_fail_rename(In(kTs, "a.rec").c_str()); }, 0},
  };
  for (const Row& row : table) {
    SCOPED_TRACE(row.what);
    Restart();
    ASSERT_EQ(1, sim_mkdir(In(kTs, "Sub").c_str()));
    MakeSet(kTs, "a.rec");
    WriteText(In(kTs, "taken.rec").c_str(), "taken.rec");
    const std::string before = Snapshot(disk);
    ASSERT_EQ(1, HDD_ChangeDir(kTs));
    if (row.setup) row.setup();
    EXPECT_EQ(row.renamed, HDD_RenameFile(row.from, row.to));
    sim_clear_faults();
    if (!row.renamed) {
      EXPECT_EQ(before, Snapshot(disk));
      continue;
    }
    EXPECT_FALSE(Has(kTs, row.from));
    EXPECT_EQ(row.from, Content(kTs, row.to));
    EXPECT_EQ("a.rec.inf", Content(kTs, "a.rec.inf"));
    EXPECT_EQ("a.rec.nav", Content(kTs, "a.rec.nav"));
    EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
    EXPECT_EQ(kTs, CurrentDir());
  }
}

// ---------------------------------------------------------------------------
// HDD_isFileInUse and HDD_NumberOfRECSlots

TEST_F(RecFilesTest, InUseCodesWithTwoSlots) {
  EXPECT_EQ(0, HDD_isFileInUse("Film.rec"));
  sim_record_start(0, "Film.rec");
  EXPECT_EQ(3, HDD_isFileInUse("Film.rec"));
  EXPECT_EQ(0, HDD_isFileInUse("film.rec"));  // exact, case-sensitive
  EXPECT_EQ(0, HDD_isFileInUse("Film"));
  sim_record_stop(0);
  sim_record_start(1, "News.mpg");
  EXPECT_EQ(4, HDD_isFileInUse("News.mpg"));
  EXPECT_EQ(0, HDD_isFileInUse("Film.rec"));
  MakeSet(kSave, "Play.rec");
  sim_play("/DataFiles/TimeShift/Save/Play.rec", 2);
  EXPECT_EQ(1, HDD_isFileInUse("Play.rec"));
  sim_play_stop();
  sim_play("/DataFiles/TimeShift/Save/Play.rec", 5);
  EXPECT_EQ(2, HDD_isFileInUse("Play.rec"));
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
}

TEST_F(RecFilesTest, InUseCodesFiveAndSixOnFourSlotReceiver) {
  sim_set_system_id(0x5A5A);
  sim_set_slots(4);
  ASSERT_EQ(1, sim_write_firmwaredat("/ProgramFiles/Settings", 0x5A5A, 4));
  sim_record_start(2, "Two.rec");
  sim_record_start(3, "Three.rec");
  EXPECT_EQ(5, HDD_isFileInUse("Two.rec"));
  EXPECT_EQ(6, HDD_isFileInUse("Three.rec"));
  EXPECT_EQ(0, HDD_isFileInUse("Four.rec"));
}

TEST_F(RecFilesTest, InUseNamesEndingInInfStandForTheirStream) {
  // Records that name the information file: ".inf" is cut off a stream's
  // companion only (".rec" or ".mpg" in any letter case, or ".ts").
  sim_record_start(0, "Film.rec.inf");
  sim_record_start(1, "Notes.txt.inf");
  EXPECT_EQ(3, HDD_isFileInUse("Film.rec"));
  EXPECT_EQ(0, HDD_isFileInUse("Film.rec.inf"));
  EXPECT_EQ(4, HDD_isFileInUse("Notes.txt.inf"));
  EXPECT_EQ(0, HDD_isFileInUse("Notes.txt"));
  sim_record_stop(0);
  sim_record_start(0, "NEWS.REC.inf");
  EXPECT_EQ(3, HDD_isFileInUse("NEWS.REC"));
  sim_record_stop(0);
  sim_record_start(0, "x.ts.inf");
  EXPECT_EQ(3, HDD_isFileInUse("x.ts"));
  MakeSet(kSave, "Play.mpg");
  sim_play("/DataFiles/TimeShift/Save/Play.mpg.inf", 2);
  EXPECT_EQ(1, HDD_isFileInUse("Play.mpg"));
}

// The slots asked on their own: what is being played hides no recording, and
// the timeshift slot counts too, also when its record names the ".inf".
TEST_F(RecFilesTest, RecordedAsksEverySlotWhateverIsPlayed) {
  MakeSet(kSave, "News.rec");
  sim_play("/DataFiles/TimeShift/Save/News.rec", 2);
  sim_record_start(1, "News.rec");
  EXPECT_EQ(1, HDD_isFileInUse("News.rec"));
  EXPECT_EQ(4, HDD_isFileRecorded("News.rec"));
  sim_record_stop(1);
  EXPECT_EQ(0, HDD_isFileRecorded("News.rec"));
  sim_timeshift_start("Buffer.rec.inf");  // the timeshift slot (2) names the ".inf"
  EXPECT_EQ(5, HDD_isFileRecorded("Buffer.rec"));
  EXPECT_EQ(0, HDD_isFileInUse("Buffer.rec")) << "the timeshift slot is no recording slot";
  EXPECT_EQ(0u, sim_stop_record_calls(1) + sim_stop_record_calls(2));
  EXPECT_EQ(0u, sim_stop_ts_calls());
}

// The slots on every receiver: the timeshift slot follows the recording
// slots, and both are learnt from the data file where it tells, from the
// firmware's records where it does not. Each row is a receiver of its own.
struct SlotCase {
  const char* what;
  int slots;               // the receiver's recording slots
  int datSlots;            // slots in its FirmwareTMS.dat record, -1: no file
  int datModel;            // model of that record (the receiver is 0x1234)
  bool bufferLive;         // the timeshift buffer records when the slots are first asked
  dword expected;          // recording slots learnt
  bool everySlot = false;  // the firmware answers every slot, refusing none
};

class Slots : public RecFilesTest, public ::testing::WithParamInterface<SlotCase> {};

TEST_P(Slots, AreLearntAndEverySlotIsAsked) {
  const SlotCase& c = GetParam();
  sim_set_system_id(0x1234);
  sim_set_slots(c.slots);
  sim_answer_every_slot(c.everySlot);
  if (c.datSlots >= 0) {
    ASSERT_EQ(1, sim_write_firmwaredat("/ProgramFiles/Settings", c.datModel, c.datSlots));
  }
  if (c.bufferLive) sim_timeshift_start("Live.rec");
  const int last = c.slots - 1;
  sim_record_start(last, "Film.rec");

  dword slots = 0;
  EXPECT_BALANCED(slots = HDD_NumberOfRECSlots());
  EXPECT_EQ(c.expected, slots);
  EXPECT_EQ(c.expected, HDD_TimeshiftSlot());
  // The last recording slot is asked, and the timeshift slot is never taken
  // for a recording slot.
  EXPECT_EQ(3 + last, HDD_isFileInUse("Film.rec"));
  EXPECT_EQ(3 + last, HDD_isFileRecorded("Film.rec"));
  sim_timeshift_start("Later.rec");
  EXPECT_EQ(3 + c.slots, HDD_isFileRecorded("Later.rec"));
  EXPECT_EQ(0, HDD_isFileInUse("Later.rec"));
  // Once the buffer has been seen, its slot is the timeshift slot.
  EXPECT_EQ(dword(c.slots), HDD_TimeshiftSlot());
  EXPECT_EQ(dword(c.slots), HDD_NumberOfRECSlots());
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
}

INSTANTIATE_TEST_SUITE_P(
    EveryReceiver, Slots,
    ::testing::Values(SlotCase{"two, no data file", 2, -1, 0, false, 2},
                      SlotCase{"four, no data file", 4, -1, 0, false, 4},
                      SlotCase{"four, no data file, buffer live", 4, -1, 0, true, 4},
                      SlotCase{"four, data file of another model", 4, 4, 0x9999, false, 4},
                      SlotCase{"four, data file says four", 4, 4, 0x1234, false, 4},
                      SlotCase{"two, data file says two", 2, 2, 0x1234, false, 2},
                      SlotCase{"four, data file says two, buffer live", 4, 2, 0x1234, true, 4},
                      SlotCase{"four, data file says 0", 4, 0, 0x1234, false, 4},
                      SlotCase{"two, data file says 200", 2, 200, 0x1234, false, 2},
                      // No refusal tells the count: the fewest, two, until a
                      // record shows the buffer.
                      SlotCase{"two, every slot answered", 2, -1, 0, false, 2, true},
                      SlotCase{"four, every slot answered", 4, -1, 0, false, 2, true},
                      SlotCase{"four, every slot answered, buffer live", 4, -1, 0, true, 4, true}),
    [](const ::testing::TestParamInfo<SlotCase>& info) {
      std::string name;
      for (const char* p = info.param.what; *p; ++p) {
        if (isalnum(static_cast<unsigned char>(*p))) name += *p;
      }
      return name;
    });

// Learning the slots asks no slot beyond the first the firmware refuses, and
// slots once known are not asked again.
TEST_F(RecFilesTest, SlotsAreAskedUpToTheFirstRefusedOnce) {
  sim_set_slots(4);
  sim_reset_counts();
  EXPECT_EQ(4u, HDD_NumberOfRECSlots());
  EXPECT_EQ(6u, sim_call_count("TAP_Hdd_GetRecInfo")) << "slots 0 to 4, and 5 refused";
  sim_reset_counts();
  EXPECT_EQ(4u, HDD_TimeshiftSlot());
  EXPECT_EQ(0u, sim_call_count("TAP_Hdd_GetRecInfo"));
}

TEST_F(RecFilesTest, SlotsFromMatchingRecordReadOnce) {
  sim_set_system_id(0x00011234);  // the model is the low 16 bits
  ASSERT_EQ(1, sim_write_firmwaredat("/ProgramFiles/Settings", 0x1234, 4));
  sim_reset_counts();
  dword slots = 0;
  EXPECT_BALANCED(slots = HDD_NumberOfRECSlots());
  EXPECT_EQ(4u, slots);
  EXPECT_EQ(1u, sim_call_count("TAP_Hdd_Fopen"));
  ASSERT_EQ(1, sim_write_firmwaredat("/ProgramFiles/Settings", 0x1234, 2));
  EXPECT_BALANCED(slots = HDD_NumberOfRECSlots());
  EXPECT_EQ(4u, slots);
  EXPECT_EQ(1u, sim_call_count("TAP_Hdd_Fopen"));
}

TEST_F(RecFilesTest, SlotsFallBackToTwo) {
  sim_reset_counts();
  dword slots = 0;
  EXPECT_BALANCED(slots = HDD_NumberOfRECSlots());
  EXPECT_EQ(2u, slots);
  // The fallback is kept as well: a file written later is not read.
  ASSERT_EQ(1, sim_write_firmwaredat("/ProgramFiles/Settings", 0, 4));
  unsigned opens = sim_call_count("TAP_Hdd_Fopen");
  EXPECT_EQ(2u, HDD_NumberOfRECSlots());
  EXPECT_EQ(opens, sim_call_count("TAP_Hdd_Fopen"));
}

TEST_F(RecFilesTest, SlotsFallBackToTwoForOtherModel) {
  sim_set_system_id(0x0001);
  ASSERT_EQ(1, sim_write_firmwaredat("/ProgramFiles/Settings", 0x0002, 4));
  EXPECT_EQ(2u, HDD_NumberOfRECSlots());
}

}  // namespace

// ---------------------------------------------------------------------------
// A power failure between two steps of a set operation: every state the steps
// can leave, with its intent record, is finished (or undone) by the next
// start's recovery, and the set is whole under one name in one folder.

namespace {

class RecoveryTest : public RecFilesTest {
 protected:
  // Renames a file on the disk as a step of the plug-in would have.
  void Step(const std::string& from, const std::string& to) {
    char a[4096], b[4096];
    ASSERT_TRUE(sim_host_path(from.c_str(), a, sizeof a) && sim_host_path(to.c_str(), b, sizeof b));
    ASSERT_EQ(0, rename(a, b)) << from << " -> " << to;
  }
  void Remove(const std::string& path) { ASSERT_EQ(1, sim_rmtree(path.c_str())) << path; }
  // The record of an operation on the set stream in folder: its members in
  // the order of the steps, the companions first.
  SetIntent Intent(byte kind, const char* folder, const char* to, const std::string& stream,
                   const std::string& target) {
    SetIntent in;
    memset(&in, 0, sizeof in);
    in.kind = kind;
    in.count = 3;
    snprintf(in.folder, sizeof in.folder, "%s", folder);
    snprintf(in.to, sizeof in.to, "%s", to);
    const char* exts[] = {".inf", ".nav", ""};
    for (int i = 0; i < 3; ++i) {
      snprintf(in.oldName[i], sizeof in.oldName[i], "%s%s", stream.c_str(), exts[i]);
      snprintf(in.newName[i], sizeof in.newName[i], "%s%s", target.c_str(),
               kind == INTENT_DELETE ? "" : exts[i]);
      in.size[i] = static_cast<dword>(Content(folder, in.oldName[i]).size());
    }
    return in;
  }
  // The set made as original stands whole in folder under stream.
  bool Whole(const char* folder, const std::string& stream, const std::string& original = "A.rec") {
    for (const char* ext : {"", ".inf", ".nav"})
      if (Content(folder, stream + ext) != original + ext) return false;
    return true;
  }
  bool NoneOf(const char* folder, const std::string& stream) {
    return !Has(folder, stream) && !Has(folder, stream + ".inf") && !Has(folder, stream + ".nav");
  }
  bool RecordLeft() { return sim_exists("/ProgramFiles/Settings/Brantlow/Brantlow.intent") != 0; }
};

TEST_F(RecoveryTest, EveryCutOfARenameOrMoveEndsWithTheSetWholeUnderItsNewName) {
  struct Case {
    byte kind;
    const char* to;
  };
  for (Case c : {Case{INTENT_RENAME, kTs}, Case{INTENT_MOVE, kSave}}) {
    for (int cut = 0; cut <= 3; ++cut) {
      SCOPED_TRACE("kind " + std::to_string(c.kind) + ", steps done " + std::to_string(cut));
      MakeSet(kTs, "A.rec");
      WriteText(In(kTs, "B.rec.x").c_str(), "stranger");
      SetIntent in = Intent(c.kind, kTs, c.kind == INTENT_MOVE ? kSave : "", "A.rec", "B.rec");
      ASSERT_EQ(1, IntentWrite(&in));
      for (int i = 0; i < cut; ++i) Step(In(kTs, in.oldName[i]), In(c.to, in.newName[i]));
      sim_reset_counts();
      int result = RECOVER_NONE;
      EXPECT_BALANCED(result = HDD_RecoverSetOperation(nullptr));
      EXPECT_EQ(RECOVER_DONE, result);
      EXPECT_TRUE(Whole(c.to, "B.rec"));
      EXPECT_TRUE(NoneOf(kTs, "A.rec"));
      EXPECT_EQ("stranger", Content(kTs, "B.rec.x"));
      EXPECT_FALSE(RecordLeft());
      // Nothing is left to do: the next start finds no record.
      EXPECT_EQ(RECOVER_NONE, HDD_RecoverSetOperation(nullptr));
      Remove(In(c.to, "B.rec"));
      Remove(In(c.to, "B.rec.inf"));
      Remove(In(c.to, "B.rec.nav"));
    }
  }
}

TEST_F(RecoveryTest, AMemberThatCannotGoOnIsBroughtBackAndNothingIsOverwritten) {
  // After the cut something else took the stream's new name: the set goes
  // back to its old name, and the other file stays as it is.
  for (byte kind : {INTENT_RENAME, INTENT_MOVE}) {
    const char* to = kind == INTENT_MOVE ? kSave : kTs;
    MakeSet(kTs, "A.rec");
    SetIntent in = Intent(kind, kTs, kind == INTENT_MOVE ? kSave : "", "A.rec", "B.rec");
    ASSERT_EQ(1, IntentWrite(&in));
    Step(In(kTs, in.oldName[0]), In(to, in.newName[0]));
    WriteText(In(to, "B.rec").c_str(), "somebody's");
    EXPECT_EQ(RECOVER_UNDONE, HDD_RecoverSetOperation(nullptr));
    EXPECT_TRUE(Whole(kTs, "A.rec")) << int(kind);
    EXPECT_EQ("somebody's", Content(to, "B.rec"));
    EXPECT_FALSE(RecordLeft());
    Remove(In(to, "B.rec"));
    for (const char* ext : {"", ".inf", ".nav"})
      sim_rmtree(In(kTs, std::string("A.rec") + ext).c_str());
  }
}

TEST_F(RecoveryTest, EveryCutOfADeleteEndsWithTheSetGoneOrWholeAndNoTemporaryName) {
  // Each member goes under the temporary name and is then deleted: six steps.
  // A stranger's "FilerDelete.tmp" makes the plug-in's the next free name.
  for (int cut = 0; cut <= 6; ++cut) {
    SCOPED_TRACE("steps done " + std::to_string(cut));
    MakeSet(kSave, "A.rec");
    WriteText(In(kSave, "FilerDelete.tmp").c_str(), "stranger");
    SetIntent in = Intent(INTENT_DELETE, kSave, "", "A.rec", "FilerDelete-2.tmp");
    ASSERT_EQ(1, IntentWrite(&in));
    for (int s = 0; s < cut; ++s) {
      if (s % 2 == 0) {
        Step(In(kSave, in.oldName[s / 2]), In(kSave, "FilerDelete-2.tmp"));
      } else {
        Remove(In(kSave, "FilerDelete-2.tmp"));
      }
    }
    int result = RECOVER_NONE;
    EXPECT_BALANCED(result = HDD_RecoverSetOperation(nullptr));
    if (cut == 0) {
      EXPECT_EQ(RECOVER_UNDONE, result);  // nothing had begun
      EXPECT_TRUE(Whole(kSave, "A.rec"));
      for (const char* ext : {"", ".inf", ".nav"}) Remove(In(kSave, std::string("A.rec") + ext));
    } else {
      EXPECT_EQ(RECOVER_DONE, result);
      EXPECT_TRUE(NoneOf(kSave, "A.rec"));
    }
    EXPECT_FALSE(Has(kSave, "FilerDelete-2.tmp"));
    EXPECT_EQ("stranger", Content(kSave, "FilerDelete.tmp"));
    EXPECT_FALSE(RecordLeft());
  }
}

TEST_F(RecoveryTest, ARecordCutWhileItWasWrittenIsNoneAndIsRemoved) {
  MakeSet(kTs, "A.rec");
  SetIntent in = Intent(INTENT_MOVE, kTs, kSave, "A.rec", "A.rec");
  ASSERT_EQ(1, IntentWrite(&in));
  const char kRecord[] = "/ProgramFiles/Settings/Brantlow/Brantlow.intent";
  std::string whole = ReadText(kRecord);
  ASSERT_GT(whole.size(), 20u);
  EXPECT_EQ(0, IntentWrite(&in)) << "a record is never overwritten";
  SetIntent back;
  ASSERT_EQ(1, IntentRead(&back));
  EXPECT_EQ(0, memcmp(&in, &back, sizeof in));
  // Every prefix of the record, and the record with any one byte changed.
  for (size_t n = 0; n < whole.size(); ++n) {
    WriteText(kRecord, whole.substr(0, n));
    EXPECT_EQ(0, IntentRead(&back)) << n << " bytes";
    EXPECT_FALSE(RecordLeft()) << n << " bytes";
    std::string changed = whole;
    changed[n] = static_cast<char>(changed[n] ^ 0x10);
    WriteText(kRecord, changed);
    EXPECT_EQ(0, IntentRead(&back)) << "byte " << n << " changed";
  }
  EXPECT_EQ(RECOVER_NONE, HDD_RecoverSetOperation(nullptr));
  EXPECT_TRUE(Whole(kTs, "A.rec"));
}

TEST_F(RecoveryTest, OperationsWriteTheirRecordFirstAndRemoveItLast) {
  // The plug-in's folder is made when it is missing; a record that cannot be
  // written stops a rename or a move before its first step, but not a
  // delete, which then leaves at worst what the next pass deletes.
  sim_rmtree("/ProgramFiles/Settings/Brantlow");
  MakeSet(kTs, "A.rec");
  EXPECT_EQ(1, HDD_Move("A.rec", kTs, kSave));
  EXPECT_TRUE(sim_exists("/ProgramFiles/Settings/Brantlow"));
  EXPECT_FALSE(RecordLeft());

  sim_fail_chdir("/ProgramFiles/Settings/Brantlow");
  MakeSet(kTs, "C.rec");
  EXPECT_EQ(0, HDD_Move("C.rec", kTs, kSave));
  EnterTimeShift();
  char name[128] = "D.rec";
  EXPECT_EQ(0, HDD_Rename("C.rec", name));
  EXPECT_STREQ("D.rec", name);
  EXPECT_TRUE(Whole(kTs, "C.rec", "C.rec"));
  ASSERT_EQ(1, HDD_ChangeDir(kSave));
  EXPECT_EQ(1, HDD_Delete("A.rec"));
  EXPECT_TRUE(NoneOf(kSave, "A.rec"));
  EXPECT_EQ(RECOVER_UNREADABLE, HDD_RecoverSetOperation(nullptr));
}

}  // namespace

// A playback of no blocks is not playing the file: the firmware reports it
// before it has read anything.
TEST_F(RecFilesTest, InUseEmptyPlaybackPlaysNothing) {
  MakeSet(kSave, "Play.rec");
  for (int mode : {2, 5}) {
    sim_play("/DataFiles/TimeShift/Save/Play.rec", mode);
    sim_play_blocks(0);
    EXPECT_EQ(0, HDD_isFileInUse("Play.rec")) << mode;
    sim_play_blocks(1);
    EXPECT_EQ(mode == 5 ? 2 : 1, HDD_isFileInUse("Play.rec")) << mode;
  }
}

// The target folder's escaped path fills its 512-byte buffer at 512
// characters: such a move is refused, the set stays; one less moves it.
TEST_F(RecFilesTest, MoveRefusesATargetFolderOf512Characters) {
  for (size_t length : {511u, 512u}) {
    ASSERT_EQ(1, sim_init(disk.c_str()));
    ASSERT_EQ(1, sim_mkdir(kSave));
    WriteText((std::string(kTs) + "/x.ts").c_str(), "x");
    std::string folder = kSave;
    folder.resize(length, '/');  // the same folder, written with trailing slashes
    int result = -1;
    EXPECT_BALANCED(result = HDD_Move("x.ts", kTs, folder.c_str()));
    const bool fits = length < 512;
    EXPECT_EQ(fits ? 1 : 0, result) << length;
    EXPECT_EQ(fits ? 0 : 1, sim_exists((std::string(kTs) + "/x.ts").c_str())) << length;
    EXPECT_EQ(fits ? 1 : 0, sim_exists((std::string(kSave) + "/x.ts").c_str())) << length;
    char list[256];
    sim_list_folder(kSave, list, sizeof list);
    EXPECT_EQ(fits, list[0] != 0) << "nothing else arrives in Save: " << list;
  }
}
