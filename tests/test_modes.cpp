// The mode machine: Startup with the settings, notices and folders; the
// state table; the programme samples and the longest viewing run.
#include <string.h>

#include <string>

#include "app/main.h"
#include "app/modes.h"
#include "app/saving.h"
#include "lib/dir_stack.h"
#include "tests/support/sim_fixture.h"

namespace {

constexpr byte kEnglish = 1;
constexpr byte kGerman = 0;

size_t Occurrences(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class Modes : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    sim_terminal_open(0, 1);
    sim_set_ticks(500);
    sim_add_channel(1, 1, "One");
    sim_add_channel(1, 2, "Two");
    sim_add_channel(1, 3, "Three");
    sim_set_event(1, 1, "A", "");
    sim_set_event(1, 2, "B", "");
    sim_set_event(1, 3, "A", "");
    sim_tune(1, 1);
  }
  static int Step(byte renameMode = 1, dword timeshiftSlot = 2, word keep = 36) {
    return CheckRecInfo(kEnglish, keep, renameMode, timeshiftSlot);
  }
  // Settings already on, Startup done, machine in Idle.
  static void Boot(byte renameMode = 1) {
    sim_set_sysvar(17, 4);
    sim_set_sysvar(18, 1);
    ASSERT_EQ(0, Step(renameMode));
    ASSERT_EQ((dword)PM_Idle, ProgMode);
  }
  // Timeshift running, machine in Timeshifting, no sample taken yet.
  static void StartTimeshift(byte renameMode = 1) {
    Boot(renameMode);
    sim_timeshift_start("Buffer.rec");
    ASSERT_EQ(0, Step(renameMode));
    ASSERT_EQ((dword)PM_Timeshifting, ProgMode);
  }
  // One step every 1001 ticks: each takes a sample.
  static void SampleOn(int svcNum, int samples) {
    sim_tune(1, svcNum);
    for (int i = 0; i < samples; ++i) {
      sim_advance(1001);
      ASSERT_EQ(0, Step());
    }
  }
};

}  // namespace

// ---------------------------------------------------------------------------
// Startup: system variables 17 and 18, notices, log and console lines

TEST_F(Modes, StartupSwitchesBothSettingsOnWithOneWrite) {
  EXPECT_EQ(0, Step());
  EXPECT_EQ(4, sim_get_sysvar(17));
  EXPECT_EQ(1, sim_get_sysvar(18));
  EXPECT_EQ(1u, sim_sysvar_writes());
  EXPECT_EQ(1u, bShowTimeshiftMessage);
  EXPECT_EQ(0u, bShowTimeshiftStorageMessage);
  EXPECT_TRUE(sim_log_contains("Timeshift and Timeshift storage switched on"));
  EXPECT_TRUE(sim_console_contains("Updating TimeshiftStorage: \r\n"));
  EXPECT_EQ((dword)PM_Idle, ProgMode);
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save"));
  EXPECT_TRUE(sim_log_contains("Folder Save not found -> created"));
}

TEST_F(Modes, StartupWithOnlyTimeshiftOffRaisesTheStorageNotice) {
  sim_set_sysvar(18, 1);
  EXPECT_EQ(0, Step());
  EXPECT_EQ(4, sim_get_sysvar(17));
  EXPECT_EQ(1u, sim_sysvar_writes());
  EXPECT_EQ(0u, bShowTimeshiftMessage);
  EXPECT_EQ(1u, bShowTimeshiftStorageMessage);
  EXPECT_TRUE(sim_log_contains("Timeshift storage switched on"));
  EXPECT_FALSE(sim_log_contains("Timeshift and Timeshift storage"));
  EXPECT_FALSE(sim_console_contains("Updating TimeshiftStorage"));
}

TEST_F(Modes, StartupWithOnlyStorageOffRaisesTheStorageNotice) {
  sim_set_sysvar(17, 2);
  EXPECT_EQ(0, Step());
  EXPECT_EQ(2, sim_get_sysvar(17));  // a value already set is left as it is
  EXPECT_EQ(1, sim_get_sysvar(18));
  EXPECT_EQ(1u, sim_sysvar_writes());
  EXPECT_EQ(0u, bShowTimeshiftMessage);
  EXPECT_EQ(1u, bShowTimeshiftStorageMessage);
  EXPECT_TRUE(sim_console_contains("Updating TimeshiftStorage: \r\n"));
  EXPECT_FALSE(sim_log_contains("Timeshift and Timeshift storage"));
}

TEST_F(Modes, StartupWithBothOnWritesNothingAndRaisesNoNotice) {
  sim_set_sysvar(17, 4);
  sim_set_sysvar(18, 1);
  ASSERT_EQ(1, sim_mkdir("/DataFiles/TimeShift/Save"));
  EXPECT_EQ(0, Step());
  EXPECT_EQ(0u, sim_sysvar_writes());
  EXPECT_EQ(0u, bShowTimeshiftMessage);
  EXPECT_EQ(0u, bShowTimeshiftStorageMessage);
  EXPECT_FALSE(sim_log_contains("switched on"));
  EXPECT_TRUE(sim_log_contains("Folder Save found"));
  EXPECT_TRUE(sim_log_contains("Checking TS folder on startup"));
  EXPECT_EQ((dword)PM_Idle, ProgMode);
}

TEST_F(Modes, KeepTimeZeroEndsBeforeStartup) {
  EXPECT_EQ(1, Step(1, 2, 0));
  EXPECT_EQ((dword)PM_Startup, ProgMode);
  EXPECT_EQ(0, sim_get_sysvar(17));
  EXPECT_EQ(0u, sim_sysvar_writes());
}

TEST_F(Modes, StartupSavesABufferLeftFromBefore) {
  sim_set_sysvar(17, 4);
  sim_set_sysvar(18, 1);
  ASSERT_EQ(1, sim_make_recording("/DataFiles/TimeShift/Old:One.rec", 2026, 12, 8, 10, 0, 0));
  EXPECT_EQ(0, Step());
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/OldOne.rec"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/OldOne.rec.inf"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/OldOne.rec.nav"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Old:One.rec"));
}

// ---------------------------------------------------------------------------
// Start-up errors and the 800-tick hold

TEST_F(Modes, MissingTimeshiftFolderHoldsTheErrorThenEnds) {
  ASSERT_EQ(1, sim_rmtree("/DataFiles/TimeShift"));
  EXPECT_EQ(0, Step());
  EXPECT_EQ((dword)PM_Idle, ProgMode);  // the check counts as passed
  EXPECT_EQ(500u + 800u, NextMessageStop);
  EXPECT_EQ(1u, sim_normal_depth());
  EXPECT_TRUE(sim_screen_shows("Folder '/DataFiles/TimeShift' not found"));
  EXPECT_TRUE(sim_screen_shows("Brantlow - Error"));
  EXPECT_TRUE(sim_log_contains("Chdir to /DataFiles/TimeShift failed"));
  sim_timeshift_start("T.rec");
  sim_advance(800);  // tick equal to the end: still held, nothing else runs
  EXPECT_EQ(0, Step());
  EXPECT_EQ((dword)PM_Idle, ProgMode);
  sim_advance(1);
  EXPECT_EQ(1, Step());
  EXPECT_EQ(0u, NextMessageStop);
  EXPECT_EQ(0u, sim_normal_depth());
  EXPECT_TRUE(sim_screen_empty());
}

TEST_F(Modes, HoldLastsItsTicksOverTheCounterWrap) {
  ASSERT_EQ(1, sim_rmtree("/DataFiles/TimeShift"));
  for (uint32_t start : {0xFFFFFF00u, 0u - 800u}) {  // the second hold would end on tick 0
    SCOPED_TRACE(start);
    sim_set_ticks(start);
    ProgMode = PM_Startup;
    EXPECT_EQ(0, Step());
    EXPECT_NE(0u, NextMessageStop);
    sim_advance(10);
    EXPECT_EQ(0, Step());
    sim_advance(790);
    EXPECT_EQ(0, Step());
    sim_advance(2);
    EXPECT_EQ(1, Step());
  }
}

TEST_F(Modes, SaveFolderNotCreatableStaysInStartup) {
  sim_fail_create("/DataFiles/TimeShift/Save");
  EXPECT_EQ(0, CheckRecInfo(kGerman, 36, 1, 2));
  EXPECT_EQ((dword)PM_Startup, ProgMode);
  EXPECT_EQ(500u + 800u, NextMessageStop);
  EXPECT_TRUE(sim_screen_shows("Ordner '/DataFiles/TimeShift/Save' kann nicht erzeugt werden"));
  EXPECT_TRUE(sim_screen_shows("Brantlow - Fehler"));
  EXPECT_FALSE(sim_log_contains("Checking TS folder on startup"));
  sim_advance(801);
  EXPECT_EQ(1, CheckRecInfo(kGerman, 36, 1, 2));
  EXPECT_EQ((dword)PM_Startup, ProgMode);
  EXPECT_EQ(0u, sim_normal_depth());
}

// The window tells that the timeshift folder is missing only when it is.
// When the plug-in could not look (its folder could not be saved) or the
// firmware did not confirm the folder, no window opens: one log line says
// why, the check is made again on the next steps, and once the folder is
// there the start-up goes on.
TEST_F(Modes, StartupWindowOnlyForAMissingFolder) {
  const struct {
    const char* what;
    void (*fault)();
    const char* said;  // the line on the console ("" when a window shows)
  } table[] = {
      {"folder cannot be saved", [] { sim_fail_symbol("_tapTask", 1); },
       "Current folder cannot be saved, checking the folders later"},
      {"folder refuses the change", [] { sim_fail_chdir("/DataFiles/TimeShift"); },
       "Folder /DataFiles/TimeShift not confirmed, checking later"},
      {"folder missing", [] { ASSERT_EQ(1, sim_rmtree("/DataFiles/TimeShift")); }, ""},
  };
  for (const auto& row : table) {
    SCOPED_TRACE(row.what);
    Restart();
    sim_terminal_open(0, 1);
    sim_set_sysvar(17, 4);
    sim_set_sysvar(18, 1);
    row.fault();
    EXPECT_EQ(0, Step());
    if (row.said[0] == '\0') {
      EXPECT_TRUE(sim_screen_shows("Folder '/DataFiles/TimeShift' not found"));
      EXPECT_EQ((dword)PM_Idle, ProgMode);
      continue;
    }
    EXPECT_TRUE(sim_screen_empty());
    EXPECT_EQ(0u, NextMessageStop);
    EXPECT_EQ(0u, sim_normal_depth());
    EXPECT_EQ((dword)PM_Startup, ProgMode);
    EXPECT_TRUE(sim_console_contains(row.said));
    sim_advance(10);
    EXPECT_EQ(0, Step());  // checked again, not said again
    EXPECT_EQ((dword)PM_Startup, ProgMode);
    EXPECT_EQ(1u, Occurrences(sim_terminal_text(0), row.said));
    sim_clear_faults();
    sim_fail_symbol("_tapTask", 0);
    sim_advance(10);
    EXPECT_EQ(0, Step());
    EXPECT_EQ((dword)PM_Idle, ProgMode);
    EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save"));
    EXPECT_EQ(-1, HDD_TAP_DirStackDepth());
  }
}

// ---------------------------------------------------------------------------
// State table

TEST_F(Modes, TimeshiftPeriodEndsInOneStepBackInIdle) {
  StartTimeshift();
  sim_advance(10);
  EXPECT_EQ(0, Step());
  EXPECT_EQ((dword)PM_Timeshifting, ProgMode);
  sim_timeshift_stop();
  sim_advance(10);
  EXPECT_EQ(0, Step());
  EXPECT_EQ((dword)PM_Idle, ProgMode);
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/A.rec"));
  EXPECT_TRUE(sim_log_contains("Switching to Filehandler Mode"));
  EXPECT_TRUE(sim_log_contains("Switching to FileChecker Mode"));
  EXPECT_TRUE(sim_log_contains("Switching to Idle Mode"));
}

TEST_F(Modes, IdleIgnoresOtherRecordingsAndFourSlotsWatchSlotFour) {
  sim_set_slots(4);
  Boot();
  sim_record_start(2, "Movie.rec");  // a recording slot on a four-slot receiver
  EXPECT_EQ(0, Step(1, 2));
  EXPECT_EQ((dword)PM_Idle, ProgMode);
  sim_timeshift_start("T.rec");  // the timeshift slot follows slot 3
  EXPECT_EQ(0, Step(1, 4));
  EXPECT_EQ((dword)PM_Timeshifting, ProgMode);
  sim_timeshift_stop();
  sim_advance(10);
  EXPECT_EQ(0, Step(1, 4));
  EXPECT_EQ((dword)PM_Idle, ProgMode);
}

TEST_F(Modes, TwoSlotReceiverWatchesSlotTwo) {
  Boot();
  sim_timeshift_start("T.rec");
  EXPECT_EQ(0, Step(1, 4));  // slot 4 does not carry the buffer here
  EXPECT_EQ((dword)PM_Idle, ProgMode);
  EXPECT_EQ(0, Step(1, 2));
  EXPECT_EQ((dword)PM_Timeshifting, ProgMode);
}

TEST_F(Modes, IdleStepMakesOneFirmwareCall) {
  Boot();
  sim_reset_counts();
  EXPECT_EQ(0, Step());
  EXPECT_EQ(1u, sim_total_calls());
  EXPECT_EQ(1u, sim_call_count("TAP_Hdd_GetRecInfo"));
}

TEST_F(Modes, FilehandlerRepeatsThePassUntilItsSeriesEnds) {
  StartTimeshift();
  dwLastCheckStart = 0;   // no series open from start-up
  sim_set_sysvar(18, 0);  // the firmware discards the buffer
  sim_timeshift_stop();
  EXPECT_EQ(0, Step());
  EXPECT_EQ((dword)PM_Filehandler, ProgMode);
  sim_advance(50);
  EXPECT_EQ(0, Step());
  EXPECT_EQ((dword)PM_Filehandler, ProgMode);
  // A recording that turns up late is still saved in this period; the slot
  // named another file as the period's buffer, so it keeps its own name.
  ASSERT_EQ(1, sim_make_recording("/DataFiles/TimeShift/Late.rec", 2026, 12, 8, 20, 0, 0));
  sim_advance(10);
  EXPECT_EQ(0, Step());
  EXPECT_EQ((dword)PM_Idle, ProgMode);
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Late.rec"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/A.rec"));
}

TEST_F(Modes, FilehandlerEndsAfter101TicksWithNothingFound) {
  StartTimeshift();
  dwLastCheckStart = 0;
  sim_set_sysvar(18, 0);
  sim_timeshift_stop();
  EXPECT_EQ(0, Step());
  sim_advance(100);
  EXPECT_EQ(0, Step());
  EXPECT_EQ((dword)PM_Filehandler, ProgMode);
  sim_advance(1);
  EXPECT_EQ(0, Step());
  EXPECT_EQ((dword)PM_Idle, ProgMode);
}

// ---------------------------------------------------------------------------
// Programme samples and the longest run

TEST_F(Modes, RunOfAAfterBStartsAgainAndMustAloneBeLonger) {
  StartTimeshift();
  SampleOn(1, 3);  // A: 1, 1001, 2002
  EXPECT_STREQ("A", CurEventStr);
  EXPECT_EQ(2002u, CurEventDuration);
  SampleOn(2, 2);  // B: 1, 1001
  EXPECT_STREQ("A", CurEventStr);
  SampleOn(3, 3);  // A again on another channel: 1, 1001, 2002 — not longer
  EXPECT_EQ(2002u, CurEventDuration);
  EXPECT_EQ(1u, CurSvcNum);
  SampleOn(3, 1);  // 3003: now the second run is the longest
  EXPECT_EQ(3003u, CurEventDuration);
  EXPECT_STREQ("A", CurEventStr);
  EXPECT_EQ(3u, CurSvcNum);
}

TEST_F(Modes, EqualRunsKeepTheEarlier) {
  StartTimeshift();
  SampleOn(2, 3);  // B: 2002
  SampleOn(1, 3);  // A: 2002
  EXPECT_STREQ("B", CurEventStr);
  EXPECT_EQ(2u, CurSvcNum);
  sim_timeshift_stop();
  sim_advance(10);
  EXPECT_EQ(0, Step());
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/B.rec"));
}

TEST_F(Modes, SamplesAreTakenOncePer1001Ticks) {
  StartTimeshift();
  sim_reset_counts();
  for (int i = 0; i < 500; ++i) {  // 5000 ticks, a step every 10
    ASSERT_EQ(0, Step());
    sim_advance(10);
  }
  // At 0, 1010, 2020, 3030 and 4040 ticks.
  EXPECT_EQ(5u, sim_call_count("TAP_GetCurrentEvent"));
}

TEST_F(Modes, SamplesComeExactly1001TicksApart) {
  StartTimeshift();
  SampleOn(1, 1);
  const dword last = LastTick;
  sim_reset_counts();
  sim_advance(1000);
  ASSERT_EQ(0, Step());
  EXPECT_EQ(0u, sim_call_count("TAP_GetCurrentEvent"));
  sim_advance(1);
  ASSERT_EQ(0, Step());
  EXPECT_EQ(1u, sim_call_count("TAP_GetCurrentEvent"));
  EXPECT_EQ(last + 1001, LastTick);
}

TEST_F(Modes, RenameModeZeroTakesNoSamples) {
  StartTimeshift(0);
  sim_reset_counts();
  for (int i = 0; i < 5; ++i) {
    sim_advance(1001);
    ASSERT_EQ(0, Step(0));
  }
  EXPECT_EQ(0u, sim_call_count("TAP_GetCurrentEvent"));
  EXPECT_EQ(0u, sim_call_count("TAP_Channel_GetCurrent"));
  EXPECT_STREQ("", CurEventStr);
  sim_timeshift_stop();
  EXPECT_EQ(0, Step(0));
  EXPECT_EQ((dword)PM_Idle, ProgMode);
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Buffer.rec")) << "saved under its own name";
}

TEST_F(Modes, ProgrammeKeyJoinsNameAndDescription) {
  sim_set_event(1, 1, "News", "Daily news");
  StartTimeshift();
  SampleOn(1, 1);
  EXPECT_STREQ("News~Daily news", MyEventStr);
}

TEST_F(Modes, NoEventGivesTheEmptyKeyLikeAnyOther) {
  sim_set_event(1, 2, NULL, NULL);
  StartTimeshift();
  SampleOn(2, 3);  // no event: empty key, a run of its own
  EXPECT_STREQ("", CurEventStr);
  EXPECT_EQ(2002u, CurEventDuration);
  SampleOn(1, 2);
  EXPECT_STREQ("", CurEventStr);  // A's run is shorter
  sim_timeshift_stop();
  sim_advance(10);
  EXPECT_EQ(0, Step());
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Buffer.rec"));  // no programme name
}

TEST_F(Modes, EventIdZeroHoldsNoProgramme) {
  sim_set_event(1, 3, "Ghost", "");
  sim_set_event_id(1, 3, 0);
  StartTimeshift();
  SampleOn(3, 1);
  EXPECT_STREQ("", MyEventStr);
}

TEST_F(Modes, LongEventTextsStayWithin511Characters) {
  std::string name(400, 'N');
  std::string desc(600, 'D');
  sim_set_event(1, 1, name.c_str(), desc.c_str());
  StartTimeshift();
  SampleOn(1, 2);
  size_t len = strnlen(MyEventStr, sizeof(MyEventStr));
  EXPECT_LT(len, sizeof(MyEventStr));
  EXPECT_EQ('N', MyEventStr[0]);
  EXPECT_NE(nullptr, strchr(MyEventStr, '~'));
  EXPECT_STREQ(MyEventStr, CurEventStr);
}

TEST_F(Modes, FirstSampleOfALaterPeriodWaitsFor1001TicksSinceTheLast) {
  StartTimeshift();
  SampleOn(1, 1);
  dword last = LastTick;
  sim_timeshift_stop();
  sim_advance(10);
  ASSERT_EQ(0, Step());
  sim_timeshift_start("Second.rec");
  sim_advance(10);
  ASSERT_EQ(0, Step());
  ASSERT_EQ((dword)PM_Timeshifting, ProgMode);
  sim_advance(10);
  ASSERT_EQ(0, Step());
  EXPECT_EQ(last, LastTick);  // LastTick is not reset for a new period
  EXPECT_STREQ("", CurEventStr);
  sim_advance(1001);
  ASSERT_EQ(0, Step());
  EXPECT_STREQ("A", CurEventStr);
}

// ---------------------------------------------------------------------------
// The timeshift slot on every receiver, through the event handler as the
// firmware drives it: the live buffer is never taken for a finished one, a
// recording in the last recording slot is never touched, and the buffer is
// saved when its period ends. Each row is a receiver of its own.

struct Receiver {
  const char* what;
  int slots;         // recording slots
  int datSlots;      // FirmwareTMS.dat's count for this model, -1: no file
  bool liveAtStart;  // the buffer records when the plug-in starts
};

class EveryReceiver : public Modes, public ::testing::WithParamInterface<Receiver> {
 protected:
  static void Idle() {
    sim_advance(10);
    TAP_EventHandler(EVT_IDLE, 0, 0);
  }
};

TEST_P(EveryReceiver, LiveBufferStaysAndIsSavedAtItsEnd) {
  const Receiver& r = GetParam();
  sim_set_system_id(0x1234);
  sim_set_slots(r.slots);
  if (r.datSlots >= 0) {
    ASSERT_EQ(1, sim_write_firmwaredat("/ProgramFiles/Settings", 0x1234, r.datSlots));
  }
  sim_set_sysvar(17, 4);
  sim_set_sysvar(18, 1);
  sim_record_start(r.slots - 1, "Movie.rec");
  if (r.liveAtStart) sim_timeshift_start("Live.rec");
  ASSERT_EQ(1, TAP_Main());
  Idle();  // Startup and its folder pass
  ASSERT_EQ((dword)PM_Idle, ProgMode);
  if (!r.liveAtStart) sim_timeshift_start("Live.rec");
  for (int i = 0; i < 3; ++i) Idle();
  EXPECT_EQ((dword)PM_Timeshifting, ProgMode);
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Live.rec"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/Live.rec"));
  EXPECT_EQ(r.slots == 4 ? 1u : 0u, bFourRecs);

  sim_advance(1001);
  Idle();  // a sample of programme A
  sim_timeshift_stop();
  Idle();
  EXPECT_EQ((dword)PM_Idle, ProgMode);
  // No settings file: the built-in RenameMode 2 puts the channel in front.
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/[One]A.rec"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/[One]A.rec.inf"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Live.rec"));
  EXPECT_TRUE(sim_exists("/DataFiles/Movie.rec"));
  for (int slot = 0; slot <= r.slots; ++slot) EXPECT_EQ(0u, sim_stop_record_calls(slot)) << slot;
}

INSTANTIATE_TEST_SUITE_P(Slots, EveryReceiver,
                         ::testing::Values(Receiver{"TwoSlotsNoDataFile", 2, -1, true},
                                           Receiver{"FourSlotsNoDataFile", 4, -1, true},
                                           Receiver{"FourSlotsNoDataFileBufferLater", 4, -1, false},
                                           Receiver{"FourSlotsDataFileSaysFour", 4, 4, true},
                                           Receiver{"FourSlotsDataFileSaysTwo", 4, 2, true},
                                           Receiver{"FourSlotsDataFileSaysThree", 4, 3, true}),
                         [](const ::testing::TestParamInfo<Receiver>& info) {
                           return std::string(info.param.what);
                         });

// A buffer that had to wait in the timeshift folder keeps the name of the
// programme it was recorded with: the slot's record named this period's
// buffer, and only that one takes the programme watched now.
TEST_F(Modes, BufferThatWaitedKeepsItsProgrammesName) {
  StartTimeshift();
  SampleOn(1, 2);  // A
  sim_fail_chdir("/DataFiles/TimeShift/Save");
  sim_timeshift_stop();
  sim_advance(10);
  ASSERT_EQ(0, Step());
  ASSERT_EQ((dword)PM_Idle, ProgMode);
  ASSERT_TRUE(sim_exists("/DataFiles/TimeShift/A.rec")) << "waits, named after A";
  sim_clear_faults();

  sim_timeshift_start("Evening.rec");
  sim_advance(10);
  ASSERT_EQ(0, Step());
  SampleOn(2, 2);  // B
  sim_timeshift_stop();
  sim_advance(10);
  ASSERT_EQ(0, Step());
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/A.rec"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/A.rec.nav"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/B.rec"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/B-2.rec"));
}

// A receiver that begins a new file when the viewer zaps, without the slot
// going idle: both files are buffers of the period and take its programme.
TEST_F(Modes, FileBegunAtAZapBelongsToThePeriod) {
  StartTimeshift();
  SampleOn(1, 2);                  // A on "Buffer.rec"
  sim_timeshift_start("Zap.rec");  // closes Buffer.rec and begins Zap.rec at once
  SampleOn(2, 3);                  // B, the longest run
  sim_timeshift_stop();
  sim_advance(10);
  ASSERT_EQ(0, Step());
  ASSERT_EQ((dword)PM_Idle, ProgMode);
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/B.rec"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/B-2.rec"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/Buffer.rec"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/Zap.rec"));
}

// A slot record that names the buffer's information file names the live
// buffer all the same: the start-up pass leaves it where it is.
TEST_F(Modes, LiveBufferNamedByItsInformationFileStays) {
  sim_set_sysvar(17, 4);
  sim_set_sysvar(18, 1);
  sim_timeshift_start("Live.rec.inf");  // the slot names "Live.rec.inf"
  ASSERT_EQ(1, sim_make_recording("/DataFiles/TimeShift/Live.rec", 2026, 12, 8, 19, 0, 0));
  ASSERT_EQ(0, Step());
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Live.rec"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Live.rec.nav"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/Live.rec"));
}

// ---------------------------------------------------------------------------
// Ages: a saved buffer is kept the keep time after its recording ended, and
// a clock that jumps ahead makes nothing old at once.

TEST_F(Modes, BufferLongerThanTheKeepTimeIsKeptFromItsEnd) {
  const word keep = 2;
  Boot();
  sim_timeshift_start("Long.rec");
  ASSERT_EQ(0, Step(1, 2, keep));
  for (int i = 0; i < 3 * 360; ++i) {  // three hours, a sample every 1001 ticks
    sim_advance(1001);
    ASSERT_EQ(0, Step(1, 2, keep));
  }
  sim_timeshift_stop();
  sim_advance(10);
  ASSERT_EQ(0, Step(1, 2, keep));  // saved, then the expiry pass
  ASSERT_EQ((dword)PM_Idle, ProgMode);
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/A.rec")) << "deleted by the step that saved it";

  // Two hours after its end, the next period's expiry pass takes it.
  sim_advance(2 * 360000 - 2000);
  sim_timeshift_start("Short.rec");
  ASSERT_EQ(0, Step(1, 2, keep));
  sim_advance(1001);
  ASSERT_EQ(0, Step(1, 2, keep));
  sim_timeshift_stop();
  sim_advance(1000);
  ASSERT_EQ(0, Step(1, 2, keep));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/A.rec"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/A.rec.inf"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/A-2.rec"));
}

TEST_F(Modes, ClockJumpAheadAgesNothingAtOnce) {
  ASSERT_EQ(1, sim_mkdir("/DataFiles/TimeShift/Save"));
  // Saved 30 hours ago by the clock as it stands now.
  ASSERT_EQ(1,
            sim_make_recording("/DataFiles/TimeShift/Save/Yesterday.rec", 2026, 12, 7, 14, 0, 0));
  sim_set_clock(2026, 12, 8, 20, 0, 0);
  Boot();
  sim_timeshift_start("Evening.rec");
  ASSERT_EQ(0, Step());
  SampleOn(1, 2);
  // The receiver takes the broadcast time: four days later than it thought.
  sim_set_clock(2026, 12, 12, 20, 1, 0);
  SampleOn(1, 2);
  sim_timeshift_stop();
  sim_advance(10);
  ASSERT_EQ(0, Step());
  ASSERT_EQ((dword)PM_Idle, ProgMode);
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Yesterday.rec")) << "aged by the jump";
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/A.rec")) << "the buffer just watched";
  EXPECT_TRUE(sim_log_contains("Clock jumped"));

  // Six hours later by the ticks it is 36 hours old, and goes.
  sim_advance(6 * 360000);
  sim_timeshift_start("Late.rec");
  ASSERT_EQ(0, Step());
  SampleOn(2, 1);
  sim_timeshift_stop();
  sim_advance(10);
  ASSERT_EQ(0, Step());
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/Yesterday.rec"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Save/Yesterday.rec.nav"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/A.rec"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/B.rec"));
}
