// Expiry of saved recordings: the packed date-time, the age of a recording and
// the pass over the Save folder.
#include <string.h>

#include <string>

#include "app/expiry.h"
#include "lib/dir_stack.h"
#include "tests/support/sim_fixture.h"

namespace {

// Modified Julian Date of a civil date.
dword Mjd(int y, int m, int d) {
  y -= m <= 2;
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const long days1970 = era * 146097L + static_cast<long>(doe) - 719468L;
  return static_cast<dword>(days1970 + 40587);
}

dword Packed(int y, int mo, int d, int h, int mi) {
  return MjdHourMinToPackedTime(Mjd(y, mo, d), h, mi);
}

TYPE_FolderEntry Entry(const char* name, dword dateTime) {
  TYPE_FolderEntry e;
  memset(&e, 0, sizeof(e));
  strncpy(e.name, name, sizeof(e.name) - 1);
  e.dateTime = dateTime;
  return e;
}

// A 28-byte information file header with the start time at bytes 8-11.
std::string InfHeader(dword start) {
  std::string h(28, '\0');
  for (int i = 0; i < 4; ++i) h[8 + i] = static_cast<char>((start >> (8 * i)) & 0xFF);
  return h;
}

}  // namespace

// ---------------------------------------------------------------------------
// Packed date-time and raw words

TEST(PackedTime, GetDwordReadsBothByteOrders) {
  const byte bytes[5] = {0xFF, 1, 2, 3, 4};
  EXPECT_EQ(1u + 2u * 256 + 3u * 65536 + 4u * 16777216, getDword(bytes + 1, 0));
  EXPECT_EQ(4u + 3u * 256 + 2u * 65536 + 1u * 16777216, getDword(bytes + 1, 1));
  const byte high[4] = {0x80, 0, 0, 0xFE};
  EXPECT_EQ(0xFE000080u, getDword(high, 0));
  EXPECT_EQ(0x800000FEu, getDword(high, 7));  // any non-zero flag means big-endian
}

TEST(PackedTime, PackingCutsEachFieldToItsBits) {
  EXPECT_EQ(0xE2C61412u, MjdHourMinToPackedTime(0xE2C6, 0x14, 0x12));
  EXPECT_EQ(0x00010203u, MjdHourMinToPackedTime(0x10001, 0x102, 0x203));
  EXPECT_EQ(0u, MjdHourMinToPackedTime(0x10000, 0x100, 0x100));
}

TEST(PackedTime, MinuteCountTakesHour24AndMinute90AsTheyStand) {
  const dword day = 61017;
  EXPECT_EQ(PackedTimeToMin(MjdHourMinToPackedTime(day + 1, 0, 0)),
            PackedTimeToMin(MjdHourMinToPackedTime(day, 24, 0)));
  EXPECT_EQ(PackedTimeToMin(MjdHourMinToPackedTime(day, 21, 30)),
            PackedTimeToMin(MjdHourMinToPackedTime(day, 20, 90)));
  EXPECT_EQ(1440u * 0xFFFF + 60u * 255 + 255, PackedTimeToMin(0xFFFFFFFFu));
}

TEST_F(SimTest, CurrentTimeIsTheClockPacked) {
  sim_set_clock(2026, 12, 8, 20, 15, 59);
  EXPECT_EQ(Packed(2026, 12, 8, 20, 15), GetCurrentTime());
  sim_set_clock_unset();
  EXPECT_EQ(0u, GetCurrentTime());
}

TEST(RecordingNames, OnlyRecAndMpgInAnyCaseAreRecordings) {
  EXPECT_EQ(1, isRec("news.REC"));
  EXPECT_EQ(1, isRec("news.Mpg"));
  EXPECT_EQ(1, isRec(".rec"));
  EXPECT_EQ(0, isRec("news.ts"));
  EXPECT_EQ(0, isRec("news.rec.inf"));
  EXPECT_EQ(0, isRec("news.rec.nav"));
  EXPECT_EQ(0, isRec("rec"));
  EXPECT_EQ(0, isRec(""));
  EXPECT_EQ(0, isRec("newsrec"));
  // A name longer than the work buffer is judged by its end.
  std::string longName(300, 'x');
  EXPECT_EQ(1, isRec((longName + ".REC").c_str()));
  EXPECT_EQ(0, isRec((longName + ".inf").c_str()));
}

// ---------------------------------------------------------------------------
// Start time from the information file, and the age

TEST_F(SimTest, StartTimeIsReadFromTheInformationFile) {
  const dword start = Packed(2026, 12, 7, 18, 5);
  WriteText("/ProgramFiles/Film.rec.inf", InfHeader(start));
  EXPECT_EQ(start, TMS_GetStarttimeFromFile("Film.rec"));
  EXPECT_EQ(start, TMS_GetStarttimeFromFile("Film.rec.inf"));  // already the companion
  EXPECT_EQ(0u, TMS_GetStarttimeFromFile("Missing.rec"));
  WriteText("/ProgramFiles/Short.rec.inf", std::string(8, '\x07'));  // ends before the field
  EXPECT_EQ(0u, TMS_GetStarttimeFromFile("Short.rec"));
  // Only a stream's companion is taken as it stands; any other name gets ".inf".
  WriteText("/ProgramFiles/Notes.inf", InfHeader(1));
  WriteText("/ProgramFiles/Notes.inf.inf", InfHeader(start));
  EXPECT_EQ(start, TMS_GetStarttimeFromFile("Notes.inf"));
}

TEST_F(SimTest, StartTimePathLongerThan127CharactersIsRefused) {
  const dword start = Packed(2026, 12, 7, 18, 5);
  std::string fits(119, 'a');  // 119 + ".rec" + ".inf" = 127
  WriteText(("/ProgramFiles/" + fits + ".rec.inf").c_str(), InfHeader(start));
  EXPECT_EQ(start, TMS_GetStarttimeFromFile((fits + ".rec").c_str()));
  std::string tooLong(120, 'b');  // the path would be 128 characters
  WriteText(("/ProgramFiles/" + tooLong + ".rec.inf").c_str(), InfHeader(start));
  EXPECT_EQ(0u, TMS_GetStarttimeFromFile((tooLong + ".rec").c_str()));
  std::string hugeName(400, 'c');
  EXPECT_EQ(0u, TMS_GetStarttimeFromFile((hugeName + ".rec").c_str()));
}

TEST_F(SimTest, AgeCountsWholeHoursFromTheInformationFile) {
  const dword now = Packed(2026, 12, 8, 20, 0);
  WriteText("/ProgramFiles/A.rec.inf", InfHeader(Packed(2026, 12, 7, 8, 0)));
  TYPE_FolderEntry a = Entry("A.rec", Packed(2011, 5, 5, 5, 5));
  EXPECT_EQ(36u, GetFileAgeHours(now, &a));
  WriteText("/ProgramFiles/B.rec.inf", InfHeader(Packed(2026, 12, 7, 8, 1)));
  TYPE_FolderEntry b = Entry("B.rec", 0);
  EXPECT_EQ(35u, GetFileAgeHours(now, &b));
}

TEST_F(SimTest, AgeFallsBackToTheFolderEntryWhenTheInformationFileHoldsZero) {
  const dword now = Packed(2011, 6, 2, 12, 0);
  WriteText("/ProgramFiles/Old.rec.inf", InfHeader(0));
  TYPE_FolderEntry e = Entry("Old.rec", Packed(2011, 6, 1, 12, 0));
  EXPECT_EQ(24u, GetFileAgeHours(now, &e));
  TYPE_FolderEntry none = Entry("NoInf.rec", Packed(2011, 6, 2, 9, 30));
  EXPECT_EQ(2u, GetFileAgeHours(now, &none));
}

TEST_F(SimTest, AgeOfHour24AndMinute90CountsTheirMinutes) {
  const dword now = Packed(2026, 12, 9, 3, 0);
  TYPE_FolderEntry h24 = Entry("H.rec", MjdHourMinToPackedTime(Mjd(2026, 12, 8), 24, 0));
  EXPECT_EQ(3u, GetFileAgeHours(now, &h24));
  TYPE_FolderEntry m90 = Entry("M.rec", MjdHourMinToPackedTime(Mjd(2026, 12, 9), 0, 90));
  EXPECT_EQ(1u, GetFileAgeHours(now, &m90));  // 01:30 to 03:00
}

// Dates are plausible from 2005-01-01 to 2038-04-22, the last day the packed
// date-time holds (MJD 65535); the hour may be 24, not more.
TEST_F(SimTest, DatesArePlausibleFrom2005ToTheLastDayOfThePackedFormat) {
  const dword lastDay = MjdHourMinToPackedTime(65535, 23, 59);
  ASSERT_EQ(Packed(2038, 4, 22, 23, 59), lastDay);
  const struct {
    const char* what;
    dword date;
    dword now;
    dword age;
  } table[] = {
      {"the day before 2005", Packed(2004, 12, 31, 23, 0), Packed(2031, 1, 1, 0, 0), 0},
      {"the first day of 2005", Packed(2005, 1, 1, 0, 0), Packed(2005, 1, 2, 1, 0), 25},
      {"the last day of 2029", Packed(2029, 12, 31, 0, 0), Packed(2031, 1, 1, 0, 0), 24 * 366},
      {"the first day of 2030", Packed(2030, 1, 1, 0, 0), Packed(2030, 1, 2, 12, 0), 36},
      {"a day in 2035", Packed(2035, 6, 1, 8, 0), Packed(2035, 6, 2, 20, 0), 36},
      {"the last day", MjdHourMinToPackedTime(65535, 0, 0), lastDay, 23},
      {"a day before the last", Packed(2038, 4, 20, 23, 59), lastDay, 48},
      {"hour 25", MjdHourMinToPackedTime(Mjd(2026, 12, 1), 25, 0), Packed(2031, 1, 1, 0, 0), 0},
      {"MJD 0, in 1858", 0, Packed(2031, 1, 1, 0, 0), 0},
  };
  for (const auto& row : table) {
    TYPE_FolderEntry byEntry = Entry("E.rec", row.date);
    EXPECT_EQ(row.age, GetFileAgeHours(row.now, &byEntry)) << row.what << " (folder date)";
    WriteText("/ProgramFiles/I.rec.inf", InfHeader(row.date));
    TYPE_FolderEntry byInf = Entry("I.rec", 0);
    EXPECT_EQ(row.age, GetFileAgeHours(row.now, &byInf)) << row.what << " (information file)";
  }
}

TEST_F(SimTest, StartLaterThanNowGivesAgeZero) {
  // The clock was set back a day: the recording started "tomorrow".
  const dword now = Packed(2026, 12, 7, 20, 0);
  TYPE_FolderEntry future = Entry("Future.rec", Packed(2026, 12, 8, 19, 0));
  EXPECT_EQ(0u, GetFileAgeHours(now, &future));
  TYPE_FolderEntry soon = Entry("Soon.rec", Packed(2026, 12, 7, 20, 1));  // one minute ahead
  EXPECT_EQ(0u, GetFileAgeHours(now, &soon));
  TYPE_FolderEntry sameMinute = Entry("Now.rec", now);
  EXPECT_EQ(0u, GetFileAgeHours(now, &sameMinute));
  // The clock not set yet: now is MJD 0.
  EXPECT_EQ(0u, GetFileAgeHours(0, &future));
}

// ---------------------------------------------------------------------------
// The pass over the Save folder

class ExpiryPass : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    ASSERT_EQ(1, sim_mkdir("/DataFiles/TimeShift/Save"));
    sim_set_clock(2026, 12, 8, 20, 0, 0);
  }
  static bool Has(const char* name) {
    return sim_exists((std::string("/DataFiles/TimeShift/Save/") + name).c_str()) != 0;
  }
  static void Rec(const char* name, int day, int hour, int min) {
    ASSERT_EQ(1, sim_make_recording((std::string("/DataFiles/TimeShift/Save/") + name).c_str(),
                                    2026, 12, day, hour, min, 0));
  }
};

TEST_F(ExpiryPass, DeletesAtTheLimitWithCompanionsAndKeepsOneMinuteYounger) {
  Rec("Aged.rec", 7, 8, 0);   // 36:00
  Rec("Young.rec", 7, 8, 1);  // 35:59
  Rec("Old.mpg", 1, 8, 0);    // a week
  EXPECT_EQ(1, CleanupSaveFolder(36));
  EXPECT_FALSE(Has("Aged.rec"));
  EXPECT_FALSE(Has("Aged.rec.inf"));
  EXPECT_FALSE(Has("Aged.rec.nav"));
  EXPECT_FALSE(Has("Old.mpg"));
  EXPECT_FALSE(Has("Old.mpg.inf"));
  EXPECT_TRUE(Has("Young.rec"));
  EXPECT_TRUE(Has("Young.rec.inf"));
  EXPECT_TRUE(Has("Young.rec.nav"));
  EXPECT_FALSE(Has("FilerDelete.tmp"));
}

// From 2030 on recordings expire as they did before: the year does not make
// a date implausible before the packed format ends.
TEST_F(ExpiryPass, RecordingsOf2030AndLaterExpire) {
  sim_set_clock(2031, 3, 10, 20, 0, 0);
  const std::string save = "/DataFiles/TimeShift/Save/";
  ASSERT_EQ(1, sim_make_recording((save + "Decade.rec").c_str(), 2029, 12, 31, 20, 0, 0));
  ASSERT_EQ(1, sim_make_recording((save + "New Year.rec").c_str(), 2030, 1, 1, 0, 0, 0));
  ASSERT_EQ(1, sim_make_recording((save + "Aged.rec").c_str(), 2031, 3, 9, 8, 0, 0));
  ASSERT_EQ(1, sim_make_recording((save + "Young.rec").c_str(), 2031, 3, 9, 8, 1, 0));
  EXPECT_EQ(1, CleanupSaveFolder(36));
  EXPECT_FALSE(Has("Decade.rec"));
  EXPECT_FALSE(Has("New Year.rec") || Has("New Year.rec.inf") || Has("New Year.rec.nav"));
  EXPECT_FALSE(Has("Aged.rec"));
  EXPECT_TRUE(Has("Young.rec") && Has("Young.rec.inf") && Has("Young.rec.nav"));
}

TEST_F(ExpiryPass, OtherFilesAreNeverDeletedByTheirOwnEntry) {
  WriteText("/DataFiles/TimeShift/Save/Lone.rec.inf", InfHeader(Packed(2026, 12, 1, 0, 0)));
  WriteText("/DataFiles/TimeShift/Save/Lone.rec.nav", "nav");
  WriteText("/DataFiles/TimeShift/Save/Buffer.ts", "ts");
  WriteText("/DataFiles/TimeShift/Save/notes.txt", "text");
  ASSERT_EQ(1, sim_set_mtime("/DataFiles/TimeShift/Save/Buffer.ts", 2026, 11, 1, 0, 0, 0));
  ASSERT_EQ(1, sim_set_mtime("/DataFiles/TimeShift/Save/notes.txt", 2026, 11, 1, 0, 0, 0));
  EXPECT_EQ(1, CleanupSaveFolder(0));
  EXPECT_TRUE(Has("Lone.rec.inf"));
  EXPECT_TRUE(Has("Lone.rec.nav"));
  EXPECT_TRUE(Has("Buffer.ts"));
  EXPECT_TRUE(Has("notes.txt"));
}

TEST_F(ExpiryPass, LimitZeroDeletesEveryRecordingWhateverItsDate) {
  Rec("New.rec", 8, 19, 59);
  Rec("Future.REC", 9, 12, 0);
  WriteText("/DataFiles/TimeShift/Save/Bad.mpg", "x");
  ASSERT_EQ(1, sim_set_mtime("/DataFiles/TimeShift/Save/Bad.mpg", 2001, 1, 1, 0, 0, 0));
  EXPECT_EQ(1, CleanupSaveFolder(0));
  EXPECT_FALSE(Has("New.rec"));
  EXPECT_FALSE(Has("New.rec.inf"));
  EXPECT_FALSE(Has("Future.REC"));
  EXPECT_FALSE(Has("Bad.mpg"));
}

TEST_F(ExpiryPass, ClockSetBackOrUnsetKeepsEverything) {
  Rec("Yesterday.rec", 7, 20, 0);
  Rec("LastWeek.rec", 1, 20, 0);
  sim_set_clock(2026, 11, 30, 20, 0, 0);  // the clock went back over a week
  EXPECT_EQ(1, CleanupSaveFolder(1));
  EXPECT_TRUE(Has("Yesterday.rec"));
  EXPECT_TRUE(Has("LastWeek.rec"));
  sim_set_clock_unset();
  EXPECT_EQ(1, CleanupSaveFolder(1));
  EXPECT_TRUE(Has("Yesterday.rec"));
  EXPECT_TRUE(Has("LastWeek.rec"));
}

TEST_F(ExpiryPass, RestoresTheFolderAndCopesWithAMissingSaveFolder) {
  Rec("Old.rec", 1, 8, 0);
  EXPECT_EQ(1, CleanupSaveFolder(36));
  EXPECT_FALSE(Has("Old.rec"));
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
  ASSERT_EQ(1, sim_rmtree("/DataFiles/TimeShift/Save"));
  EXPECT_EQ(1, CleanupSaveFolder(36));
  EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
  // The current folder is back where it was: a relative name is found there.
  EXPECT_EQ(1, sim_write_file("/ProgramFiles/probe.rec.inf", InfHeader(7).data(), 28));
  EXPECT_EQ(7u, TMS_GetStarttimeFromFile("probe.rec"));
}

// A pass that could not save its folder, or that does not stand where it
// asked to go, deletes nothing: neither in Save nor where it happens to be.
// It does not even list the folder it stands in (with the success value
// learnt wrongly, the folder test of the delete refuses every name as well:
// the listing shows that the pass itself stopped).
TEST_F(ExpiryPass, DeletesNothingUnlessItConfirmedItStandsInSave) {
  const char kOwn[] = "/ProgramFiles/Settings/Brantlow/Mine.rec";
  struct Case {
    const char* what;
    void (*fault)();
  } cases[] = {
      // The change into "/ProgramFiles" fails when the success value is
      // learnt, and so does the change into Save: the failure reads as
      // success while the plug-in still stands in its own folder.
      {"success value learnt wrongly",
       [] {
         sim_fail_chdir("/ProgramFiles");
         sim_fail_chdir("/DataFiles/TimeShift/Save");
         ASSERT_EQ(0u, TAP_Hdd_ChangeDir("/ProgramFiles/Settings/Brantlow"));
       }},
      {"push refused", [] { sim_fail_symbol("_tapTask", 1); }},
  };
  for (const Case& c : cases) {
    sim_clear_faults();
    sim_fail_symbol("_tapTask", 0);
    ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));
    ASSERT_EQ(1, sim_make_recording(kOwn, 2026, 12, 1, 8, 0, 0));
    Rec("Old.rec", 1, 8, 0);
    c.fault();
    sim_reset_counts();
    EXPECT_EQ(1, CleanupSaveFolder(0)) << c.what;
    EXPECT_EQ(0u, sim_call_count("TAP_Hdd_FindFirst")) << c.what;
    for (const char* ext : {"", ".inf", ".nav"}) {
      EXPECT_TRUE(sim_exists((std::string(kOwn) + ext).c_str())) << c.what << ext;
      EXPECT_TRUE(Has((std::string("Old.rec") + ext).c_str())) << c.what << ext;
    }
    EXPECT_EQ(-1, HDD_TAP_DirStackDepth()) << c.what;
  }
}

// A set whose name a slot is recording is kept, also while the same name is
// being played (the slots are asked on their own), and deleted by the first
// pass after the recording ended; a folder is never expired.
TEST_F(ExpiryPass, KeepsWhatIsBeingRecordedAndNeverTakesAFolder) {
  ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));  // the log's folder
  ASSERT_EQ(1, sim_mkdir("/DataFiles/TimeShift/Save/Shelf.rec"));
  ASSERT_EQ(1, sim_set_mtime("/DataFiles/TimeShift/Save/Shelf.rec", 2026, 11, 1, 0, 0, 0));
  for (bool played : {false, true}) {
    SCOPED_TRACE(played ? "played too" : "recorded only");
    Rec("News.rec", 1, 8, 0);
    sim_record_start(1, "News.rec");
    if (played) sim_play("/DataFiles/TimeShift/Save/News.rec", 2);
    EXPECT_EQ(1, CleanupSaveFolder(36));
    EXPECT_EQ(0u, sim_stop_record_calls(1));
    EXPECT_EQ(0u, sim_stop_ts_calls() + sim_stop_mp3_calls());
    EXPECT_TRUE(Has("News.rec") && Has("News.rec.inf") && Has("News.rec.nav"));
    EXPECT_TRUE(sim_log_contains("News.rec is being recorded, kept"));
    sim_record_stop(1);
    EXPECT_EQ(1, CleanupSaveFolder(0));
    EXPECT_FALSE(Has("News.rec") || Has("News.rec.inf") || Has("News.rec.nav"));
    EXPECT_TRUE(Has("Shelf.rec"));
    EXPECT_FALSE(Has("FilerDelete.tmp"));
    sim_play_stop();
  }
}

// The buffer a timeshift period saved ages from the end of its recording,
// counted by the ticks; the clock jumping ahead does not age what was dated
// before the jump, and a clock set back deletes nothing.
TEST_F(ExpiryPass, AgesCountFromTheEndAndLeaveClockJumpsOut) {
  WatchClock();              // the first look at 2026-12-08 20:00
  Rec("Long.rec", 7, 8, 0);  // began 36 hours ago, ended just now
  NoteSavedBuffer(Packed(2026, 12, 7, 8, 0), sim_ticks());
  Rec("Day.rec", 7, 14, 0);  // 30 hours old
  EXPECT_EQ(1, CleanupSaveFolder(36));
  EXPECT_TRUE(Has("Long.rec")) << "kept the keep time after its end";

  sim_set_clock(2026, 12, 15, 20, 0, 0);  // a week ahead, no tick passed
  EXPECT_EQ(1, CleanupSaveFolder(36));
  EXPECT_TRUE(Has("Long.rec"));
  EXPECT_TRUE(Has("Day.rec")) << "30 hours old before the jump";
  Rec("After.rec", 13, 20, 0);  // dated by the new clock, two days old
  EXPECT_EQ(1, CleanupSaveFolder(36));
  EXPECT_FALSE(Has("After.rec")) << "what is dated after the jump ages by the clock";
  EXPECT_TRUE(Has("Day.rec"));

  sim_advance(6 * 360000);  // six hours by ticks and clock: Day.rec is 36 hours old
  EXPECT_EQ(1, CleanupSaveFolder(36));
  EXPECT_FALSE(Has("Day.rec") || Has("Day.rec.inf") || Has("Day.rec.nav"));
  EXPECT_TRUE(Has("Long.rec"));

  sim_set_clock(2026, 12, 1, 20, 0, 0);  // set back two weeks
  sim_advance(31 * 360000);              // Long.rec ended 37 hours ago by the ticks
  EXPECT_EQ(1, CleanupSaveFolder(36));
  EXPECT_TRUE(Has("Long.rec")) << "a clock set back deletes nothing";
}
