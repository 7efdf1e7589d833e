// The simulated receiver's power: the plug-in's changes to the disk counted,
// a cut armed after the nth of them (or made at once), and the start over the
// same disk after the dark time.
//
// The disk writes through: what a call did before the cut is on the disk,
// nothing after it is. The cut falls right after the change that ends the
// count, inside the plug-in's call; the plug-in's code then runs on until it
// returns to the firmware, but every firmware call it makes changes nothing.
#include <stdio.h>

#include <string>
#include <vector>

#include "sim/libtap/internal.h"

namespace sim {
namespace {

bool gOff;
unsigned gCuts;
unsigned gChanges;           // since sim_init
unsigned gArmed;             // changes left before the cut, 0 when none is armed
std::string gArmedPath;      // the receiver path those changes must name, "" any
bool gHalf;                  // the armed change, when a write, is cut half way
uint32_t gCutTick;           // tick of the last cut
std::vector<Change> gKinds;  // the kind of each change since sim_init

// Each kind's name (sim_disk_change_kind) and the call that makes it, in
// the order of the kinds.
struct KindText {
  const char* name;
  const char* call;
};
constexpr KindText kKinds[] = {
    {"create", "TAP_Hdd_Create"}, {"write", "TAP_Hdd_Fwrite"},  {"close", "TAP_Hdd_Fclose"},
    {"rename", "TAP_Hdd_Rename"}, {"delete", "TAP_Hdd_Delete"}, {"mv", "the shell's mv"},
};
static_assert(sizeof kKinds / sizeof kKinds[0] == size_t(Change::ShellRename) + 1,
              "a text for every kind");

const KindText& TextOf(Change kind) {
  return kKinds[static_cast<size_t>(kind)];
}

std::string Duration(uint32_t ticks) {
  char buf[32];
  unsigned s = ticks / 100;
  snprintf(buf, sizeof buf, "%u:%02u:%02u", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

void Cut(const std::string& why) {
  if (gOff) return;
  gOff = true;
  ++gCuts;
  gArmed = 0;
  gArmedPath.clear();
  gHalf = false;
  gCutTick = Ticks();
  Notify("power", why.c_str());
  // Open files and scans go, the recorder stops where it was, the screen
  // and the terminals go dark; faults and the disk stay as they are.
  DiskPowerCut();
  RecorderPowerCut();
  HostCallsPowerCut();
  ScreenPowerCut();
}

std::string AfterChange() {
  return "cut after plug-in disk change " + std::to_string(gChanges);
}

}  // namespace

__attribute__((weak)) void ScreenPowerCut() {}

bool PowerOff() {
  return gOff;
}

// Whether a change of path (or a rename to newPath) counts for the armed cut.
bool Counts(const char* path, const char* newPath) {
  return gArmedPath.empty() || (path && gArmedPath == path) || (newPath && gArmedPath == newPath);
}

void NoteDiskChange(Change kind, const char* path, const char* newPath) {
  gKinds.push_back(kind);
  ++gChanges;
  if (gArmed == 0 || !Counts(path, newPath) || --gArmed != 0) return;
  std::string why = AfterChange() + " (" + TextOf(kind).call;
  if (path && *path) why += std::string(" ") + path;
  if (newPath && *newPath) why += std::string(" to ") + newPath;
  Cut(why + ")");
}

bool CutHalfWayThrough(const char* path) {
  return gArmed == 1 && gHalf && Counts(path, nullptr);
}

unsigned ChangesBeforeCut() {
  return gArmed;
}

const char* CutPath() {
  return gArmedPath.c_str();
}

void NoteFault(const std::string& text) {
  Notify("fault", text.c_str());
}

void NoteShellRenames(unsigned renames, unsigned leftBeforeCut, bool cut, const char* command) {
  for (unsigned i = 0; i < renames; ++i) gKinds.push_back(Change::ShellRename);
  gChanges += renames;
  if (gArmed) gArmed = leftBeforeCut;
  if (cut) Cut(AfterChange() + " (a rename of the shell's mv: " + (command ? command : "") + ")");
}

void PowerReset() {
  gOff = false;
  gCuts = 0;
  gChanges = 0;
  gArmed = 0;
  gArmedPath.clear();
  gHalf = false;
  gCutTick = 0;
  gKinds.clear();
}

}  // namespace sim

using namespace sim;

extern "C" {

TAP_EXPORT unsigned sim_disk_changes(void) {
  return gChanges;
}

TAP_EXPORT const char* sim_disk_change_kind(unsigned n) {
  return n >= 1 && n <= gKinds.size() ? TextOf(gKinds[n - 1]).name : "";
}

TAP_EXPORT void sim_power_cut_after(unsigned n, int half) {
  sim_power_cut_after_changes_to(nullptr, n, half);
}

TAP_EXPORT void sim_power_cut_after_changes_to(const char* path, unsigned n, int half) {
  char norm[4096];
  gArmedPath = path && *path && NormalisePath("/", path, norm, sizeof norm) ? norm : "";
  gArmed = n;
  gHalf = gArmed != 0 && half != 0;
}

TAP_EXPORT void sim_power_cut(void) {
  Cut(gChanges ? AfterChange() : std::string("cut before any plug-in disk change"));
}

TAP_EXPORT int sim_power_is_off(void) {
  return gOff ? 1 : 0;
}

TAP_EXPORT unsigned sim_power_cuts(void) {
  return gCuts;
}

TAP_EXPORT void sim_power_restore(uint32_t darkTicks) {
  if (!gOff) return;
  const uint32_t at = gCutTick + darkTicks;
  if (static_cast<int32_t>(at - Ticks()) > 0) sim_set_ticks(at);
  gOff = false;
  CorePowerRestore();
  DiskPowerRestore();
  Notify("power",
         ("on again after " + Duration(darkTicks) + " dark: the receiver starts over the same disk")
             .c_str());
}

}  // extern "C"
