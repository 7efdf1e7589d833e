// Scenario parser: the whole input is a scenario file's text. A file the
// parser takes must describe a run that can be played (times never go back,
// the end lies after every line); one it refuses is named with its line.
#include <stdint.h>
#include <string.h>

#include <string>

#include "fuzz/support/fuzz_sandbox.h"  // FuzzCheck only: no sandbox here
#include "sim/tapsim/scenario.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  tapsim::Scenario scenario;
  std::string error;
  if (!tapsim::ParseScenario("fuzz.scn", text, scenario, error)) {
    FuzzCheck(error.compare(0, 9, "fuzz.scn:") == 0);
    FuzzCheck(error.size() > 9 && error[9] >= '1' && error[9] <= '9');
    return 0;
  }
  FuzzCheck(error.empty() && scenario.file == "fuzz.scn");
  uint32_t last = 0;
  int lastLine = 0;
  for (const tapsim::Step& st : scenario.steps) {
    FuzzCheck(st.line > lastLine);
    lastLine = st.line;
    if (st.stage == tapsim::Stage::PowerOn) {
      FuzzCheck(st.tick == 0 && last == 0);
    } else {
      FuzzCheck(st.tick >= last);
      last = st.tick;
    }
    FuzzCheck(st.tick <= scenario.endTick);
    FuzzCheck(!st.text.empty() && st.text.find('\n') == std::string::npos);
    // Receiver paths never leave the disk.
    for (const std::string& s : st.s)
      if (!s.empty() && s[0] == '/') FuzzCheck(s.find("/../") == std::string::npos);
  }
  return 0;
}
