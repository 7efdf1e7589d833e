// The command that starts a program of the build under test from a test:
// empty in the host build; in the receiver build the emulator and its
// arguments ("/usr/bin/qemu-mipsel", "-L", "/usr/mipsel-linux-gnu"), since a
// MIPS program cannot be started with execv on the host unless binfmt_misc
// knows the emulator. Put these words before the program's path and execv
// the first one.
#pragma once

#include <string>
#include <vector>

inline std::vector<std::string> EmulatorCommand() {
  std::vector<std::string> words;
#ifdef BRANTLOW_EMULATOR
  // The words, separated by '|' (CMake's list separator ';' cannot travel
  // through a compile definition).
  std::string all = BRANTLOW_EMULATOR;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find('|', start);
    if (end == std::string::npos) end = all.size();
    if (end > start) words.push_back(all.substr(start, end - start));
    start = end + 1;
  }
#endif
  return words;
}
