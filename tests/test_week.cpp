// No recording is ever lost: a simulated week of timeshift periods driven
// through the plug-in's event handler. Every buffer the firmware closes must
// end up in Save under the name of the programme watched longest, and leave
// Save only once its age has reached the keep limit: by the clock since its
// start, and by the ticks since its recording ended.
#include <string.h>

#include <string>
#include <vector>

#include "app/dialog.h"
#include "app/expiry.h"
#include "app/main.h"
#include "app/modes.h"
#include "tests/support/sim_fixture.h"

namespace {

constexpr dword kKeepHours = 36;  // built-in value: no settings file
constexpr dword kSampleTicks = 1001;
const char* const kChannelNames[3] = {"One", "Two", "Three"};

struct Segment {
  int channel;  // 1..3
  int samples;  // steps 1001 ticks apart on that channel
};

struct Period {
  int hour, minute;
  std::vector<Segment> plan;
};

struct Buffer {
  std::string savedName;  // stream name expected in Save
  dword start;            // packed start time from its information file
  uint32_t endTick;       // tick of the step that saw the buffer closed
  bool deleted;
};

class Week : public SimTest {
 protected:
  std::vector<Buffer> buffers;
  int day = 0;  // day of December
  int secondOfDay = 0;

  void Idle() { TAP_EventHandler(EVT_IDLE, 0, 0); }

  // Jumps the clock to a time of the current day (not sending the idle
  // events in between: nothing happens in Idle) and runs one idle step.
  void JumpTo(int hour, int minute) {
    int target = hour * 3600 + minute * 60;
    ASSERT_GE(target, secondOfDay);
    sim_advance(static_cast<uint32_t>(target - secondOfDay) * 100);  // ticks move too
    sim_set_clock(2026, 12, day, hour, minute, 0);                   // drop the parts of a second
    secondOfDay = target;
    Idle();
  }

  static std::string Programme(int d, int p, int ch) {
    return "Show d" + std::to_string(d) + " p" + std::to_string(p) + " c" + std::to_string(ch);
  }

  static dword StartOf(const std::string& infPath) {
    byte header[28] = {0};
    if (sim_read_file(infPath.c_str(), header, sizeof(header)) < 12) return 0;
    return getDword(header + 8, 0);
  }

  static bool InSave(const std::string& name) {
    return sim_exists(("/DataFiles/TimeShift/Save/" + name).c_str()) != 0;
  }

  // One timeshift period: start, zap through the plan, stop.
  void RunPeriod(int p, const Period& period, int rotate) {
    JumpTo(period.hour, period.minute);
    for (int ch = 1; ch <= 3; ++ch) sim_set_event(1, ch, Programme(day, p, ch).c_str(), "");

    std::string file = "Timeshift_" + std::to_string(day) + "_" + std::to_string(p) + ".rec";
    sim_timeshift_start(file.c_str());
    dword start = StartOf("/DataFiles/TimeShift/" + file + ".inf");
    ASSERT_NE(0u, start) << file;
    sim_advance(10);
    Idle();
    ASSERT_EQ((dword)PM_Timeshifting, ProgMode);

    int winner = 0, longest = -1;
    long ticks = 10;
    for (const Segment& s : period.plan) {
      int ch = (s.channel - 1 + rotate) % 3 + 1;
      sim_tune(1, ch);
      for (int i = 0; i < s.samples; ++i) {
        sim_advance(kSampleTicks);
        Idle();
      }
      ticks += static_cast<long>(s.samples) * kSampleTicks;
      if (s.samples > longest) {
        longest = s.samples;
        winner = ch;
      }
    }
    sim_timeshift_stop();
    sim_advance(10);
    const uint32_t endTick = sim_ticks();
    Idle();
    ASSERT_EQ((dword)PM_Idle, ProgMode);
    secondOfDay += static_cast<int>((ticks + 10) / 100);

    buffers.push_back(
        {"[" + std::string(kChannelNames[winner - 1]) + "]" + Programme(day, p, winner) + ".rec",
         start, endTick, false});
    CheckEverything(true);
  }

  // Every closed buffer is in Save, or was deleted by an expiry pass in which
  // its age had reached the limit. When a pass ran just now (at the clock's
  // present time), the ages are taken from the clock; otherwise nothing may
  // have left Save since the last check.
  void CheckEverything(bool passRan) {
    char listing[4096];
    EXPECT_EQ(1, sim_list_folder("/DataFiles/TimeShift", listing, sizeof(listing)))
        << "only Save is left in the timeshift folder:\n"
        << listing;

    word mjd = 0;
    byte hour = 0, minute = 0, second = 0;
    TAP_GetTime(&mjd, &hour, &minute, &second);
    const dword nowMin = PackedTimeToMin(MjdHourMinToPackedTime(mjd, hour, minute));
    for (Buffer& b : buffers) {
      const dword startMin = PackedTimeToMin(b.start);
      const dword byClock = startMin > nowMin ? 0 : (nowMin - startMin) / 60;
      // The plug-in finds a saved buffer's end again by the stream's date:
      // buffers that began in the same minute (the clock went back) share
      // the latest of their ends.
      uint32_t endTick = b.endTick;
      for (const Buffer& other : buffers) {
        if (other.start == b.start && other.endTick - endTick < 0x80000000u)
          endTick = other.endTick;
      }
      const dword byTicks = (sim_ticks() - endTick) / 360000;
      const dword age = byClock < byTicks ? byClock : byTicks;
      const bool present = InSave(b.savedName);
      if (b.deleted) {
        EXPECT_FALSE(present) << b.savedName << " came back";
        continue;
      }
      if (passRan && age >= kKeepHours) {
        EXPECT_FALSE(present) << b.savedName << " should have expired at age " << age;
        b.deleted = true;
      } else {
        EXPECT_TRUE(present) << b.savedName << " lost at age " << age;
        EXPECT_TRUE(InSave(b.savedName + ".inf")) << b.savedName;
        EXPECT_TRUE(InSave(b.savedName + ".nav")) << b.savedName;
      }
      b.deleted = b.deleted || !present;
    }
  }

  void NextDay() {
    sim_advance(static_cast<uint32_t>(86400 - secondOfDay) * 100);
    ++day;
    secondOfDay = 0;
    sim_set_clock(2026, 12, day, 0, 0, 0);
    Idle();
  }
};

}  // namespace

TEST_F(Week, NoRecordingIsEverLost) {
  sim_set_sysvar(17, 4);
  sim_set_sysvar(18, 1);
  for (int ch = 1; ch <= 3; ++ch) sim_add_channel(1, ch, kChannelNames[ch - 1]);
  sim_tune(1, 1);
  ASSERT_EQ(1, sim_mkdir("/ProgramFiles/Settings/Brantlow"));  // the plug-in's own folder
  day = 1;
  sim_set_clock(2026, 12, day, 0, 0, 0);
  ASSERT_EQ(1, TAP_Main());
  Idle();  // Startup
  ASSERT_EQ((dword)PM_Idle, ProgMode);
  ASSERT_TRUE(sim_exists("/DataFiles/TimeShift/Save"));

  const std::vector<Period> periods = {
      {7, 0, {{1, 40}, {2, 100}, {3, 40}}},
      {18, 0, {{2, 120}, {1, 200}, {2, 100}, {3, 150}}},
      {22, 0, {{3, 250}, {1, 60}, {3, 100}, {2, 5}}},
  };

  bool clockSetBack = false;
  for (int d = 0; d < 7; ++d) {
    for (size_t p = 0; p < periods.size(); ++p) {
      RunPeriod(static_cast<int>(p) + 1, periods[p], d);
      if (HasFatalFailure()) return;
    }
    if (d == 3 && !clockSetBack) {
      // The receiver's clock goes back a whole day at noon of the next day:
      // the buffers of "tomorrow" must not be taken for old ones.
      NextDay();
      JumpTo(12, 0);
      --day;
      sim_set_clock(2026, 12, day, 12, 0, 0);
      Idle();
      clockSetBack = true;
      RunPeriod(4, periods[1], d + 1);
      RunPeriod(5, periods[2], d + 2);
    }
    if (d == 4) {
      // The delete-all question, answered with the preselected "No".
      JumpTo(23, 30);
      EXPECT_EQ(1u, TAP_EventHandler(EVT_TAPCMD, 6, 0));
      EXPECT_EQ(1, Dialog_IsActive());
      TAP_EventHandler(EVT_KEY, RKEY_Ok, 0);
      Idle();
      EXPECT_EQ(0, Dialog_IsActive());
      CheckEverything(false);
    }
    NextDay();
  }

  int kept = 0, expired = 0;
  for (const Buffer& b : buffers) (b.deleted ? expired : kept)++;
  EXPECT_EQ(23u, buffers.size());
  EXPECT_GT(expired, 0);
  EXPECT_GT(kept, 0);
  EXPECT_EQ(0, sim_exited());
}
