// Reading a plug-in's identification block from its ELF file. The file is
// outside data: every offset and size is checked against the file before use.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace tapsim {

// The identification block as read from the file's sections.
struct TapInfo {
  int elfClass = 0;         // 32 or 64
  unsigned machine = 0;     // ELF e_machine
  std::string machineName;  // "x86-64", "MIPS32 little-endian" or "unknown machine (N)"
  std::string buildDate;    // ._tap_etcinfo
  std::string description;  // ._tap_description
  std::string author;       // ._tap_author_name
  std::string programName;  // ._tap_program_name
  uint32_t id = 0;          // ._tap_id, little-endian
  uint32_t headerVersion = 0;
  // From the file's notes, empty when it has none: the build note (owner
  // "Brantlow", type 1: version and kind, "1.1.0 plain") and the linker's
  // build id (owner "GNU", type 3) in hexadecimal.
  std::string version;    // "1.1.0"
  std::string buildKind;  // "plain" or "diagnostic"
  std::string buildId;
  // Where the mode machine keeps its state ("ProgMode", the symbol table's
  // value: an offset from the load address), 0 when the file has no symbol
  // table (the receiver's files are stripped). The report draws it as a lane.
  uint64_t modeVariable = 0;
};

// Reads the identification block from an ELF image in memory. Returns true,
// or false with a message (without the file name) in error.
bool ParseTapInfo(const uint8_t* data, size_t size, TapInfo& info, std::string& error);

// Reads a file and parses it. The message names the file.
bool ReadTapInfo(const char* path, TapInfo& info, std::string& error);

// True when the plug-in is built for the machine this runner runs on; name
// receives the runner's machine name.
bool MachineMatchesRunner(const TapInfo& info, std::string& runnerMachine);

}  // namespace tapsim
