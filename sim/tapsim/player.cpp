// The scenario player. Virtual time jumps from one happening to the next
// (an action, an expectation or an idle event), never tick by tick, so a
// simulated day of idle events takes well under a second.
#include "sim/tapsim/player.h"

#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "platform/tap.h"
#include "sim/control.h"
#include "sim/loader/plugin_loader.h"
#include "sim/tapsim/html_report.h"
#include "sim/tapsim/report.h"

namespace tapsim {
namespace {

constexpr uint64_t kNever = ~uint64_t(0);
constexpr uint32_t kDefaultBootDelay = 30 * 100;  // ticks the receiver stays dark after a cut

class Player {
 public:
  Player(const Scenario& sc, const char* pluginPath) : sc_(sc), pluginPath_(pluginPath) {}

  // Carries out a setting or action. False with error set when the
  // simulated receiver refused it.
  bool Apply(const Step& st, std::string& error);
  // Loads the plug-in afresh and starts it: __TAP_Init_, TAP_Main. False
  // with error set when the file is no plug-in that can start.
  bool Start(std::string& error);
  int Play(std::vector<Outcome>& outcomes);

 private:
  bool Fault(const Step& st, const std::string& what, std::string& error) {
    error = sc_.file + ":" + std::to_string(st.line) + ": " + what;
    return false;
  }
  void Send(const std::string& what, dword code, dword p1);
  // Whether an expectation holds now; when not, detail tells what was found.
  bool Check(const Step& st, std::string& detail);
  void Idle();
  // After anything the plug-in ran: a power cut since is noted, and the
  // receiver's start after the boot delay planned.
  void NoteCut();
  bool Restart(std::string& error);
  bool Running() const { return !sim_exited() && !sim_power_is_off(); }

  const Scenario& sc_;
  const char* pluginPath_;
  TAP_EventHandlerFn handler_ = nullptr;
  int slots_ = 2;
  uint32_t idleEvery_ = 10;
  uint64_t nextIdle_ = 0;  // first idle event at tick 0, after TAP_Main
  bool idleSent_ = false;
  uint64_t lastIdle_ = 0;
  uint32_t bootDelay_ = kDefaultBootDelay;
  bool bootTimeshift_ = false;   // a buffer starts with the receiver after a cut
  uint64_t restartAt_ = kNever;  // while the power is off: when the receiver starts again
  unsigned restarts_ = 0;
};

std::string Answer(dword v) {
  char buf[24];
  snprintf(buf, sizeof buf, v < 0x10000 ? "%u" : "0x%X", v);
  return buf;
}

void Player::Send(const std::string& what, dword code, dword p1) {
  if (sim_power_is_off()) {
    ReportLine("event", what + " not sent: the receiver has no power");
    return;
  }
  if (sim_exited()) {
    ReportLine("event", what + " not sent: the plug-in has ended");
    return;
  }
  dword r = handler_(code, p1, 0);
  ReportFlush();
  ReportLine("event", what + " -> " + Answer(r));
  NoteCut();
}

void Player::Idle() {
  uint64_t at = sim_ticks();
  handler_(EVT_IDLE, 0, 0);
  idleSent_ = true;
  lastIdle_ = at;
  uint64_t next = at + idleEvery_;
  uint64_t now = sim_ticks();  // the plug-in may have waited
  nextIdle_ = next > now ? next : now;
  NoteCut();
}

void Player::NoteCut() {
  if (!sim_power_is_off() || restartAt_ != kNever) return;
  ReportFlush();
  restartAt_ = uint64_t(sim_ticks()) + bootDelay_;
}

bool Player::Start(std::string& error) {
  LoadedPlugin plugin;
  int initResult = 0;
  if (!LoadPluginFresh(pluginPath_, &plugin, &error, &initResult)) {
    error = std::string("tapsim: ") + pluginPath_ + ": " + error;
    return false;
  }
  HtmlReportPluginLoaded(plugin.handle);
  ReportFlush();
  ReportLine("start", "__TAP_Init_ -> " + std::to_string(initResult));
  handler_ = plugin.eventHandler;
  int mainResult = plugin.main();
  ReportFlush();
  ReportLine("start", "TAP_Main -> " + std::to_string(mainResult));
  HtmlReportDiskStep();
  // The first idle event follows TAP_Main at once.
  if (idleEvery_ != 0) nextIdle_ = sim_ticks();
  NoteCut();
  return true;
}

// The receiver starts again over the same disk; the instance of the plug-in
// that ran before the cut stays loaded but never runs again (the firmware
// keeps no plug-in across a start).
bool Player::Restart(std::string& error) {
  restartAt_ = kNever;
  sim_power_restore(bootDelay_);
  ++restarts_;
  // A receiver that keeps a timeshift buffer starts it with itself, before
  // it loads the plug-ins.
  if (bootTimeshift_) {
    sim_timeshift_start(nullptr);
    ReportLine("power", "the firmware starts a timeshift buffer");
  }
  return Start(error);
}

// Actions of the recorder and the player: a dark receiver records and plays
// nothing.
bool NeedsPower(Op op) {
  return op == Op::TimeshiftStart || op == Op::TimeshiftStop || op == Op::RecordStart ||
         op == Op::RecordStop || op == Op::Play || op == Op::PlayStop;
}

bool Player::Apply(const Step& st, std::string& error) {
  const long long* n = st.n;
  const char* s0 = st.s.empty() ? nullptr : st.s[0].c_str();
  if (NeedsPower(st.op) && sim_power_is_off()) {
    ReportLine("action", st.text + " not carried out: the receiver has no power");
    return true;
  }
  switch (st.op) {
    case Op::Clock:
      sim_set_clock(int(n[0]), int(n[1]), int(n[2]), int(n[3]), int(n[4]), int(n[5]));
      break;
    case Op::ClockUnset:
      sim_set_clock_unset();
      break;
    case Op::SysVar:
      sim_set_sysvar(int(n[0]), int(n[1]));
      break;
    case Op::State:
      sim_set_state(uint32_t(n[0]), uint32_t(n[1]));
      break;
    case Op::Slots:
      slots_ = int(n[0]);
      sim_set_slots(slots_);
      break;
    case Op::Model:
      sim_set_system_id(uint32_t(n[0]));
      break;
    case Op::Terminal:
      sim_terminal_open(int(n[0]), int(n[1]));
      break;
    case Op::Idle: {
      idleEvery_ = uint32_t(n[0]);
      if (idleEvery_ == 0) {
        nextIdle_ = kNever;
      } else {
        uint64_t now = sim_ticks();
        uint64_t next = idleSent_ ? lastIdle_ + idleEvery_ : 0;
        nextIdle_ = next > now ? next : now;
      }
      break;
    }
    case Op::Dir:
      if (!sim_mkdir(s0))
        return Fault(st, "cannot make the folder " + st.s[0] + " (is there a file of that name?)",
                     error);
      break;
    case Op::NoDir:
      if (sim_exists(s0) && !sim_rmtree(s0)) return Fault(st, "cannot remove " + st.s[0], error);
      break;
    case Op::Recording:
      if (!sim_make_recording(s0, int(n[0]), int(n[1]), int(n[2]), int(n[3]), int(n[4]), int(n[5])))
        return Fault(st,
                     "cannot make the recording " + st.s[0] +
                         " (is a folder in the way or the path too long?)",
                     error);
      break;
    case Op::Write:
      if (!sim_write_file(s0, st.s[1].data(), st.s[1].size()))
        return Fault(st,
                     "cannot write " + st.s[0] + " (is a folder in the way or the path too long?)",
                     error);
      break;
    case Op::FirmwareDat:
      if (!sim_write_firmwaredat(s0, unsigned(n[0]), unsigned(n[1])))
        return Fault(st,
                     "cannot write FirmwareTMS.dat into " + st.s[0] +
                         " (is a file in the way or the path too long?)",
                     error);
      break;
    case Op::FailCreate:
      sim_fail_create(s0);
      break;
    case Op::FailOpen:
      sim_fail_open(s0);
      break;
    case Op::FailChdir:
      sim_fail_chdir(s0);
      break;
    case Op::FailAlloc:
      sim_fail_alloc(unsigned(n[0]));
      sim_fail_alloc_all(int(n[1]));
      break;
    case Op::FailRename:
      sim_fail_rename(s0);
      break;
    case Op::FailDelete:
      sim_fail_delete(s0);
      break;
    case Op::FailMv:
      sim_fail_mv(s0, int(n[0]));
      break;
    case Op::FailRead:
      sim_fail_read(s0, int(n[0]));
      break;
    case Op::FailWrite:
      sim_fail_write(s0);
      break;
    case Op::FailList:
      sim_fail_list(s0);
      break;
    case Op::FailFill:
      sim_fail_osd_fill(int(n[0]));
      break;
    case Op::FailCopy:
      sim_fail_osd_copy(int(n[0]));
      break;
    case Op::FailRegion:
      sim_fail_osd_create(int(n[0]));
      break;
    case Op::FailClear:
      sim_clear_faults();
      break;
    case Op::PowerCutAfter:
      sim_power_cut_after_changes_to(s0, unsigned(n[0]), int(n[1]));
      break;
    case Op::BootDelay:
      bootDelay_ = uint32_t(n[0]);
      break;
    case Op::BootTimeshift:
      bootTimeshift_ = true;
      break;
    case Op::PowerCut:
      if (sim_power_is_off())
        ReportLine("power", "the power is off already");
      else
        sim_power_cut();
      NoteCut();
      break;
    case Op::Channel:
      sim_add_channel(int(n[0]), int(n[1]), s0);
      break;
    case Op::Event:
      if (n[2])
        sim_set_event(int(n[0]), int(n[1]), nullptr, nullptr);
      else
        sim_set_event(int(n[0]), int(n[1]), s0, st.s[1].c_str());
      break;
    case Op::Tune:
      sim_tune(int(n[0]), int(n[1]));
      break;
    case Op::TimeshiftStart:
      sim_timeshift_start(st.s[0].empty() ? nullptr : s0);
      break;
    case Op::TimeshiftStop:
      sim_timeshift_stop();
      break;
    case Op::RecordStart:
    case Op::RecordStop:
      if (n[0] >= slots_)
        return Fault(st,
                     "recording slot " + std::to_string(n[0]) + " does not exist (expected 0 to " +
                         std::to_string(slots_ - 1) + "; 'slots 4' gives four)",
                     error);
      if (st.op == Op::RecordStart)
        sim_record_start(int(n[0]), s0);
      else
        sim_record_stop(int(n[0]));
      break;
    case Op::Play:
      sim_play(s0, int(n[0]));
      if (n[1] >= 0) sim_play_blocks(n[1]);
      break;
    case Op::PlayStop:
      sim_play_stop();
      break;
    case Op::Key: {
      char what[80];
      if (st.s[0].compare(0, 2, "0x") == 0 || st.s[0].compare(0, 2, "0X") == 0)
        snprintf(what, sizeof what, "key 0x%llX", n[0]);
      else
        snprintf(what, sizeof what, "key %.20s (0x%llX)", s0, n[0]);
      Send(what, EVT_KEY, dword(n[0]));
      return true;
    }
    case Op::Request:
      Send("request " + std::to_string(n[0]), EVT_TAPCMD, dword(n[0]));
      return true;
    default:
      break;  // expectations are checked, not applied
  }
  return true;
}

// What a failed expectation found instead, for the report.
namespace explain {

std::string Quoted(const std::string& text) {
  return "\"" + Printable(text.data(), text.size()) + "\"";
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    size_t stop = nl;
    while (stop > start && text[stop - 1] == '\r') --stop;
    if (stop > start) lines.push_back(text.substr(start, stop - start));
    start = nl + 1;
  }
  return lines;
}

// Length of the longest piece two texts share, letter case aside.
size_t Shared(const std::string& a, const std::string& b) {
  std::vector<size_t> prev(b.size() + 1, 0), cur(b.size() + 1, 0);
  size_t best = 0;
  for (size_t i = 1; i <= a.size(); ++i) {
    for (size_t j = 1; j <= b.size(); ++j) {
      cur[j] = tolower((unsigned char)a[i - 1]) == tolower((unsigned char)b[j - 1])
                   ? prev[j - 1] + 1
                   : 0;
      if (cur[j] > best) best = cur[j];
    }
    std::swap(prev, cur);
  }
  return best;
}

// The lines most like the text (at most three, in the order written).
std::string Closest(const std::vector<std::string>& lines, const std::string& text,
                    const char* where) {
  if (lines.empty()) return std::string("nothing was written ") + where;
  std::vector<std::pair<size_t, size_t>> scored;  // (shared length, line index)
  for (size_t i = 0; i < lines.size(); ++i)
    scored.push_back({Shared(text, lines[i].substr(0, 4096)), i});
  std::stable_sort(scored.begin(), scored.end(),
                   [](const auto& x, const auto& y) { return x.first > y.first; });
  scored.resize(std::min<size_t>(scored.size(), 3));
  std::sort(scored.begin(), scored.end(),
            [](const auto& x, const auto& y) { return x.second < y.second; });
  std::string out = "no line holds " + Quoted(text) + "; the closest of the " +
                    std::to_string(lines.size()) + " " + (lines.size() == 1 ? "line" : "lines") +
                    " written " + where + ":";
  for (const auto& sc : scored)
    out += "\n  " + Printable(lines[sc.second].data(), lines[sc.second].size());
  return out;
}

// The lines that hold the text (at most three).
std::string Holding(const std::vector<std::string>& lines, const std::string& text,
                    const char* where) {
  std::string out;
  size_t count = 0;
  for (const std::string& l : lines) {
    if (l.find(text) == std::string::npos) continue;
    if (++count <= 3) out += "\n  " + Printable(l.data(), l.size());
  }
  std::string head = std::to_string(count) + (count == 1 ? " line" : " lines") + " written " +
                     where + (count == 1 ? " holds " : " hold ") + Quoted(text) + ":";
  if (count > 3) out += "\n  ...";
  return head + out;
}

std::vector<std::string> ConsoleLines() {
  std::vector<std::string> lines;
  for (int n = 0; n < 20; ++n)
    for (std::string& l : Lines(sim_terminal_text(n))) lines.push_back(std::move(l));
  return lines;
}

// What the folder of a path holds, or which of its folders is missing.
std::string Folder(const std::string& path) {
  std::string folder = path;
  std::string missing;
  for (;;) {
    size_t slash = folder.rfind('/');
    folder = slash == 0 || slash == std::string::npos ? "/" : folder.substr(0, slash);
    std::string buf(64 * 1024, '\0');
    int count = sim_list_folder(folder.c_str(), &buf[0], buf.size());
    if (count < 0) {
      missing = folder;
      if (folder == "/") return "the disk cannot be read";
      continue;
    }
    std::string out = missing.empty() ? "" : missing + " is missing; ";
    if (count == 0) return out + folder + " is empty";
    out += folder + " holds " + std::to_string(count) + (count == 1 ? " entry:" : " entries:");
    std::vector<std::string> entries = Lines(buf.c_str());
    for (size_t i = 0; i < entries.size() && i < 20; ++i)
      out += "\n  " + Printable(entries[i].data(), entries[i].size());
    if (entries.size() > 20) out += "\n  ...";
    return out;
  }
}

std::string Screen() {
  std::vector<std::string> texts = Lines(sim_screen_texts());
  if (texts.empty())
    return sim_screen_empty() ? "nothing of the plug-in is visible"
                              : "the plug-in's regions are visible but show no text";
  std::string out = "the texts visible:";
  for (const std::string& t : texts) out += "\n  " + Quoted(t);
  return out;
}

}  // namespace explain

bool Player::Check(const Step& st, std::string& detail) {
  const std::string text = st.s.empty() ? "" : st.s[0];
  const char* s0 = text.c_str();
  bool pass = false;
  switch (st.op) {
    case Op::ExpectFile:
    case Op::ExpectNoFile:
      pass = (sim_exists(s0) != 0) == (st.op == Op::ExpectFile);
      if (!pass)
        detail = (st.op == Op::ExpectNoFile ? "it is there; " : "") + explain::Folder(text);
      break;
    case Op::ExpectExited:
    case Op::ExpectRunning:
      pass = st.op == Op::ExpectExited ? sim_exited() != 0 : Running();
      if (!pass)
        detail = sim_exited()         ? "the plug-in has ended (TAP_Exit)"
                 : sim_power_is_off() ? "the receiver has no power"
                                      : "the plug-in is still running";
      break;
    case Op::ExpectCuts:
    case Op::ExpectRestarts: {
      const unsigned seen = st.op == Op::ExpectCuts ? sim_power_cuts() : restarts_;
      pass = seen == unsigned(st.n[0]);
      if (!pass)
        detail = std::to_string(seen) +
                 (st.op == Op::ExpectCuts ? (seen == 1 ? " power cut" : " power cuts")
                                          : (seen == 1 ? " restart" : " restarts")) +
                 " so far" + (sim_power_is_off() ? "; the receiver has no power now" : "");
      break;
    }
    case Op::ExpectLog:
    case Op::ExpectNoLog: {
      pass = (sim_log_contains(s0) != 0) == (st.op == Op::ExpectLog);
      if (pass) break;
      std::vector<std::string> lines = explain::Lines(sim_log_text());
      detail = st.op == Op::ExpectLog ? explain::Closest(lines, text, "to .log files")
                                      : explain::Holding(lines, text, "to .log files");
      break;
    }
    case Op::ExpectConsole:
    case Op::ExpectNoConsole: {
      pass = (sim_console_contains(s0) != 0) == (st.op == Op::ExpectConsole);
      if (pass) break;
      std::vector<std::string> lines = explain::ConsoleLines();
      detail = st.op == Op::ExpectConsole ? explain::Closest(lines, text, "to the terminals")
                                          : explain::Holding(lines, text, "to the terminals");
      break;
    }
    case Op::ExpectScreen:
      pass = sim_screen_shows(s0) != 0;
      if (!pass) detail = explain::Screen();
      break;
    case Op::ExpectNoScreen:
      pass = sim_screen_empty() != 0;
      if (!pass) detail = explain::Screen();
      break;
    default:
      break;
  }
  return pass;
}

int Player::Play(std::vector<Outcome>& outcomes) {
  // The timed part: actions and expectations in file order (power-on
  // settings have been applied before the plug-in started).
  std::vector<const Step*> items;
  for (const Step& st : sc_.steps)
    if (st.stage != Stage::PowerOn) items.push_back(&st);
  size_t i = 0;
  for (;;) {
    uint64_t now = sim_ticks();
    uint64_t itemAt = i < items.size() ? items[i]->tick : kNever;
    bool idleOn = Running() && nextIdle_ != kNever;
    uint64_t idleAt = idleOn ? nextIdle_ : kNever;
    uint64_t at = std::min(std::min(itemAt, idleAt), restartAt_);
    if (at == kNever || (at > sc_.endTick && i >= items.size())) break;
    if (at > now) sim_set_ticks(uint32_t(at));
    // The receiver starts again before the lines of its time.
    if (restartAt_ <= at) {
      std::string error;
      if (!Restart(error)) {
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
      }
      continue;
    }

    // The lines of this time, in file order; the idle event follows the
    // last action of the time (or comes first when the time has none).
    size_t j = i;
    while (j < items.size() && items[j]->tick <= at) ++j;
    size_t lastAction = j;
    for (size_t k = i; k < j; ++k)
      if (items[k]->stage == Stage::Action) lastAction = k;
    auto idleDue = [&]() { return Running() && nextIdle_ != kNever && nextIdle_ <= at; };
    if (lastAction == j && idleDue()) Idle();
    for (size_t k = i; k < j; ++k) {
      const Step& st = *items[k];
      if (st.stage == Stage::Expect) {
        ReportFlush();
        Outcome o;
        o.line = st.line;
        o.tick = sim_ticks();
        o.text = st.text;
        o.pass = Check(st, o.detail);
        outcomes.push_back(o);
        NoteOutcome(o);
        if (!o.pass) ReportLine("expect", st.text + "  FAIL");
        continue;
      }
      const bool dark = NeedsPower(st.op) && sim_power_is_off();  // Apply tells
      if (st.op != Op::Key && st.op != Op::Request && !dark) ReportLine("action", st.text);
      std::string error;
      if (!Apply(st, error)) {
        ReportFlush();
        fprintf(stderr, "%s\n", error.c_str());
        return 2;
      }
      if (k == lastAction && idleDue()) Idle();
    }
    HtmlReportDiskStep();
    i = j;
  }
  ReportFlush();
  if (sim_ticks() < sc_.endTick) sim_set_ticks(sc_.endTick);
  return 0;
}

bool MakeFolders(const std::string& path) {
  std::string part;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!part.empty() && mkdir(part.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    if (i < path.size()) part += path[i];
  }
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

int PlayScenario(const char* pluginPath, const Scenario& scenario, const PlayOptions& options) {
  std::string error;
  if (!sim_init(options.disk.c_str())) {
    fprintf(stderr, "tapsim: --disk %s\n", sim_disk_error());
    return 2;
  }
  if (!options.diskFrom.empty()) {
    unsigned files = 0, skipped = 0;
    if (!sim_copy_in(options.diskFrom.c_str(), &files, &skipped)) {
      fprintf(stderr, "tapsim: --disk-from %s\n", sim_disk_error());
      return 2;
    }
    std::string copied = "copied " + std::to_string(files) + (files == 1 ? " file" : " files") +
                         " from " + options.diskFrom;
    if (skipped)
      copied += " (left out " + std::to_string(skipped) +
                (skipped == 1 ? " link or special file)" : " links or special files)");
    ReportLine("disk", copied);
  }
  if (!options.screens.empty()) {
    if (!MakeFolders(options.screens)) {
      fprintf(stderr, "tapsim: cannot make the screen folder %s: %s\n", options.screens.c_str(),
              strerror(errno));
      return 2;
    }
    sim_screen_set_output(options.screens.c_str());
  }
  // The report shows the screens: without --screens they go to a folder of
  // its own, each file removed once read.
  std::string reportScreens;
  if (!options.report.empty()) {
    if (options.screens.empty()) {
      const char* tmp = getenv("TMPDIR");
      std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tapsim-screens-XXXXXX";
      if (!mkdtemp(&templ[0])) {
        fprintf(stderr, "tapsim: cannot make a screen folder for the report: %s: %s\n",
                templ.c_str(), strerror(errno));
        return 2;
      }
      reportScreens = templ;
      sim_screen_set_output(templ.c_str());
    }
    HtmlReportStart(pluginPath, options.info ? *options.info : TapInfo(), scenario, options.disk,
                    options.diskFrom, reportScreens);
  }
  // Ends the run: the report written (also for a run stopped half-way).
  auto finish = [&](const std::vector<Outcome>& outcomes, int status) {
    if (options.report.empty()) return status;
    if (!reportScreens.empty()) sim_screen_set_output(nullptr);
    std::string why;
    if (!HtmlReportWrite(options.report, outcomes, status, why)) {
      fprintf(stderr, "tapsim: %s\n", why.c_str());
      return 2;
    }
    return status;
  };
  sim_set_observer(ReportObserve);

  // Power-on: the receiver as the scenario describes it, before the plug-in.
  Player player(scenario, pluginPath);
  for (const Step& st : scenario.steps) {
    if (st.stage != Stage::PowerOn) continue;
    if (!player.Apply(st, error)) {
      fprintf(stderr, "%s\n", error.c_str());
      return finish({}, 2);
    }
  }
  if (options.powerCut) sim_power_cut_after(options.powerCut, options.half ? 1 : 0);
  HtmlReportDiskStep();

  if (!player.Start(error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return finish({}, 2);
  }

  std::vector<Outcome> outcomes;
  int status = player.Play(outcomes);
  sim_set_observer(nullptr);
  if (status != 0) return finish(outcomes, status);
  ReportFolders();
  ReportDiskChanges(sim_disk_changes());
  ReportOutcomes(scenario.file, outcomes);
  // The plug-in stays loaded: the firmware never unloads a running plug-in,
  // and its code may still be referenced by the simulated receiver.
  for (const Outcome& o : outcomes)
    if (!o.pass) return finish(outcomes, 1);
  return finish(outcomes, 0);
}

}  // namespace tapsim
