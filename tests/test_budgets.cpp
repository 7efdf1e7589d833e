// Cost budgets that are counts: firmware calls per idle step, shell commands
// per saved recording set, folder visits and file reads per expiry pass.
// Times are measured by the benchmarks (bench/), never asserted here.
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "app/expiry.h"
#include "app/main.h"
#include "app/modes.h"
#include "app/saving.h"
#include "lib/log.h"
#include "tests/support/sim_fixture.h"

namespace {

class BudgetTest : public SimTest {
 protected:
  // Both timeshift settings already on, start routine and Startup step run:
  // the mode machine waits in Idle.
  void StartInIdle() {
    sim_mkdir("/ProgramFiles/Settings/Brantlow");  // the plug-in's folder: its log goes there
    sim_set_sysvar(SYSVAR_Timeshift, 4);
    sim_set_sysvar(SYSVAR_TimeshiftStorage, 1);
    sim_add_channel(1, 1, "One");
    sim_set_event(1, 1, "News", "Daily news");
    sim_tune(1, 1);
    ASSERT_EQ(1, TAP_Main());
    Step();
    ASSERT_EQ(PM_Idle, (int)ProgMode);
  }

  // One idle event, ten ticks after the last, as the firmware hands them out.
  void Step(dword ticks = 10) {
    sim_advance(ticks);
    TAP_EventHandler(EVT_IDLE, 0, 0);
  }

  // Recording sets in the Save folder, started hoursOld hours before the
  // receiver's clock (2026-12-08 20:00 at tick 0).
  void MakeSaved(int count, int hoursOld) {
    for (int i = 0; i < count; ++i) {
      char path[96];
      snprintf(path, sizeof path, "/DataFiles/TimeShift/Save/Saved %03d.rec", i);
      int minutes = 20 * 60 - hoursOld * 60;
      int day = 8;
      while (minutes < 0) {
        minutes += 24 * 60;
        --day;
      }
      ASSERT_EQ(1, sim_make_recording(path, 2026, 12, day, minutes / 60, minutes % 60, 0));
    }
  }

  // A buffer the firmware closed and left in the timeshift folder, named
  // after the programme watched longest ("Film").
  void LeaveFinishedBuffer(const char* name, long long bytes) {
    sim_timeshift_start(name);
    sim_timeshift_stop();
    std::string path = std::string("/DataFiles/TimeShift/") + name;
    char host[4096];
    ASSERT_NE(nullptr, sim_host_path(path.c_str(), host, sizeof host));
    ASSERT_EQ(0, truncate(host, bytes));
    strcpy(CurEventStr, "Film");
    CurEventDuration = 1000;
    CurSvcType = 1;
    CurSvcNum = 1;
    dwLastCheckStart = 0;  // a fresh series of checks
  }

  static unsigned Calls(const char* api) { return sim_call_count(api); }

  // Opens of the log file: each log line creates (if missing) and opens it
  // once, and the expiry pass itself creates nothing.
  static unsigned LogOpens() { return Calls("TAP_Hdd_Create"); }
};

// ---------------------------------------------------------------------------
// Idle steps: the handler runs on the firmware's only thread several times a
// second, so every step between events must stay at the floor.

TEST_F(BudgetTest, IdleStepInIdleCallsRecInfoAndStateOnly) {
  StartInIdle();
  for (int i = 0; i < 200; ++i) {
    sim_reset_counts();
    Step();
    ASSERT_EQ(1u, Calls("TAP_Hdd_GetRecInfo")) << "step " << i;
    ASSERT_EQ(1u, Calls("TAP_GetState")) << "step " << i;
    ASSERT_EQ(2u, sim_total_calls()) << "step " << i << ": one call besides TAP_GetState";
  }
  EXPECT_EQ(PM_Idle, (int)ProgMode);
}

TEST_F(BudgetTest, IdleStepWhileTimeshiftingBetweenSamplesReadsNoEventAndNoFile) {
  StartInIdle();
  sim_timeshift_start(nullptr);
  Step();  // Idle sees the buffer
  Step();  // first sample of the period
  ASSERT_EQ(PM_Timeshifting, (int)ProgMode);
  // The next sample falls due 1001 ticks after the first: 99 steps between.
  for (int i = 0; i < 99; ++i) {
    sim_reset_counts();
    Step();
    ASSERT_EQ(1u, Calls("TAP_Hdd_GetRecInfo")) << "step " << i;
    ASSERT_EQ(1u, Calls("TAP_GetState")) << "step " << i;
    ASSERT_EQ(0u, Calls("TAP_Channel_GetCurrent")) << "step " << i;
    ASSERT_EQ(0u, Calls("TAP_GetCurrentEvent")) << "step " << i;
    // Only the clock is read besides: the tick and its difference to the
    // last sample decide whether a sample is due.
    ASSERT_EQ(2u, sim_total_calls() - Calls("TAP_GetTick") - Calls("TAP_DiffTick")) << "step " << i;
  }
  EXPECT_EQ(PM_Timeshifting, (int)ProgMode);
}

// A trace line: the folder change there and back, the log file created (if
// missing), opened, appended to in three writes and closed, and the clock
// read for the stamp. With no terminal open the console pieces cost no
// firmware call.
constexpr unsigned kTraceLineCalls = 11;

TEST_F(BudgetTest, TraceLineMakesElevenFirmwareCallsWithOrWithoutATerminal) {
  StartInIdle();
  for (int terminal : {-1, 0, 19}) {
    if (terminal >= 0) sim_terminal_open(terminal, 1);
    sim_reset_counts();
    LogLine("Switching to Timeshifting Mode \r\n");
    EXPECT_EQ(kTraceLineCalls, sim_total_calls()) << terminal;
    EXPECT_EQ(1u, Calls("TAP_Hdd_Fopen")) << terminal;
    EXPECT_EQ(1u, Calls("TAP_Hdd_Fclose")) << terminal;
    EXPECT_EQ(3u, Calls("TAP_Hdd_Fwrite")) << terminal;
    if (terminal >= 0) sim_terminal_open(terminal, 0);
  }
}

TEST_F(BudgetTest, SamplingStepLooksUpChannelAndEventOnce) {
  StartInIdle();
  sim_timeshift_start(nullptr);
  Step();  // Idle sees the buffer
  Step();  // first sample of the period
  for (int i = 0; i < 3; ++i) {
    sim_advance(1001 - 10);
    sim_reset_counts();
    Step();
    ASSERT_EQ(1u, Calls("TAP_Channel_GetCurrent")) << i;
    ASSERT_EQ(1u, Calls("TAP_GetCurrentEvent")) << i;
    // The seven calls of the step (slot record, state, channel, event, the
    // tick and two differences) and the trace line of the grown run.
    ASSERT_EQ(7u + kTraceLineCalls, sim_total_calls()) << i;
  }
  EXPECT_EQ(PM_Timeshifting, (int)ProgMode);
}

TEST_F(BudgetTest, EventIsLookedUpAtMostOncePer1001Ticks) {
  StartInIdle();
  sim_timeshift_start(nullptr);
  Step();
  sim_reset_counts();
  // A simulated hour of idle events, one every 10 ticks, some every tick.
  dword ticks = 0;
  for (int i = 0; ticks < 360000; ++i) {
    dword gap = i % 7 == 0 ? 1 : 10;
    Step(gap);
    ticks += gap;
  }
  unsigned lookups = Calls("TAP_GetCurrentEvent");
  EXPECT_LE(lookups, 360000u / 1001 + 1);
  EXPECT_GE(lookups, 360000u / 1010);  // samples are still taken on time
  EXPECT_EQ(lookups, Calls("TAP_Channel_GetCurrent"));
}

// ---------------------------------------------------------------------------
// Save pass: one recording set is moved by three shell commands (stream,
// ".inf", ".nav"); a move is a rename, whatever the stream's size.

TEST_F(BudgetTest, SavingOneRecordingSetRunsThreeShellCommands) {
  StartInIdle();
  LeaveFinishedBuffer("Buffer.rec", 0);
  sim_reset_counts();
  EXPECT_NE(0, CheckTimeshiftFolder(1));
  EXPECT_EQ(3u, sim_shell_commands());
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Film.rec"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Film.rec.inf"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Film.rec.nav"));
  EXPECT_FALSE(sim_exists("/DataFiles/TimeShift/Buffer.rec"));
}

TEST_F(BudgetTest, SavingTwoRecordingSetsRunsSixShellCommands) {
  StartInIdle();
  LeaveFinishedBuffer("Buffer.rec", 0);
  sim_timeshift_start("Second.rec");
  sim_timeshift_stop();
  sim_reset_counts();
  EXPECT_NE(0, CheckTimeshiftFolder(1));
  EXPECT_EQ(6u, sim_shell_commands());
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Film.rec"));
  EXPECT_TRUE(sim_exists("/DataFiles/TimeShift/Save/Film-2.rec"));
}

TEST_F(BudgetTest, SavingA4GiBSparseBufferCostsWhatAnEmptyOneCostsAndKeepsItsFile) {
  StartInIdle();
  struct Cost {
    unsigned shell, calls;
  } cost[2];
  const long long sizes[2] = {0, 4LL << 30};
  for (int i = 0; i < 2; ++i) {
    sim_rmtree("/DataFiles/TimeShift/Save/Film.rec");
    sim_rmtree("/DataFiles/TimeShift/Save/Film.rec.inf");
    sim_rmtree("/DataFiles/TimeShift/Save/Film.rec.nav");
    LeaveFinishedBuffer("Buffer.rec", sizes[i]);
    char host[4096];
    struct stat before {};
    ASSERT_NE(nullptr, sim_host_path("/DataFiles/TimeShift/Buffer.rec", host, sizeof host));
    ASSERT_EQ(0, stat(host, &before));
    sim_reset_counts();
    ASSERT_NE(0, CheckTimeshiftFolder(1));
    cost[i] = {sim_shell_commands(), sim_total_calls()};
    struct stat after {};
    ASSERT_NE(nullptr, sim_host_path("/DataFiles/TimeShift/Save/Film.rec", host, sizeof host));
    ASSERT_EQ(0, stat(host, &after));
    EXPECT_EQ(sizes[i], (long long)after.st_size);
    EXPECT_EQ(before.st_ino, after.st_ino) << "the stream was copied, not renamed";
    EXPECT_LE(after.st_blocks, before.st_blocks) << "the move allocated disk space";
  }
  EXPECT_EQ(3u, cost[1].shell);
  EXPECT_EQ(cost[0].shell, cost[1].shell);
  EXPECT_EQ(cost[0].calls, cost[1].calls);
}

// ---------------------------------------------------------------------------
// Expiry pass: each folder entry is visited once, and each recording's ".inf"
// is opened and read once, whether the recording stays or goes.

TEST_F(BudgetTest, ExpiryVisitsEachEntryOnceAndReadsEachRecordingOnce) {
  StartInIdle();
  unsigned total[2] = {0, 0};
  for (int count : {10, 40}) {
    sim_rmtree("/DataFiles/TimeShift/Save");
    sim_mkdir("/DataFiles/TimeShift/Save");
    MakeSaved(count, 2);
    const unsigned entries = 3u * count;  // stream, ".inf", ".nav"
    sim_reset_counts();
    CleanupSaveFolder(36);
    unsigned logOpens = LogOpens();
    EXPECT_EQ(1u, Calls("TAP_Hdd_FindFirst")) << count;
    EXPECT_EQ(entries, Calls("TAP_Hdd_FindFirst") + Calls("TAP_Hdd_FindNext")) << count;
    EXPECT_EQ((unsigned)count, Calls("TAP_Hdd_Fopen") - logOpens) << count;
    EXPECT_EQ((unsigned)count, Calls("TAP_Hdd_Fread")) << count;
    EXPECT_EQ(Calls("TAP_Hdd_Fopen"), Calls("TAP_Hdd_Fclose")) << count;
    EXPECT_EQ(0u, Calls("TAP_Hdd_Delete")) << count;
    EXPECT_EQ(0u, sim_shell_commands()) << count;
    EXPECT_EQ(entries, (unsigned)sim_list_folder("/DataFiles/TimeShift/Save", nullptr, 0));
    total[count == 10 ? 0 : 1] = sim_total_calls();
  }
  // Per recording: three entries visited, its ".inf" opened, read and closed,
  // the clock read, the header cleared, the path formatted, and the trace
  // line "File Found ...". (Whether a date is plausible is told by its day
  // number alone, without the firmware's calendar.)
  EXPECT_EQ(30u * (9 + kTraceLineCalls), total[1] - total[0]);
}

TEST_F(BudgetTest, ExpiryOfOldRecordingsStillReadsEachOnceAndDeletesEachSetOnce) {
  StartInIdle();
  MakeSaved(12, 40);
  sim_reset_counts();
  CleanupSaveFolder(36);
  unsigned creates = LogOpens();  // log lines and intent records
  EXPECT_EQ(12u, Calls("TAP_Hdd_Fread")) << "each .inf read once";
  // Each member of a set opened once to see that it is a file, and each
  // set's intent record written before and removed after its steps.
  EXPECT_EQ(12u + 36u, Calls("TAP_Hdd_Fopen") - creates);
  EXPECT_EQ(36u + 12u, Calls("TAP_Hdd_Delete"))
      << "stream, .inf and .nav of each set, and its record";
  EXPECT_EQ(0u, sim_shell_commands());
  EXPECT_EQ(0, sim_list_folder("/DataFiles/TimeShift/Save", nullptr, 0));
}

}  // namespace
