// What the runner prints: the identification block, the time line (every
// line led by the virtual time), the folders at the end and the results.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "sim/tapsim/elf_info.h"

namespace tapsim {

void ReportSetQuiet(bool quiet);

// The identification block, as --info and a run print it.
void ReportInfo(const char* path, const TapInfo& info);

// One time-line line at the receiver's current tick: "H:MM:SS.cc kind text".
void ReportLine(const char* kind, const std::string& text);

// Observer of the simulated receiver: console and print texts are joined
// into whole lines, everything else is a line of its own.
void ReportObserve(const char* kind, const char* text);
// Prints what is left of a line the plug-in did not end.
void ReportFlush();

// The folders "/DataFiles/TimeShift" and "/DataFiles/TimeShift/Save" with
// each entry's size and date.
void ReportFolders();

// The folders that ReportFolders shows, in the order it shows them.
extern const char* const kReportFolders[2];

// One entry of a folder listing: the name made printable, size and date as
// the simulated receiver gives them ("" when the line could not be split).
struct FolderEntry {
  std::string name;
  std::string size;
  std::string date;
};
// Lists a receiver folder. Returns the number of entries, -1 when missing.
int ReadFolder(const char* folder, std::vector<FolderEntry>& entries);

// A log line with its time stamp and every digit left out: lines of one
// shape differ only in their numbers.
std::string LineShape(const std::string& text);

struct Outcome {
  int line = 0;
  uint32_t tick = 0;
  std::string text;  // the expectation as written
  bool pass = false;
  std::string detail;  // what a failed expectation found instead (lines, "\n" apart)
};
// Each expectation and the summary line; failures also in quiet mode.
void ReportOutcomes(const std::string& file, const std::vector<Outcome>& outcomes);

// Bytes made readable: valid UTF-8 kept, other bytes 0xA0-0xFF read as
// ISO-8859-1, control bytes shown as \xNN.
std::string Printable(const char* text, size_t len);

}  // namespace tapsim
