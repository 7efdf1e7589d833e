// Soak test: seeded random disks, evenings and firmware faults, each run
// checked by a checker of its own. The checker knows only what it put on the
// disk and what the simulated firmware recorded; it reads the disk through
// the host's file system and shares no code with the plug-in.
//
//   test_soak [--seeds N] [--first S] [--verbose]
//
// Each seed runs in a child process of its own, so the plug-in's statics and
// the simulated receiver start fresh. The figures go to standard output:
// runs, recording sets, losses. Exit status 0 when nothing was lost.
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/main.h"
#include "sim/control.h"

namespace {

namespace fs = std::filesystem;

const std::string kTs = "/DataFiles/TimeShift";
const std::string kSave = "/DataFiles/TimeShift/Save";
const std::string kOwn = "/ProgramFiles/Settings/Brantlow";
constexpr uint32_t kStepTicks = 500;  // one idle event every 5 seconds

// Programme names, plain and hostile; saved names and the user's own sets
// are drawn from the same words so that they collide.
const char* const kWords[] = {"News", "Film", "[One]News", "Sport", "News-2", "Tatort"};
const char* const kHostile[] = {
    "News",
    "Film",
    "A/B: \"C\" <D>?",
    "$(touch pwned) `touch pwned`",
    "back\\slash $HOME",
    "..",
    ".",
    "FilerDelete",
    "\x01\x86\x1F",
    "///",
    "Tab\there\nline",
    "Save",
    "News.rec",
    "\xC4rger \xFC\xF6\xDF",
    "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
    "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx",
};
const char* const kChannels[] = {"One", "Das/Erste: \x01HD", "", "$(x)", "Two"};

// Wall clock in seconds since 1970 (UTC, as the simulated receiver counts).
int64_t Epoch(int y, int mo, int d, int h, int mi) {
  struct tm t;
  memset(&t, 0, sizeof t);
  t.tm_year = y - 1900;
  t.tm_mon = mo - 1;
  t.tm_mday = d;
  t.tm_hour = h;
  t.tm_min = mi;
  return static_cast<int64_t>(timegm(&t));
}

struct tm Civil(int64_t epoch) {
  time_t t = static_cast<time_t>(epoch);
  struct tm out;
  gmtime_r(&t, &out);
  return out;
}

// The 28-byte header of an information file with the start time at bytes
// 8 to 11 as the firmware packs it (day number since 1858-11-17 in the upper
// half, hour and minute below).
std::string InfHeader(int64_t start) {
  struct tm c = Civil(start);
  uint32_t mjd = static_cast<uint32_t>(start / 86400 + 40587);
  uint32_t packed = (mjd << 16) | (uint32_t(c.tm_hour) << 8) | uint32_t(c.tm_min);
  std::string h(28, '\0');
  for (int i = 0; i < 4; ++i) h[8 + i] = static_cast<char>((packed >> (8 * i)) & 0xFF);
  return h;
}

// What the checker knows.
struct SetInfo {
  std::string folder;                 // where it was placed
  std::string stream;                 // its stream name there
  std::vector<std::string> suffixes;  // members present: "", ".inf", ".nav"
  int64_t start = 0;                  // true start time
  bool movable = false;               // in TimeShift or Save: the plug-in may move or expire it
  bool buffer = false;                // a buffer the firmware closed
  std::map<std::string, std::string> content;  // suffix -> content
};

struct World {
  std::mt19937 rng;
  int seed = 0;
  int keepHours = 36;
  int64_t base = 0;  // wall clock at tick 0
  int64_t jumps = 0;
  std::vector<SetInfo> sets;
  std::map<std::string, std::string> loose;              // path -> content: must never change
  std::map<std::string, std::set<std::string>> folders;  // folder -> its entries (empty: any)
  std::vector<std::string> problems;
  bool verbose = false;

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  bool Chance(int percent) { return Pick(100) < percent; }
  int64_t Now() const { return base + int64_t(sim_ticks() / 100) + jumps; }
};

std::string Tag(World& w, size_t set, const std::string& suffix) {
  std::ostringstream s;
  s << "#SOAK" << set << ":" << suffix << "#seed " << w.seed;
  return s.str();
}

bool Write(const std::string& path, const std::string& data) {
  return sim_write_file(path.c_str(), data.data(), data.size()) == 1;
}

void Date(const std::string& path, int64_t when) {
  struct tm c = Civil(when);
  sim_set_mtime(path.c_str(), c.tm_year + 1900, c.tm_mon + 1, c.tm_mday, c.tm_hour, c.tm_min,
                c.tm_sec);
}

bool Taken(const std::string& path) {
  return sim_exists(path.c_str()) != 0;
}

// Writes (or rewrites, for the firmware's own sets) the members of set i
// with contents of their own.
void FillSet(World& w, size_t i, bool keepHeader) {
  SetInfo& s = w.sets[i];
  for (const std::string& suffix : s.suffixes) {
    std::string path = s.folder + "/" + s.stream + suffix;
    std::string data;
    if (suffix == ".inf") {
      std::string header = InfHeader(s.start);
      if (keepHeader) {
        char buf[28] = {0};
        if (sim_read_file(path.c_str(), buf, sizeof buf) == 28) header.assign(buf, 28);
      }
      data = header;
    }
    data += Tag(w, i, suffix);
    Write(path, data);
    Date(path, s.start);
    s.content[suffix] = data;
  }
}

// A user's set: stream, ".inf" and (mostly) ".nav"; sometimes a folder
// stands where its ".nav" would be.
void PlaceSet(World& w, const std::string& folder, const std::string& stream, int64_t start) {
  for (const char* ext : {"", ".inf", ".nav"}) {
    if (Taken(folder + "/" + stream + ext)) return;
  }
  SetInfo s;
  s.folder = folder;
  s.stream = stream;
  s.start = start;
  s.movable = folder == kTs || folder == kSave;
  s.suffixes = {"", ".inf"};
  if (w.Chance(85)) {
    s.suffixes.push_back(".nav");
  } else if (w.Chance(50)) {
    std::string dir = folder + "/" + stream + ".nav";
    sim_mkdir(dir.c_str());
    w.folders[dir] = {};
  }
  w.sets.push_back(s);
  FillSet(w, w.sets.size() - 1, false);
}

void PlaceLoose(World& w, const std::string& path, const std::string& data, int64_t when) {
  if (Taken(path)) return;
  Write(path, data);
  Date(path, when);
  w.loose[path] = data;
}

std::string Word(World& w) {
  return kWords[w.Pick(int(sizeof kWords / sizeof kWords[0]))];
}

void BuildDisk(World& w) {
  // Mostly the Save folder is there; otherwise the plug-in creates it.
  const bool save = w.Chance(90);
  if (save) sim_mkdir(kSave.c_str());
  sim_mkdir(kOwn.c_str());
  sim_mkdir("/DataFiles/Films");
  w.folders["/DataFiles/Films"] = {};
  const int keeps[] = {1, 3, 36, 48};
  w.keepHours = keeps[w.Pick(4)];
  std::string ini = "KeepBufferHours=" + std::to_string(w.keepHours) +
                    "\r\nRenameMode=" + std::to_string(w.Pick(3)) + "\r\n";
  PlaceLoose(w, kOwn + "/Brantlow.ini", ini, w.base);

  auto past = [&w] { return w.base - int64_t(w.Pick(96 * 60)) * 60; };
  const std::string places[] = {kSave, kSave, kSave, kTs, "/DataFiles", "/DataFiles/Films", kOwn};
  int sets = 2 + w.Pick(6);
  for (int i = 0; i < sets; ++i) {
    std::string folder = places[w.Pick(7)];
    if (folder == kSave && !save) folder = kTs;
    std::string name = Word(w) + (w.Chance(20) ? "-" + std::to_string(2 + w.Pick(3)) : "");
    PlaceSet(w, folder, name + (w.Chance(80) ? ".rec" : ".mpg"), past());
  }
  // Stray companions, folders named like recordings or companions, a stale
  // temporary name, and the user's other files.
  int strays = w.Pick(4);
  for (int i = 0; i < strays; ++i) {
    std::string folder = w.Chance(50) || !save ? kTs : kSave;
    std::string name = Word(w) + ".rec" + (w.Chance(50) ? ".inf" : ".nav");
    std::string stream = folder + "/" + name.substr(0, name.size() - 4);
    if (Taken(stream)) continue;
    std::string data = name.substr(name.size() - 4) == ".inf" ? InfHeader(past()) : "";
    PlaceLoose(w, folder + "/" + name, data + "stray " + name, past());
  }
  int dirs = w.Pick(3);
  for (int i = 0; i < dirs; ++i) {
    std::string folder = w.Chance(50) || !save ? kTs : kSave;
    const char* const forms[] = {".rec", ".mpg", ".rec.inf", ".rec.nav"};
    std::string dir = folder + "/" + Word(w) + forms[w.Pick(4)];
    if (Taken(dir)) continue;
    sim_mkdir(dir.c_str());
    PlaceLoose(w, dir + "/inside.txt", "kept in " + dir, past());
    w.folders[dir] = {"inside.txt"};
    Date(dir, past());
  }
  if (save && w.Chance(25)) PlaceLoose(w, kSave + "/FilerDelete.tmp", "not the plug-in's", past());
  if (w.Chance(10)) PlaceLoose(w, kTs + "/FilerDelete.tmp", "not the plug-in's", past());
  PlaceLoose(w, "/DataFiles/notes.txt", "the user's notes", past());
}

// Faults that stay on for the whole run. Folder changes fail only into the
// plug-in's own folders and the user's; a folder that cannot be entered cannot
// be told from a file by a change into it (see docs/reliability.md).
void PlaceFaults(World& w) {
  const char* const chdirs[] = {"/DataFiles/TimeShift", "/DataFiles/TimeShift/Save",
                                "/ProgramFiles", "/ProgramFiles/Settings/Brantlow",
                                "/DataFiles/Films"};
  for (const char* path : chdirs) {
    if (!w.Chance(6)) continue;
    sim_fail_chdir(path);
    if (w.verbose) fprintf(stderr, "fault: change into %s\n", path);
    // Without its own folder the plug-in cannot read its settings and keeps
    // recordings for the built-in 36 hours.
    if (strncmp(path, "/ProgramFiles", 13) == 0) w.keepHours = 36;
  }
  for (const SetInfo& s : w.sets) {
    if (w.Chance(8)) sim_fail_open((s.folder + "/" + s.stream + ".inf").c_str());
  }
  if (w.Chance(5)) sim_fail_create(kSave.c_str());
}

void Step(int n) {
  for (int i = 0; i < n && !sim_exited(); ++i) {
    sim_advance(kStepTicks);
    TAP_EventHandler(EVT_IDLE, 0, 0);
  }
}

void Zap(World& w) {
  int channel = 1 + w.Pick(int(sizeof kChannels / sizeof kChannels[0]));
  const char* name = kHostile[w.Pick(int(sizeof kHostile / sizeof kHostile[0]))];
  if (w.Chance(10)) {
    sim_set_event(1, channel, nullptr, nullptr);
  } else {
    sim_set_event(1, channel, name, w.Chance(30) ? "desc~ription" : "");
  }
  sim_tune(1, channel);
}

void JumpClock(World& w) {
  int64_t hours = 1 + w.Pick(60);
  w.jumps += hours * 3600;
  struct tm c = Civil(w.Now());
  sim_set_clock(c.tm_year + 1900, c.tm_mon + 1, c.tm_mday, c.tm_hour, c.tm_min, c.tm_sec);
}

// The delete-all question, answered "No" or left to time out.
void AskDeleteAll(World& w) {
  TAP_EventHandler(EVT_TAPCMD, 6, 0);
  int how = w.Pick(3);
  if (how == 0) {
    TAP_EventHandler(EVT_KEY, RKEY_Ok, 0);  // "No" is preselected
  } else if (how == 1) {
    TAP_EventHandler(EVT_KEY, RKEY_Left, 0);
    TAP_EventHandler(EVT_KEY, RKEY_Right, 0);
    TAP_EventHandler(EVT_KEY, RKEY_Ok, 0);
  } else {
    Step(4);  // 20 seconds: the question closes by itself
  }
}

// A recording slot records a file named like a saved set; the checker then
// knows the firmware's set in "/DataFiles".
void StartRecording(World& w, int slot) {
  std::string name;
  for (const SetInfo& s : w.sets) {
    if (s.folder == kSave && w.Chance(50)) name = s.stream;
  }
  if (name.empty()) name = Word(w) + ".rec";
  if (Taken("/DataFiles/" + name)) return;
  sim_record_start(slot, name.c_str());
  SetInfo s;
  s.folder = "/DataFiles";
  s.stream = name;
  s.start = w.Now();
  s.suffixes = {"", ".inf", ".nav"};
  w.sets.push_back(s);
  FillSet(w, w.sets.size() - 1, true);
}

// The buffer the firmware just closed: stream, ".inf" and ".nav" in the
// timeshift folder, each given a content of its own.
void CloseBuffer(World& w, const std::string& name, int64_t start) {
  sim_timeshift_stop();
  for (const char* ext : {"", ".inf", ".nav"}) {
    if (!Taken(kTs + "/" + name + ext)) w.problems.push_back("live buffer moved: " + name + ext);
  }
  SetInfo s;
  s.folder = kTs;
  s.stream = name;
  s.start = start;
  s.movable = true;
  s.buffer = true;
  s.suffixes = {"", ".inf", ".nav"};
  w.sets.push_back(s);
  FillSet(w, w.sets.size() - 1, true);
}

std::string LiveName() {
  // The firmware names the buffer it records in the timeshift slot's record.
  for (int n = 1; n < 10000; ++n) {
    std::string name = n == 1 ? "Timeshift.rec" : "Timeshift-" + std::to_string(n) + ".rec";
    if (!Taken(kTs + "/" + name)) return name;
  }
  return "";
}

void Evening(World& w) {
  for (int c = 1; c <= int(sizeof kChannels / sizeof kChannels[0]); ++c)
    sim_add_channel(1, c, kChannels[c - 1]);
  Zap(w);
  std::string live;
  int64_t liveStart = 0;
  if (w.Chance(30)) {  // timeshift already records when the plug-in starts
    live = LiveName();
    liveStart = w.Now();
    sim_timeshift_start(live.c_str());
  }
  TAP_Main();
  int periods = 1 + w.Pick(2);
  bool recording[2] = {false, false};
  for (int p = 0; p < periods && !sim_exited(); ++p) {
    if (live.empty()) {
      Step(1 + w.Pick(4));
      live = LiveName();
      liveStart = w.Now();
      sim_timeshift_start(live.c_str());
    }
    int steps = 40 + w.Pick(300);
    for (int i = 0; i < steps && !sim_exited(); i += 10) {
      Step(10);
      int what = w.Pick(40);
      if (what < 8) {
        Zap(w);
      } else if (what == 8) {
        JumpClock(w);
      } else if (what == 9) {
        AskDeleteAll(w);
      } else if (what == 10) {
        int slot = w.Pick(2);
        if (recording[slot]) {
          sim_record_stop(slot);
        } else {
          StartRecording(w, slot);
        }
        recording[slot] = !recording[slot];
      }
    }
    CloseBuffer(w, live, liveStart);
    live.clear();
    Step(3 + w.Pick(5));
  }
  if (!live.empty()) CloseBuffer(w, live, liveStart);
  Step(5);
}

// ---------------------------------------------------------------------------
// The checker: the disk as the host sees it, against what was placed.

std::string ReadHost(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void Check(World& w) {
  const fs::path root = sim_disk_root();
  auto host = [&root](const std::string& path) { return root / path.substr(1); };

  // Every file the checker placed and the plug-in must never touch.
  for (const auto& [path, data] : w.loose) {
    if (!fs::is_regular_file(host(path)) || ReadHost(host(path)) != data)
      w.problems.push_back("changed or gone: " + path);
  }
  // Every folder keeps its name and contents.
  for (const auto& [dir, entries] : w.folders) {
    if (!fs::is_directory(host(dir))) {
      w.problems.push_back("folder gone: " + dir);
      continue;
    }
    std::set<std::string> now;
    for (const auto& e : fs::directory_iterator(host(dir))) now.insert(e.path().filename());
    if (!entries.empty() && now != entries) w.problems.push_back("folder contents changed: " + dir);
    if (entries.empty() && dir.find("/DataFiles/Films") != 0 && !now.empty())
      w.problems.push_back("something went into folder " + dir);
  }

  // Where each tagged file is now.
  std::map<std::string, std::vector<std::string>> where;  // tag -> receiver paths
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file()) continue;
    std::string data = ReadHost(e.path());
    size_t at = data.find("#SOAK");
    if (at == std::string::npos) continue;
    size_t end = data.find('#', at + 5);
    where[data.substr(at, end - at + 1)].push_back("/" +
                                                   e.path().lexically_relative(root).string());
  }

  // Nothing in the two folders that the checker does not know: a file that
  // lost its name or a temporary name left behind.
  for (const std::string& dir : {kTs, kSave}) {
    if (!fs::is_directory(host(dir))) continue;
    for (const auto& e : fs::recursive_directory_iterator(host(dir))) {
      if (!e.is_regular_file()) continue;
      std::string path = "/" + e.path().lexically_relative(root).string();
      // The plug-in's log lands where the plug-in stands when the change
      // into its own folder fails; it is no recording.
      if (e.path().filename() == "Brantlow.log") continue;
      if (!w.loose.count(path) && ReadHost(e.path()).find("#SOAK") == std::string::npos)
        w.problems.push_back("unknown file: " + path);
    }
  }

  const int64_t now = w.Now();
  for (size_t i = 0; i < w.sets.size(); ++i) {
    const SetInfo& s = w.sets[i];
    std::string label = s.folder + "/" + s.stream + (s.buffer ? " (buffer)" : "");
    std::vector<std::string> paths;
    for (const std::string& suffix : s.suffixes) {
      std::string tag = Tag(w, i, suffix);
      tag = tag.substr(0, tag.find('#', 5) + 1);
      auto found = where.find(tag);
      if (found == where.end()) continue;
      if (found->second.size() != 1) w.problems.push_back("copied: " + label + suffix);
      const std::string& path = found->second[0];
      if (ReadHost(host(path)) != s.content.at(suffix))
        w.problems.push_back("content changed: " + path);
      paths.push_back(path);
    }
    if (paths.empty()) {
      // Gone whole: only an expired set from Save or the timeshift folder.
      if (!s.movable || (now - s.start) / 3600 < w.keepHours)
        w.problems.push_back("lost: " + label + ", started " +
                             std::to_string((now - s.start) / 60) + " minutes ago, keep " +
                             std::to_string(w.keepHours) + " hours");
      continue;
    }
    if (paths.size() != s.suffixes.size()) {
      w.problems.push_back("split: " + label);
      continue;
    }
    // Whole: one folder, the stream name and its companions.
    const std::string stream = paths[0];
    const std::string folder = stream.substr(0, stream.rfind('/'));
    if (!s.movable && stream != s.folder + "/" + s.stream) w.problems.push_back("moved: " + label);
    if (s.movable && folder != kTs && folder != kSave) w.problems.push_back("astray: " + stream);
    for (size_t m = 1; m < paths.size(); ++m) {
      if (paths[m] != stream + s.suffixes[m]) w.problems.push_back("set broken: " + paths[m]);
    }
  }
  for (int slot = 0; slot < 4; ++slot) {
    if (sim_stop_record_calls(slot) != 0) w.problems.push_back("a recording was stopped");
  }
}

struct Result {
  int sets = 0;
  int losses = 0;
};

// One seed in this process; the figures and the first problems go to fd.
void RunSeed(int seed, const std::string& disk, int fd, bool verbose) {
  World w;
  w.seed = seed;
  w.rng.seed(static_cast<std::mt19937::result_type>(seed) * 2654435761u + 17u);
  w.verbose = verbose;
  if (!sim_init(disk.c_str())) _exit(3);
  sim_set_sysvar(SYSVAR_Timeshift, 4);
  sim_set_sysvar(SYSVAR_TimeshiftStorage, 1);
  sim_set_sysvar(SYSVAR_OsdLan, w.Chance(50) ? 2 : 1);
  w.base = Epoch(2026, 12, 8, 20, 0);
  BuildDisk(w);
  PlaceFaults(w);
  Evening(w);
  Check(w);
  if (verbose) fprintf(stderr, "%s\n", sim_log_text());

  std::ostringstream out;
  out << w.sets.size() << " " << w.problems.size() << " " << sim_shell_commands() << " "
      << sim_total_calls() << "\n";
  for (size_t i = 0; i < w.problems.size() && i < 8; ++i)
    out << "seed " << seed << ": " << w.problems[i] << "\n";
  std::string text = out.str();
  if (write(fd, text.data(), text.size()) < 0) _exit(4);
}

}  // namespace

int main(int argc, char** argv) {
#ifdef BRANTLOW_SOAK_SEEDS
  int seeds = BRANTLOW_SOAK_SEEDS;
#else
  int seeds = 1000;
#endif
  int first = 1;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--seeds" && i + 1 < argc) {
      seeds = atoi(argv[++i]);
    } else if (a == "--first" && i + 1 < argc) {
      first = atoi(argv[++i]);
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      fprintf(stderr, "usage: %s [--seeds N] [--first S] [--verbose]\n", argv[0]);
      return 2;
    }
  }
  const std::string disk =
      (fs::temp_directory_path() / ("brantlow-soak-" + std::to_string(getpid()))).string();

  long long sets = 0, losses = 0, shell = 0, calls = 0;
  int runs = 0, failedRuns = 0;
  for (int seed = first; seed < first + seeds; ++seed) {
    int pipefd[2];
    if (pipe(pipefd) != 0) return 3;
    fflush(stdout);
    pid_t child = fork();
    if (child < 0) return 3;
    if (child == 0) {
      close(pipefd[0]);
      // The move commands of companions that do not exist fail on the
      // shell's error output; the checker's report is what counts.
      if (!verbose && !freopen("/dev/null", "w", stderr)) _exit(3);
      RunSeed(seed, disk, pipefd[1], verbose);
      _exit(0);
    }
    close(pipefd[1]);
    std::string text;
    char buf[4096];
    ssize_t n;
    while ((n = read(pipefd[0], buf, sizeof buf)) > 0) text.append(buf, size_t(n));
    close(pipefd[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ++runs;
    long long runSets = 0, runLosses = 0, runShell = 0, runCalls = 0;
    std::istringstream in(text);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        !(in >> runSets >> runLosses >> runShell >> runCalls)) {
      printf("seed %d: the run did not finish (status %d)\n", seed, status);
      ++failedRuns;
      continue;
    }
    sets += runSets;
    losses += runLosses;
    shell += runShell;
    calls += runCalls;
    if (runLosses != 0 || verbose) printf("%s", text.substr(text.find('\n') + 1).c_str());
  }
  std::error_code ec;
  fs::remove_all(disk, ec);
  printf(
      "soak: %d runs (seeds %d to %d), %lld recording sets, %lld losses, %d runs unfinished; "
      "%lld shell commands, %lld firmware calls\n",
      runs, first, first + seeds - 1, sets, losses, failedRuns, shell, calls);
  return losses == 0 && failedRuns == 0 ? 0 : 1;
}
