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

// The time line as it is read, in the terminal and in the HTML report alike:
// a console line that only echoes the log line just shown is left out, and a
// run of log lines that differ only in their numbers (the stamp, a growing
// duration) is shown by its first line, a count and its last line.
class LineFolder {
 public:
  struct Shown {
    size_t index = 0;  // the line's place among the lines fed, from 0
    uint32_t tick = 0;
    std::string kind;
    std::string text;
    unsigned more = 0;  // not 0: no line but "... N more lines like the one above"
  };
  // Feeds the next line; appends what is to be shown now.
  void Add(uint32_t tick, const std::string& kind, const std::string& text,
           std::vector<Shown>& out);
  // Appends what is held back: the last line of a folded run.
  void Flush(std::vector<Shown>& out);

 private:
  std::string lastLog_;    // the last log line shown, stamp left out
  std::string lastShape_;  // the same with every digit left out
  unsigned folded_ = 0;    // lines of that shape not shown since
  Shown foldedLast_;       // the last of them
  size_t next_ = 0;
};

// The line "plug-in disk changes: K", also in quiet mode: a sweep of power
// cuts learns from it how many changes a run makes.
void ReportDiskChanges(unsigned changes);

struct Outcome {
  int line = 0;
  uint32_t tick = 0;
  std::string text;  // the expectation as written
  bool pass = false;
  std::string detail;  // what a failed expectation found instead (lines, "\n" apart)
};
// Each expectation and the summary line; failures also in quiet mode.
void ReportOutcomes(const std::string& file, const std::vector<Outcome>& outcomes);

// Each expectation as it is checked: the pages that a crash of the plug-in
// leaves (--report, --junit) show those checked before it.
void NoteOutcome(const Outcome& outcome);
const std::vector<Outcome>& NotedOutcomes();

// Bytes made readable: valid UTF-8 kept, other bytes 0xA0-0xFF read as
// ISO-8859-1, control bytes shown as \xNN.
std::string Printable(const char* text, size_t len);

}  // namespace tapsim
