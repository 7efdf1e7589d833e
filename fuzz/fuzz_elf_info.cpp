// Identification reader: the whole input is a plug-in file. Whatever the
// file holds, the reader answers with a block or a message, and a block it
// accepts is one the runner can show.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz/support/fuzz_sandbox.h"  // FuzzCheck only: no sandbox here
#include "sim/tapsim/elf_info.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy: a read one byte past the file shows.
  uint8_t* image = static_cast<uint8_t*>(malloc(size ? size : 1));
  if (size) memcpy(image, data, size);
  tapsim::TapInfo info;
  std::string error;
  if (tapsim::ParseTapInfo(image, size, info, error)) {
    FuzzCheck(info.elfClass == 32 || info.elfClass == 64);
    FuzzCheck(!info.machineName.empty());
    // Texts come from fixed-size, zero-padded fields.
    FuzzCheck(info.programName.size() <= 64 && info.author.size() <= 64);
    FuzzCheck(info.buildDate.size() <= 64 && info.description.size() <= 128);
    FuzzCheck(info.programName.find('\0') == std::string::npos);
    std::string runner;
    tapsim::MachineMatchesRunner(info, runner);
    FuzzCheck(!runner.empty());
  } else {
    FuzzCheck(!error.empty());
  }
  free(image);
  return 0;
}
