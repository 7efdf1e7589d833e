// Saving of finished timeshift buffers: the new name, the ".ts" buffers and
// their companions, the move into Save and the series-of-checks tick rule.
#include <string.h>

#include <algorithm>
#include <string>

#include "app/modes.h"
#include "app/saving.h"
#include "lib/dir_stack.h"
#include "tests/support/sim_fixture.h"

namespace {

const std::string kTs = "/DataFiles/TimeShift/";
const std::string kSave = "/DataFiles/TimeShift/Save/";

class Saving : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(1, sim_mkdir("/DataFiles/TimeShift/Save"));
    sim_add_channel(1, 1, "One");
    sim_add_channel(1, 2, "");
    sim_add_channel(1, 3, "Das/Erste: \x01HD");
    sim_set_ticks(1000);
  }
  static void Buffer(const std::string& name) {
    ASSERT_EQ(1, sim_make_recording((kTs + name).c_str(), 2026, 12, 8, 19, 0, 0));
  }
  static void Programme(const std::string& key, dword svcType = 1, dword svcNum = 1) {
    ASSERT_LT(key.size(), sizeof(CurEventStr));
    memcpy(CurEventStr, key.c_str(), key.size() + 1);
    CurSvcType = svcType;
    CurSvcNum = svcNum;
  }
  static bool InSave(const std::string& name) { return sim_exists((kSave + name).c_str()) != 0; }
  static bool InTs(const std::string& name) { return sim_exists((kTs + name).c_str()) != 0; }
  // Names in Save, one a line.
  static std::string SaveNames() {
    char buf[8192];
    int n = sim_list_folder("/DataFiles/TimeShift/Save", buf, sizeof(buf));
    if (n < 0) return "<missing>";
    std::string out;
    const char* p = buf;
    while (*p) {
      const char* end = strchr(p, '\n');
      std::string line(p, end ? static_cast<size_t>(end - p) : strlen(p));
      // "<name> <size> <date> <time>", and names may hold blanks.
      for (int i = 0; i < 3 && line.find(' ') != std::string::npos; ++i)
        line = line.substr(0, line.rfind(' '));
      out += line + "\n";
      if (!end) break;
      p = end + 1;
    }
    return out;
  }
  static void ExpectSet(const std::string& stream) {
    EXPECT_TRUE(InSave(stream)) << stream << "\n" << SaveNames();
    EXPECT_TRUE(InSave(stream + ".inf")) << stream;
    EXPECT_TRUE(InSave(stream + ".nav")) << stream;
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// The new name

TEST_F(Saving, ModeOneNamesTheBufferAfterTheProgramme) {
  Buffer("Timeshift.rec");
  Programme("News~Daily news");
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  ExpectSet("News~Daily news.rec");
  EXPECT_FALSE(InTs("Timeshift.rec"));
  EXPECT_FALSE(InTs("Timeshift.rec.inf"));
  EXPECT_FALSE(InTs("Timeshift.rec.nav"));
}

TEST_F(Saving, ModeTwoPutsTheServiceNameInBrackets) {
  Buffer("Timeshift.rec");
  Programme("Film");
  EXPECT_EQ(1, CheckTimeshiftFolder(2));
  ExpectSet("[One]Film.rec");
}

TEST_F(Saving, ModeTwoCleansTheServiceNameAndSkipsAnEmptyOne) {
  Buffer("A.rec");
  Programme("Film", 1, 3);
  EXPECT_EQ(1, CheckTimeshiftFolder(2));
  ExpectSet("[DasErste HD]Film.rec");
  Buffer("B.rec");
  Programme("Show", 1, 2);  // service without a name
  EXPECT_EQ(1, CheckTimeshiftFolder(2));
  ExpectSet("Show.rec");
  Buffer("C.rec");
  Programme("Late", 9, 99);  // unknown channel: nothing filled in
  EXPECT_EQ(1, CheckTimeshiftFolder(2));
  ExpectSet("Late.rec");
}

TEST_F(Saving, ControlBytesAndForbiddenCharactersLeaveTheName) {
  Buffer("T.rec");
  Programme("AC/DC: \x01Live\x1F?\x86 \"*<>|\\ok\x8A\xE9");
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  ExpectSet("ACDC Live ok\x8A\xE9.rec");
  // The programme key is cleaned in place for everyone who reads it later.
  EXPECT_STREQ("ACDC Live ok\x8A\xE9", CurEventStr);
}

TEST_F(Saving, ShellCharactersInTheProgrammeStayPartOfTheName) {
  Buffer("T.rec");
  Programme("Rock $HOME `id` & 'live'; x");
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  ExpectSet("Rock $HOME `id` & 'live'; x.rec");
  EXPECT_FALSE(InTs("T.rec"));
}

TEST_F(Saving, LongProgrammeIsCutTo80BytesBeforeTheExtension) {
  std::string longName;
  for (int i = 0; i < 30; ++i) longName += "Programm" + std::to_string(i % 10) + "/";  // 300 bytes
  ASSERT_EQ(300u, longName.size());
  Buffer("T.rec");
  Programme(longName);
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  // The slashes go before the cut, so 80 bytes of letters and digits remain.
  std::string cleaned;
  for (char c : longName)
    if (c != '/') cleaned += c;
  ExpectSet(cleaned.substr(0, 80) + ".rec");

  Buffer("U.rec");
  Programme(longName);
  EXPECT_EQ(1, CheckTimeshiftFolder(2));
  ExpectSet(("[One]" + cleaned).substr(0, 80) + ".rec");  // the prefix counts towards 80
}

TEST_F(Saving, MpgIsKeptInAnyLetterCase) {
  Buffer("a.mpg");
  Programme("News");
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  ExpectSet("News.mpg");
  Buffer("B.MPG");
  Programme("Film");
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  ExpectSet("Film.mpg");
  EXPECT_FALSE(InTs("B.MPG") || InTs("B.MPG.inf") || InTs("B.MPG.nav"));
}

TEST_F(Saving, TsBufferBecomesRecWithItsCompanions) {
  WriteText((kTs + "x.ts").c_str(), "stream");
  WriteText((kTs + "x.ts.inf").c_str(), std::string(28, '\0'));
  WriteText((kTs + "x.ts.nav").c_str(), "nav");
  WriteText((kTs + "Y.TS").c_str(), "upper");  // ".ts" in any letter case
  Programme("News");
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  ExpectSet("News-2.rec");
  EXPECT_EQ("upper", ReadText((kSave + "News.rec").c_str()));
  EXPECT_EQ("stream", ReadText((kSave + "News-2.rec").c_str()));
  EXPECT_EQ("nav", ReadText((kSave + "News-2.rec.nav").c_str()));
  EXPECT_FALSE(InTs("x.ts") || InTs("x.ts.inf") || InTs("x.ts.nav") || InTs("Y.TS"));
}

TEST_F(Saving, WithoutProgrammeOrInModeZeroTheBufferKeepsItsOwnCleanedName) {
  Buffer("My:Buffer.rec");
  WriteText((kTs + "z.ts").c_str(), "ts");
  Programme("News");
  EXPECT_EQ(1, CheckTimeshiftFolder(0));
  ExpectSet("MyBuffer.rec");
  EXPECT_TRUE(InSave("[Unknown].rec")) << SaveNames();

  Buffer("Plain.rec");
  Programme("");
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  ExpectSet("Plain.rec");
  EXPECT_FALSE(InTs("Plain.rec"));
}

TEST_F(Saving, SameProgrammeTwiceNeverOverwrites) {
  Buffer("A.rec");
  Buffer("B.rec");
  ASSERT_EQ(1, sim_write_file((kSave + "News.rec").c_str(), "older", 5));
  Programme("News");
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  EXPECT_EQ("older", ReadText((kSave + "News.rec").c_str()));
  ExpectSet("News-2.rec");
  ExpectSet("News-3.rec");
}

TEST_F(Saving, NameOf127CharactersStaysWithinTheNameLimit) {
  // 119 + ".rec" + ".inf" = 127: the longest set whose companions fit.
  std::string base(119, 'L');
  Buffer(base + ".rec");
  Programme("");
  EXPECT_EQ(1, CheckTimeshiftFolder(0));
  EXPECT_FALSE(InTs(base + ".rec"));
  // Saved under a shortened name that keeps its extension, with room for
  // the unique number and the companions' ".inf"/".nav".
  std::string names = SaveNames();
  size_t n = 0, longest = 0;
  for (size_t pos = 0, end; (end = names.find('\n', pos)) != std::string::npos; pos = end + 1) {
    ++n;
    longest = std::max(longest, end - pos);
  }
  EXPECT_EQ(3u, n) << names;
  EXPECT_LE(longest, 127u) << names;
  ExpectSet(std::string(111, 'L') + ".rec");
}

TEST_F(Saving, FoldersAndOtherFilesAreLeftAlone) {
  WriteText((kTs + "notes.txt").c_str(), "n");
  WriteText((kTs + "Lone.rec.inf").c_str(), std::string(28, '\0'));
  ASSERT_EQ(1, sim_mkdir((kTs + "Shelf.rec").c_str()));
  WriteText((kTs + "Shelf.rec/mine.txt").c_str(), "m");  // a folder named like a recording
  Programme("News");
  EXPECT_EQ(0, CheckTimeshiftFolder(1));
  EXPECT_TRUE(InTs("notes.txt"));
  EXPECT_TRUE(InTs("Lone.rec.inf"));
  EXPECT_TRUE(InTs("Shelf.rec/mine.txt"));
  EXPECT_EQ("", SaveNames());
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save"));
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
}

// A folder named like the buffer's ".inf", which the firmware refuses to
// enter: its folder entry says folder, so it stays with what it holds, and
// the buffer is saved without it.
TEST_F(Saving, CompanionNamedFolderThatCannotBeEnteredStaysWhereItIs) {
  WriteText((kTs + "T.rec").c_str(), "stream");
  WriteText((kTs + "T.rec.nav").c_str(), "nav");
  ASSERT_EQ(1, sim_mkdir((kTs + "T.rec.inf").c_str()));
  WriteText((kTs + "T.rec.inf/kept.txt").c_str(), "k");
  sim_fail_chdir((kTs + "T.rec.inf").c_str());
  Programme("News");
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  EXPECT_EQ("stream", ReadText((kSave + "News.rec").c_str())) << SaveNames();
  EXPECT_EQ("nav", ReadText((kSave + "News.rec.nav").c_str()));
  EXPECT_FALSE(InSave("News.rec.inf") || InSave("T.rec.inf"));
  EXPECT_EQ("k", ReadText((kTs + "T.rec.inf/kept.txt").c_str()));
}

// A pass that could not save the current folder touches nothing, and leaves
// the plug-in where it stood.
TEST_F(Saving, RefusedPushTouchesNothing) {
  Buffer("T.rec");
  Programme("News");
  sim_fail_symbol("_tapTask", 1);
  CheckTimeshiftFolder(1);
  sim_fail_symbol("_tapTask", 0);
  EXPECT_TRUE(InTs("T.rec") && InTs("T.rec.inf") && InTs("T.rec.nav"));
  EXPECT_EQ("", SaveNames());
  char here[200] = {0};
  HDD_TAP_GetCurrentDir(here);
  EXPECT_STREQ("/ProgramFiles", here);
}

// ---------------------------------------------------------------------------
// The series of checks

TEST_F(Saving, SeriesStaysOpenFor100TicksWhenNothingIsFound) {
  ASSERT_EQ(0u, dwLastCheckStart);
  EXPECT_EQ(0, CheckTimeshiftFolder(1));
  EXPECT_EQ(1000u, dwLastCheckStart);
  sim_advance(50);
  EXPECT_EQ(0, CheckTimeshiftFolder(1));
  EXPECT_EQ(1000u, dwLastCheckStart);
  sim_advance(50);  // 100 ticks: still open
  EXPECT_EQ(0, CheckTimeshiftFolder(1));
  sim_advance(1);  // 101 ticks
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  EXPECT_EQ(0u, dwLastCheckStart);
}

TEST_F(Saving, SeriesEndsAtOnceWhenABufferIsSaved) {
  EXPECT_EQ(0, CheckTimeshiftFolder(1));
  sim_advance(20);
  Buffer("T.rec");
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
  EXPECT_EQ(0u, dwLastCheckStart);
  ExpectSet("T.rec");
}

TEST_F(Saving, SeriesMeasuresFromItsFirstCallHoweverLateTheNext) {
  EXPECT_EQ(0, CheckTimeshiftFolder(1));  // at start-up: nothing there
  sim_advance(360000);
  EXPECT_EQ(1, CheckTimeshiftFolder(1));  // an hour later: ends after one scan
}

TEST_F(Saving, MissingTimeshiftFolderFollowsTheTickRule) {
  ASSERT_EQ(1, sim_rmtree("/DataFiles/TimeShift"));
  EXPECT_EQ(0, CheckTimeshiftFolder(1));
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
  sim_advance(101);
  EXPECT_EQ(1, CheckTimeshiftFolder(1));
}
