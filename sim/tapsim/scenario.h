// Scenario files: parsed completely before anything runs, so a bad line is
// reported (as FILE:LINE) without touching the simulated receiver.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace tapsim {

enum class Op {
  // Receiver settings: power-on directives, also allowed as timed actions.
  Clock,  // n[0..5] year month day hour minute second
  ClockUnset,
  SysVar,       // n[0] variable, n[1] value
  State,        // n[0] state, n[1] sub-state
  Slots,        // n[0]
  Model,        // n[0]
  Terminal,     // n[0] number, n[1] 1 open / 0 closed
  Idle,         // n[0] ticks between idle events (0: none)
  Dir,          // s[0] path
  NoDir,        // s[0] path
  Recording,    // s[0] stream path, n[0..5] start
  Write,        // s[0] path, s[1] content
  FirmwareDat,  // s[0] folder, n[0] model, n[1] slots
  // Faults: FailCreate to FailClear stay together (the report lists them).
  FailCreate,  // s[0] path
  FailOpen,    // s[0] path
  FailChdir,   // s[0] path
  FailAlloc,   // n[0] nth allocation (0: off), n[1] 1 = every allocation
  FailRename,  // s[0] path
  FailDelete,  // s[0] path
  FailMv,      // s[0] path, n[0] 1 = moved all the same
  FailRead,    // s[0] path, n[0] 1 = short
  FailWrite,   // s[0] path
  FailList,    // s[0] folder
  FailFill,    // n[0] result (0: off)
  FailCopy,    // n[0] result (0: off)
  FailRegion,  // n[0] result of the next region creation
  FailClear,
  PowerCutAfter,  // n[0] changes (0: disarmed), n[1] 1 = half way through a write; s[0] the
                  // path they name (none: every change)
  BootDelay,      // n[0] ticks
  BootTimeshift,  // the firmware starts a timeshift buffer (default name) at every start
  Channel,        // n[0] type, n[1] number, s[0] name
  Event,          // n[0] type, n[1] number, s[0] name, s[1] description; n[2] 1 = no event
  Tune,           // n[0] type, n[1] number
  // Actions only a timed line can take.
  TimeshiftStart,  // s[0] name ("" = the firmware's default name)
  TimeshiftStop,
  RecordStart,  // n[0] slot, s[0] name
  RecordStop,   // n[0] slot
  Play,         // s[0] path, n[0] mode, n[1] blocks (-1: from the file's size)
  PlayStop,
  PowerCut,  // the power goes now
  Key,       // n[0] key code, s[0] key name as written
  Request,   // n[0] request number
  // Expectations.
  ExpectFile,  // s[0] path
  ExpectNoFile,
  ExpectExited,
  ExpectRunning,
  ExpectLog,  // s[0] text
  ExpectNoLog,
  ExpectConsole,
  ExpectNoConsole,
  ExpectScreen,
  ExpectNoScreen,
  ExpectCuts,      // n[0] power cuts so far
  ExpectRestarts,  // n[0] starts after a cut so far
};

enum class Stage { PowerOn, Action, Expect };

struct Step {
  int line = 0;
  Stage stage = Stage::PowerOn;
  uint32_t tick = 0;  // virtual time of the line (ticks since start)
  Op op = Op::Clock;
  std::vector<std::string> s;
  long long n[6] = {};
  std::string text;  // the directive as it reads in the time line
};

struct Scenario {
  std::string file;
  std::vector<Step> steps;  // in file order; ticks never decrease after power-on
  uint32_t endTick = 0;     // the time the scenario ends
};

// Parses scenario text. On error returns false with "FILE:LINE: message".
bool ParseScenario(const std::string& file, const std::string& text, Scenario& out,
                   std::string& error);
// Reads and parses a scenario file.
bool LoadScenario(const char* path, Scenario& out, std::string& error);

// "H:MM:SS.cc" of a tick count.
std::string TimeText(uint32_t ticks);

}  // namespace tapsim
