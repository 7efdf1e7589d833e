// The results of a run as JUnit XML, the form CI servers read: one test
// suite for the scenario, one test case per expectation (tests/junit.xsd is
// the schema it keeps to).
#pragma once

#include <string>
#include <vector>

#include "sim/tapsim/elf_info.h"
#include "sim/tapsim/report.h"
#include "sim/tapsim/scenario.h"

namespace tapsim {

struct JunitRun {
  const char* plugin = "";
  const TapInfo* info = nullptr;
  const Scenario* scenario = nullptr;
  std::string diskFrom;
  int status = 0;       // the run's exit status
  std::string stopped;  // why it ended early ("" when it did not): a crash
  double seconds = 0;   // wall time of the run
};

// Before the run: a file that says the run has not finished (one test case
// in error), so that a path that cannot be written is found before the run
// and a run that is stopped is never read as passed.
bool JunitPrepare(const std::string& path, const Scenario& scenario, std::string& error);

// Every expectation of the scenario: passed, failed (with what was there
// instead) or, when the run ended before it, skipped; a run that stopped
// adds a test case in error.
bool JunitWrite(const std::string& path, const JunitRun& run, const std::vector<Outcome>& outcomes,
                std::string& error);

}  // namespace tapsim
