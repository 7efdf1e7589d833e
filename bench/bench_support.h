// Shared set-up of the benchmarks: a fresh simulated receiver with the
// plug-in brought into a chosen mode, saved recordings on its disk, and the
// firmware call counts of the simulated receiver read per API function.
#pragma once

#include <string>
#include <vector>

namespace bench {

// Starts a fresh simulated receiver on a sandbox of its own (below
// $BRANTLOW_BENCH_DISK, or /tmp), with both timeshift settings already on,
// and runs the plug-in's start routine and its Startup step, so that the
// mode machine is in Idle. Returns false when the sandbox cannot be used.
bool StartInIdle(const char* tag);

// From Idle: the firmware starts a timeshift buffer; the next idle step moves
// the machine to Timeshifting and the one after takes the period's first
// programme sample. Afterwards the next sample is due 1001 ticks later.
void EnterTimeshifting();

// One idle event every ten ticks, as the firmware hands them out.
void IdleStep();
constexpr unsigned kIdleTicks = 10;

// Fills "/DataFiles/TimeShift/Save" with recording sets (stream, ".inf",
// ".nav"), all started hoursOld hours before the receiver's clock.
bool MakeSavedRecordings(int recordings, int hoursOld);

// One expiry pass as the bare firmware calls would make it: the folder's
// entries visited once, and for each ".rec" entry its ".inf" opened and 28
// bytes read. Returns the number of information files read.
int FloorExpiryPass();

// A finished timeshift buffer left in "/DataFiles/TimeShift" by the firmware
// (timeshift storage on), its stream file cut or extended (sparse) to sparseBytes (0: an empty
// firmware writes it), and the longest-watched programme set as the plug-in
// would have sampled it. Returns the buffer's stream name, or "" on failure.
std::string MakeFinishedBuffer(long long sparseBytes);

// Firmware call counts per API function, as the simulated receiver keeps them.
struct Calls {
  std::vector<unsigned> perApi;  // in the order of ApiNames()
  unsigned total = 0;
};
// Names of the firmware API functions declared in platform/tap.h.
const std::vector<std::string>& ApiNames();
Calls Snapshot();
// "TAP_GetState 1, TAP_Hdd_GetRecInfo 1" for the calls between two snapshots,
// each divided by units.
std::string Describe(const Calls& before, const Calls& after, double units);

// Host path of the sandbox of the running receiver.
std::string DiskRoot();

}  // namespace bench
