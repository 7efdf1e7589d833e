// Playing a scenario: the simulated receiver set up as the scenario says,
// the plug-in loaded and started, then events and actions in virtual time.
#pragma once

#include <string>

#include "sim/tapsim/elf_info.h"
#include "sim/tapsim/scenario.h"

namespace tapsim {

struct PlayOptions {
  std::string disk;      // host folder of the simulated disk (new, empty or marked: sim_init)
  std::string diskFrom;  // host folder copied onto the disk before power-on, "" for none
  std::string screens;   // folder for screen files, "" for none
  std::string report;    // HTML report file, "" for none
  const TapInfo* info = nullptr;  // the plug-in's identification block, for the report
  unsigned powerCut = 0;          // the power goes after this disk change of the plug-in (0: none)
  bool half = false;              // ... half way through it, when it is a write
};

// Runs the plug-in file through the scenario. Returns the exit status: 0
// every expectation held, 1 one failed, 2 the scenario or plug-in is bad.
int PlayScenario(const char* pluginPath, const Scenario& scenario, const PlayOptions& options);

}  // namespace tapsim
