// The HTML report. While the scenario plays it keeps the time-line lines,
// the screens (read as soon as they are written) and the changes of the two
// timeshift folders; at the end it writes one page that needs nothing else.
#include "sim/tapsim/html_report.h"

#include <errno.h>
#include <fcntl.h>
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
  std::string kind;  // "save", "rename", "expiry", "removed", "action", "event", "fault", "exit",
                     // "screen", "fail"
  std::string text;
  int screen = -1;  // index into screens
};

struct State {
  bool active = false;
  std::string plugin;
  TapInfo info;
  const Scenario* scenario = nullptr;
  std::string disk;
  bool dropScreens = false;
  std::vector<Line> lines;
  std::vector<Screen> screens;
  std::vector<Happening> happenings;
  // The timeshift folders as last seen: stream names, and the folders'
  // change stamps that tell when to look again.
  std::set<std::string> seen[2];
  std::string stamp[2];
  std::map<std::string, std::string> renamedFrom;  // new name -> the buffer's first name
  bool baseline = false;
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

// ---------------------------------------------------------------------------
// What the scenario itself tells: the timeshift periods and what was on
// screen during them.

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
};

std::string Key(const Run& r) {
  return r.channel + "\x1f" + r.programme;
}

std::vector<Period> Periods(const Scenario& sc, uint32_t end) {
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
  for (const Step& st : sc.steps) {
    if (st.stage == Stage::Expect) continue;
    uint32_t at = st.tick;
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
        if (recording) break;
        periods.push_back(Period{at, end, true, {}, "", "", ""});
        recording = true;
        begin(at);
        break;
      case Op::TimeshiftStop:
        if (!recording) break;
        cut(at);
        periods.back().to = at;
        periods.back().open = false;
        recording = false;
        break;
      default:
        break;
    }
  }
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
    uint32_t until = i + 1 < periods.size() ? periods[i + 1].from : ~0u;
    for (const Happening& h : happenings) {
      if (h.kind != "save" || h.tick < p.to || h.tick >= until || p.open) continue;
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
header{background:#1d2b45;color:#fff;padding:14px 24px;display:flex;align-items:center;gap:18px}
header h1{font-size:20px;margin:0;font-weight:600}
header .file{opacity:.75;font-family:"DejaVu Sans Mono",monospace;font-size:13px}
.badge{border-radius:12px;padding:3px 12px;font-weight:700;font-size:13px;margin-left:auto}
.pass{background:#2e9d5b;color:#fff}.fail{background:#d2383f;color:#fff}
main{padding:8px 24px 24px}
section{background:#fff;border-radius:8px;box-shadow:0 1px 3px rgba(0,0,0,.12);margin:14px 0;
padding:12px 18px}
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
font-size:11.5px;line-height:22px;padding:0 4px;box-sizing:border-box;color:#fff}
.ts{background:#5b6b8c}
.chosen{outline:3px solid #f2b01e;outline-offset:-3px;font-weight:700}
.mark{position:absolute;top:5px;width:20px;height:20px;margin-left:-10px;border-radius:50%;
font-size:12px;line-height:20px;text-align:center;color:#fff;font-weight:700}
.m-save{background:#2e9d5b}.m-expiry{background:#d2383f}.m-rename{background:#3a7bd5}
.m-removed{background:#9a5bd5}.m-screen{background:#1d2b45}
.m-clear{background:#fff;color:#1d2b45;border:2px solid #1d2b45;box-sizing:border-box;line-height:16px}.m-fault{background:#e07b16}
.m-exit{background:#000}.m-pass{background:#2e9d5b;width:6px;border-radius:2px;margin-left:-3px}
.m-fail{background:#d2383f;width:8px;border-radius:2px;margin-left:-4px}
.axis{position:relative;height:20px;font-size:11px;color:#6b7487}
.axis span{position:absolute;transform:translateX(-50%)}
.legend{font-size:12px;color:#4a5468;margin-top:6px}
.legend .mark{position:static;display:inline-block;margin:0 3px 0 12px;vertical-align:middle}
.share{display:inline-block;height:10px;background:#3a7bd5;border-radius:2px;vertical-align:middle}
.star{color:#d99a00;font-weight:700}
.kind{display:inline-block;min-width:62px;text-align:center;border-radius:4px;font-size:11.5px;
padding:0 5px;color:#fff;background:#7a8499}
.k-save{background:#2e9d5b}.k-expiry{background:#d2383f}.k-rename{background:#3a7bd5}
.k-removed{background:#9a5bd5}.k-screen{background:#1d2b45}.k-fault,.k-fail{background:#e07b16}
.k-exit{background:#000}.k-action{background:#5b6b8c}.k-event{background:#7a6b3a}
.shot{display:flex;gap:14px;align-items:flex-start;margin:4px 0}
.shot img{width:360px;border:1px solid #c9ced8;border-radius:3px;background:#000}
.shot pre{margin:0;font-size:12px;white-space:pre-wrap}
.res-pass{color:#2e9d5b;font-weight:700}.res-fail{color:#d2383f;font-weight:700}
details summary{cursor:pointer;font-weight:600;color:#1d2b45}
details pre{font-size:12px;overflow-x:auto}
)";

const char* const kPalette[] = {"#3a7bd5", "#2e9d5b", "#c0603a", "#8a4fc2",
                                "#1a9aa0", "#b5465e", "#6f7f23", "#c08a12"};

// A marker on a lane. Markers closer than a marker's width to the one before
// (two happenings in one minute of a long evening) are set beside it.
struct Marks {
  uint32_t lastTick = 0;
  int beside = -1;
  std::string Add(const std::string& cls, const char* symbol, uint32_t tick, uint32_t total,
                  const std::string& title) {
    beside = beside >= 0 && uint64_t(tick - lastTick) * 70 < total ? beside + 1 : 0;
    if (beside == 0) lastTick = tick;
    // Late in the evening they go to the left, so none leaves the lane.
    int px = (uint64_t(lastTick) * 2 > total ? -22 : 22) * beside;
    std::string shift =
        beside ? ";transform:translateX(" + std::to_string(px) + "px)" : std::string();
    return "<div class=\"mark m-" + cls + "\" style=\"left:" + Percent(tick, total) + shift +
           "\" title=\"" + HtmlEscape(title) + "\">" + symbol + "</div>";
  }
};

const char* Symbol(const std::string& kind) {
  if (kind == "save") return "S";
  if (kind == "expiry") return "&#x2715;";
  if (kind == "rename") return "R";
  if (kind == "removed") return "&#x2212;";
  if (kind == "screen") return "&#x25A3;";
  if (kind == "exit") return "E";
  return "!";
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

void HtmlReportStart(const char* pluginPath, const TapInfo& info, const Scenario& scenario,
                     const std::string& disk, bool dropScreens) {
  State& g = G();
  g = State();
  g.active = true;
  g.plugin = pluginPath;
  g.info = info;
  g.scenario = &scenario;
  g.disk = disk;
  g.dropScreens = dropScreens;
  for (const Step& st : scenario.steps) {
    bool fault = st.op == Op::FailCreate || st.op == Op::FailOpen || st.op == Op::FailChdir ||
                 st.op == Op::FailAlloc;
    if (fault) g.happenings.push_back({st.tick, "fault", "from the scenario: " + st.text, -1});
  }
}

bool HtmlReportActive() {
  return G().active;
}

bool HtmlReportLine(const char* kind, const std::string& text) {
  State& g = G();
  if (!g.active) return true;
  uint32_t now = sim_ticks();
  std::string k = kind;
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
    return !g.dropScreens;
  }
  g.lines.push_back({now, k, text});
  if (k == "action" || k == "event" || k == "exit")
    g.happenings.push_back({now, k, text, -1});
  else if (k == "expect")
    g.happenings.push_back({now, "fail", text, -1});
  return true;
}

void HtmlReportDiskStep() {
  State& g = G();
  if (!g.active) return;
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
  // A buffer that left the timeshift folder as a new entry of Save was saved.
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
      g.happenings.push_back({now, "save", "new in Save: " + saved, -1});
    else
      g.happenings.push_back({now, "save", firstName(from) + arrow + saved, -1});
  }
  // Renamed in place: one gone, one new in the timeshift folder, while the
  // buffer was not just started (a new buffer comes with an action).
  while (!goneTs.empty() && !newTs.empty()) {
    g.renamedFrom[newTs.front()] = firstName(goneTs.front());
    g.happenings.push_back({now, "rename", goneTs.front() + arrow + newTs.front(), -1});
    goneTs.erase(goneTs.begin());
    newTs.erase(newTs.begin());
  }
  for (const std::string& gone : goneTs)
    g.happenings.push_back({now, "removed", gone + " left /DataFiles/TimeShift", -1});
  for (const std::string& gone : goneSave)
    g.happenings.push_back({now, "expiry", gone + " deleted from Save", -1});
  g.seen[0] = cur[0];
  g.seen[1] = cur[1];
}

bool HtmlReportWrite(const std::string& path, const std::vector<Outcome>& outcomes, int status,
                     std::string& error) {
  State& g = G();
  if (!g.active) return true;
  HtmlReportDiskStep();
  WatchStop();
  const Scenario& sc = *g.scenario;
  uint32_t end = std::max<uint32_t>(sc.endTick, sim_ticks());
  for (const Line& l : g.lines) end = std::max(end, l.tick);
  uint32_t total = std::max<uint32_t>(end, 100);
  std::vector<Happening> happenings = g.happenings;
  std::stable_sort(happenings.begin(), happenings.end(),
                   [](const Happening& a, const Happening& b) { return a.tick < b.tick; });
  std::vector<Period> periods = Periods(sc, end);
  MatchSaves(periods, happenings);

  int passed = 0, failed = 0;
  for (const Outcome& o : outcomes) o.pass ? ++passed : ++failed;
  std::string verdict =
      status == 2   ? "the run stopped: bad scenario step or plug-in"
      : failed == 0 ? std::to_string(passed) + " passed, 0 failed"
                    : std::to_string(passed) + " passed, " + std::to_string(failed) + " failed";
  bool good = status == 0 && failed == 0;
  const std::string scenarioName = HtmlEscape(sc.file);

  std::string h;
  h += "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>tapsim: " +
       scenarioName + "</title>\n<style>" + kStyle + "</style></head><body>\n";
  h += "<header><h1>" +
       HtmlEscape(Printable(g.info.programName.data(), g.info.programName.size())) +
       " in the simulated receiver</h1><span class=\"file\">" + scenarioName +
       "</span><span class=\"badge " + (good ? "pass" : "fail") + "\">" + HtmlEscape(verdict) +
       "</span></header>\n<main>\n";

  // Identification block.
  auto row = [&](const char* name, const std::string& value) {
    h += "<tr><th>" + std::string(name) + "</th><td>" + HtmlEscape(value) + "</td></tr>\n";
  };
  char id[32];
  snprintf(id, sizeof id, "0x%08X", g.info.id);
  h += "<section><h2>Plug-in</h2><table class=\"ident\">\n";
  row("File", g.plugin);
  row("Program", Printable(g.info.programName.data(), g.info.programName.size()));
  row("Description", Lines(g.info.description));
  row("Author", Printable(g.info.author.data(), g.info.author.size()));
  row("Build date", Printable(g.info.buildDate.data(), g.info.buildDate.size()));
  row("Id", id);
  row("Header", "TFAPMIPS version " + std::to_string(g.info.headerVersion));
  row("Machine", g.info.machineName);
  row("Scenario", sc.file + " (" + Clock(sc.endTick) + ")");
  row("Disk", g.disk);
  h += "</table></section>\n";

  // The evening to scale.
  std::map<std::string, std::string> colour;
  for (const Period& p : periods)
    for (const Run& r : p.runs)
      if (!colour.count(r.programme)) colour[r.programme] = kPalette[colour.size() % 8];
  h += "<section><h2>The evening at a glance</h2>\n<div class=\"lanes\">\n";
  h += "<div class=\"lane\"><div class=\"name\">Timeshift</div>";
  for (const Period& p : periods)
    h += "<div class=\"bar ts\" style=\"left:" + Percent(p.from, total) +
         ";width:" + Percent(p.to - p.from, total) + "\" title=\"" + Clock(p.from) + " to " +
         Clock(p.to) + "\">buffer " + Minutes(p.to - p.from) + "</div>";
  h += "</div>\n<div class=\"lane\"><div class=\"name\">Watched</div>";
  for (const Period& p : periods)
    for (const Run& r : p.runs) {
      bool chosen = Key(r) == p.chosen;
      h +=
          "<div class=\"bar" + std::string(chosen ? " chosen" : "") +
          "\" style=\"left:" + Percent(r.from, total) + ";width:" + Percent(r.to - r.from, total) +
          ";background:" + colour[r.programme] + "\" title=\"" +
          HtmlEscape(r.channel + ": " + r.programme + ", " + Clock(r.from) + " to " + Clock(r.to)) +
          "\">" + (chosen ? "&#x2605; " : "") + HtmlEscape(r.programme) + "</div>";
    }
  h += "</div>\n";
  struct LaneDef {
    const char* name;
    std::vector<const char*> kinds;
  };
  const LaneDef lanes[] = {{"Saved, expired", {"save", "rename", "removed", "expiry"}},
                           {"Screen", {"screen"}},
                           {"Faults, exit", {"fault", "fail", "exit"}}};
  for (const LaneDef& lane : lanes) {
    h += "<div class=\"lane\"><div class=\"name\">" + std::string(lane.name) + "</div>";
    Marks marks;
    for (const Happening& e : happenings)
      if (std::find_if(lane.kinds.begin(), lane.kinds.end(),
                       [&](const char* k) { return e.kind == k; }) != lane.kinds.end())
        h += marks.Add(e.kind == "fail"                                     ? "fault"
                       : e.screen >= 0 && g.screens[size_t(e.screen)].empty ? "clear"
                                                                            : e.kind,
                       Symbol(e.kind), e.tick, total, Clock(e.tick) + " " + e.text);
    h += "</div>\n";
  }
  h += "<div class=\"lane\"><div class=\"name\">Expectations</div>";
  for (const Outcome& o : outcomes)
    h += Marks().Add(o.pass ? "pass" : "fail", "", o.tick, total,
                     Clock(o.tick) + " " + o.text + (o.pass ? " PASS" : " FAIL"));
  h += "</div>\n<div class=\"axis\">";
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
       "<span class=\"mark m-fault\">!</span>fault<span class=\"star\"> &#x2605;</span> the "
       "programme the saved name carries</div></section>\n";

  // Timeshift periods.
  h += "<section><h2>Timeshift periods</h2>\n";
  if (periods.empty()) h += "<p>No timeshift buffer in this scenario.</p>\n";
  for (size_t i = 0; i < periods.size(); ++i) {
    const Period& p = periods[i];
    h += "<h3 style=\"font-size:14px;margin:10px 0 4px\">Period " + std::to_string(i + 1) + ": " +
         Clock(p.from) + " to " + Clock(p.to) + (p.open ? " (still recording at the end)" : "") +
         ", " + Minutes(p.to - p.from) + "</h3>\n<table>\n";
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

  // Expectations.
  h += "<section><h2>Expectations: " + HtmlEscape(verdict) + "</h2>\n<table>\n";
  for (const Outcome& o : outcomes)
    h += "<tr><td class=\"t\">line " + std::to_string(o.line) + "</td><td class=\"t\">" +
         TimeText(o.tick) + "</td><td class=\"mono\">" +
         HtmlEscape(Printable(o.text.data(), o.text.size())) + "</td><td class=\"" +
         (o.pass ? "res-pass\">PASS" : "res-fail\">FAIL") + "</td></tr>\n";
  h += "</table></section>\n";

  // The whole time line, runs of alike log lines folded.
  h += "<section><details><summary>The whole time line (" + std::to_string(g.lines.size()) +
       " lines)</summary><pre>";
  for (size_t i = 0; i < g.lines.size();) {
    const Line& l = g.lines[i];
    size_t j = i + 1;
    if (l.kind == "log") {
      std::string shape = LineShape(l.text);
      while (j < g.lines.size() && g.lines[j].kind == "log" && LineShape(g.lines[j].text) == shape)
        ++j;
    }
    char lead[64];
    snprintf(lead, sizeof lead, "%11s  %-8s ", TimeText(l.tick).c_str(), l.kind.c_str());
    h += HtmlEscape(lead + l.text) + "\n";
    if (j - i > 2)
      h += HtmlEscape(std::string(22, ' ') + "... " + std::to_string(j - i - 2) +
                      " more lines like the one above") +
           "\n";
    if (j - i > 1) {
      const Line& last = g.lines[j - 1];
      snprintf(lead, sizeof lead, "%11s  %-8s ", TimeText(last.tick).c_str(), last.kind.c_str());
      h += HtmlEscape(lead + last.text) + "\n";
    }
    i = j;
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
