// The scenario player. Virtual time jumps from one happening to the next
// (an action, an expectation or an idle event), never tick by tick, so a
// simulated day of idle events takes well under a second.
#include "sim/tapsim/player.h"

#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

#include "platform/tap.h"
#include "sim/control.h"
#include "sim/tapsim/html_report.h"
#include "sim/tapsim/report.h"

namespace tapsim {
namespace {

constexpr uint64_t kNever = ~uint64_t(0);

class Player {
 public:
  Player(const Scenario& sc, TAP_EventHandlerFn handler) : sc_(sc), handler_(handler) {}

  // Carries out a setting or action. False with error set when the
  // simulated receiver refused it.
  bool Apply(const Step& st, std::string& error);
  int Play(std::vector<Outcome>& outcomes);
  void SetHandler(TAP_EventHandlerFn handler) { handler_ = handler; }

 private:
  bool Fault(const Step& st, const std::string& what, std::string& error) {
    error = sc_.file + ":" + std::to_string(st.line) + ": " + what;
    return false;
  }
  void Send(const std::string& what, dword code, dword p1);
  bool Check(const Step& st);
  void Idle();

  const Scenario& sc_;
  TAP_EventHandlerFn handler_;
  int slots_ = 2;
  uint32_t idleEvery_ = 10;
  uint64_t nextIdle_ = 0;  // first idle event at tick 0, after TAP_Main
  bool idleSent_ = false;
  uint64_t lastIdle_ = 0;
};

std::string Answer(dword v) {
  char buf[24];
  snprintf(buf, sizeof buf, v < 0x10000 ? "%u" : "0x%X", v);
  return buf;
}

void Player::Send(const std::string& what, dword code, dword p1) {
  if (sim_exited()) {
    ReportLine("event", what + " not sent: the plug-in has ended");
    return;
  }
  dword r = handler_(code, p1, 0);
  ReportFlush();
  ReportLine("event", what + " -> " + Answer(r));
}

void Player::Idle() {
  uint64_t at = sim_ticks();
  handler_(EVT_IDLE, 0, 0);
  idleSent_ = true;
  lastIdle_ = at;
  uint64_t next = at + idleEvery_;
  uint64_t now = sim_ticks();  // the plug-in may have waited
  nextIdle_ = next > now ? next : now;
}

bool Player::Apply(const Step& st, std::string& error) {
  const long long* n = st.n;
  const char* s0 = st.s.empty() ? nullptr : st.s[0].c_str();
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

bool Player::Check(const Step& st) {
  const char* s0 = st.s.empty() ? "" : st.s[0].c_str();
  switch (st.op) {
    case Op::ExpectFile:
      return sim_exists(s0) != 0;
    case Op::ExpectNoFile:
      return sim_exists(s0) == 0;
    case Op::ExpectExited:
      return sim_exited() != 0;
    case Op::ExpectRunning:
      return sim_exited() == 0;
    case Op::ExpectLog:
      return sim_log_contains(s0) != 0;
    case Op::ExpectNoLog:
      return sim_log_contains(s0) == 0;
    case Op::ExpectConsole:
      return sim_console_contains(s0) != 0;
    case Op::ExpectNoConsole:
      return sim_console_contains(s0) == 0;
    case Op::ExpectScreen:
      return sim_screen_shows(s0) != 0;
    case Op::ExpectNoScreen:
      return sim_screen_empty() != 0;
    default:
      return false;
  }
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
    bool idleOn = !sim_exited() && nextIdle_ != kNever;
    uint64_t idleAt = idleOn ? nextIdle_ : kNever;
    uint64_t at = itemAt < idleAt ? itemAt : idleAt;
    if (at == kNever || (at > sc_.endTick && i >= items.size())) break;
    if (at > now) sim_set_ticks(uint32_t(at));

    // The lines of this time, in file order; the idle event follows the
    // last action of the time (or comes first when the time has none).
    size_t j = i;
    while (j < items.size() && items[j]->tick <= at) ++j;
    size_t lastAction = j;
    for (size_t k = i; k < j; ++k)
      if (items[k]->stage == Stage::Action) lastAction = k;
    auto idleDue = [&]() { return !sim_exited() && nextIdle_ != kNever && nextIdle_ <= at; };
    if (lastAction == j && idleDue()) Idle();
    for (size_t k = i; k < j; ++k) {
      const Step& st = *items[k];
      if (st.stage == Stage::Expect) {
        ReportFlush();
        Outcome o;
        o.line = st.line;
        o.tick = sim_ticks();
        o.text = st.text;
        o.pass = Check(st);
        outcomes.push_back(o);
        if (!o.pass) ReportLine("expect", st.text + "  FAIL");
        continue;
      }
      if (st.op != Op::Key && st.op != Op::Request) ReportLine("action", st.text);
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

// Refuses a --disk folder that holds something other than a simulated disk,
// since the receiver empties the folder it starts on.
bool DiskFolderUsable(const std::string& dir, std::string& error) {
  struct stat st;
  if (stat(dir.c_str(), &st) != 0) return true;  // a new folder
  if (!S_ISDIR(st.st_mode)) {
    error = "--disk " + dir + " is not a folder";
    return false;
  }
  char real[PATH_MAX];
  if (realpath(dir.c_str(), real) && strcmp(real, "/") == 0) {
    error = "--disk / would empty the whole file system; choose a new or empty folder";
    return false;
  }
  struct stat sub;
  if (stat((dir + "/ProgramFiles").c_str(), &sub) == 0 ||
      stat((dir + "/DataFiles").c_str(), &sub) == 0)
    return true;  // a disk of an earlier run
  DIR* d = opendir(dir.c_str());
  if (!d) {
    error = "--disk " + dir + ": cannot read the folder: " + strerror(errno);
    return false;
  }
  bool empty = true;
  while (struct dirent* e = readdir(d)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) {
      empty = false;
      break;
    }
  }
  closedir(d);
  if (!empty) {
    error = "--disk " + dir +
            " holds files but no simulated disk (no ProgramFiles or DataFiles); the runner "
            "empties its disk folder, so choose a new or empty folder";
    return false;
  }
  return true;
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
  if (!DiskFolderUsable(options.disk, error)) {
    fprintf(stderr, "tapsim: %s\n", error.c_str());
    return 2;
  }
  if (!sim_init(options.disk.c_str())) {
    fprintf(stderr, "tapsim: cannot use %s as the simulated disk\n", options.disk.c_str());
    return 2;
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
      char templ[] = "/tmp/tapsim-screens-XXXXXX";
      if (!mkdtemp(templ)) {
        perror("tapsim: cannot make a screen folder for the report under /tmp");
        return 2;
      }
      reportScreens = templ;
      sim_screen_set_output(templ);
    }
    HtmlReportStart(pluginPath, options.info ? *options.info : TapInfo(), scenario, options.disk,
                    !reportScreens.empty());
  }
  // Ends the run: the report written (also for a run stopped half-way).
  auto finish = [&](const std::vector<Outcome>& outcomes, int status) {
    if (options.report.empty()) return status;
    if (!reportScreens.empty()) {
      sim_screen_set_output(nullptr);
      rmdir(reportScreens.c_str());
    }
    std::string why;
    if (!HtmlReportWrite(options.report, outcomes, status, why)) {
      fprintf(stderr, "tapsim: %s\n", why.c_str());
      return 2;
    }
    return status;
  };
  sim_set_observer(ReportObserve);

  // Power-on: the receiver as the scenario describes it, before the plug-in.
  Player player(scenario, nullptr);
  for (const Step& st : scenario.steps) {
    if (st.stage != Stage::PowerOn) continue;
    if (!player.Apply(st, error)) {
      fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
  }
  HtmlReportDiskStep();

  // A path without a folder would make dlopen search the library path.
  std::string file = pluginPath;
  if (file.find('/') == std::string::npos) file = "./" + file;
  // RTLD_LOCAL: none of the plug-in's symbols (it may define its own abort,
  // for one) takes the place of the runner's or the C library's.
  void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    fprintf(stderr, "tapsim: %s: cannot load the plug-in: %s\n", pluginPath, why ? why : "?");
    return 2;
  }
  dlerror();
  using InitFn = int (*)(TYPE_TapStart*);
  InitFn init = reinterpret_cast<InitFn>(dlsym(handle, "__TAP_Init_"));
  if (!init) {
    fprintf(stderr, "tapsim: %s: the plug-in has no start routine __TAP_Init_\n", pluginPath);
    return 2;
  }
  TYPE_TapStart start = {nullptr, nullptr};
  int initResult = init(&start);
  ReportFlush();
  ReportLine("start", "__TAP_Init_ -> " + std::to_string(initResult));
  if (!start.main || !start.eventHandler) {
    fprintf(stderr,
            "tapsim: %s: __TAP_Init_ did not name both entry points (TAP_Main and "
            "TAP_EventHandler)\n",
            pluginPath);
    return 2;
  }
  int mainResult = start.main();
  ReportFlush();
  ReportLine("start", "TAP_Main -> " + std::to_string(mainResult));
  HtmlReportDiskStep();

  player.SetHandler(start.eventHandler);
  std::vector<Outcome> outcomes;
  int status = player.Play(outcomes);
  sim_set_observer(nullptr);
  if (status != 0) return finish(outcomes, status);
  ReportFolders();
  ReportOutcomes(scenario.file, outcomes);
  // The plug-in stays loaded: the firmware never unloads a running plug-in,
  // and its code may still be referenced by the simulated receiver.
  for (const Outcome& o : outcomes)
    if (!o.pass) return finish(outcomes, 1);
  return finish(outcomes, 0);
}

}  // namespace tapsim
