// The runner's output. The time line goes to stdout, one line per happening,
// each led by the virtual time since start.
#include "sim/tapsim/report.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "sim/control.h"
#include "sim/tapsim/html_report.h"
#include "sim/tapsim/scenario.h"

namespace tapsim {
namespace {

bool gQuiet = false;
std::string gPendingConsole;
std::string gPendingPrint;

// Length of a valid UTF-8 sequence of two or more bytes at p, or 0.
size_t Utf8Length(const unsigned char* p, size_t left) {
  unsigned char c = p[0];
  size_t n = c >= 0xC2 && c <= 0xDF   ? 2
             : c >= 0xE0 && c <= 0xEF ? 3
             : c >= 0xF0 && c <= 0xF4 ? 4
                                      : 0;
  if (n == 0 || n > left) return 0;
  for (size_t i = 1; i < n; ++i)
    if ((p[i] & 0xC0) != 0x80) return 0;
  if (c == 0xE0 && p[1] < 0xA0) return 0;  // overlong
  if (c == 0xED && p[1] > 0x9F) return 0;  // surrogate
  if (c == 0xF0 && p[1] < 0x90) return 0;  // overlong
  if (c == 0xF4 && p[1] > 0x8F) return 0;  // beyond U+10FFFF
  return n;
}

void EmitLines(const char* kind, const std::string& text) {
  if (text.find_first_not_of("\r\n") == std::string::npos) {
    // Blank log lines carry nothing; the exit is worth a word.
    if (strcmp(kind, "exit") == 0) ReportLine(kind, "TAP_Exit: the plug-in has ended");
    return;
  }
  size_t start = 0;
  for (;;) {
    size_t nl = text.find('\n', start);
    size_t stop = nl == std::string::npos ? text.size() : nl;
    while (stop > start && text[stop - 1] == '\r') --stop;
    if (stop > start) ReportLine(kind, Printable(text.data() + start, stop - start));
    if (nl == std::string::npos) break;
    start = nl + 1;
  }
}

// Joins pieces into lines: whole lines are printed, the rest waits.
void Join(const char* kind, std::string& pending, const char* text) {
  pending += text;
  size_t nl;
  while ((nl = pending.find('\n')) != std::string::npos) {
    size_t stop = nl;
    while (stop > 0 && pending[stop - 1] == '\r') --stop;
    if (stop > 0) ReportLine(kind, Printable(pending.data(), stop));
    pending.erase(0, nl + 1);
  }
}

}  // namespace

void ReportSetQuiet(bool quiet) {
  gQuiet = quiet;
}

std::string Printable(const char* text, size_t len) {
  std::string out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
  for (size_t i = 0; i < len;) {
    unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7F) {
      out += char(c);
      ++i;
    } else if (c == '\t') {
      out += "    ";
      ++i;
    } else if (size_t n = c >= 0x80 ? Utf8Length(p + i, len - i) : 0) {
      out.append(text + i, n);
      i += n;
    } else if (c >= 0xA0) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
      ++i;
    } else {
      char buf[8];
      snprintf(buf, sizeof buf, "\\x%02X", c);
      out += buf;
      ++i;
    }
  }
  return out;
}

void ReportInfo(const char* path, const TapInfo& info) {
  if (gQuiet) return;
  printf("Plug-in      %s\n", path);
  printf("Program      %s\n", Printable(info.programName.data(), info.programName.size()).c_str());
  // The description may hold line feeds: continue its lines under the first.
  std::string shown;
  for (size_t i = 0; i < info.description.size();) {
    size_t nl = info.description.find('\n', i);
    size_t end = nl == std::string::npos ? info.description.size() : nl;
    if (!shown.empty()) shown += "\n             ";
    shown += Printable(info.description.data() + i, end - i);
    if (nl == std::string::npos) break;
    i = nl + 1;
  }
  printf("Description  %s\n", shown.c_str());
  printf("Author       %s\n", Printable(info.author.data(), info.author.size()).c_str());
  printf("Build date   %s\n", Printable(info.buildDate.data(), info.buildDate.size()).c_str());
  printf("Id           0x%08X\n", info.id);
  printf("Header       TFAPMIPS version %u\n", info.headerVersion);
  printf("Machine      %s\n", info.machineName.c_str());
  if (info.buildKind.empty()) {
    printf("Build        not told (the file has no Brantlow build note)\n");
  } else {
    std::string kind = Printable(info.buildKind.data(), info.buildKind.size());
    std::string version = Printable(info.version.data(), info.version.size());
    const char* what = info.buildKind == "plain"        ? " (writes no trace lines)"
                       : info.buildKind == "diagnostic" ? " (writes every trace line)"
                                                        : "";
    printf("Build        %s%s, version %s\n", kind.c_str(), what, version.c_str());
  }
  printf("Build id     %s\n", info.buildId.empty() ? "none" : info.buildId.c_str());
  fflush(stdout);
}

namespace {

std::string WithoutStamp(const std::string& text) {
  // Log and console lines begin "YYYY-MM-DD HH:MM:SS ".
  if (text.size() > 20 && text[4] == '-' && text[13] == ':' && text[19] == ' ')
    return text.substr(20);
  return text;
}

std::string Shape(const std::string& text) {
  std::string out;
  for (char c : text)
    if (c < '0' || c > '9') out += c;
  return out;
}

LineFolder gFolder;
std::vector<Outcome> gNotedOutcomes;

void PrintShown(const std::vector<LineFolder::Shown>& shown) {
  for (const LineFolder::Shown& s : shown) {
    if (s.more)
      printf("%11s  %-8s ... %u more lines like the one above\n", "", "", s.more);
    else
      printf("%11s  %-8s %s\n", TimeText(s.tick).c_str(), s.kind.c_str(), s.text.c_str());
  }
}

void FlushFolded() {
  std::vector<LineFolder::Shown> shown;
  gFolder.Flush(shown);
  PrintShown(shown);
}

}  // namespace

void LineFolder::Flush(std::vector<Shown>& out) {
  if (folded_ == 0) return;
  if (folded_ > 1) {
    Shown more = foldedLast_;
    more.more = folded_ - 1;
    out.push_back(more);
  }
  out.push_back(foldedLast_);
  folded_ = 0;
}

void LineFolder::Add(uint32_t tick, const std::string& kind, const std::string& text,
                     std::vector<Shown>& out) {
  Shown line;
  line.index = next_++;
  line.tick = tick;
  line.kind = kind;
  line.text = text;
  if (kind == "console") {
    std::string plain = WithoutStamp(text);
    size_t colon = plain.find(": ");
    if (!lastLog_.empty() && colon != std::string::npos && plain.substr(colon + 2) == lastLog_)
      return;
  }
  if (kind == "log") {
    std::string plain = WithoutStamp(text);
    std::string shape = Shape(plain);
    bool same = shape == lastShape_;
    lastLog_ = plain;
    lastShape_ = shape;
    if (same) {
      ++folded_;
      foldedLast_ = line;
      return;
    }
  } else if (kind != "console") {
    lastLog_.clear();
    lastShape_.clear();
  }
  Flush(out);
  out.push_back(line);
}

void ReportLine(const char* kind, const std::string& text) {
  if (!HtmlReportLine(kind, text) || gQuiet) return;
  std::vector<LineFolder::Shown> shown;
  gFolder.Add(sim_ticks(), kind, text, shown);
  PrintShown(shown);
}

void NoteOutcome(const Outcome& outcome) {
  gNotedOutcomes.push_back(outcome);
}

const std::vector<Outcome>& NotedOutcomes() {
  return gNotedOutcomes;
}

void ReportObserve(const char* kind, const char* text) {
  if (!kind) return;
  if (!text) text = "";
  if (strcmp(kind, "console") == 0) {
    Join("console", gPendingConsole, text);
  } else if (strcmp(kind, "print") == 0) {
    Join("print", gPendingPrint, text);
  } else {
    EmitLines(kind, text);
  }
}

void ReportFlush() {
  if (!gPendingConsole.empty())
    ReportLine("console", Printable(gPendingConsole.data(), gPendingConsole.size()));
  if (!gPendingPrint.empty())
    ReportLine("print", Printable(gPendingPrint.data(), gPendingPrint.size()));
  gPendingConsole.clear();
  gPendingPrint.clear();
  fflush(stdout);
}

const char* const kReportFolders[2] = {"/DataFiles/TimeShift", "/DataFiles/TimeShift/Save"};

int ReadFolder(const char* folder, std::vector<FolderEntry>& entries) {
  entries.clear();
  std::string buf(64 * 1024, '\0');
  int count;
  for (;;) {
    count = sim_list_folder(folder, &buf[0], buf.size());
    size_t lines = 0;
    size_t len = strnlen(buf.data(), buf.size());
    for (size_t i = 0; i < len; ++i) lines += buf[i] == '\n';
    if (len > 0 && buf[len - 1] != '\n') ++lines;
    if (count < 0 || size_t(count) <= lines || buf.size() >= (64u << 20)) break;
    buf.assign(buf.size() * 4, '\0');
  }
  if (count < 0) return -1;
  std::string all(buf.data(), strnlen(buf.data(), buf.size()));
  size_t start = 0;
  while (start < all.size()) {
    size_t nl = all.find('\n', start);
    if (nl == std::string::npos) nl = all.size();
    std::string line = all.substr(start, nl - start);
    start = nl + 1;
    // "name size YYYY-MM-DD HH:MM": the name may hold spaces, so the last
    // three fields are taken from the right.
    size_t t = line.rfind(' ');
    size_t d = t == std::string::npos || t == 0 ? std::string::npos : line.rfind(' ', t - 1);
    size_t s = d == std::string::npos || d == 0 ? std::string::npos : line.rfind(' ', d - 1);
    FolderEntry e;
    if (s == std::string::npos) {
      e.name = Printable(line.data(), line.size());
    } else {
      e.name = Printable(line.data(), s);
      e.size = line.substr(s + 1, d - s - 1);
      e.date = line.substr(d + 1);
    }
    entries.push_back(std::move(e));
  }
  return count;
}

void ReportFolders() {
  if (gQuiet) return;
  FlushFolded();
  for (const char* folder : kReportFolders) {
    std::vector<FolderEntry> entries;
    int count = ReadFolder(folder, entries);
    printf("\n%s", folder);
    if (count < 0) {
      printf(": missing\n");
      continue;
    }
    printf(" (%d %s)\n", count, count == 1 ? "entry" : "entries");
    for (const FolderEntry& e : entries) {
      if (e.size.empty())
        printf("  %s\n", e.name.c_str());
      else
        printf("  %-56s %12s  %s\n", e.name.c_str(), e.size.c_str(), e.date.c_str());
    }
  }
  fflush(stdout);
}

std::string LineShape(const std::string& text) {
  return Shape(WithoutStamp(text));
}

void ReportDiskChanges(unsigned changes) {
  FlushFolded();
  printf("%splug-in disk changes: %u\n", gQuiet ? "" : "\n", changes);
  fflush(stdout);
}

void ReportOutcomes(const std::string& file, const std::vector<Outcome>& outcomes) {
  int passed = 0;
  int failed = 0;
  if (!gQuiet && !outcomes.empty()) printf("\nExpectations\n");
  size_t whereWidth = 0;
  size_t textWidth = 0;
  for (const Outcome& o : outcomes) {
    whereWidth = std::max(whereWidth, file.size() + 1 + std::to_string(o.line).size());
    textWidth = std::max(textWidth, Printable(o.text.data(), o.text.size()).size());
  }
  for (const Outcome& o : outcomes) {
    o.pass ? ++passed : ++failed;
    if (gQuiet && o.pass) continue;
    std::string where = file + ":" + std::to_string(o.line);
    printf("  %-*s  %11s  %-*s  %s\n", int(whereWidth), where.c_str(), TimeText(o.tick).c_str(),
           int(textWidth), Printable(o.text.data(), o.text.size()).c_str(),
           o.pass ? "PASS" : "FAIL");
    // What was there instead, under the failed line.
    size_t start = 0;
    while (!o.pass && start < o.detail.size()) {
      size_t nl = o.detail.find('\n', start);
      if (nl == std::string::npos) nl = o.detail.size();
      printf("      %s\n", o.detail.substr(start, nl - start).c_str());
      start = nl + 1;
    }
  }
  printf("%s%d passed, %d failed\n", gQuiet ? "" : "\n", passed, failed);
  fflush(stdout);
}

}  // namespace tapsim
