// Internal interface of the simulated receiver's libtap.so, shared by its
// source files (the screen included). Nothing here is part of the firmware API.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "platform/tap.h"
#include "sim/control.h"

namespace sim {

// ---------------------------------------------------------------------------
// Per-call counting. Every firmware API function starts with
// SIM_COUNT_CALL(); the counter slot is looked up once per function (a
// static index), so a call costs one increment afterwards.
int RegisterApi(const char* name);  // index of a name in the call table
void CountCall(int index);
#define SIM_COUNT_CALL()                                                 \
  do {                                                                   \
    static int simCallIndex_ = -1;                                       \
    if (simCallIndex_ < 0) simCallIndex_ = ::sim::RegisterApi(__func__); \
    ::sim::CountCall(simCallIndex_);                                     \
  } while (0)

// ---------------------------------------------------------------------------
// Power. While the power is off every firmware call of the plug-in changes
// nothing and reports failure or nothing: each one that could change
// anything starts with SIM_WHEN_DARK_RETURN(its failure result).
bool PowerOff();
#define SIM_WHEN_DARK_RETURN(...)              \
  do {                                         \
    if (::sim::PowerOff()) return __VA_ARGS__; \
  } while (0)

// The kinds of disk change the power cut counts (sim_disk_change_kind).
enum class Change : unsigned char { Create, Write, Close, Rename, Delete, ShellRename };
// Notes one change the plug-in made to the disk: the receiver path it
// touched (and a rename's new one); the power goes when it was the armed one.
void NoteDiskChange(Change kind, const char* path, const char* newPath = nullptr);
// True when a write to path is the armed change and the cut falls half way
// through it: the write then writes only the first half of its bytes.
bool CutHalfWayThrough(const char* path);
// Changes left before the armed cut (0: none armed), and the path they must
// name ("" any), for the shell's mv.
unsigned ChangesBeforeCut();
const char* CutPath();
// Reports a fault that made a call fail, as the time line shows it.
void NoteFault(const std::string& text);
// The renames the shell's commands made (each a change), with the changes
// still left before the cut, and whether the power went inside the command.
void NoteShellRenames(unsigned renames, unsigned leftBeforeCut, bool cut, const char* command);
// What each part does when the power goes and when it comes back.
void CorePowerRestore();
void DiskPowerCut();
void DiskPowerRestore();
void RecorderPowerCut();
void HostCallsPowerCut();
void ScreenPowerCut();  // a weak empty default, like ScreenReset
void PowerReset();      // at sim_init

// ---------------------------------------------------------------------------
// Virtual time.
uint32_t Ticks();        // 100 per second
int64_t ClockSeconds();  // receiver clock: seconds since 1970-01-01 read as UTC
bool ClockSet();         // false while the clock is "unset"
// Receiver clock broken down (UTC). Fills the parts and returns true; while
// the clock is unset all parts are 0 and the result is false.
bool ClockParts(int* year, int* month, int* day, int* hour, int* min, int* sec, int* centis);
// Calendar conversions (proleptic Gregorian, UTC).
int64_t DaysFromCivil(int64_t year, int month, int day);
void CivilFromDays(int64_t days, int64_t* year, int* month, int* day);
// Packed date-time (MJD << 16 | hour << 8 | minute) of epoch seconds.
uint32_t PackedFromSeconds(int64_t seconds);

// ---------------------------------------------------------------------------
// Observer: reports an event to the runner (no-op when none is set).
void Notify(const char* kind, const char* text);

// ---------------------------------------------------------------------------
// Disk.
const char* DiskRoot();  // host path of the sandbox (no trailing "/"), "" before sim_init
// Normalises a receiver path (absolute, or relative to base, which is an
// absolute receiver path) into out ("/" or "/A/B"): "." and ".." resolved,
// repeated "/" dropped. False when ".." would leave the disk or out is too small.
bool NormalisePath(const char* base, const char* path, char* out, size_t cap);
// Host path of a normalised receiver path. False when it does not fit, names
// the disk's marker file, or a folder on the way is a link: nothing reached
// through a link is ever read or written (the calls that use the last
// component do not follow a link there either).
bool HostPathOf(const char* receiverPath, char* out, size_t cap);
// True when no existing component of a host path below the sandbox, the
// last one left out, is a link.
bool NoLinkOnTheWay(const char* hostPath);
// Writes a recording set (stream, ".inf" with the start time, ".nav") at a
// receiver path, parents created, all dated at start (epoch seconds).
bool MakeRecordingAt(const char* receiverPath, int64_t start);
// Sets a host file's (or folder's) modification time to the virtual clock.
void StampNow(const char* hostPath);

// Memory in the low 4 GiB, for records the plug-in reaches through a 32-bit
// word. Zero-filled, never freed: allocate such records once.
void* LowAlloc(size_t size);
dword LowWord(const void* p);  // the 32-bit word of a low pointer

// ---------------------------------------------------------------------------
// Resets of the parts at sim_init (each file resets its own state).
bool InitDisk(const char* diskDir);  // sandbox, folders, current folder; false if unusable
void RecorderReset();
void HostCallsReset();
// The screen file provides this (a weak empty default keeps the library
// linkable without it).
void ScreenReset();
// Resets the counters that sim_reset_counts clears beside the call counts.
void ResetShellCounts();
void ResetStopCounts();
// Fault lists of the other parts (sim_clear_faults clears them all).
void ClearDiskFaults();
void ClearSymbolFaults();
void ClearShellFaults();
void ClearScreenFaults();  // a weak empty default, like ScreenReset

}  // namespace sim
