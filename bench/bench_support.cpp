#include "bench/bench_support.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <iterator>

#include "api_names.h"
#include "app/main.h"
#include "app/modes.h"
#include "app/settings.h"
#include "platform/tap.h"
#include "sim/control.h"
#include "tests/support/plugin_state.h"

namespace bench {

namespace {

const char kSaveFolder[] = "/DataFiles/TimeShift/Save";

}  // namespace

std::string DiskRoot() {
  return sim_disk_root() ? sim_disk_root() : "";
}

bool StartInIdle(const char* tag) {
  // The plug-in as freshly loaded, also when a benchmark follows another.
  FreshPluginState();
  // The process number with a fixed width: the sandbox's path has the same
  // length in every run, and so have the simulator's texts that hold it.
  const char* base = getenv("BRANTLOW_BENCH_DISK");
  char pid[16];
  snprintf(pid, sizeof pid, "%010ld", static_cast<long>(getpid()));
  std::string dir =
      std::string(base && *base ? base : "/tmp") + "/brantlow-bench-" + pid + "-" + tag;
  if (!sim_init(dir.c_str())) return false;
  // The plug-in's own folder, as on a receiver it is installed on: its log
  // file lives there.
  sim_mkdir("/ProgramFiles/Settings/Brantlow");
  sim_set_sysvar(SYSVAR_Timeshift, 4);
  sim_set_sysvar(SYSVAR_TimeshiftStorage, 1);
  sim_add_channel(1, 1, "One");
  sim_set_event(1, 1, "News", "Daily news");
  sim_tune(1, 1);
  TAP_Main();
  sim_advance(kIdleTicks);
  TAP_EventHandler(EVT_IDLE, 0, 0);
  return ProgMode == PM_Idle && sim_exists(kSaveFolder);
}

void IdleStep() {
  sim_advance(kIdleTicks);
  TAP_EventHandler(EVT_IDLE, 0, 0);
}

void EnterTimeshifting() {
  sim_timeshift_start(nullptr);
  IdleStep();  // Idle sees the slot record: Timeshifting
  IdleStep();  // first sample of the period
}

bool MakeSavedRecordings(int recordings, int hoursOld) {
  // The receiver's clock stands at 2026-12-08 20:00 plus the ticks run so
  // far; the recordings start hoursOld hours before 20:00 of that day.
  for (int i = 0; i < recordings; ++i) {
    char path[128];
    snprintf(path, sizeof path, "%s/Saved %05d.rec", kSaveFolder, i);
    int total = 20 * 60 - hoursOld * 60;  // minutes after midnight of the 8th
    int day = 8;
    while (total < 0) {
      total += 24 * 60;
      --day;
    }
    if (!sim_make_recording(path, 2026, 12, day, total / 60, total % 60, 0)) return false;
  }
  return true;
}

int FloorExpiryPass() {
  if (TAP_Hdd_ChangeDir(kSaveFolder) != 0) return 0;
  TYPE_FolderEntry entry;
  dword count = TAP_Hdd_FindFirst(&entry, nullptr);
  int read = 0;
  for (dword visited = 0; visited < count;) {
    size_t len = strnlen(entry.name, sizeof entry.name - 1);
    if (len >= 4 && memcmp(entry.name + len - 4, ".rec", 4) == 0 && len + 4 < 128) {
      char inf[128];
      memcpy(inf, entry.name, len);
      memcpy(inf + len, ".inf", 5);
      if (TYPE_File* f = TAP_Hdd_Fopen(inf)) {
        byte header[28];
        TAP_Hdd_Fread(header, sizeof header, 1, f);
        TAP_Hdd_Fclose(f);
        ++read;
      }
    }
    if (++visited >= count || TAP_Hdd_FindNext(&entry) == 0) break;
  }
  TAP_Hdd_ChangeDir("/ProgramFiles");
  return read;
}

std::string MakeFinishedBuffer(long long sparseBytes) {
  sim_set_sysvar(SYSVAR_TimeshiftStorage, 1);
  sim_timeshift_start("Buffer.rec");
  sim_timeshift_stop();
  const char* stream = "/DataFiles/TimeShift/Buffer.rec";
  if (!sim_exists(stream)) return "";
  {
    char host[4096];
    if (!sim_host_path(stream, host, sizeof host) || truncate(host, sparseBytes) != 0) return "";
  }
  strcpy(CurEventStr, "Film");
  CurEventDuration = 1000;
  CurSvcType = 1;
  CurSvcNum = 1;
  return stream;
}

const std::vector<std::string>& ApiNames() {
  static const std::vector<std::string> names(std::begin(kApiNames), std::end(kApiNames));
  return names;
}

Calls Snapshot() {
  Calls c;
  for (const std::string& name : ApiNames()) c.perApi.push_back(sim_call_count(name.c_str()));
  c.total = sim_total_calls();
  return c;
}

std::string Describe(const Calls& before, const Calls& after, double units) {
  std::string out;
  unsigned named = 0;
  for (size_t i = 0; i < ApiNames().size(); ++i) {
    unsigned n = after.perApi[i] - before.perApi[i];
    if (n == 0) continue;
    named += n;
    char part[160];
    snprintf(part, sizeof part, "%s%s %.4g", out.empty() ? "" : ", ", ApiNames()[i].c_str(),
             n / units);
    out += part;
  }
  unsigned other = (after.total - before.total) - named;
  if (other != 0) {
    char part[80];
    snprintf(part, sizeof part, "%sother %.4g", out.empty() ? "" : ", ", other / units);
    out += part;
  }
  return out.empty() ? "none" : out;
}

}  // namespace bench
