// The simulated receiver's core: call counting, the observer, virtual time,
// system variables and state, the allocator, text output and power-on.

// 64-bit file offsets and inode numbers also on the 32-bit receiver build
// (a 32-bit stat fails on large inode numbers).
#define _FILE_OFFSET_BITS 64
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <unordered_set>

#include "sim/libtap/internal.h"

namespace sim {
namespace {

// Call table: names registered on a function's first call, counted by index.
constexpr int kMaxApis = 256;
const char* gApiNames[kMaxApis];
unsigned gApiCounts[kMaxApis];
int gApiUsed;
unsigned gTotalCalls;

// Call sequence: the names of the calls since the last reset, each followed
// by a blank; calls that no longer fit are left out.
char gSequence[1 << 16];
size_t gSequenceLen;

sim_observer_fn gObserver;

// Virtual time: ticks and the wall clock in centiseconds since 1970 (UTC).
uint32_t gTicks;
int64_t gClockCs;
bool gClockSet = true;

// System.
constexpr int kSysVars = 256;
int gSysVars[kSysVars];
int gStoredSysVars[kSysVars];  // as TAP_WriteSystemVar last stored them: what a cut keeps
unsigned gSysVarWrites;
dword gState, gSubState = 0x1F;
dword gSystemId;
int gExited;
int gNormalDepth;

// Allocator.
std::unordered_set<const void*>* gBlocks;  // live blocks (created on first use)
unsigned gAllocFailNth;                    // 0: off; else countdown to the failing call
bool gAllocFailAll;

constexpr int64_t kMjdOfEpoch = 40587;

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

void SetClock(int year, int month, int day, int hour, int min, int sec) {
  int64_t days = DaysFromCivil(year, month, day);
  gClockCs = ((days * 86400) + hour * 3600 + min * 60 + sec) * 100;
  gClockSet = true;
}

void MoveTime(int64_t ticks) {
  gTicks = static_cast<uint32_t>(static_cast<int64_t>(gTicks) + ticks);
  gClockCs += ticks;
}

}  // namespace

// ---------------------------------------------------------------------------
int RegisterApi(const char* name) {
  for (int i = 0; i < gApiUsed; ++i)
    if (strcmp(gApiNames[i], name) == 0) return i;
  if (gApiUsed == kMaxApis) return kMaxApis - 1;  // never reached with this API
  gApiNames[gApiUsed] = name;
  return gApiUsed++;
}

void CountCall(int index) {
  ++gApiCounts[index];
  ++gTotalCalls;
  size_t len = strlen(gApiNames[index]);
  if (gSequenceLen + len + 1 < sizeof gSequence) {
    memcpy(gSequence + gSequenceLen, gApiNames[index], len);
    gSequence[gSequenceLen + len] = ' ';
    gSequenceLen += len + 1;
  }
}

void Notify(const char* kind, const char* text) {
  if (gObserver) gObserver(kind, text ? text : "");
}

// ---------------------------------------------------------------------------
int64_t DaysFromCivil(int64_t y, int m, int d) {
  y -= m <= 2;
  const int64_t era = FloorDiv(y, 400);
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int64_t* year, int* month, int* day) {
  z += 719468;
  const int64_t era = FloorDiv(z, 146097);
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  *year = yoe + era * 400 + (m <= 2);
  *month = m;
  *day = d;
}

uint32_t PackedFromSeconds(int64_t seconds) {
  const int64_t days = FloorDiv(seconds, 86400);
  const int64_t rest = seconds - days * 86400;
  const uint32_t mjd = static_cast<uint32_t>(days + kMjdOfEpoch) & 0xFFFF;
  return mjd << 16 | static_cast<uint32_t>(rest / 3600) << 8 |
         static_cast<uint32_t>(rest % 3600 / 60);
}

uint32_t Ticks() {
  return gTicks;
}
int64_t ClockSeconds() {
  return FloorDiv(gClockCs, 100);
}
bool ClockSet() {
  return gClockSet;
}

bool ClockParts(int* year, int* month, int* day, int* hour, int* min, int* sec, int* centis) {
  if (!gClockSet) {
    *year = *month = *day = *hour = *min = *sec = *centis = 0;
    return false;
  }
  const int64_t secs = ClockSeconds();
  const int64_t days = FloorDiv(secs, 86400);
  const int64_t rest = secs - days * 86400;
  int64_t y;
  CivilFromDays(days, &y, month, day);
  *year = static_cast<int>(y);
  *hour = static_cast<int>(rest / 3600);
  *min = static_cast<int>(rest % 3600 / 60);
  *sec = static_cast<int>(rest % 60);
  *centis = static_cast<int>(gClockCs - secs * 100);
  return true;
}

__attribute__((weak)) void ScreenReset() {}
__attribute__((weak)) void ClearScreenFaults() {}

void FreeAllBlocks() {
  if (!gBlocks) return;
  for (const void* p : *gBlocks) free(const_cast<void*>(p));
  gBlocks->clear();
}

// The receiver starts again: the settings as last stored, memory empty (the
// blocks of the plug-in that ran before are gone with it), no plug-in ended.
void CorePowerRestore() {
  memcpy(gSysVars, gStoredSysVars, sizeof gSysVars);
  gExited = 0;
  gNormalDepth = 0;
  FreeAllBlocks();
}

}  // namespace sim

using namespace sim;

extern "C" {

// ---------------------------------------------------------------------------
// Life
TAP_EXPORT int sim_init(const char* diskDir) {
  gTicks = 0;
  SetClock(2026, 12, 8, 20, 0, 0);
  memset(gSysVars, 0, sizeof gSysVars);
  memset(gStoredSysVars, 0, sizeof gStoredSysVars);
  gSysVarWrites = 0;
  gState = 0;
  gSubState = 0x1F;
  gSystemId = 0;
  gExited = 0;
  gNormalDepth = 0;
  gAllocFailNth = 0;
  gAllocFailAll = false;
  FreeAllBlocks();
  PowerReset();
  sim_reset_counts();
  HostCallsReset();
  RecorderReset();
  ScreenReset();
  return InitDisk(diskDir) ? 1 : 0;
}

void TAP_Exit(void) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN();
  gExited = 1;
  Notify("exit", "");
}

int TAP_GetState(dword* state, dword* subState) {
  SIM_COUNT_CALL();
  if (PowerOff()) {
    if (state) *state = 0;
    if (subState) *subState = 0;
    return 0;
  }
  if (state) *state = gState;
  if (subState) *subState = gSubState;
  return 1;
}

void TAP_ExitNormal(void) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN();
  ++gNormalDepth;
}

void TAP_EnterNormal(void) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN();
  --gNormalDepth;
}

dword TAP_GetSystemId(void) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  return gSystemId;
}

// Firmware version the simulated receiver reports.
dword TAP_GetVersion(void) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  return 0x1234;
}

// ---------------------------------------------------------------------------
// Settings
int TAP_GetSystemVar(int varId) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  return varId >= 0 && varId < kSysVars ? gSysVars[varId] : 0;
}

int TAP_SetSystemVar(int varId, int value) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  if (varId < 0 || varId >= kSysVars) return 0;
  gSysVars[varId] = value;
  return 1;
}

int TAP_WriteSystemVar(void) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  ++gSysVarWrites;
  memcpy(gStoredSysVars, gSysVars, sizeof gStoredSysVars);
  return 1;
}

// ---------------------------------------------------------------------------
// Time. It runs on while the power is off: the clock does not stop, and the
// plug-in's code that still runs after a cut (it changes nothing) ends a
// wait as it would.
dword TAP_GetTick(void) {
  SIM_COUNT_CALL();
  return gTicks;
}

dword TAP_DiffTick(dword tickStart, dword tickEnd) {
  SIM_COUNT_CALL();
  return tickEnd - tickStart;
}

int TAP_GetTime(word* mjd, byte* hour, byte* min, byte* sec) {
  SIM_COUNT_CALL();
  word m = 0;
  byte h = 0, mi = 0, s = 0;
  if (gClockSet) {
    const int64_t secs = ClockSeconds();
    const int64_t days = FloorDiv(secs, 86400);
    const int64_t rest = secs - days * 86400;
    m = static_cast<word>(days + 40587);
    h = static_cast<byte>(rest / 3600);
    mi = static_cast<byte>(rest % 3600 / 60);
    s = static_cast<byte>(rest % 60);
  }
  if (mjd) *mjd = m;
  if (hour) *hour = h;
  if (min) *min = mi;
  if (sec) *sec = s;
  return gClockSet ? 1 : 0;
}

void TAP_ExtractMjd(word mjd, word* year, byte* month, byte* day, byte* weekDay) {
  SIM_COUNT_CALL();
  int64_t y;
  int mo, d;
  CivilFromDays(static_cast<int64_t>(mjd) - 40587, &y, &mo, &d);
  if (year) *year = static_cast<word>(y);
  if (month) *month = static_cast<byte>(mo);
  if (day) *day = static_cast<byte>(d);
  // MJD 0 was a Wednesday; 0 is Sunday, 6 Saturday.
  if (weekDay) *weekDay = static_cast<byte>((mjd + 3) % 7);
}

void TAP_Delay(dword ticks) {
  SIM_COUNT_CALL();
  MoveTime(ticks);
}

void TAP_Sleep(dword ticks) {
  SIM_COUNT_CALL();
  MoveTime(ticks);
}

// ---------------------------------------------------------------------------
// Memory and text. Filling and formatting the plug-in's own buffers work
// while the power is off (they touch nothing but its memory).
void* TAP_MemAlloc(dword size) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(nullptr);
  if (gAllocFailAll || (gAllocFailNth != 0 && --gAllocFailNth == 0)) {
    NoteFault("TAP_MemAlloc of " + std::to_string(size) + " bytes failed (fail alloc)");
    return nullptr;
  }
  void* p = malloc(size ? size : 1);
  if (!p) return nullptr;
  if (!gBlocks) gBlocks = new std::unordered_set<const void*>;
  gBlocks->insert(p);
  return p;
}

// Frees a block of TAP_MemAlloc: 1, or 0 (nothing freed) for a pointer that
// is not a live block.
int TAP_MemFree(const void* addr) {
  SIM_COUNT_CALL();
  SIM_WHEN_DARK_RETURN(0);
  if (!addr || !gBlocks || gBlocks->erase(addr) == 0) return 0;
  free(const_cast<void*>(addr));
  return 1;
}

void TAP_MemSet(void* dst, byte value, dword count) {
  SIM_COUNT_CALL();
  if (dst && count) memset(dst, value, count);
}

void TAP_SPrint(char* s, const char* fmt, ...) {
  SIM_COUNT_CALL();
  va_list ap;
  va_start(ap, fmt);
  vsprintf(s, fmt, ap);
  va_end(ap);
}

void TAP_Print(const char* fmt, ...) {
  SIM_COUNT_CALL();
  if (!fmt || PowerOff()) return;
  va_list ap, ap2;
  va_start(ap, fmt);
  va_copy(ap2, ap);
  char small[512];
  int n = vsnprintf(small, sizeof small, fmt, ap);
  va_end(ap);
  if (n >= 0 && static_cast<size_t>(n) >= sizeof small) {
    std::string big(static_cast<size_t>(n) + 1, '\0');
    vsnprintf(&big[0], big.size(), fmt, ap2);
    Notify("print", big.c_str());
  } else if (n >= 0) {
    Notify("print", small);
  }
  va_end(ap2);
}

// ---------------------------------------------------------------------------
// Control: time
TAP_EXPORT void sim_set_clock(int year, int month, int day, int hour, int min, int sec) {
  SetClock(year, month, day, hour, min, sec);
}

TAP_EXPORT void sim_set_clock_unset(void) {
  gClockSet = false;
  gClockCs = 0;
}

TAP_EXPORT uint32_t sim_ticks(void) {
  return gTicks;
}

TAP_EXPORT void sim_set_ticks(uint32_t ticks) {
  MoveTime(static_cast<int64_t>(ticks) - static_cast<int64_t>(gTicks));
}

TAP_EXPORT void sim_advance(uint32_t ticks) {
  MoveTime(ticks);
}

// ---------------------------------------------------------------------------
// Control: system
TAP_EXPORT void sim_set_sysvar(int n, int value) {
  if (n >= 0 && n < kSysVars) gSysVars[n] = gStoredSysVars[n] = value;
}
TAP_EXPORT int sim_get_sysvar(int n) {
  return n >= 0 && n < kSysVars ? gSysVars[n] : 0;
}
TAP_EXPORT unsigned sim_sysvar_writes(void) {
  return gSysVarWrites;
}
TAP_EXPORT void sim_set_state(uint32_t state, uint32_t subState) {
  gState = state;
  gSubState = subState;
}
TAP_EXPORT void sim_set_system_id(uint32_t id) {
  gSystemId = id;
}
TAP_EXPORT int sim_exited(void) {
  return gExited;
}
TAP_EXPORT unsigned sim_normal_depth(void) {
  return static_cast<unsigned>(gNormalDepth);
}

// ---------------------------------------------------------------------------
// Control: allocator faults
TAP_EXPORT void sim_fail_alloc(unsigned nth) {
  gAllocFailNth = nth;
}
TAP_EXPORT void sim_fail_alloc_all(int on) {
  gAllocFailAll = on != 0;
}
TAP_EXPORT void sim_clear_faults(void) {
  gAllocFailNth = 0;
  gAllocFailAll = false;
  ClearDiskFaults();
  ClearSymbolFaults();
  ClearShellFaults();
  ClearScreenFaults();
}
TAP_EXPORT unsigned sim_heap_in_use(void) {
  return gBlocks ? static_cast<unsigned>(gBlocks->size()) : 0;
}

// ---------------------------------------------------------------------------
// Control: observation
TAP_EXPORT unsigned sim_call_count(const char* apiName) {
  if (!apiName) return 0;
  for (int i = 0; i < gApiUsed; ++i)
    if (strcmp(gApiNames[i], apiName) == 0) return gApiCounts[i];
  return 0;
}

TAP_EXPORT unsigned sim_total_calls(void) {
  return gTotalCalls;
}

TAP_EXPORT const char* sim_call_sequence(void) {
  gSequence[gSequenceLen] = 0;
  return gSequence;
}

TAP_EXPORT void sim_reset_call_sequence(void) {
  gSequenceLen = 0;
  gSequence[0] = 0;
}

TAP_EXPORT void sim_reset_counts(void) {
  memset(gApiCounts, 0, sizeof gApiCounts);
  gTotalCalls = 0;
  sim_reset_call_sequence();
  ResetShellCounts();
  ResetStopCounts();
}

TAP_EXPORT void sim_set_observer(sim_observer_fn fn) {
  gObserver = fn;
}

}  // extern "C"
