// The HTML report. While the scenario plays it keeps the time-line lines,
// the screens (read as soon as they are written) and the changes of the two
// timeshift folders; at the end it writes one page that needs nothing else.
#include "sim/tapsim/html_report.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "sim/control.h"

namespace tapsim {
namespace {

struct Line {
  uint32_t tick;
  std::string kind;
  std::string text;
};

struct Screen {
  uint32_t tick;
  std::string png;  // the file's bytes; empty when it could not be read
  std::string texts;
  bool empty;
};

// Something a viewer of the page looks for: a save, an expiry, an action.
struct Happening {
  uint32_t tick;
  std::string kind;  // "save", "rename", "expiry", "removed", "action", "event", "armed" (a
                     // fault the scenario sets up), "fault" (a call failed on purpose),
                     // "power", "exit", "screen", "fail" (an expectation)
  std::string text;
  int screen = -1;  // index into screens
};

// The mode machine's state as sampled after each step of the run.
struct ModeSample {
  uint32_t tick;
  int mode;  // ProgMode's value; kModeEnded, kModeOff
};
constexpr int kModeEnded = -1;  // the plug-in has ended itself
constexpr int kModeOff = -2;    // the receiver has no power

struct State {
  bool active = false;
  std::string plugin;
  TapInfo info;
  const Scenario* scenario = nullptr;
  std::string disk;
  std::string diskFrom;
  std::string ownScreens;  // the report's own screen folder ("" for none)
  bool dropScreens = false;
  std::vector<Line> lines;
  std::vector<Screen> screens;
  std::vector<Happening> happenings;
  // Where the lines and happenings of the plug-in's answer to the event now
  // being sent begin: the event goes before them (the cause before its
  // effects), though the runner learns its answer only after them.
  size_t causeLine = 0;
  size_t causeHappening = 0;
  // Index into lines of each failed expectation's line, by time and text.
  std::map<std::pair<uint32_t, std::string>, size_t> failedAt;
  // The timeshift folders as last seen: stream names, and the folders'
  // change stamps that tell when to look again.
  std::set<std::string> seen[2];
  std::string stamp[2];
  std::map<std::string, std::string> renamedFrom;  // new name -> the buffer's first name
  bool baseline = false;
  // The mode machine's state: its address in the loaded plug-in (null when
  // the file does not tell it), the samples, and the steps that went through
  // Filehandler and FileChecker between two samples.
  const volatile uint32_t* mode = nullptr;
  std::vector<ModeSample> modes;
  std::vector<uint32_t> passes;
  std::string stopped;    // why the run ended early: a crash of the plug-in
  bool powerOff = false;  // from a power cut to the receiver's next start
};

State& G() {
  static State s;
  return s;
}

bool EndsWith(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

std::string Stamp(const char* folder) {
  char host[4096];
  struct stat st;
  if (!sim_host_path(folder, host, sizeof host) || lstat(host, &st) != 0) return "-";
  char buf[96];
  // The change time too: the simulated receiver dates folders by its own
  // clock, so the modification time alone may stay the same.
  snprintf(buf, sizeof buf, "%llu.%lld.%ld.%lld.%ld", (unsigned long long)st.st_ino,
           (long long)st.st_mtim.tv_sec, st.st_mtim.tv_nsec, (long long)st.st_ctim.tv_sec,
           st.st_ctim.tv_nsec);
  return buf;
}

// The player looks at the disk after every step, hundreds of thousands of
// times in a simulated day. The kernel tells when the timeshift folders
// change (inotify, with a signal so that no step needs a system call); only
// then are they read. Without inotify every step reads them.
volatile sig_atomic_t gTouched = 1;
int gNotify = -1;
struct sigaction gOldAction;

void OnTouched(int) {
  gTouched = 1;
}

void WatchFolders() {
  static const char* const kWatched[] = {"/DataFiles", kReportFolders[0], kReportFolders[1]};
  for (const char* folder : kWatched) {
    char host[4096];
    if (sim_host_path(folder, host, sizeof host))
      inotify_add_watch(gNotify, host,
                        IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB |
                            IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_DONT_FOLLOW);
  }
}

void WatchStart() {
  gTouched = 1;
  gNotify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (gNotify < 0) return;
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnTouched;
  sa.sa_flags = SA_RESTART;
  sigemptyset(&sa.sa_mask);
  if (sigaction(SIGIO, &sa, &gOldAction) != 0 || fcntl(gNotify, F_SETOWN, getpid()) != 0 ||
      fcntl(gNotify, F_SETFL, O_NONBLOCK | O_ASYNC) != 0) {
    close(gNotify);
    gNotify = -1;
    return;
  }
  WatchFolders();
}

void WatchStop() {
  if (gNotify < 0) return;
  close(gNotify);
  gNotify = -1;
  sigaction(SIGIO, &gOldAction, nullptr);
}

// True when the folders may have changed since the last call.
bool DiskTouched() {
  if (gNotify < 0) return true;
  if (!gTouched) return false;
  gTouched = 0;
  char buf[4096];
  while (read(gNotify, buf, sizeof buf) > 0) {
  }
  WatchFolders();  // a Save folder made or made again
  return true;
}

std::set<std::string> Streams(const char* folder) {
  std::vector<FolderEntry> entries;
  std::set<std::string> out;
  if (ReadFolder(folder, entries) < 0) return out;
  for (const FolderEntry& e : entries)
    if (EndsWith(e.name, ".rec")) out.insert(e.name);
  return out;
}

// Printable, line feeds kept.
std::string Lines(const std::string& text) {
  std::string out;
  for (size_t i = 0; i <= text.size();) {
    size_t nl = text.find('\n', i);
    if (nl == std::string::npos) nl = text.size();
    if (i > 0) out += '\n';
    out += Printable(text.data() + i, nl - i);
    i = nl + 1;
  }
  return out;
}

std::string Base64(const std::string& in) {
  static const char kDigits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((in.size() + 2) / 3 * 4);
  for (size_t i = 0; i < in.size(); i += 3) {
    uint32_t v = uint32_t(uint8_t(in[i])) << 16;
    if (i + 1 < in.size()) v |= uint32_t(uint8_t(in[i + 1])) << 8;
    if (i + 2 < in.size()) v |= uint8_t(in[i + 2]);
    out += kDigits[v >> 18];
    out += kDigits[(v >> 12) & 63];
    out += i + 1 < in.size() ? kDigits[(v >> 6) & 63] : '=';
    out += i + 2 < in.size() ? kDigits[v & 63] : '=';
  }
  return out;
}

std::string ReadWhole(const std::string& path) {
  std::string out;
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  fclose(f);
  return out;
}

std::string Clock(uint32_t tick) {
  std::string t = TimeText(tick);
  return t.substr(0, t.size() - 3);
}

std::string Minutes(uint32_t ticks) {
  unsigned s = ticks / 100;
  char buf[32];
  if (s >= 3600)
    snprintf(buf, sizeof buf, "%uh %02um", s / 3600, s / 60 % 60);
  else if (s >= 60)
    snprintf(buf, sizeof buf, "%u min", (s + 30) / 60);
  else
    snprintf(buf, sizeof buf, "%u s", s);
  return buf;
}

std::string Percent(uint64_t part, uint64_t whole) {
  char buf[32];
  snprintf(buf, sizeof buf, "%.3f%%", whole ? 100.0 * double(part) / double(whole) : 0.0);
  return buf;
}

// The simulator's power lines: the cut ("cut after plug-in disk change N
// ...", "cut before any ..."), the start after it ("on again after ..."),
// and the buffer a receiver that keeps timeshift starts with itself.
bool IsCut(const std::string& powerText) {
  return powerText.compare(0, 4, "cut ") == 0;
}

bool IsRestart(const std::string& powerText) {
  return powerText.compare(0, 8, "on again") == 0;
}

bool IsBootTimeshift(const std::string& powerText) {
  return powerText == "the firmware starts a timeshift buffer";
}

// ---------------------------------------------------------------------------
// What the scenario itself tells, with the power cuts of the run: the
// timeshift periods and what was on screen during them.

struct Run {
  uint32_t from, to;
  std::string channel, programme;  // printable
};

struct Period {
  uint32_t from, to;
  bool open;  // still recording when the scenario ended
  std::vector<Run> runs;
  std::string savedAs, savedFrom;  // the buffer's name in Save, and its first name
  std::string chosen;              // key of the programme the saved name carries
  bool cut = false;                // ended by a power cut
};

std::string Key(const Run& r) {
  return r.channel + "\x1f" + r.programme;
}

// happenings: sorted by time; a cut ends the period being recorded, the
// recorder does nothing until the receiver is on again (the player does not
// carry out a timeshift step while it is dark), and the buffer the firmware
// starts with the receiver begins a period.
std::vector<Period> Periods(const Scenario& sc, const std::vector<Happening>& happenings,
                            uint32_t end) {
  std::map<std::pair<long long, long long>, std::string> channels;
  std::map<std::pair<long long, long long>, std::string> events;
  std::pair<long long, long long> tuned{-1, -1};
  std::vector<Period> periods;
  bool recording = false;
  auto watched = [&](std::string& ch, std::string& prog) {
    auto c = channels.find(tuned);
    auto e = events.find(tuned);
    ch = c == channels.end() ? "channel " + std::to_string(tuned.second) : c->second;
    prog = e == events.end() ? "(no programme)" : e->second;
  };
  auto cut = [&](uint32_t at) {  // ends the run on screen at `at`
    if (!recording) return;
    Period& p = periods.back();
    if (!p.runs.empty()) p.runs.back().to = at;
  };
  auto begin = [&](uint32_t at) {
    if (!recording) return;
    Run r;
    r.from = at;
    r.to = at;
    watched(r.channel, r.programme);
    Period& p = periods.back();
    if (!p.runs.empty() && Key(p.runs.back()) == Key(r)) return;  // the same programme goes on
    p.runs.push_back(r);
  };
  auto startPeriod = [&](uint32_t at) {
    if (recording) return;
    periods.push_back(Period{at, end, true, {}, "", "", ""});
    recording = true;
    begin(at);
  };
  auto stopPeriod = [&](uint32_t at) {
    if (!recording) return false;
    cut(at);
    periods.back().to = at;
    periods.back().open = false;
    recording = false;
    return true;
  };
  bool dark = false;
  size_t next = 0;  // the first power happening not yet taken in
  // The power's changes up to `until` (those of a step's own tick come after
  // it: the step caused them).
  auto power = [&](uint32_t until) {
    for (; next < happenings.size() && happenings[next].tick < until; ++next) {
      const Happening& e = happenings[next];
      if (e.kind != "power") continue;
      if (IsCut(e.text)) {
        if (stopPeriod(e.tick)) periods.back().cut = true;
        dark = true;
      } else if (IsRestart(e.text)) {
        dark = false;
      } else if (IsBootTimeshift(e.text)) {
        startPeriod(e.tick);
      }
    }
  };
  for (const Step& st : sc.steps) {
    if (st.stage == Stage::Expect) continue;
    uint32_t at = st.tick;
    power(at);
    auto pk = std::make_pair(st.n[0], st.n[1]);
    switch (st.op) {
      case Op::Channel:
        cut(at);
        channels[pk] = Printable(st.s[0].data(), st.s[0].size());
        begin(at);
        break;
      case Op::Event:
        cut(at);
        if (st.n[2])
          events.erase(pk);
        else
          events[pk] = Printable(st.s[0].data(), st.s[0].size());
        begin(at);
        break;
      case Op::Tune:
        cut(at);
        tuned = pk;
        begin(at);
        break;
      case Op::TimeshiftStart:
        if (!dark) startPeriod(at);
        break;
      case Op::TimeshiftStop:
        if (!dark) stopPeriod(at);
        break;
      default:
        break;
    }
  }
  power(~0u);
  if (recording) cut(end);
  // Runs of no length (two changes at one time) say nothing.
  for (Period& p : periods)
    p.runs.erase(
        std::remove_if(p.runs.begin(), p.runs.end(), [](const Run& r) { return r.to <= r.from; }),
        p.runs.end());
  return periods;
}

// The save that closed each period, and the programme its name carries.
void MatchSaves(std::vector<Period>& periods, const std::vector<Happening>& happenings) {
  for (size_t i = 0; i < periods.size(); ++i) {
    Period& p = periods[i];
    // A save at the next period's first moment is still this one's: a new
    // buffer is never saved as it begins (the receiver may start one with
    // itself as the plug-in finishes a save that a power cut interrupted).
    uint32_t until = i + 1 < periods.size() ? periods[i + 1].from : ~0u;
    for (const Happening& h : happenings) {
      if (h.kind != "save" || h.tick < p.to || h.tick > until || p.open) continue;
      size_t arrow = h.text.find(" \xE2\x86\x92 ");
      if (arrow == std::string::npos) continue;
      p.savedFrom = h.text.substr(0, arrow);
      p.savedAs = h.text.substr(arrow + 5);
      break;
    }
    // The longest-named match wins: "Film" in "[Two]Film.rec" before "F".
    size_t best = 0;
    for (const Run& r : p.runs) {
      if (p.savedAs.empty() || r.programme.empty()) continue;
      if (p.savedAs.find(r.programme) == std::string::npos) continue;
      size_t score = r.programme.size() +
                     (p.savedAs.find(r.channel) != std::string::npos ? r.channel.size() : 0);
      if (score > best) {
        best = score;
        p.chosen = Key(r);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// The page.

const char kStyle[] = R"(
body{font:14px/1.45 "DejaVu Sans",Verdana,sans-serif;margin:0;background:#f4f5f7;color:#1d2330}
header{background:#1d2b45;color:#fff;padding:14px 24px;display:flex;align-items:center;gap:18px;
flex-wrap:wrap}
header h1{font-size:20px;margin:0;font-weight:600}
header .file{opacity:.75;font-family:"DejaVu Sans Mono",monospace;font-size:13px}
.badge{border-radius:12px;padding:3px 12px;font-weight:700;font-size:13px;margin-left:auto}
.pass{background:#2e9d5b;color:#fff}.fail{background:#d2383f;color:#fff}
.copy{background:#f2b01e;color:#1d2330;border-radius:12px;padding:3px 12px;font-size:13px}
main{padding:8px 24px 24px}
section{background:#fff;border-radius:8px;box-shadow:0 1px 3px rgba(0,0,0,.12);margin:14px 0;
padding:12px 18px}
section.failed{border-left:6px solid #d2383f}
h2{font-size:16px;margin:2px 0 10px;color:#1d2b45}
table{border-collapse:collapse}
td,th{padding:3px 10px 3px 0;vertical-align:top;text-align:left}
th{font-weight:600;color:#4a5468}
.mono,.t{font-family:"DejaVu Sans Mono",monospace;font-size:12.5px}
.t{color:#4a5468;white-space:nowrap}
.ident th{width:110px}.ident td{white-space:pre-line}
.lanes{position:relative;margin:4px 12px 0 130px}
.lane{position:relative;height:30px;border-bottom:1px solid #eceef2}
.lane .name{position:absolute;left:-130px;width:108px;top:6px;font-size:12px;color:#4a5468;
text-align:right}
.bar{position:absolute;top:4px;height:22px;border-radius:4px;overflow:hidden;white-space:nowrap;
text-overflow:ellipsis;
font-size:11.5px;line-height:22px;padding:0 4px;box-sizing:border-box;color:#fff;min-width:2px}
.ts{background:#5b6b8c}.dark{background:#2a2a2a}
.chosen{outline:3px solid #f2b01e;outline-offset:-3px;font-weight:700}
.md-0{background:#9aa3b5}.md-1{background:#c9ced8;color:#1d2330}.md-2{background:#5b6b8c}
.md-3{background:#3a7bd5}.md-4{background:#2e9d5b}.md-end{background:#000}.md-off{background:#2a2a2a}
.mark{position:absolute;width:20px;height:20px;margin-left:-10px;border-radius:50%;
font-size:12px;line-height:20px;text-align:center;color:#fff;font-weight:700;text-decoration:none}
.m-save{background:#2e9d5b}.m-expiry{background:#d2383f}.m-rename{background:#3a7bd5}
.m-removed{background:#9a5bd5}.m-screen{background:#1d2b45}.m-pass-through{background:#3a7bd5}
.m-clear{background:#fff;color:#1d2b45;border:2px solid #1d2b45;box-sizing:border-box;line-height:16px}
.m-fault{background:#e07b16;border-radius:3px;transform:rotate(45deg)}
.m-fault span{display:inline-block;transform:rotate(-45deg)}
.m-power{background:#2a2a2a;color:#f2d21e}.m-restart{background:#fff;color:#2a2a2a;
border:2px solid #2a2a2a;box-sizing:border-box;line-height:16px}
.m-exit{background:#000}
.m-pass{background:#2e9d5b;width:10px;margin-left:-5px;border-radius:2px;font-size:9px}
.m-fail{background:#d2383f;width:16px;margin-left:-8px;border-radius:3px;z-index:2;
box-shadow:0 0 0 2px #fff}
.axis{position:relative;height:20px;font-size:11px;color:#6b7487}
.axis span{position:absolute;transform:translateX(-50%)}
.legend{font-size:12px;color:#4a5468;margin-top:6px;line-height:26px}
.legend .mark{position:relative;display:inline-block;margin:0 3px 0 12px;vertical-align:middle}
.share{display:inline-block;height:10px;background:#3a7bd5;border-radius:2px;vertical-align:middle}
.star{color:#d99a00;font-weight:700}
.kind{display:inline-block;min-width:62px;text-align:center;border-radius:4px;font-size:11.5px;
padding:0 5px;color:#fff;background:#7a8499}
.k-save{background:#2e9d5b}.k-expiry{background:#d2383f}.k-rename{background:#3a7bd5}
.k-removed{background:#9a5bd5}.k-screen{background:#1d2b45}.k-fault{background:#e07b16}
.k-armed{background:#b9a27a}.k-fail{background:#d2383f}.k-power{background:#2a2a2a}
.k-exit{background:#000}.k-action{background:#5b6b8c}.k-event{background:#7a6b3a}
.shot{display:flex;gap:14px;align-items:flex-start;margin:4px 0;flex-wrap:wrap}
.shot img{width:360px;border:1px solid #c9ced8;border-radius:3px;background:#000}
.shot pre{margin:0;font-size:12px;white-space:pre-wrap}
.res-pass{color:#2e9d5b;font-weight:700}.res-fail{color:#d2383f;font-weight:700}
.failure{margin:8px 0 12px}.failure .what{font-family:"DejaVu Sans Mono",monospace;
font-size:12.5px;font-weight:700}
pre.instead{background:#fbeaea;border-radius:4px;padding:6px 10px;margin:4px 0;font-size:12px;
white-space:pre-wrap;word-break:break-all}
details summary{cursor:pointer;font-weight:600;color:#1d2b45}
details pre{font-size:12px;overflow-x:auto}
pre .tl-fail{background:#fbeaea;color:#b0262d;font-weight:700}
pre .tl-fault{color:#b35a00;font-weight:700}pre .tl-power{background:#eee;font-weight:700}
)";

const char* const kPalette[] = {"#3a7bd5", "#2e9d5b", "#c0603a", "#8a4fc2",
                                "#1a9aa0", "#b5465e", "#6f7f23", "#c08a12"};

// A marker of a lane, before it is laid out.
struct Mark {
  uint32_t tick;
  std::string cls;     // m-...
  std::string symbol;  // HTML
  std::string title;   // text
  std::string href;    // "" or "#..."
  int weight = 0;      // of two marks merged, the heavier shows: a failure over a pass
  int count = 1;
};

// The lane's width in pixels when the page is 800 pixels wide (the page's
// margins, the lane names and a scroll bar taken off), and the room a marker
// needs there.
constexpr double kLanePixelsAt800 = 555;
constexpr double kMarkPixels = 22;
constexpr size_t kMaxRows = 4;

// Lays the marks of one lane out and draws them. Every mark stands exactly
// at its time; one that would touch the mark before it in a row, on a page
// 800 pixels wide, goes one row down, so that at every width from 800 pixels
// the marks read from left to right in time order and none hides another.
// When all rows are taken, a mark joins the last one of the lowest row
// (which then counts them, and shows the heavier).
std::string DrawMarks(std::vector<Mark> marks, uint32_t total, int& rows) {
  std::stable_sort(marks.begin(), marks.end(),
                   [](const Mark& a, const Mark& b) { return a.tick < b.tick; });
  std::vector<std::vector<Mark>> row;
  std::vector<double> lastX;
  for (const Mark& m : marks) {
    double x = double(m.tick) / double(total) * kLanePixelsAt800;
    size_t r = 0;
    while (r < lastX.size() && x - lastX[r] < kMarkPixels) ++r;
    if (r == lastX.size() && r < kMaxRows) {
      row.emplace_back();
      lastX.push_back(-1e9);
    }
    if (r < lastX.size()) {
      row[r].push_back(m);
      lastX[r] = x;
      continue;
    }
    Mark& into = row.back().back();
    into.title += "\n" + m.title;
    ++into.count;
    if (m.weight > into.weight) {
      into.cls = m.cls;
      into.href = m.href;
      into.weight = m.weight;
    }
    into.symbol = std::to_string(into.count);
  }
  rows = int(std::max<size_t>(row.size(), 1));
  std::string h;
  for (size_t r = 0; r < row.size(); ++r)
    for (const Mark& m : row[r]) {
      std::string tag = m.href.empty() ? "div" : "a";
      h += "<" + tag + " class=\"mark " + m.cls + "\" style=\"left:" + Percent(m.tick, total) +
           ";top:" + std::to_string(5 + 24 * r) + "px\" data-t=\"" + std::to_string(m.tick) +
           "\" title=\"" + HtmlEscape(m.title) + "\"" +
           (m.href.empty() ? "" : " href=\"" + m.href + "\"") + ">" + m.symbol + "</" + tag + ">";
    }
  return h;
}

std::string Lane(const char* name, const std::string& inside, int rows) {
  return "<div class=\"lane\" style=\"height:" + std::to_string(std::max(30, 6 + 24 * rows)) +
         "px\"><div class=\"name\">" + name + "</div>" + inside + "</div>\n";
}

const char* Symbol(const std::string& kind) {
  if (kind == "save") return "S";
  if (kind == "expiry") return "&#x2715;";
  if (kind == "rename") return "R";
  if (kind == "removed") return "&#x2212;";
  if (kind == "screen") return "&#x25A3;";
  if (kind == "exit") return "E";
  if (kind == "fault") return "<span>!</span>";
  return "!";
}

const char* ModeName(int mode) {
  switch (mode) {
    case 0:
      return "Startup";
    case 1:
      return "Idle";
    case 2:
      return "Timeshifting";
    case 3:
      return "Filehandler";
    case 4:
      return "FileChecker";
    case kModeEnded:
      return "ended";
    case kModeOff:
      return "no power";
    default:
      return "unknown";
  }
}

std::string ModeClass(int mode) {
  if (mode == kModeEnded) return "md-end";
  if (mode == kModeOff) return "md-off";
  return "md-" + std::to_string(mode >= 0 && mode <= 4 ? mode : 0);
}

bool IsPlayerLine(const std::string& kind) {
  return kind == "action" || kind == "event" || kind == "start" || kind == "expect" ||
         kind == "disk";
}

void NoteDiskChanges();

// The mode machine's state now, when the report knows where it lies.
void SampleMode() {
  State& g = G();
  if (!g.mode) return;
  int now = g.powerOff ? kModeOff : sim_exited() ? kModeEnded : int(*g.mode);
  if (!g.modes.empty() && g.modes.back().mode == now) return;
  // From Timeshifting (or a waiting Filehandler) straight to Idle: the step
  // went through Filehandler and FileChecker.
  if (!g.modes.empty() && now == 1 && (g.modes.back().mode == 2 || g.modes.back().mode == 3))
    g.passes.push_back(sim_ticks());
  g.modes.push_back({sim_ticks(), now});
}

std::string Verdict(const std::vector<Outcome>& outcomes, int status, const std::string& stopped,
                    int& passed, int& failed) {
  passed = failed = 0;
  for (const Outcome& o : outcomes) o.pass ? ++passed : ++failed;
  std::string counts = std::to_string(passed) + " passed, " + std::to_string(failed) + " failed";
  if (!stopped.empty()) return stopped + "; " + counts;
  if (status == 2) return "the run stopped: bad scenario step or plug-in; " + counts;
  return counts;
}

}  // namespace

std::string HtmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool HtmlReportPrepare(const std::string& path, const std::string& scenarioFile,
                       std::string& error) {
  std::string page =
      "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>tapsim: " +
      HtmlEscape(scenarioFile) + "</title></head><body>\n<h1>tapsim has not finished the run of " +
      HtmlEscape(scenarioFile) +
      "</h1>\n<p>This page takes the place of the report until the run ends. If it is still here "
      "after the run, tapsim was stopped before it could write the report.</p>\n</body></html>\n";
  FILE* f = fopen(path.c_str(), "wb");
  bool ok = f && fwrite(page.data(), 1, page.size(), f) == page.size();
  if (f && fclose(f) != 0) ok = false;
  if (!ok) error = "cannot write the report " + path + ": " + strerror(errno);
  return ok;
}

void HtmlReportStart(const char* pluginPath, const TapInfo& info, const Scenario& scenario,
                     const std::string& disk, const std::string& diskFrom,
                     const std::string& ownScreens) {
  State& g = G();
  g = State();
  g.active = true;
  g.plugin = pluginPath;
  g.info = info;
  g.scenario = &scenario;
  g.disk = disk;
  g.diskFrom = diskFrom;
  g.ownScreens = ownScreens;
  g.dropScreens = !ownScreens.empty();
  // A fault the scenario sets up is listed where it stands; the page marks
  // it in the time line when it makes a call fail.
  for (const Step& st : scenario.steps)
    if (st.text.compare(0, 5, "fail ") == 0)
      g.happenings.push_back({st.tick, "armed", "set up: " + st.text, -1});
}

void HtmlReportPluginLoaded(void* handle) {
  State& g = G();
  if (!g.active) return;
  g.mode = nullptr;
  struct link_map* map = nullptr;
  if (g.info.modeVariable == 0 || !handle || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map)
    return;
  g.mode = reinterpret_cast<const volatile uint32_t*>(map->l_addr + g.info.modeVariable);
  SampleMode();
}

void HtmlReportStopped(const std::string& why) {
  G().stopped = why;
}

bool HtmlReportActive() {
  return G().active;
}

bool HtmlReportLine(const char* kind, const std::string& text) {
  State& g = G();
  if (!g.active) return true;
  uint32_t now = sim_ticks();
  std::string k = kind;
  bool shown = true;
  if (k == "screen") {
    Screen s;
    s.tick = now;
    s.png = ReadWhole(text);
    if (g.dropScreens) unlink(text.c_str());
    const char* texts = sim_screen_texts();
    s.texts = Lines(texts);
    s.empty = sim_screen_empty() != 0;
    g.screens.push_back(std::move(s));
    g.happenings.push_back(
        {now, "screen",
         g.screens.back().empty ? "the screen is clear again" : "the plug-in shows a window",
         int(g.screens.size() - 1)});
    g.lines.push_back({now, k, g.dropScreens ? "(in this page)" : text});
    shown = !g.dropScreens;
  } else if (k == "event" && g.causeLine < g.lines.size()) {
    // The plug-in answered before the runner could tell what it was sent.
    uint32_t sent = std::min(now, g.lines[g.causeLine].tick);
    g.lines.insert(g.lines.begin() + long(g.causeLine), Line{sent, k, text});
    g.happenings.insert(g.happenings.begin() + long(g.causeHappening),
                        Happening{sent, k, text, -1});
  } else {
    g.lines.push_back({now, k, text});
    bool cut = k == "power" && IsCut(text);
    // What the plug-in's step did to the folders before the power went
    // belongs before the cut (the player looks only after the step).
    if (cut && g.baseline) {
      gTouched = 1;
      NoteDiskChanges();
    }
    if (k == "action" || k == "event" || k == "exit" || k == "fault" || k == "power")
      g.happenings.push_back({now, k, text, -1});
    if (k == "power") {
      if (cut || IsRestart(text)) g.powerOff = cut;
      SampleMode();
      // The instance that ran before the cut never runs again: its state is
      // read no more, until the next load tells where the new one keeps it.
      if (cut) g.mode = nullptr;
    } else if (k == "expect") {
      g.happenings.push_back({now, "fail", text, -1});
      g.failedAt[{now, text}] = g.lines.size() - 1;
    }
  }
  if (IsPlayerLine(k)) {
    g.causeLine = g.lines.size();
    g.causeHappening = g.happenings.size();
  }
  return shown;
}

namespace {

// Notes what changed in the two folders since the last look, as happenings
// of now.
void NoteDiskChanges() {
  State& g = G();
  uint32_t now = sim_ticks();
  if (!DiskTouched()) return;
  std::set<std::string> cur[2];
  bool changed = false;
  for (int f = 0; f < 2; ++f) {
    std::string stamp = Stamp(kReportFolders[f]);
    if (stamp == g.stamp[f]) {
      cur[f] = g.seen[f];
      continue;
    }
    g.stamp[f] = stamp;
    cur[f] = Streams(kReportFolders[f]);
    changed = changed || cur[f] != g.seen[f];
  }
  if (!changed) return;
  auto minus = [](const std::set<std::string>& a, const std::set<std::string>& b) {
    std::vector<std::string> out;
    for (const std::string& x : a)
      if (!b.count(x)) out.push_back(x);
    return out;
  };
  std::vector<std::string> goneTs = minus(g.seen[0], cur[0]), newTs = minus(cur[0], g.seen[0]);
  std::vector<std::string> goneSave = minus(g.seen[1], cur[1]), newSave = minus(cur[1], g.seen[1]);
  const char* arrow = " \xE2\x86\x92 ";
  auto firstName = [&](const std::string& name) {
    auto it = g.renamedFrom.find(name);
    return it == g.renamedFrom.end() ? name : it->second;
  };
  // What a step did, in the order it did it: renames in the timeshift folder
  // come before the move into Save, and the move before the expiry.
  std::vector<Happening> found;
  // A buffer that left the timeshift folder as a new entry of Save was saved.
  std::vector<Happening> saves;
  for (const std::string& saved : newSave) {
    std::string from;
    auto same = std::find(goneTs.begin(), goneTs.end(), saved);
    if (same != goneTs.end()) {
      from = *same;
      goneTs.erase(same);
    } else if (!goneTs.empty()) {
      from = goneTs.front();
      goneTs.erase(goneTs.begin());
    }
    if (from.empty())
      saves.push_back({now, "save", "new in Save: " + saved, -1});
    else
      saves.push_back({now, "save", firstName(from) + arrow + saved, -1});
  }
  // Renamed in place: one gone, one new in the timeshift folder, while the
  // buffer was not just started (a new buffer comes with an action).
  while (!goneTs.empty() && !newTs.empty()) {
    g.renamedFrom[newTs.front()] = firstName(goneTs.front());
    found.push_back({now, "rename", goneTs.front() + arrow + newTs.front(), -1});
    goneTs.erase(goneTs.begin());
    newTs.erase(newTs.begin());
  }
  found.insert(found.end(), saves.begin(), saves.end());
  for (const std::string& gone : goneTs)
    found.push_back({now, "removed", gone + " left /DataFiles/TimeShift", -1});
  for (const std::string& gone : goneSave)
    found.push_back({now, "expiry", gone + " deleted from Save", -1});
  g.happenings.insert(g.happenings.end(), found.begin(), found.end());
  g.seen[0] = cur[0];
  g.seen[1] = cur[1];
}

}  // namespace

void HtmlReportDiskStep() {
  State& g = G();
  if (!g.active) return;
  g.causeLine = g.lines.size();
  g.causeHappening = g.happenings.size();
  SampleMode();
  if (!g.baseline) {
    // The disk as the scenario laid it out: nothing the plug-in did.
    g.baseline = true;
    WatchStart();
    for (int f = 0; f < 2; ++f) {
      g.stamp[f] = Stamp(kReportFolders[f]);
      g.seen[f] = Streams(kReportFolders[f]);
    }
    return;
  }
  NoteDiskChanges();
}

bool HtmlReportWrite(const std::string& path, const std::vector<Outcome>& outcomes, int status,
                     std::string& error) {
  State& g = G();
  if (!g.active) return true;
  HtmlReportDiskStep();
  WatchStop();
  // The report's own screen folder goes, also after a crash: each screen
  // was removed once read, but a crash may have cut one short.
  if (!g.ownScreens.empty()) {
    if (DIR* d = opendir(g.ownScreens.c_str())) {
      while (struct dirent* e = readdir(d))
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
          unlinkat(dirfd(d), e->d_name, 0);
      closedir(d);
    }
    rmdir(g.ownScreens.c_str());
  }
  const Scenario& sc = *g.scenario;
  uint32_t end = std::max<uint32_t>(sc.endTick, sim_ticks());
  for (const Line& l : g.lines) end = std::max(end, l.tick);
  uint32_t total = std::max<uint32_t>(end, 100);
  std::vector<Happening> happenings = g.happenings;
  std::stable_sort(happenings.begin(), happenings.end(),
                   [](const Happening& a, const Happening& b) { return a.tick < b.tick; });
  std::vector<Period> periods = Periods(sc, happenings, end);
  MatchSaves(periods, happenings);

  int passed = 0, failed = 0;
  std::string verdict = Verdict(outcomes, status, g.stopped, passed, failed);
  bool good = status == 0 && failed == 0 && g.stopped.empty();
  const std::string scenarioName = HtmlEscape(sc.file);

  // The whole time line as the terminal folds it; each line shown keeps an
  // anchor, so that a failure can point at its place.
  std::vector<LineFolder::Shown> shown;
  {
    LineFolder folder;
    for (const Line& l : g.lines) folder.Add(l.tick, l.kind, l.text, shown);
    folder.Flush(shown);
  }
  auto timeLineLink = [&](const Outcome& o) -> std::string {
    auto it = g.failedAt.find({o.tick, o.text + "  FAIL"});
    return it == g.failedAt.end() ? "" : "#tl-" + std::to_string(it->second);
  };

  std::string h;
  h += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n"
       "<meta name=\"viewport\" content=\"width=device-width\">\n<title>tapsim: " +
       scenarioName + "</title>\n<style>" + kStyle + "</style></head><body>\n";
  h += "<header><h1>" +
       HtmlEscape(Printable(g.info.programName.data(), g.info.programName.size())) +
       " in the simulated receiver</h1><span class=\"file\">" + scenarioName + "</span>";
  if (!g.diskFrom.empty())
    h += "<span class=\"copy\">played over a copy of " + HtmlEscape(g.diskFrom) + "</span>";
  h += "<span class=\"badge " + std::string(good ? "pass" : "fail") + "\">" + HtmlEscape(verdict) +
       "</span></header>\n<main>\n";

  // What failed, first: each failure with what was there instead.
  if (!good) {
    h += "<section class=\"failed\" id=\"failed\"><h2>What failed</h2>\n";
    if (!g.stopped.empty())
      h += "<p class=\"failure what\">" + HtmlEscape(g.stopped) +
           ". The page shows the run up to that moment; the expectations after it were not "
           "checked.</p>\n";
    else if (status == 2)
      h += "<p class=\"failure what\">The run stopped at a scenario step that the simulated "
           "receiver refused, or the plug-in could not be started (tapsim's message on stderr "
           "says which).</p>\n";
    int n = 0;
    for (const Outcome& o : outcomes) {
      if (o.pass) continue;
      std::string link = timeLineLink(o);
      h += "<div class=\"failure\" id=\"fail-" + std::to_string(++n) +
           "\"><div><span class=\"t\">" + TimeText(o.tick) + "</span> &#xB7; <span class=\"t\">" +
           HtmlEscape(sc.file) + ":" + std::to_string(o.line) +
           "</span> &#xB7; <span class=\"what\">" +
           HtmlEscape(Printable(o.text.data(), o.text.size())) +
           "</span> <span class=\"res-fail\">FAIL</span>" +
           (link.empty() ? "" : " &#xB7; <a href=\"" + link + "\">in the time line</a>") +
           "</div>\n";
      if (!o.detail.empty())
        h += "<pre class=\"instead\">Instead: " + HtmlEscape(o.detail) + "</pre>";
      h += "</div>\n";
    }
    h += "</section>\n";
  }

  // Identification block.
  auto row = [&](const char* name, const std::string& value) {
    h += "<tr><th>" + std::string(name) + "</th><td>" + HtmlEscape(value) + "</td></tr>\n";
  };
  char id[32];
  snprintf(id, sizeof id, "0x%08X", g.info.id);
  std::string build = "not told (the file has no Brantlow build note)";
  if (!g.info.buildKind.empty())
    build = Printable(g.info.buildKind.data(), g.info.buildKind.size()) +
            (g.info.buildKind == "plain"        ? " (writes no trace lines)"
             : g.info.buildKind == "diagnostic" ? " (writes every trace line)"
                                                : "") +
            ", version " + Printable(g.info.version.data(), g.info.version.size());
  h += "<section><h2>Plug-in</h2><table class=\"ident\">\n";
  row("File", g.plugin);
  row("Program", Printable(g.info.programName.data(), g.info.programName.size()));
  row("Description", Lines(g.info.description));
  row("Author", Printable(g.info.author.data(), g.info.author.size()));
  row("Build date", Printable(g.info.buildDate.data(), g.info.buildDate.size()));
  row("Id", id);
  row("Header", "TFAPMIPS version " + std::to_string(g.info.headerVersion));
  row("Machine", g.info.machineName);
  row("Build", build);
  row("Build id", g.info.buildId.empty() ? "none" : g.info.buildId);
  row("Scenario", sc.file + " (" + Clock(sc.endTick) + ")");
  row("Disk", g.disk);
  if (!g.diskFrom.empty())
    row("Disk from", g.diskFrom + " (copied onto the disk before power-on; only read)");
  h += "</table></section>\n";

  // The evening to scale.
  std::map<std::string, std::string> colour;
  for (const Period& p : periods)
    for (const Run& r : p.runs)
      if (!colour.count(r.programme)) colour[r.programme] = kPalette[colour.size() % 8];
  h += "<section><h2>The evening at a glance</h2>\n<div class=\"lanes\">\n";
  std::string bars;
  for (const Period& p : periods)
    bars += "<div class=\"bar ts\" style=\"left:" + Percent(p.from, total) +
            ";width:" + Percent(p.to - p.from, total) + "\" title=\"" + Clock(p.from) + " to " +
            Clock(p.to) + "\">buffer " + Minutes(p.to - p.from) + "</div>";
  h += Lane("Timeshift", bars, 1);
  bars.clear();
  for (const Period& p : periods)
    for (const Run& r : p.runs) {
      bool chosen = Key(r) == p.chosen;
      bars +=
          "<div class=\"bar" + std::string(chosen ? " chosen" : "") +
          "\" style=\"left:" + Percent(r.from, total) + ";width:" + Percent(r.to - r.from, total) +
          ";background:" + colour[r.programme] + "\" title=\"" +
          HtmlEscape(r.channel + ": " + r.programme + ", " + Clock(r.from) + " to " + Clock(r.to)) +
          "\">" + (chosen ? "&#x2605; " : "") + HtmlEscape(r.programme) + "</div>";
    }
  h += Lane("Watched", bars, 1);

  // The mode machine, as sampled after each step.
  int rows = 1;
  if (!g.modes.empty()) {
    bars.clear();
    for (size_t i = 0; i < g.modes.size(); ++i) {
      const ModeSample& m = g.modes[i];
      uint32_t to = i + 1 < g.modes.size() ? g.modes[i + 1].tick : end;
      // The name begins right of a pass's mark at its left end.
      bool marked = std::find(g.passes.begin(), g.passes.end(), m.tick) != g.passes.end();
      bars += "<div class=\"bar " + ModeClass(m.mode) + "\" style=\"" +
              (marked ? "padding-left:13px;" : "") + "left:" + Percent(m.tick, total) +
              ";width:" + Percent(to - m.tick, total) + "\" title=\"" + ModeName(m.mode) + ", " +
              Clock(m.tick) + " to " + Clock(to) + "\">" + ModeName(m.mode) + "</div>";
    }
    std::vector<Mark> marks;
    for (uint32_t t : g.passes)
      marks.push_back({t, "m-pass-through", "F",
                       Clock(t) + " Filehandler and FileChecker: the folder pass and the expiry "
                                  "pass, within one step",
                       "", 0, 1});
    bars += DrawMarks(marks, total, rows);
    h += Lane("Mode", bars, 1);
  } else {
    h += Lane("Mode",
              "<div class=\"bar\" style=\"left:0;width:100%;background:none;color:#6b7487\">"
              "not known: the plug-in file has no symbol table (the receiver's files are "
              "stripped)</div>",
              1);
  }

  // Power cuts and restarts, when the scenario has them: dark from each cut
  // to the receiver's next start.
  std::vector<Mark> powerMarks;
  bars.clear();
  uint32_t cutAt = 0;
  bool dark = false;
  auto darkBar = [&](uint32_t from, uint32_t to) {
    bars += "<div class=\"bar dark\" style=\"left:" + Percent(from, total) +
            ";width:" + Percent(to - from, total) + "\" title=\"no power, " + Clock(from) + " to " +
            Clock(to) + "\"></div>";
  };
  // (The buffer the firmware starts with the receiver is the Timeshift
  // lane's.)
  for (const Happening& e : happenings) {
    if (e.kind != "power") continue;
    bool restart = IsRestart(e.text);
    if (!restart && !IsCut(e.text)) continue;
    if (restart && dark) darkBar(cutAt, e.tick);
    if (!restart) {
      cutAt = e.tick;
      dark = true;
    } else {
      dark = false;
    }
    powerMarks.push_back({e.tick, restart ? "m-restart" : "m-power",
                          restart ? "&#x21BB;" : "&#x26A1;", Clock(e.tick) + " " + e.text, "", 0,
                          1});
  }
  if (dark) darkBar(cutAt, end);
  if (!powerMarks.empty()) {
    std::string marks = DrawMarks(powerMarks, total, rows);
    h += Lane("Power", bars + marks, rows);
  }

  struct LaneDef {
    const char* name;
    std::vector<const char*> kinds;
  };
  const LaneDef lanes[] = {{"Saved, expired", {"save", "rename", "removed", "expiry"}},
                           {"Screen", {"screen"}},
                           {"Faults, exit", {"fault", "exit"}}};
  for (const LaneDef& lane : lanes) {
    std::vector<Mark> marks;
    for (const Happening& e : happenings)
      if (std::find_if(lane.kinds.begin(), lane.kinds.end(),
                       [&](const char* k) { return e.kind == k; }) != lane.kinds.end()) {
        std::string cls = e.screen >= 0 && g.screens[size_t(e.screen)].empty ? "clear" : e.kind;
        marks.push_back({e.tick, "m-" + cls, Symbol(e.kind), Clock(e.tick) + " " + e.text, "",
                         e.kind == "fault" ? 1 : 0, 1});
      }
    std::string drawn = DrawMarks(marks, total, rows);
    h += Lane(lane.name, drawn, rows);
  }
  // Expectations: those checked at one moment share a mark, red with a link
  // to the first failure when any of them failed.
  {
    std::vector<Mark> marks;
    int n = 0;
    for (const Outcome& o : outcomes) {
      std::string title = Clock(o.tick) + " line " + std::to_string(o.line) + ": " +
                          Printable(o.text.data(), o.text.size()) + (o.pass ? " PASS" : " FAIL");
      std::string href = o.pass ? "" : "#fail-" + std::to_string(++n);
      if (!marks.empty() && marks.back().tick == o.tick) {
        Mark& m = marks.back();
        m.title += "\n" + title;
        ++m.count;
        if (!o.pass && m.weight == 0) {
          m.cls = "m-fail";
          m.href = href;
          m.weight = 2;
        }
        continue;
      }
      marks.push_back({o.tick, o.pass ? "m-pass" : "m-fail", "", title, href, o.pass ? 0 : 2, 1});
    }
    for (Mark& m : marks) m.symbol = m.weight ? "&#x2717;" : "";
    std::string drawn = DrawMarks(marks, total, rows);
    h += Lane("Expectations", drawn, rows);
  }
  h += "<div class=\"axis\">";
  static const uint32_t kSteps[] = {100,         200,         500,         100 * 10,    100 * 60,
                                    100 * 300,   100 * 900,   100 * 1800,  100 * 3600,  100 * 7200,
                                    100 * 21600, 100 * 43200, 100 * 86400, 100 * 604800};
  uint32_t step = kSteps[sizeof kSteps / sizeof kSteps[0] - 1];
  for (uint32_t s : kSteps)
    if (total / s <= 10) {
      step = s;
      break;
    }
  for (uint64_t t = 0; t <= total; t += step)
    h += "<span style=\"left:" + Percent(t, total) + "\">" + Clock(uint32_t(t)) + "</span>";
  h += "</div></div>\n<div class=\"legend\"><span class=\"mark m-save\">S</span>saved"
       "<span class=\"mark m-rename\">R</span>renamed<span class=\"mark m-expiry\">&#x2715;"
       "</span>expired<span class=\"mark m-screen\">&#x25A3;</span>window shown"
       "<span class=\"mark m-clear\">&#x25A3;</span>screen clear"
       "<span class=\"mark m-pass-through\">F</span>folder and expiry pass"
       "<span class=\"mark m-fault\"><span>!</span></span>fault: a call failed on purpose"
       "<span class=\"mark m-power\">&#x26A1;</span>power cut"
       "<span class=\"mark m-restart\">&#x21BB;</span>receiver starts again"
       "<span class=\"mark m-pass\"></span>expectations held"
       "<span class=\"mark m-fail\">&#x2717;</span>an expectation failed"
       "<span class=\"star\"> &#x2605;</span> the programme the saved name carries</div>"
       "</section>\n";

  // Timeshift periods.
  h += "<section><h2>Timeshift periods</h2>\n";
  if (periods.empty()) h += "<p>No timeshift buffer in this scenario.</p>\n";
  for (size_t i = 0; i < periods.size(); ++i) {
    const Period& p = periods[i];
    h += "<h3 style=\"font-size:14px;margin:10px 0 4px\">Period " + std::to_string(i + 1) + ": " +
         Clock(p.from) + " to " + Clock(p.to) + (p.open ? " (still recording at the end)" : "") +
         (p.cut ? " (the power went)" : "") + ", " + Minutes(p.to - p.from) + "</h3>\n<table>\n";
    h += "<tr><th>from</th><th>to</th><th>channel</th><th>programme</th><th>watched</th>"
         "<th></th></tr>\n";
    for (const Run& r : p.runs) {
      bool chosen = Key(r) == p.chosen;
      h += "<tr><td class=\"t\">" + Clock(r.from) + "</td><td class=\"t\">" + Clock(r.to) +
           "</td><td>" + HtmlEscape(r.channel) + "</td><td>" +
           (chosen ? "<span class=\"star\">&#x2605;</span> <b>" : "") + HtmlEscape(r.programme) +
           (chosen ? "</b>" : "") + "</td><td>" + Minutes(r.to - r.from) +
           "</td><td><span class=\"share\" style=\"width:" +
           std::to_string(int(200.0 * (r.to - r.from) / std::max<uint32_t>(1, p.to - p.from))) +
           "px;background:" + colour[r.programme] + "\"></span></td></tr>\n";
    }
    h += "</table>\n<p>";
    if (!p.savedAs.empty())
      h += "Saved as <b class=\"mono\">" + HtmlEscape(p.savedAs) + "</b> (the buffer was <span " +
           "class=\"mono\">" + HtmlEscape(p.savedFrom) + "</span>)";
    else if (!p.open)
      h += "<b>No save</b> after this period.";
    h += "</p>\n";
  }
  h += "</section>\n";

  // Every happening, screens inline.
  h += "<section><h2>What happened</h2>\n<table>\n";
  for (const Happening& e : happenings) {
    h += "<tr><td class=\"t\">" + TimeText(e.tick) + "</td><td><span class=\"kind k-" + e.kind +
         "\">" + e.kind + "</span></td><td>";
    if (e.screen >= 0) {
      const Screen& s = g.screens[size_t(e.screen)];
      h += HtmlEscape(e.text);
      if (!s.empty && !s.png.empty())
        h += "<div class=\"shot\"><img alt=\"screen at " + TimeText(s.tick) +
             "\" src=\"data:image/png;base64," + Base64(s.png) + "\"><pre>" + HtmlEscape(s.texts) +
             "</pre></div>";
    } else {
      h += "<span class=\"mono\">" + HtmlEscape(e.text) + "</span>";
    }
    h += "</td></tr>\n";
  }
  h += "</table></section>\n";

  // The folders at the end.
  h += "<section><h2>Folders at the end</h2>\n";
  for (const char* folder : kReportFolders) {
    std::vector<FolderEntry> entries;
    int count = ReadFolder(folder, entries);
    h += "<h3 class=\"mono\" style=\"font-size:13px;margin:8px 0 4px\">" + HtmlEscape(folder);
    if (count < 0) {
      h += ": missing</h3>\n";
      continue;
    }
    h += " (" + std::to_string(count) + (count == 1 ? " entry" : " entries") + ")</h3>\n<table>\n";
    for (const FolderEntry& e : entries)
      h += "<tr><td class=\"mono\">" + HtmlEscape(e.name) + "</td><td class=\"t\" " +
           "style=\"text-align:right\">" + HtmlEscape(e.size) + "</td><td class=\"t\">" +
           HtmlEscape(e.date) + "</td></tr>\n";
    h += "</table>\n";
  }
  h += "</section>\n";

  // Expectations, each failure with what was there instead.
  h += "<section><h2>Expectations: " + HtmlEscape(verdict) + "</h2>\n<table>\n";
  for (const Outcome& o : outcomes) {
    h += "<tr><td class=\"t\">line " + std::to_string(o.line) + "</td><td class=\"t\">" +
         TimeText(o.tick) + "</td><td class=\"mono\">" +
         HtmlEscape(Printable(o.text.data(), o.text.size()));
    if (!o.pass && !o.detail.empty())
      h += "<pre class=\"instead\">Instead: " + HtmlEscape(o.detail) + "</pre>";
    h += "</td><td class=\"" + std::string(o.pass ? "res-pass\">PASS" : "res-fail\">FAIL") +
         "</td></tr>\n";
  }
  h += "</table></section>\n";

  // The whole time line, folded as the terminal folds it; open when
  // something failed.
  size_t lineCount = 0;
  for (const LineFolder::Shown& s : shown)
    if (!s.more) ++lineCount;
  h += "<section id=\"time-line\"><details" + std::string(good ? "" : " open") +
       "><summary>The whole time line (" + std::to_string(g.lines.size()) + " lines, " +
       std::to_string(lineCount) + " shown, alike log lines folded)</summary><pre>";
  for (const LineFolder::Shown& s : shown) {
    if (s.more) {
      h += HtmlEscape(std::string(22, ' ') + "... " + std::to_string(s.more) +
                      " more lines like the one above") +
           "\n";
      continue;
    }
    char lead[64];
    snprintf(lead, sizeof lead, "%11s  %-8s ", TimeText(s.tick).c_str(), s.kind.c_str());
    std::string cls = s.kind == "expect"  ? " class=\"tl-fail\""
                      : s.kind == "fault" ? " class=\"tl-fault\""
                      : s.kind == "power" ? " class=\"tl-power\""
                                          : "";
    h += "<span id=\"tl-" + std::to_string(s.index) + "\"" + cls + ">" + HtmlEscape(lead + s.text) +
         "</span>\n";
  }
  h += "</pre></details></section>\n</main></body></html>\n";

  FILE* f = fopen(path.c_str(), "wb");
  bool ok = f && fwrite(h.data(), 1, h.size(), f) == h.size();
  if (f && fclose(f) != 0) ok = false;
  if (!ok) {
    error = "cannot write the report " + path + ": " + strerror(errno);
    return false;
  }
  return true;
}

}  // namespace tapsim
