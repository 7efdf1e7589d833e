// Soak test: seeded random disks, receivers, evenings and firmware faults,
// each run checked by a checker of its own. The checker knows only what it
// put on the disk, what it told the simulated firmware to do and what an
// owner reads in the plug-in's description; it reads the disk through the
// host's file system and shares no code with the plug-in. It demands the
// work: every buffer the firmware closed saved under the name the rename mode
// gives, every set that grew old deleted at the next pass, none deleted
// young, nothing else on the disk changed. The power goes now and then right
// after a change the plug-in makes to the disk; the plug-in file is loaded
// afresh over the same disk, and what the cut split must be whole after the
// next start's first pass.
//
//   test_soak [--seeds N] [--first S] [--build plain|diagnostic|both]
//             [--plugin FILE] [--world NAME=on|off]... [--worlds] [--verbose]
//
// Each seed runs in a child process of its own, on a fresh simulated
// receiver, and loads the plug-in file (brantlow.tap or brantlow-plain.tap)
// as the firmware does; by default odd seeds soak the plain build and even
// seeds the diagnostic one. The figures go to standard output: runs,
// recording sets, buffers saved, sets expired, losses (every failed check).
// Exit status 0 when there was none.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
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

#include "platform/tap.h"
#include "sim/control.h"

#if BRANTLOW_SOAK_LINKED
// Sanitized builds make no plug-in file: the plain build is linked in, and
// the receiver cannot lose its power (the plug-in cannot be loaded afresh).
#include "app/main.h"
#elif __has_include("sim/loader/plugin_loader.h")
#include "sim/loader/plugin_loader.h"
#define SOAK_HAVE_LOADER 1
#endif
#if SOAK_HAVE_LOADER
constexpr bool kCanReload = true;
#else
constexpr bool kCanReload = false;
#endif

namespace {

namespace fs = std::filesystem;

const std::string kTs = "/DataFiles/TimeShift";
const std::string kSave = "/DataFiles/TimeShift/Save";
const std::string kOwn = "/ProgramFiles/Settings/Brantlow";
const char* const kSuffixes[] = {"", ".inf", ".nav"};

// ---------------------------------------------------------------------------
// Worlds. Each is one thing the generator makes, with what the checker then
// demands. A world that today's plug-in cannot yet live in stays off until
// its mend lands; `--world NAME=on` soaks it all the same.

struct WorldSwitch {
  const char* name;
  bool on;
  const char* what;
};

WorldSwitch gWorlds[] = {
    {"delete-all", true, "the delete-all question answered \"Yes\""},
    {"playback", true, "playback of saved sets and of their namesakes, also of one being expired"},
    {"play-recorded", true, "playback of a file named like one a recording slot records"},
    {"four-slots", true, "four recording slots with a firmware data file that lists the receiver"},
    {"four-slots-unlisted", true,
     "four recording slots without a data file, or with one that does not list the receiver"},
    {"clock-back", true, "the clock set back during the evening"},
    {"clock-unset", true, "a receiver that has no time all evening"},
    {"clock-jumps", true,
     "forward jumps of the clock, also after a standby and from an unset clock; buffers "
     "recorded while the clock was stale"},
    {"long-periods", true,
     "timeshift periods longer than the keep time, keep times shorter than the evening"},
    {"late-years", true, "evenings and recordings up to the end of the packed date range"},
    {"memory", true, "failing allocations at start"},
    {"buffer-kinds", true, "\".ts\" and \".mpg\" buffers"},
    {"upper-case", true, "\".REC\" and \".MPG\" buffers and sets"},
    {"user-names", true, "sets with long, shell-special and ISO-8859-1 names"},
    {"long-names", true, "sets whose companions' names would not fit 127 characters"},
    {"companion-folders", true, "a folder where a set's \".inf\" or \".nav\" would be"},
    {"stale-temp", true, "a \"FilerDelete.tmp\" file or folder in Save that is not the plug-in's"},
    {"folder-namesakes", true,
     "a folder in Save named like a companion of a set in the timeshift folder that cannot be "
     "opened"},
    {"settings", true, "settings files in every place the search finds them, odd values"},
    {"settings-comments", true, "settings files with comments"},
    {"notices", true, "timeshift settings off at power-on: the plug-in's notices rest it"},
    {"folder-faults", true, "folders the plug-in cannot enter"},
    {"own-folder-faults", true, "the plug-in's own folder cannot be entered"},
    {"exit", true, "the firmware's plug-in management ends the plug-in"},
    {"power-cuts", kCanReload,
     "the power cut right after a change the plug-in makes to the disk (half way through a "
     "write), also during a pass; the receiver starts again over the same disk"},
};

bool On(const char* name) {
  // A plug-in linked in cannot be loaded afresh after a cut.
  if (!kCanReload && strcmp(name, "power-cuts") == 0) return false;
  for (const WorldSwitch& w : gWorlds)
    if (strcmp(w.name, name) == 0) return w.on;
  fprintf(stderr, "test_soak: no world %s\n", name);
  _exit(3);
}

// ---------------------------------------------------------------------------
// Plug-in files. The soak loads them as the firmware does.

#if BRANTLOW_SOAK_LINKED
struct LoadedPlugin {
  void* handle;
  int (*main)(void);
  dword (*eventHandler)(dword, dword, dword);
};
bool LoadPluginFresh(const char*, LoadedPlugin* out, std::string*) {
  *out = {nullptr, TAP_Main, TAP_EventHandler};
  return true;
}
#elif !SOAK_HAVE_LOADER
struct LoadedPlugin {
  void* handle;
  int (*main)(void);
  dword (*eventHandler)(dword, dword, dword);
};
// One load per process: each seed is a process of its own.
bool LoadPluginFresh(const char* path, LoadedPlugin* out, std::string* error) {
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    *error = why ? why : "cannot load";
    return false;
  }
  using InitFn = int (*)(TYPE_TapStart*);
  InitFn init = reinterpret_cast<InitFn>(dlsym(handle, "__TAP_Init_"));
  if (!init) {
    *error = "no __TAP_Init_";
    return false;
  }
  TYPE_TapStart start = {nullptr, nullptr};
  init(&start);
  *out = {handle, start.main, start.eventHandler};
  return out->main && out->eventHandler;
}
#endif

#ifndef BRANTLOW_SOAK_DIAG_TAP
#define BRANTLOW_SOAK_DIAG_TAP ""
#endif
#ifndef BRANTLOW_SOAK_PLAIN_TAP
#define BRANTLOW_SOAK_PLAIN_TAP ""
#endif

// ---------------------------------------------------------------------------
// Time as the receiver reads it, and the packed date-time of its files.

int64_t FloorDiv(int64_t a, int64_t b) {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// The calendar is the C library's (UTC).
void CivilOf(int64_t days, int* y, int* m, int* d) {
  time_t t = static_cast<time_t>(days * 86400);
  struct tm c;
  gmtime_r(&t, &c);
  *y = c.tm_year + 1900;
  *m = c.tm_mon + 1;
  *d = c.tm_mday;
}

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

// MJD << 16 | hour << 8 | minute.
uint32_t Packed(int64_t seconds) {
  const int64_t days = FloorDiv(seconds, 86400);
  const int64_t rest = seconds - days * 86400;
  return uint32_t((days + 40587) & 0xFFFF) << 16 | uint32_t(rest / 3600) << 8 |
         uint32_t(rest % 3600 / 60);
}

int64_t PackedMinutes(uint32_t p) {
  return 1440 * int64_t(p >> 16) + 60 * int64_t((p >> 8) & 0xFF) + int64_t(p & 0xFF);
}

// A date an owner's receiver can have written: from 2005 to the last day the
// packed form holds (MJD 65535, 2038-04-22).
bool Plausible(uint32_t p) {
  int y, m, d;
  CivilOf(int64_t(p >> 16) - 40587, &y, &m, &d);
  return y >= 2005 && ((p >> 8) & 0xFF) <= 24;
}

// The clock as the checker keeps it: it moves only where the soak moves it.
struct Clock {
  bool set = true;
  int64_t cs = 0;  // centiseconds since 1970 while set; since the unset began otherwise
  int64_t Seconds() const { return FloorDiv(cs, 100); }
  // What TAP_GetTime reports, packed; an unset clock reports MJD 0, 00:00.
  uint32_t Now() const { return set ? Packed(Seconds()) : 0; }
  // A file written now is dated by the clock's seconds, also while unset.
  int64_t FileSeconds() const { return Seconds(); }
};

// ---------------------------------------------------------------------------
// Names as an owner reads them in the description of the plug-in.

bool EndsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() &&
         s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

// ".rec" or ".mpg" in any letter case: a recording for the save and expiry passes.
bool IsRecordingName(const std::string& name) {
  if (name.size() < 4) return false;
  const std::string tail = Lower(name.substr(name.size() - 4));
  return tail == ".rec" || tail == ".mpg";
}

bool EndsWithAnyCase(const std::string& s, const std::string& suffix) {
  return EndsWith(Lower(s), suffix);
}

bool IsBufferName(const std::string& name) {
  return IsRecordingName(name) || EndsWithAnyCase(name, ".ts");
}

template <typename Keep>
std::string Filter(const std::string& s, Keep keep) {
  std::string out;
  for (char c : s)
    if (keep(static_cast<unsigned char>(c))) out += c;
  return out;
}

// Control bytes and the nine characters Windows forbids in names go.
std::string CleanName(const std::string& s) {
  std::string t =
      Filter(s, [](unsigned char c) { return (c >= 0x20 && c <= 0x7E) || c == 0x8A || c >= 0xA0; });
  return Filter(t, [](unsigned char c) { return strchr("\"*/:<>?\\|", c) == nullptr; });
}

std::string LegalName(const std::string& s) {
  return Filter(s, [](unsigned char c) {
    if (c < 0x20 && c != 0x0A) return false;
    return !(c >= 0x7F && c <= 0x9F && c != 0x80 && c != 0x8A && c != 0x91 && c != 0x92);
  });
}

// The name a buffer found by a folder pass gets: after the programme watched
// longest (and its channel in brackets in rename mode 2), cut to 80 bytes, or
// its present name where no programme is known.
std::string ExpectedName(const std::string& entry, const std::string& programme, int mode,
                         const std::string& channel) {
  const std::string cur = CleanName(programme);
  if (cur.empty() || mode == 0) {
    if (EndsWithAnyCase(entry, ".ts")) return "[Unknown].rec";
    return LegalName(CleanName(entry));
  }
  std::string name;
  if (mode == 2 && !channel.empty()) name = CleanName("[" + channel + "]");
  name += cur;
  if (name.size() > 80) name.resize(80);
  name += EndsWithAnyCase(entry, ".mpg") ? ".mpg" : ".rec";
  return LegalName(name);
}

// The unique forms of a name: itself, then base-2, base-3, ... before the
// extension (a one-digit number the name carries is no part of the base).
struct NameParts {
  std::string base, ext;
};
NameParts Split(const std::string& name) {
  NameParts p;
  size_t dot = name.rfind('.');
  p.base = dot == std::string::npos ? name : name.substr(0, dot);
  p.ext = dot == std::string::npos ? "" : name.substr(dot);
  const size_t n = p.base.size();
  if (n >= 3 && p.base[n - 2] == '-' && p.base[n - 1] >= '1' && p.base[n - 1] <= '9')
    p.base.resize(n - 2);
  return p;
}

bool IsFormOf(const std::string& candidate, const std::string& name) {
  const NameParts p = Split(name);
  if (candidate == p.base + p.ext) return true;
  const std::string head = p.base + "-";
  if (candidate.size() <= head.size() + p.ext.size()) return false;
  if (candidate.compare(0, head.size(), head) != 0 || !EndsWith(candidate, p.ext)) return false;
  const std::string digits =
      candidate.substr(head.size(), candidate.size() - head.size() - p.ext.size());
  if (digits.empty() || digits[0] == '0' || digits.size() > 6) return false;
  for (char c : digits)
    if (c < '0' || c > '9') return false;
  return atoi(digits.c_str()) >= 2;
}

std::string PlainForm(const std::string& name) {
  const NameParts p = Split(name);
  return p.base + p.ext;
}

// A set is made unique twice: renamed in the timeshift folder, then moved
// into Save. Names too long for the unique number and the companions lose
// the end of their base (the extension stays).
bool IsSavedFormOf(const std::string& candidate, const std::string& name) {
  std::vector<std::string> names = {name};
  const NameParts p = Split(name);
  if (name.size() > 115)
    for (size_t keep = 64; keep < p.base.size(); ++keep)
      names.push_back(p.base.substr(0, keep) + p.ext);
  for (const std::string& n : names) {
    if (IsFormOf(candidate, n) || IsFormOf(candidate, PlainForm(n))) return true;
    const NameParts q = Split(n);
    for (int k = 10; k < 100; ++k)
      if (IsFormOf(candidate, q.base + "-" + std::to_string(k) + q.ext)) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------
// Settings as the owner's guide describes them.

struct Settings {
  int keep = 36;
  int mode = 2;
};

bool KeyAt(const std::string& text, size_t at, const std::string& key) {
  if (text.size() < at + key.size() + 1) return false;
  return Lower(text.substr(at, key.size())) == Lower(key) && text[at + key.size()] == '=';
}

int Clamp(long long v, int lo, int hi) {
  return v < lo ? lo : v > hi ? hi : int(v);
}

// Lines with the key at their start (blanks before it allowed); a line whose
// first character that is not a blank is ';' or '#' is a comment; a whole
// number may be followed by blanks and a comment. The first line with the
// key decides.
int SettingOf(const std::string& text, const std::string& key, int def, int lo, int hi) {
  std::vector<std::string> lines;
  std::string line;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' || text[i] == '\n') {
      lines.push_back(line);
      line.clear();
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      line += text[i];
    }
  }
  lines.push_back(line);
  for (const std::string& l : lines) {
    size_t at = l.find_first_not_of(' ');
    if (at == std::string::npos || l[at] == ';' || l[at] == '#') continue;
    if (!KeyAt(l, at, key)) continue;
    std::string v = l.substr(at + key.size() + 1);
    size_t end = v.find_first_of(" ;#");
    std::string rest = end == std::string::npos ? "" : v.substr(end);
    std::string number = v.substr(0, end);
    size_t restAt = rest.find_first_not_of(' ');
    if (restAt != std::string::npos && rest[restAt] != ';' && rest[restAt] != '#') return def;
    if (!rest.empty() && rest[0] != ' ' && restAt != std::string::npos) return def;
    size_t digits = number[0] == '-' ? 1 : 0;
    if (number.size() <= digits || number.size() > 11) return def;
    for (size_t i = digits; i < number.size(); ++i)
      if (number[i] < '0' || number[i] > '9') return def;
    return Clamp(atoll(number.c_str()), lo, hi);
  }
  return def;
}

// ---------------------------------------------------------------------------
// What the checker knows of the disk.

struct Member {
  std::string suffix;        // "", ".inf", ".nav"
  ino_t ino = 0;             // the file's identity: renames and moves keep it
  std::string content;       // what the checker wrote
  int64_t mtime = 0;         // receiver seconds
  std::string folder, name;  // where it is now
  bool gone = false;
};

struct RecSet {
  std::string origFolder, origStream;
  std::vector<Member> members;  // members[0] is the stream
  bool movable = false;        // in the timeshift folder or Save: the plug-in may save or expire it
  bool buffer = false;         // a buffer the firmware closed
  bool live = false;           // the firmware records it now
  bool infUnreadable = false;  // its ".inf" cannot be opened (fault) or is a folder or missing
  uint32_t infStart = 0;       // bytes 8 to 11 of its ".inf"
  int64_t closedAt = 0;        // buffers: when the firmware closed it (receiver seconds)
  // Where it stands as a whole, while it does.
  std::string folder, stream;
  bool gone = false;
  // Names it may carry: its own, and the unique forms of every name a folder
  // pass gave it.
  std::vector<std::string> given;
  bool saved = false;  // moved into Save by a pass
  // For the age rules within one start of the plug-in: when that start
  // learnt of the set (receiver seconds and ticks).
  int64_t knownWall = 0;
  uint32_t knownTick = 0;
  // Split by a power cut: its members may stand under the names and in the
  // folders the cut operation left until a pass of the next start makes it
  // whole (under one of those names) or, if it was being deleted, takes it.
  bool doubt = false;
  bool deleting = false;
  std::set<std::string> doubtNames;
};

struct FolderInfo {
  std::set<std::string> entries;  // what it holds (checked when fixed)
  bool fixed = false;             // its contents never change
};

struct Loose {
  std::string content;
  int64_t mtime = 0;
};

std::string ReadHost(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// ---------------------------------------------------------------------------
// The model of one start of the plug-in: what the mode machine does with the
// events the soak sends, as the description tells it. It decides when the
// programme is sampled, which name a pass gives and when the passes run.

struct Instance {
  bool exited = false;
  int mode = 0;  // 0 Startup, 1 Idle, 2 Timeshifting, 3 Filehandler waiting
  uint32_t lastTick = 0;
  std::string myKey, curKey;
  uint32_t myStart = 0, myDur = 0, curDur = 0;
  int curType = 0, curNum = 0;
  bool seriesOpen = false;
  uint32_t seriesStart = 0;
  uint32_t messageStop = 0;
  bool dialog = false;
  int dialogId = 0;  // 0 notice, 1 delete-all question
  int selected = 0;
  bool twoButtons = false;
  uint32_t dialogTicks = 0;
  int timeout = 0;
  bool noticeBoth = false, noticeStorage = false;
  bool jumped = false;  // the clock jumped forward since this start
  uint32_t lastJumpTick = 0;
  // The plug-in's last look at the clock (its passes): a jump is seen only
  // from there, as one jump however many the clock made in between.
  bool looked = false;
  int64_t lookWall = 0;
  uint32_t lookTick = 0;
};

// What one event made the plug-in do, as the model predicts it.
struct Effect {
  bool pass = false;  // a folder pass over the timeshift folder
  std::string programme;
  int channelType = 0, channelNum = 0;
  bool expiry = false;  // an expiry pass over Save
  int keep = 0;
  bool exits = false;
};

// The programme key the firmware's current event gives: its name, and "~"
// and its description when there is one; nothing without an event.
struct Channel;
std::string ProgrammeKey(const struct Channel& c);

// ---------------------------------------------------------------------------
// One seed.

struct Channel {
  std::string name;
  bool hasEvent = false;
  std::string event, description;
};

std::string ProgrammeKey(const Channel& c) {
  if (!c.hasEvent) return "";
  std::string key = c.event.substr(0, 127);
  const std::string d = c.description.substr(0, 255);
  if (!d.empty()) key += "~" + d;
  return key;
}

struct Soak {
  std::mt19937 rng;
  int seed = 0;
  bool verbose = false;
  std::string pluginPath;
  LoadedPlugin plugin{};
  std::string root;  // host path of the disk

  // The receiver.
  Clock clock;
  int slots = 2;
  bool listed = true;  // the firmware data file lists this receiver's slots
  std::map<int, Channel> channels;
  int tuned = 1;
  int liveSet = -1;
  std::string recording[4];  // what each recording slot records
  std::string played;        // name of the file played back ("" none)
  std::string playedPath;
  // Faults that stay on.
  std::set<std::string> chdirFaults;
  std::set<std::string> openFaults;
  bool saveCreateFault = false;
  unsigned allocFault = 0;  // the nth allocation of each start fails (0 none)
  bool allocFailAll = false;

  // Settings the plug-in reads at each start.
  Settings settings;
  int stepTicks = 500;

  // What the checker placed and expects.
  std::vector<RecSet> sets;
  std::map<std::string, Loose> loose;  // receiver path -> file that must never change
  std::map<std::string, FolderInfo> folders;
  std::set<std::string> expectedFolders;  // every folder that may exist at the end
  std::vector<std::string> problems;

  // The model of the running start of the plug-in.
  Instance inst;
  int starts = 0;
  bool endMismatch = false;
  // Power cuts still to arm this evening; a cut whose next start has not yet
  // had a pass that could mend what it split.
  int cutsLeft = 0;
  bool afterCut = false;

  // Figures.
  int buffers = 0, savedBuffers = 0, expired = 0, deleteAlls = 0, powerCuts = 0;

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
  bool Chance(int percent) { return Pick(100) < percent; }

  // The story of the seed, for --verbose.
  void Note(const std::string& what) {
    if (verbose) fprintf(stderr, "[%u] %s\n", sim_ticks(), what.c_str());
  }

  void Problem(const std::string& what) {
    std::ostringstream s;
    s << what << " (at tick " << sim_ticks() << ")";
    problems.push_back(s.str());
    Note("PROBLEM " + s.str());
  }

  std::string Host(const std::string& path) const { return root + path; }

  // ---- disk
  bool Write(const std::string& path, const std::string& data, int64_t mtime);
  ino_t Inode(const std::string& path) const;
  bool Taken(const std::string& path) const { return sim_exists(path.c_str()) != 0; }
  bool Mkdir(const std::string& path, bool fixed);
  void PlaceLoose(const std::string& path, const std::string& data, int64_t when);
  int PlaceSet(const std::string& folder, const std::string& stream, int64_t start, bool inf,
               bool nav);
  std::string Tag(size_t set, const std::string& suffix) const;

  // ---- generator
  void Receiver();
  void BuildDisk();
  void PlaceFaults();
  void ReadSettings();
  std::string SettingsFile(bool* located) const;
  void PlaceBoundarySets();
  void CopyInNearKeep();
  void Evening();
  void Load();
  void Describe();
  void Send(dword event, dword p1);
  void Step(int n);
  void Zap();
  void ClockAction();
  void AskDeleteAll();
  void RecordingAction();
  void PlaybackAction();
  void StartTimeshift();
  void CloseBuffer();
  void EndBuffer(bool kept);
  void PowerOn();
  std::string Word();

  // ---- model
  Effect Predict(dword event, dword p1);
  void Sample(uint32_t now);
  bool Handled() const;
  bool OperationsBlocked() const;
  bool Recorded(const RecSet& s) const;
  bool Protected(const RecSet& s) const;
  void OpenDialog(int id, int selected, bool two, int timeout, uint32_t now);

  // ---- checker
  struct Seen {
    std::string folder, name;
    bool dir;
  };
  std::map<ino_t, Seen> Scan(const std::vector<std::string>& dirs) const;
  std::map<ino_t, Seen> ScanAll() const;
  void AfterEvent(const Effect& e, const std::map<std::string, std::set<std::string>>& before,
                  bool cut);
  std::map<std::string, std::set<std::string>> Names() const;
  bool DeletionAllowed(const RecSet& s, bool deleteAll) const;
  bool MustGo(const RecSet& s, int keep) const;
  uint32_t AgeStart(const RecSet& s) const;
  void FinalCheck();
};

std::string Soak::Tag(size_t set, const std::string& suffix) const {
  std::ostringstream s;
  s << "#SOAK" << set << ":" << suffix << "#seed " << seed;
  return s.str();
}

bool Soak::Write(const std::string& path, const std::string& data, int64_t mtime) {
  if (sim_write_file(path.c_str(), data.data(), data.size()) != 1) return false;
  int y, m, d;
  CivilOf(FloorDiv(mtime, 86400), &y, &m, &d);
  int64_t rest = mtime - FloorDiv(mtime, 86400) * 86400;
  sim_set_mtime(path.c_str(), y, m, d, int(rest / 3600), int(rest % 3600 / 60), int(rest % 60));
  return true;
}

ino_t Soak::Inode(const std::string& path) const {
  struct stat st;
  if (lstat(Host(path).c_str(), &st) != 0) return 0;
  return st.st_ino;
}

// A folder of the user's; fixed: its contents never change.
bool Soak::Mkdir(const std::string& path, bool fixed) {
  if (Taken(path) || !sim_mkdir(path.c_str())) return false;
  folders[path].fixed = fixed;
  expectedFolders.insert(path);
  size_t slash = path.rfind('/');
  auto f = folders.find(path.substr(0, slash));
  if (f != folders.end()) f->second.entries.insert(path.substr(slash + 1));
  return true;
}

void Soak::PlaceLoose(const std::string& path, const std::string& data, int64_t when) {
  if (Taken(path)) return;
  Write(path, data, when);
  loose[path] = Loose{data, when};
  size_t slash = path.rfind('/');
  auto f = folders.find(path.substr(0, slash));
  if (f != folders.end()) f->second.entries.insert(path.substr(slash + 1));
}

// The 28-byte head of an information file with the start time at bytes 8
// to 11, as the firmware packs it.
std::string InfHeader(uint32_t packed) {
  std::string h(28, '\0');
  for (int i = 0; i < 4; ++i) h[8 + i] = char((packed >> (8 * i)) & 0xFF);
  return h;
}

// A user's set: stream, mostly an ".inf", mostly a ".nav", each with a
// content of its own. Returns its index, or -1 when a name is taken.
int Soak::PlaceSet(const std::string& folder, const std::string& stream, int64_t start, bool inf,
                   bool nav) {
  for (const char* ext : kSuffixes)
    if (Taken(folder + "/" + stream + ext)) return -1;
  RecSet s;
  s.origFolder = s.folder = folder;
  s.origStream = s.stream = stream;
  s.movable = folder == kTs || folder == kSave;
  s.given.push_back(stream);
  const size_t index = sets.size();
  for (const char* ext : kSuffixes) {
    const std::string suffix = ext;
    if ((suffix == ".inf" && !inf) || (suffix == ".nav" && !nav)) continue;
    Member m;
    m.suffix = suffix;
    m.content = suffix == ".inf" ? InfHeader(Packed(start)) : "";
    m.content += Tag(index, suffix);
    m.mtime = start;
    m.folder = folder;
    m.name = stream + suffix;
    const std::string path = folder + "/" + m.name;
    if (!Write(path, m.content, start)) return -1;
    m.ino = Inode(path);
    s.members.push_back(m);
  }
  s.infStart = inf ? Packed(start) : 0;
  s.infUnreadable = !inf;
  sets.push_back(s);
  return int(index);
}

// Programme names, plain and hostile; saved names and the user's own sets
// are drawn from the same words so that they collide.
const char* const kWords[] = {"News", "Film", "[One]News", "Sport", "News-2", "Tatort"};
const char* const kProgrammes[] = {
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
const char* const kChannelNames[] = {"One", "Das/Erste: \x01HD", "", "$(x)", "Two"};
// Names owners give their own recordings.
const char* const kUserNames[] = {"Film \"Director's Cut\"",
                                  "$(rm -rf x) `id`",
                                  "back\\slash",
                                  "Caf\xE9 M\xFCller \xC4\xD6\xDC",
                                  "tab\tand\nline",
                                  "100% $HOME & co; ls |",
                                  "semi;colon 'quote'",
                                  "-n",
                                  "*glob?[a]",
                                  "\x81\x9F control"};

std::string Soak::Word() {
  return kWords[Pick(int(sizeof kWords / sizeof kWords[0]))];
}

// ---------------------------------------------------------------------------
// Generator: the receiver, its disk and its faults.

void Soak::Receiver() {
  int y = 2026, mo = 12, d = 8;
  if (On("late-years") && Chance(40)) {
    // Up to a few days before the last date the packed form holds.
    y = 2030 + Pick(8);
    mo = 1 + Pick(12);
    d = 1 + Pick(28);
    // (Not where the host's own file dates end in January 2038: the
    // receiver build under the emulator has a 32-bit time_t.)
    if (y == 2037 && Chance(50) && sizeof(time_t) >= 8) y = 2038, mo = 4, d = 1 + Pick(16);
  } else if (Chance(20)) {
    y = 2008 + Pick(21);
    mo = 1 + Pick(12);
    d = 1 + Pick(28);
  }
  clock.set = true;
  clock.cs = Epoch(y, mo, d, 20, 0) * 100;
  sim_set_clock(y, mo, d, 20, 0, 0);

  const int steps[] = {500, 500, 300, 1001, 1500};
  stepTicks = steps[Pick(5)];

  sim_set_sysvar(SYSVAR_Timeshift, 4);
  sim_set_sysvar(SYSVAR_TimeshiftStorage, 1);
  if (On("notices") && Chance(20)) {
    int which = Pick(3);
    if (which != 1) sim_set_sysvar(SYSVAR_Timeshift, 0);
    if (which != 0) sim_set_sysvar(SYSVAR_TimeshiftStorage, 0);
  }
  sim_set_sysvar(SYSVAR_OsdLan, Chance(50) ? 2 : 1);

  // Recording slots and the firmware data file.
  const unsigned model = 0x1000 + unsigned(Pick(0x100));
  sim_set_system_id(model);
  slots = 2;
  listed = true;
  if (On("four-slots") && Chance(30)) {
    slots = 4;
    sim_write_firmwaredat("/ProgramFiles/Settings", model, 4);
  } else if (On("four-slots-unlisted") && Chance(30)) {
    slots = 4;
    listed = false;
    if (Chance(50)) sim_write_firmwaredat("/ProgramFiles/Settings", model + 1, 4);
  } else if (Chance(30)) {
    sim_write_firmwaredat("/ProgramFiles/Settings", Chance(50) ? model : model + 1, 2);
  }
  sim_set_slots(slots);
  if (sim_exists("/ProgramFiles/Settings/FirmwareTMS.dat")) {
    char buf[4096];
    long n = sim_read_file("/ProgramFiles/Settings/FirmwareTMS.dat", buf, sizeof buf);
    loose["/ProgramFiles/Settings/FirmwareTMS.dat"] =
        Loose{std::string(buf, size_t(n > 0 ? n : 0)), clock.FileSeconds()};
  }

  for (int c = 1; c <= int(sizeof kChannelNames / sizeof kChannelNames[0]); ++c) {
    sim_add_channel(1, c, kChannelNames[c - 1]);
    channels[c].name = kChannelNames[c - 1];
  }
}

void Soak::BuildDisk() {
  const int64_t base = clock.Seconds();
  for (const char* f : {"/ProgramFiles", "/ProgramFiles/Settings", "/DataFiles", kTs.c_str()})
    expectedFolders.insert(f);
  expectedFolders.insert(kSave);  // the plug-in makes it when it is missing
  expectedFolders.insert(kOwn);
  const bool save = Chance(90);
  if (save) Mkdir(kSave, false);
  // The plug-in makes its own folder when it is missing.
  const bool own = Chance(85);
  if (own) Mkdir(kOwn, false);
  Mkdir("/DataFiles/Films", false);

  // Settings: mostly in the plug-in's own folder.
  int keeps[] = {3, 36, 48, 1};
  const int keep = keeps[Pick(On("long-periods") ? 4 : 3)];
  // Mode 1 is mode 2 without its prefix: the others show more.
  const int modes[] = {0, 0, 0, 1, 2, 2, 2};
  const int mode = modes[Pick(7)];
  std::string ini =
      "KeepBufferHours=" + std::to_string(keep) + "\r\nRenameMode=" + std::to_string(mode) + "\r\n";
  if (On("settings") && Chance(20)) {
    const int form = Pick(6);
    if (form == 0) ini = "";  // empty: every default
    if (form == 1)
      ini = "keepbufferhours=" + std::to_string(keep) + "\r\nrenamemode=" + std::to_string(mode) +
            "\r\n";
    if (form == 2) ini = "RenameMode=" + std::to_string(mode) + "\r\nKEEPBUFFERHOURS=20000\r\n";
    if (form == 3) ini = "KeepBufferHours=" + std::to_string(keep) + "\r\nRenameMode=two\r\n";
    if (form == 4) ini = "RenameMode=-1\r\nKeepBufferHours=" + std::to_string(keep) + "\r\n";
    if (form == 5) ini = "KeepBufferHours=" + std::to_string(keep) + "\nRenameMode=7\n";
  }
  if (On("settings-comments") && Chance(50)) {
    const int form = Pick(4);
    if (form == 0)
      ini = "; KeepBufferHours=2\r\n#RenameMode=0\r\nKeepBufferHours=" + std::to_string(keep) +
            "\r\nRenameMode=" + std::to_string(mode) + "\r\n";
    if (form == 1)
      ini = "KeepBufferHours=" + std::to_string(keep) +
            " ; hours\r\n  RenameMode=" + std::to_string(mode) + "   # how\r\n";
    if (form == 2)
      ini = "# Brantlow\r\nOldKeepBufferHours=5\r\n   ;   RenameMode=0\r\nKeepBufferHours=" +
            std::to_string(keep) + "\r\nRenameMode=" + std::to_string(mode) + "\r\n";
    if (form == 3)
      ini = "  keepbufferhours=" + std::to_string(keep) +
            "\r\n; RenameMode=1\r\nRenameMode=" + std::to_string(mode) + "  \r\n";
  }
  std::string where = own ? kOwn : "/ProgramFiles";
  if (On("settings") && Chance(15)) where = Chance(50) ? "/ProgramFiles" : "/ProgramFiles/Settings";
  const bool haveIni = Chance(92);
  if (haveIni) PlaceLoose(where + "/Brantlow.ini", ini, base);
  // A second file the search passes over or prefers.
  if (On("settings") && Chance(10))
    PlaceLoose("/ProgramFiles/Settings/Brantlow.ini", "KeepBufferHours=2\r\nRenameMode=0\r\n",
               base);

  auto past = [&] { return base - int64_t(Pick(96 * 60)) * 60; };
  const std::string places[] = {kSave, kSave, kSave, kTs, "/DataFiles", "/DataFiles/Films", kOwn};
  int count = 2 + Pick(6);
  for (int i = 0; i < count; ++i) {
    std::string folder = places[Pick(7)];
    if (folder == kSave && !save) folder = kTs;
    if (folder == kOwn && !own) folder = "/DataFiles";
    std::string name = Word() + (Chance(20) ? "-" + std::to_string(2 + Pick(3)) : "");
    if (On("user-names") && Chance(25)) {
      name = kUserNames[Pick(int(sizeof kUserNames / sizeof kUserNames[0]))];
      if (Chance(20)) name = std::string(60 + Pick(55), 'L') + name.substr(0, 4);
    }
    if (On("long-names") && Chance(10)) name = std::string(118 + Pick(6), 'M');
    std::string ext = Chance(80) ? ".rec" : ".mpg";
    if (On("upper-case") && Chance(25)) ext = ext == ".rec" ? ".REC" : ".MPG";
    const bool inf = Chance(95);
    bool nav = Chance(85);
    std::string stream = name + ext;
    const bool navFolder = !nav && On("companion-folders") && Chance(50);
    const bool infFolder = inf && On("companion-folders") && Chance(5);
    int index = PlaceSet(folder, stream, past(), inf && !infFolder, nav);
    if (index < 0) continue;
    if (navFolder && Mkdir(folder + "/" + stream + ".nav", true))
      PlaceLoose(folder + "/" + stream + ".nav/inside.txt", "kept", past());
    if (infFolder && Mkdir(folder + "/" + stream + ".inf", true))
      PlaceLoose(folder + "/" + stream + ".inf/inside.txt", "kept", past());
  }
  // Stray companions, folders named like recordings or companions, stale
  // temporary names, and the user's other files.
  int strays = Pick(4);
  for (int i = 0; i < strays; ++i) {
    std::string folder = Chance(50) || !save ? kTs : kSave;
    std::string name = Word() + ".rec" + (Chance(50) ? ".inf" : ".nav");
    std::string stream = folder + "/" + name.substr(0, name.size() - 4);
    if (Taken(stream)) continue;
    std::string data = EndsWith(name, ".inf") ? InfHeader(Packed(past())) : "";
    PlaceLoose(folder + "/" + name, data + "stray " + name, past());
  }
  int dirs = Pick(3);
  for (int i = 0; i < dirs; ++i) {
    std::string folder = Chance(50) || !save ? kTs : kSave;
    const char* const forms[] = {".rec", ".mpg", ".rec.inf", ".rec.nav", ".ts"};
    std::string dir = folder + "/" + Word() + forms[Pick(5)];
    if (Mkdir(dir, true)) PlaceLoose(dir + "/inside.txt", "kept in " + dir, past());
  }
  if (Chance(10)) PlaceLoose(kTs + "/FilerDelete.tmp", "not the plug-in's", past());
  if (save && On("stale-temp") && Chance(25)) {
    if (Chance(50)) {
      PlaceLoose(kSave + "/FilerDelete.tmp", "not the plug-in's", past());
    } else {
      if (Mkdir(kSave + "/FilerDelete.tmp", true))
        PlaceLoose(kSave + "/FilerDelete.tmp/inside.txt", "kept", past());
    }
  }
  PlaceLoose("/DataFiles/notes.txt", "the user's notes", past());
}

// Faults that stay on for the whole run.
void Soak::PlaceFaults() {
  if (On("folder-faults")) {
    for (const char* path :
         {"/DataFiles/TimeShift", "/DataFiles/TimeShift/Save", "/DataFiles/Films"}) {
      if (!Chance(3)) continue;
      sim_fail_chdir(path);
      chdirFaults.insert(path);
    }
  }
  if (On("own-folder-faults")) {
    for (const char* path : {"/ProgramFiles", "/ProgramFiles/Settings", kOwn.c_str()}) {
      if (!Chance(5)) continue;
      sim_fail_chdir(path);
      chdirFaults.insert(path);
    }
  }
  for (RecSet& s : sets) {
    if (s.infUnreadable || !Chance(8)) continue;
    const std::string inf = s.folder + "/" + s.stream + ".inf";
    if (!On("folder-namesakes") && (folders.count(kTs + "/" + s.stream + ".inf") ||
                                    folders.count(kSave + "/" + s.stream + ".inf")))
      continue;
    sim_fail_open(inf.c_str());
    openFaults.insert(inf);
    s.infUnreadable = true;
  }
  // A set whose ".inf" the firmware cannot open, and a folder of that
  // name in the other folder.
  if (On("folder-namesakes") && Chance(30)) {
    for (RecSet& s : sets) {
      if (!s.movable || s.infUnreadable) continue;
      const std::string other = s.folder == kTs ? kSave : kTs;
      if (!Taken(other) || !Mkdir(other + "/" + s.stream + ".inf", true)) continue;
      const std::string inf = s.folder + "/" + s.stream + ".inf";
      sim_fail_open(inf.c_str());
      openFaults.insert(inf);
      s.infUnreadable = true;
      break;
    }
  }
  if (On("folder-faults") && Chance(4)) {
    sim_fail_create(kSave.c_str());
    saveCreateFault = true;
  }
  if (On("settings") && Chance(5)) {
    for (const auto& [path, l] : loose) {
      if (EndsWith(path, "/Brantlow.ini")) {
        sim_fail_open(path.c_str());
        openFaults.insert(path);
      }
    }
  }
  if (On("memory") && Chance(8)) {
    if (Chance(25)) {
      allocFailAll = true;
    } else {
      allocFault = 1 + unsigned(Pick(2));
    }
  }
  // The settings as the plug-in will find them: the search stops where it
  // cannot go on, and a file it cannot read gives the defaults of a file
  // that says nothing. The settings take the first allocation, unless the
  // file was found and could not be opened; the firmware data file the next.
  auto can = [&](const std::string& f) { return chdirFaults.count(f) == 0; };
  bool located = true;
  const std::string chosen = SettingsFile(&located);
  const bool iniUnopened = located && !chosen.empty() && openFaults.count(chosen);
  const unsigned datAllocation = iniUnopened ? 1 : 2;

  // A four-slot receiver whose data file the plug-in cannot read is one the
  // data file does not list.
  auto hidesDat = [&] {
    return allocFailAll || allocFault == datAllocation || !can("/ProgramFiles") ||
           !can("/ProgramFiles/Settings");
  };
  if (slots == 4 && listed && hidesDat()) {
    if (On("four-slots-unlisted")) {
      listed = false;
    } else {
      allocFailAll = false;
      if (allocFault == datAllocation) allocFault = 0;
      for (const char* f : {"/ProgramFiles", "/ProgramFiles/Settings"}) chdirFaults.erase(f);
      sim_clear_faults();
      for (const std::string& f : chdirFaults) sim_fail_chdir(f.c_str());
      for (const std::string& f : openFaults) sim_fail_open(f.c_str());
      if (saveCreateFault) sim_fail_create(kSave.c_str());
      // The search may now reach further.
      ReadSettings();
      return;
    }
  }
  ReadSettings();
}

// The settings file the plug-in's search finds ("" none): first its start
// folder, then "/ProgramFiles/Settings" and its own folder below, as far as
// it can change into them. located: false when the search cannot begin.
std::string Soak::SettingsFile(bool* located) const {
  auto can = [&](const std::string& f) { return chdirFaults.count(f) == 0; };
  *located = true;
  if (loose.count("/ProgramFiles/Brantlow.ini")) return "/ProgramFiles/Brantlow.ini";
  if (!can("/ProgramFiles")) {
    *located = false;
    return "";
  }
  std::string chosen;
  if (can("/ProgramFiles/Settings")) {
    if (loose.count("/ProgramFiles/Settings/Brantlow.ini"))
      chosen = "/ProgramFiles/Settings/Brantlow.ini";
    if (can(kOwn) && loose.count(kOwn + "/Brantlow.ini")) chosen = kOwn + "/Brantlow.ini";
  }
  return chosen;
}

// The settings the plug-in reads.
void Soak::ReadSettings() {
  bool located = true;
  const std::string chosen = SettingsFile(&located);
  const bool iniUnopened = located && !chosen.empty() && openFaults.count(chosen);
  const bool noMemory = allocFailAll || (allocFault == 1 && !iniUnopened);
  if (!located || chosen.empty()) {
    settings = noMemory ? Settings{36, 1} : Settings{36, 2};
  } else if (openFaults.count(chosen) || noMemory) {
    settings = Settings{36, 1};
  } else {
    settings.keep = SettingOf(loose.at(chosen).content, "KeepBufferHours", 36, 0, 10000);
    settings.mode = SettingOf(loose.at(chosen).content, "RenameMode", 1, 0, 2);
  }
}

// Sets that come of age during the evening, on either side of the keep time
// at its passes (placed once the keep time the plug-in reads is known).
void Soak::PlaceBoundarySets() {
  if (settings.keep > 9000) return;
  const int64_t base = clock.Seconds();
  const std::string folder = Taken(kSave) ? kSave : kTs;
  const int count = 1 + Pick(3);
  for (int i = 0; i < count; ++i) {
    const int64_t start = base - int64_t(settings.keep) * 3600 + int64_t(Pick(90) - 20) * 60;
    PlaceSet(folder, Word() + (Chance(50) ? ".rec" : ".mpg"), start, true, Chance(90));
  }
}

// Sets an owner copies into Save during the evening: one just younger and
// one just older than the keep time, right before a pass looks at them.
void Soak::CopyInNearKeep() {
  if (settings.keep > 9000 || !Taken(kSave) || !clock.set) return;
  const int64_t now = clock.Seconds();
  const int64_t ages[] = {int64_t(settings.keep) * 3600 - (1 + Pick(50)) * 60,
                          int64_t(settings.keep) * 3600 + Pick(50) * 60};
  for (int64_t age : ages) {
    if (!Chance(70)) continue;
    const int index =
        PlaceSet(kSave, "Copy " + std::to_string(sets.size()) + ".rec", now - age, true, true);
    if (index >= 0) {
      sets[size_t(index)].knownWall = now;
      sets[size_t(index)].knownTick = sim_ticks();
      Note("copied into Save: " + sets[size_t(index)].origStream + ", " + std::to_string(age / 60) +
           " minutes old");
    }
  }
}

// ---------------------------------------------------------------------------
// Generator: the evening.

// The receiver and its faults, for --verbose.
void Soak::Describe() {
  std::ostringstream d;
  d << "receiver: " << slots << " slots" << (listed ? "" : " (not listed)") << ", keep "
    << settings.keep << ", rename mode " << settings.mode << ", idle every " << stepTicks
    << " ticks";
  for (const std::string& f : chdirFaults) d << ", no change into " << f;
  for (const std::string& f : openFaults) d << ", no open of " << f;
  if (saveCreateFault) d << ", Save cannot be created";
  if (allocFailAll) d << ", no memory";
  if (allocFault) d << ", allocation " << allocFault << " fails";
  Note(d.str());
}

void Soak::Load() {
  std::string error;
  if (!LoadPluginFresh(pluginPath.c_str(), &plugin, &error)) {
    fprintf(stderr, "seed %d: cannot load %s: %s\n", seed, pluginPath.c_str(), error.c_str());
    _exit(5);
  }
  if (allocFailAll) sim_fail_alloc_all(1);
  if (allocFault) sim_fail_alloc(allocFault);
  inst = Instance();
  ++starts;
  for (RecSet& s : sets) {
    s.knownWall = clock.Seconds();
    s.knownTick = sim_ticks();
  }
  plugin.main();
  sim_fail_alloc_all(0);
  sim_fail_alloc(0);
}

// One event for the plug-in, with the model's prediction and the checks.
void Soak::Send(dword event, dword p1) {
  if (inst.exited) return;
  const auto before = Names();
  const unsigned stopsBefore = sim_stop_ts_calls() + sim_stop_mp3_calls();
  Effect e = Predict(event, p1);
  if (event != EVT_IDLE && event != EVT_UART)
    Note("event " + std::to_string(event) + " " + std::to_string(p1));
  if (e.pass) Note("folder pass, programme \"" + e.programme + "\"");
  if (e.expiry) Note("expiry pass, keep " + std::to_string(e.keep));
  plugin.eventHandler(event, p1, 0);
  const bool cut = sim_power_is_off() != 0;
  if (cut) {
    Note("power cut after plug-in disk change " + std::to_string(sim_disk_changes()));
    ++powerCuts;
    afterCut = true;
  }
  if (e.exits) inst.exited = true;
  if (cut) {
    inst.exited = false;  // a fresh start follows
  } else if (bool(sim_exited()) != inst.exited && !endMismatch) {
    Problem(std::string("the plug-in ") + (inst.exited ? "did not end" : "ended") +
            " where the model says it " + (inst.exited ? "ends" : "runs on"));
    endMismatch = true;  // once: from here the model follows the plug-in
    inst.messageStop = 0;
  }
  if (!cut) inst.exited = sim_exited() != 0;
  AfterEvent(e, before, cut);
  if ((e.pass || e.expiry) && clock.set) {
    inst.looked = true;
    inst.lookWall = clock.Seconds();
    inst.lookTick = sim_ticks();
  }
  // A playback is stopped only for the deletion of the file it plays.
  if (sim_stop_ts_calls() + sim_stop_mp3_calls() != stopsBefore) {
    // (Or of one a cut caught being deleted.)
    bool deleted = false;
    for (const RecSet& s : sets)
      if ((s.gone || (cut && s.deleting)) && s.members[0].name == played) deleted = true;
    if (!deleted)
      Problem("playback of " + playedPath + " stopped, and nothing of its name deleted");
    played.clear();
  }
  if (cut) PowerOn();
}

// The receiver starts again over the same disk after a dark while: what the
// firmware recorded ends as a power failure leaves it, and the plug-in file
// is loaded afresh.
void Soak::PowerOn() {
  if (liveSet >= 0) EndBuffer(true);
  for (std::string& r : recording) r.clear();
  played.clear();
  playedPath.clear();
  const uint32_t dark = uint32_t(30 + Pick(900)) * 100;
  sim_power_restore(dark);
  clock.cs += dark;
  Note("power on again after " + std::to_string(dark / 100) + " s dark");
  Load();
}

void Soak::Step(int n) {
  for (int i = 0; i < n && !inst.exited; ++i) {
    sim_advance(uint32_t(stepTicks));
    clock.cs += stepTicks;
    Send(Chance(3) ? EVT_UART : EVT_IDLE, 0);
  }
}

void Soak::Zap() {
  int channel = 1 + Pick(int(channels.size()));
  Channel& c = channels[channel];
  if (Chance(10)) {
    sim_set_event(1, channel, nullptr, nullptr);
    c.hasEvent = false;
  } else {
    const char* name = kProgrammes[Pick(int(sizeof kProgrammes / sizeof kProgrammes[0]))];
    const char* description = Chance(30) ? "desc~ription" : "";
    sim_set_event(1, channel, name, description);
    c.hasEvent = true;
    c.event = name;
    c.description = description;
  }
  sim_tune(1, channel);
  tuned = channel;
  Note("tuned to " + std::to_string(channel) + ": " + ProgrammeKey(c));
}

void Soak::ClockAction() {
  const int how = Pick(4);
  if (how == 0 && On("clock-back")) {
    // Back by up to a day: what was recorded since lies in the future.
    clock.cs -= int64_t(1 + Pick(24 * 60)) * 6000;
  } else if (how == 1 && On("clock-jumps")) {
    clock.cs += int64_t(1 + Pick(60)) * 360000;
    inst.jumped = true;
    inst.lastJumpTick = sim_ticks();
  } else {
    return;
  }
  Note(std::string("clock ") + (how == 0 ? "set back" : "jumps ahead"));
  if (!clock.set) return;
  const int64_t s = clock.Seconds();
  int y, m, d;
  CivilOf(FloorDiv(s, 86400), &y, &m, &d);
  const int64_t rest = s - FloorDiv(s, 86400) * 86400;
  sim_set_clock(y, m, d, int(rest / 3600), int(rest % 3600 / 60), int(rest % 60));
}

// The delete-all question, answered "Yes", "No" or left to time out.
void Soak::AskDeleteAll() {
  Send(EVT_TAPCMD, 6);
  const int how = Pick(On("delete-all") ? 4 : 3);
  if (how == 0) {
    Send(EVT_KEY, RKEY_Ok);  // "No" is preselected
  } else if (how == 1) {
    Send(EVT_KEY, RKEY_Left);
    Send(EVT_KEY, RKEY_Right);
    Send(EVT_KEY, RKEY_Ok);
  } else if (how == 2) {
    Step(4 + 2000 / stepTicks);  // the question closes by itself
  } else {
    Send(EVT_KEY, RKEY_Left);
    Send(EVT_KEY, RKEY_Ok);
  }
}

// A recording slot starts or stops; a new recording is named like a saved
// set or a buffer now and then, so that only its folder tells them apart.
void Soak::RecordingAction() {
  const int slot = Pick(slots);
  if (!recording[slot].empty()) {
    sim_record_stop(slot);
    Note("slot " + std::to_string(slot) + " stops recording " + recording[slot]);
    recording[slot].clear();
    return;
  }
  std::string name;
  for (const RecSet& s : sets)
    if (!s.gone && s.movable && !s.live && Chance(30)) name = s.stream;
  if (name.empty() || !IsRecordingName(name)) name = Word() + ".rec";
  if (Taken("/DataFiles/" + name)) return;
  if (name == played && !On("play-recorded")) return;
  sim_record_start(slot, name.c_str());
  recording[slot] = name;
  Note("slot " + std::to_string(slot) + " records /DataFiles/" + name);
  RecSet s;
  s.origFolder = s.folder = "/DataFiles";
  s.origStream = s.stream = name;
  s.given.push_back(name);
  const size_t index = sets.size();
  for (const char* ext : kSuffixes) {
    Member m;
    m.suffix = ext;
    m.folder = "/DataFiles";
    m.name = name + ext;
    const std::string path = "/DataFiles/" + m.name;
    char head[28] = {0};
    if (m.suffix == ".inf") sim_read_file(path.c_str(), head, sizeof head);
    m.content = (m.suffix == ".inf" ? std::string(head, 28) : "") + Tag(index, ext);
    m.mtime = clock.FileSeconds();
    Write(path, m.content, m.mtime);
    m.ino = Inode(path);
    s.members.push_back(m);
  }
  s.knownWall = clock.Seconds();
  s.knownTick = sim_ticks();
  sets.push_back(s);
}

void Soak::PlaybackAction() {
  if (!played.empty() && Chance(50)) {
    sim_play_stop();
    played.clear();
    return;
  }
  std::vector<std::string> candidates;
  for (const RecSet& s : sets) {
    if (s.gone || s.live || s.members[0].folder == kTs) continue;
    bool recorded = false;
    for (const std::string& r : recording) recorded = recorded || r == s.members[0].name;
    if (recorded && !On("play-recorded")) continue;
    candidates.push_back(s.members[0].folder + "/" + s.members[0].name);
  }
  if (candidates.empty()) return;
  playedPath = candidates[size_t(Pick(int(candidates.size())))];
  played = playedPath.substr(playedPath.rfind('/') + 1);
  sim_play(playedPath.c_str(), Chance(30) ? 5 : 1);
  Note("plays " + playedPath);
}

void Soak::StartTimeshift() {
  std::string name;
  if (On("buffer-kinds") && Chance(25)) {
    name = Chance(50) ? "Timeshift.ts" : "Timeshift.mpg";
  } else if (On("upper-case") && Chance(25)) {
    name = Chance(50) ? "TIMESHIFT.REC" : "Timeshift.MPG";
  }
  if (!name.empty()) {
    for (int n = 2; Taken(kTs + "/" + name) && n < 100; ++n) {
      const NameParts p = Split(name);
      name = p.base + "-" + std::to_string(n) + p.ext;
    }
  } else {
    name = "Timeshift.rec";
    for (int n = 2; Taken(kTs + "/" + name) && n < 10000; ++n)
      name = "Timeshift-" + std::to_string(n) + ".rec";
  }
  for (const char* ext : kSuffixes)
    if (Taken(kTs + "/" + name + ext)) return;
  sim_timeshift_start(name.c_str());
  Note("timeshift starts: " + name);
  RecSet s;
  s.origFolder = s.folder = kTs;
  s.origStream = s.stream = name;
  s.movable = true;
  s.live = true;
  s.given.push_back(name);
  for (const char* ext : kSuffixes) {
    Member m;
    m.suffix = ext;
    m.folder = kTs;
    m.name = name + ext;
    m.ino = Inode(kTs + "/" + m.name);
    s.members.push_back(m);
  }
  liveSet = int(sets.size());
  sets.push_back(s);
}

// The firmware closes the buffer; its set stays in the timeshift folder
// while timeshift storage is on. Each file gets a content of its own: the
// stream and ".nav" dated when it ended, the ".inf" when it began.
void Soak::CloseBuffer() {
  if (liveSet < 0) return;
  const bool kept = sim_get_sysvar(SYSVAR_TimeshiftStorage) != 0;
  sim_timeshift_stop();
  EndBuffer(kept);
}

// The buffer's set as the firmware left it when its recording ended.
void Soak::EndBuffer(bool kept) {
  RecSet& s = sets[size_t(liveSet)];
  Note("timeshift stops: " + s.origStream + (kept ? "" : " (discarded)"));
  s.live = false;
  const int index = liveSet;
  liveSet = -1;
  if (!kept) {
    s.gone = true;  // the firmware discards it
    for (Member& m : s.members) m.gone = true;
    return;
  }
  for (Member& m : s.members) {
    if (m.folder != kTs || m.name != s.origStream + m.suffix || Inode(kTs + "/" + m.name) != m.ino)
      Problem("live buffer moved or renamed: " + s.origStream + m.suffix);
  }
  ++buffers;
  s.buffer = true;
  s.closedAt = clock.Seconds();
  s.knownWall = clock.Seconds();
  s.knownTick = sim_ticks();
  for (Member& m : s.members) {
    const std::string path = kTs + "/" + m.name;
    std::string data;
    if (m.suffix == ".inf") {
      char head[28] = {0};
      sim_read_file(path.c_str(), head, sizeof head);
      data.assign(head, 28);
      s.infStart = uint32_t(uint8_t(head[8])) | uint32_t(uint8_t(head[9])) << 8 |
                   uint32_t(uint8_t(head[10])) << 16 | uint32_t(uint8_t(head[11])) << 24;
    }
    data += Tag(size_t(index), m.suffix);
    m.content = data;
    // The ".inf" keeps the date the firmware gave it when the buffer began.
    struct stat st;
    int64_t when = clock.FileSeconds();
    if (m.suffix == ".inf" && lstat(Host(path).c_str(), &st) == 0) when = st.st_mtime;
    m.mtime = when;
    Write(path, data, when);
  }
}

void Soak::Evening() {
  Zap();
  if (Chance(30)) StartTimeshift();  // timeshift already records when the plug-in starts
  Load();
  const bool longPeriods = On("long-periods") && Chance(30);
  int periods = 1 + Pick(2);
  // Now and then the firmware's plug-in management ends the plug-in during
  // the last period: what the firmware closes after that stays.
  const bool ends = On("exit") && Chance(5);
  cutsLeft = On("power-cuts") && Chance(50) ? 2 + Pick(4) : 0;
  for (int p = 0; p < periods && !inst.exited; ++p) {
    if (liveSet < 0) {
      Step(1 + Pick(4));
      StartTimeshift();
    }
    int seconds = (40 + Pick(300)) * 5;
    if (longPeriods && settings.keep <= 3) seconds = settings.keep * 3600 + Pick(3600);
    const int steps = int(int64_t(seconds) * 100 / stepTicks);
    const int endAt = ends && p == periods - 1 ? Pick(steps) : -1;
    for (int i = 0; i < steps && !inst.exited; i += 10) {
      if (endAt >= i && endAt < i + 10) Send(EVT_TAPCMD, 1);
      Step(10);
      const int what = Pick(48);
      if (what < 14) {
        Zap();
      } else if (what == 14) {
        ClockAction();
      } else if (what == 15) {
        AskDeleteAll();
      } else if (what == 16) {
        RecordingAction();
      } else if (what == 17 && On("playback")) {
        PlaybackAction();
      } else if (what == 18) {
        Send(EVT_TAPCMD, Chance(50) ? 2 : 3 + Pick(2));  // answered, nothing more
      } else if (what == 19 && cutsLeft > 0) {
        // The power goes after one of the next few changes to the disk,
        // wherever that falls: a log line, an intent record, a step of a set.
        --cutsLeft;
        sim_power_cut_after(uint32_t(1 + Pick(12)), Chance(30));
      }
    }
    CopyInNearKeep();
    CloseBuffer();
    Step(3 + Pick(5));
  }
  CloseBuffer();
  Step(5);
  // A start after a late cut gets the pass that mends what the cut split.
  sim_power_cut_after(0, 0);
  for (int i = 0; i < 400 && afterCut && !inst.exited; ++i) Step(1);
}

// ---------------------------------------------------------------------------
// The model.

void Soak::OpenDialog(int id, int selected, bool two, int timeout, uint32_t now) {
  if (!inst.dialog) inst.dialogTicks = now;
  inst.dialog = true;
  inst.dialogId = id;
  inst.selected = selected;
  inst.twoButtons = two;
  inst.timeout = timeout;
}

void Soak::Sample(uint32_t now) {
  if (inst.lastTick != 0 && now - inst.lastTick < 1001) return;
  inst.lastTick = now;
  const std::string key = ProgrammeKey(channels[tuned]);
  if (inst.myDur == 0 || key != inst.myKey) {
    inst.myStart = now;
    inst.myDur = 1;
    inst.myKey = key;
  } else {
    inst.myDur = now - inst.myStart;
  }
  if (inst.myDur > inst.curDur) {
    inst.curDur = inst.myDur;
    inst.curKey = inst.myKey;
    inst.curType = 1;
    inst.curNum = tuned;
  }
}

// Every set operation writes its intent record into the plug-in's own
// folder first: where that folder cannot be entered, no set is moved or
// deleted.
bool Soak::OperationsBlocked() const {
  for (const char* f : {"/ProgramFiles", "/ProgramFiles/Settings", kOwn.c_str()})
    if (chdirFaults.count(f)) return true;
  return false;
}

// What the firmware records now: a set of that name is left where it is.
bool Soak::Recorded(const RecSet& s) const {
  const std::string& name = s.members[0].name;
  if (s.live) return true;
  if (liveSet >= 0 && sets[size_t(liveSet)].origStream == name) return true;
  for (int i = 0; i < slots; ++i)
    if (!recording[i].empty() && recording[i] == name) return true;
  return false;
}

// So is a set whose companions' names would not fit 127 characters, and
// one whose member the firmware cannot open where it stands (a fault): the
// plug-in cannot tell what it is, and leaves the set alone.
bool Soak::Protected(const RecSet& s) const {
  if (Recorded(s) || s.members[0].name.size() + 4 > 127) return true;
  for (const Member& m : s.members)
    if (!m.gone && openFaults.count(m.folder + "/" + m.name)) return true;
  return false;
}

// A pass finds something to save: a file in the timeshift folder named like
// a buffer that the firmware does not record.
bool Soak::Handled() const {
  if (chdirFaults.count(kTs)) return false;
  for (const RecSet& s : sets) {
    if (s.gone || s.members[0].gone || s.members[0].folder != kTs) continue;
    if (IsBufferName(s.members[0].name) && !Recorded(s)) return true;
  }
  return false;
}

Effect Soak::Predict(dword event, dword p1) {
  Effect e;
  Instance& m = inst;
  const uint32_t now = sim_ticks();
  const dword code = event & 0xFFFF;
  // A notice waits for the first event after the step that raised it.
  if (m.noticeBoth || m.noticeStorage) {
    m.noticeBoth ? m.noticeBoth = false : m.noticeStorage = false;
    OpenDialog(0, 0, false, 5, now);
  }
  if (code == EVT_TAPCMD) {
    if (p1 == 1) e.exits = true;
    if (p1 == 6) OpenDialog(1, 1, true, 10, now);
    return e;
  }
  if (m.dialog) {
    if (code == EVT_KEY) {
      if (p1 == RKEY_Left && m.selected == 1 && m.twoButtons) m.selected = 0;
      if (p1 == RKEY_Right && m.selected == 0 && m.twoButtons) m.selected = 1;
      if (p1 == RKEY_Exit) m.dialog = false;
      if (p1 == RKEY_Ok) {
        m.dialog = false;
        if (m.selected == 0 && m.dialogId == 1) {
          e.expiry = true;
          e.keep = 0;
          ++deleteAlls;
        }
      }
    } else if (code == EVT_IDLE) {
      // Only the idle event measures the dialog's time; 0x0900 just rests.
      if (m.timeout > 0 && m.dialogTicks + uint32_t(m.timeout) * 100 < now) m.dialog = false;
    }
    return e;
  }
  if (code != EVT_IDLE && code != EVT_UART) return e;

  // One step of the mode machine.
  if (m.messageStop != 0) {
    if (int32_t(now - m.messageStop) > 0) e.exits = true;
    return e;
  }
  if (settings.keep == 0) {
    e.exits = true;
    return e;
  }
  const bool recordingTs = liveSet >= 0;
  auto pass = [&](bool startup) {
    if (!m.seriesOpen) {
      m.seriesOpen = true;
      m.seriesStart = now;
    }
    const bool handled = Handled();
    e.pass = true;
    e.programme = startup ? std::string() : m.curKey;
    e.channelType = m.curType;
    e.channelNum = m.curNum;
    if (now - m.seriesStart < 101 && !handled) return false;
    m.seriesOpen = false;
    return true;
  };
  switch (m.mode) {
    case 0: {
      int changes = 0;
      if (sim_get_sysvar(SYSVAR_Timeshift) == 0) changes = 1;
      if (sim_get_sysvar(SYSVAR_TimeshiftStorage) == 0) changes += 2;
      if (changes == 3) m.noticeBoth = true;
      if (changes == 1 || changes == 2) m.noticeStorage = true;
      bool passed = true;
      if (chdirFaults.count(kTs)) {
        // The folder is there but cannot be entered: no window; the step
        // looks again next time.
        return e;
      } else if (!Taken(kSave)) {
        if (saveCreateFault) {
          m.messageStop = now + 800 == 0 ? 1 : now + 800;
          passed = false;
        }
      }
      if (passed) {
        m.mode = 1;
        pass(true);
      }
      return e;
    }
    case 1:
      if (recordingTs) {
        m.mode = 2;
        m.myKey.clear();
        m.curKey.clear();
        m.myDur = m.curDur = m.myStart = 0;
      }
      return e;
    case 2:
      if (settings.mode != 0) Sample(now);
      if (recordingTs) return e;
      m.mode = 3;
      [[fallthrough]];
    case 3:
      if (!pass(false)) return e;
      e.expiry = true;
      e.keep = settings.keep;
      m.mode = 1;
      return e;
    default:
      return e;
  }
}

// ---------------------------------------------------------------------------
// The checker.

std::map<ino_t, Soak::Seen> Soak::Scan(const std::vector<std::string>& dirs) const {
  std::map<ino_t, Seen> out;
  for (const std::string& dir : dirs) {
    const std::string host = Host(dir);
    DIR* d = opendir(host.c_str());
    if (!d) continue;
    while (struct dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
      struct stat st;
      if (fstatat(dirfd(d), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
      out[st.st_ino] = Seen{dir, e->d_name, S_ISDIR(st.st_mode)};
    }
    closedir(d);
  }
  return out;
}

// Every entry on the disk, folders included.
std::map<ino_t, Soak::Seen> Soak::ScanAll() const {
  std::map<ino_t, Seen> out;
  std::vector<std::string> todo = {""};
  while (!todo.empty()) {
    const std::string dir = todo.back();
    todo.pop_back();
    for (const auto& [ino, seen] : Scan({dir.empty() ? "/" : dir})) {
      if (dir.empty() && seen.name == ".tapsim-disk") continue;
      Seen s = seen;
      s.folder = dir.empty() ? "" : dir;
      out[ino] = s;
      if (seen.dir) todo.push_back(s.folder + "/" + seen.name);
    }
  }
  return out;
}

// The names in the timeshift folder and Save, files and folders alike.
std::map<std::string, std::set<std::string>> Soak::Names() const {
  std::map<std::string, std::set<std::string>> out;
  for (const auto& [ino, seen] : Scan({kTs, kSave})) out[seen.folder].insert(seen.name);
  return out;
}

// The start time the plug-in reads for a set: its ".inf", or else the
// stream's folder entry.
uint32_t Soak::AgeStart(const RecSet& s) const {
  if (!s.infUnreadable && s.infStart != 0) return s.infStart;
  return Packed(s.members[0].mtime);
}

// Whether a set may be gone now: a "Yes" to delete-all takes every set in
// Save; an expiry pass takes a set whose age by the clock has reached the
// keep time, when its date can be trusted, counted for a closed buffer from
// its end, and never more by the clock than the tick counter allows since
// the plug-in started or the set arrived, unless the keep time has passed by
// the ticks since the clock last jumped.
bool Soak::DeletionAllowed(const RecSet& s, bool deleteAll) const {
  if (deleteAll) return true;
  const int keep = settings.keep;
  uint32_t start = AgeStart(s);
  if (!Plausible(start)) return false;
  if (s.buffer && Packed(s.closedAt) > start && Plausible(Packed(s.closedAt)))
    start = Packed(s.closedAt);
  const int64_t now = PackedMinutes(clock.Now());
  if (!clock.set || now < PackedMinutes(start) || (now - PackedMinutes(start)) / 60 < keep)
    return false;
  // The clock as it would read had it only moved with the ticks.
  const int64_t byTicks =
      PackedMinutes(Packed(s.knownWall + int64_t(sim_ticks() - s.knownTick) / 100)) -
      PackedMinutes(start);
  if (byTicks / 60 >= keep) return true;
  // Dated ahead of the clock when this start learnt of it (the clock had been
  // set back): the ticks tell nothing of its age, its date does once the
  // clock has caught up.
  if (PackedMinutes(start) > PackedMinutes(Packed(s.knownWall))) return true;
  // Dated after the clock the plug-in expects from its last look, when the
  // clock has jumped since: it cannot be told from a set written after the
  // jump, and ages by its date.
  if (inst.looked) {
    const int64_t expected = inst.lookWall + int64_t(sim_ticks() - inst.lookTick) / 100;
    if (clock.Seconds() > expected + 300 && PackedMinutes(start) > PackedMinutes(Packed(expected)))
      return true;
  }
  // Known for the keep time by the ticks (a buffer since it closed): old
  // enough whatever the clock did in between.
  if (int64_t(sim_ticks() - s.knownTick) / 360000 >= keep) return true;
  return inst.jumped && int64_t(sim_ticks() - inst.lastJumpTick) / 360000 >= keep;
}

// Whether an expiry pass must take a set: old by the clock and the ticks, a
// date to trust, nothing recording it, no fault in the way.
bool Soak::MustGo(const RecSet& s, int keep) const {
  if (Protected(s) || chdirFaults.count(kSave) || OperationsBlocked()) return false;
  if (keep == 0) return true;
  if (inst.jumped) return false;
  return DeletionAllowed(s, false);
}

void Soak::AfterEvent(const Effect& e, const std::map<std::string, std::set<std::string>>& before,
                      bool cut) {
  const auto seen = Scan({kTs, kSave});
  std::map<ino_t, Seen> all;
  bool haveAll = false;
  auto where = [&](ino_t ino) -> const Seen* {
    auto f = seen.find(ino);
    if (f != seen.end()) return &f->second;
    if (!haveAll) {
      all = ScanAll();
      haveAll = true;
    }
    f = all.find(ino);
    return f == all.end() ? nullptr : &f->second;
  };
  auto label = [](const RecSet& s) {
    return s.origFolder + "/" + s.origStream + (s.buffer ? " (buffer)" : "");
  };

  // Why a set may not be deleted (whole or, by a cut delete, in part) in
  // this event; "" when it may.
  std::vector<std::pair<std::string, std::string>> was(sets.size());
  auto deletionProblem = [&](const RecSet& s, size_t i) -> std::string {
    // A set the pass saved may go with the expiry pass of the same step.
    const bool savedNow = was[i].first == kTs && e.pass && e.expiry;
    if (was[i].first != kSave && !savedNow) return "lost: " + label(s) + " from " + was[i].first;
    if (!e.expiry) return "deleted outside an expiry pass: " + label(s);
    if (Recorded(s)) return "deleted while the firmware records its name: " + label(s);
    if (s.members[0].name.size() + 4 > 127)
      return "deleted though its companions' names do not fit: " + label(s);
    if (!DeletionAllowed(s, e.keep == 0)) {
      std::ostringstream why;
      why << "deleted young: " << label(s) << " as " << was[i].second << ", keep " << settings.keep
          << " hours, clock " << clock.Now() << ", start " << AgeStart(s) << ", known at "
          << Packed(s.knownWall) << " for " << (sim_ticks() - s.knownTick) / 100 << " s";
      return why.str();
    }
    return "";
  };
  // The first pass of a start after a cut that can read the plug-in's own
  // folder finds every set the cut split and mends it first.
  const bool mend = afterCut && !cut && (e.pass || e.expiry) && !OperationsBlocked();
  std::set<size_t> mended;
  const std::string channel =
      e.pass && e.channelNum != 0 ? channels[e.channelNum].name.substr(0, 63) : std::string();

  // Where each set stood before the event, and where it stands now.
  std::set<ino_t> known;
  for (size_t i = 0; i < sets.size(); ++i) {
    RecSet& s = sets[i];
    was[i] = {s.folder, s.stream};
    if (s.gone) continue;
    bool inView = false;
    for (const Member& m : s.members) inView = inView || m.folder == kTs || m.folder == kSave;
    if (!inView) continue;
    int present = 0;
    for (Member& m : s.members) {
      if (m.gone) continue;
      const Seen* at = where(m.ino);
      // A file found under another name is the member only with its content:
      // the number of a file deleted in this step may already be a new one's.
      if (at && (at->folder != m.folder || at->name != m.name) && !m.content.empty() &&
          ReadHost(Host(at->folder + "/" + at->name)) != m.content)
        at = nullptr;
      if (!at) {
        m.gone = true;
        continue;
      }
      known.insert(m.ino);
      m.folder = at->folder;
      m.name = at->name;
      ++present;
    }
    if (present == 0) {
      // Gone whole: only by an expiry pass, only from Save, only when old
      // (or the rest of a delete that a cut broke off, judged then).
      s.gone = true;
      const std::string why = s.deleting ? "" : deletionProblem(s, i);
      if (!why.empty()) {
        Problem(why);
      } else {
        ++expired;
      }
      continue;
    }
    // Whole: one folder, the stream's name and its companions'.
    const Member& stream = s.members[0];
    bool whole = present == int(s.members.size());
    for (const Member& m : s.members)
      if (m.folder != stream.folder || m.name != stream.name + m.suffix) whole = false;
    if (afterCut && s.doubt && !mend) continue;  // still as the cut left it
    if (!whole && afterCut && !mend) {
      // Split by the cut of this event (or a start after it that could not
      // mend yet): allowed only as a step of what a pass may do to it.
      s.doubt = true;
      s.doubtNames.insert(was[i].second);
      for (const Member& m : s.members)
        if (!m.gone && EndsWith(m.name, m.suffix))
          s.doubtNames.insert(m.name.substr(0, m.name.size() - m.suffix.size()));
      // A delete takes each file under a temporary name of its own first.
      for (const Member& m : s.members)
        s.deleting = s.deleting || m.gone ||
                     (m.name.compare(0, 11, "FilerDelete") == 0 && EndsWith(m.name, ".tmp"));
      if (!cut) {
        Problem("split after the power cut, before a pass could mend it: " + label(s));
      } else if (s.deleting) {
        const std::string why = deletionProblem(s, i);
        if (!why.empty()) Problem(why + " (in part, when the power went)");
      } else if (!e.pass && !e.expiry) {
        Problem("split outside a pass when the power went: " + label(s));
      }
      continue;
    }
    if (s.doubt && mend) {
      // The cut set, mended: whole under one of the names the cut left, in
      // the timeshift folder or Save (and saved by this pass if it was a
      // buffer put back), or gone whole if it was being deleted.
      mended.insert(i);
      s.doubt = false;
      bool nameOk = false;
      for (const std::string& n : s.doubtNames)
        nameOk = nameOk || stream.name == n || IsSavedFormOf(stream.name, n) ||
                 (e.pass &&
                  IsSavedFormOf(stream.name, ExpectedName(n, e.programme, settings.mode, channel)));
      if (!whole && s.deleting) {
        Problem("delete not finished after the power cut: " + label(s));
      } else if (!whole) {
        std::string parts;
        for (const Member& m : s.members)
          parts += " " + (m.gone ? std::string("(gone)") : m.folder + "/" + m.name);
        Problem("not made whole after the power cut: " + label(s) + ":" + parts);
      } else if (stream.folder != kTs && stream.folder != kSave) {
        Problem("astray after the power cut: " + label(s) + " now in " + stream.folder);
      } else if (!nameOk) {
        Problem("made whole after the power cut as " + stream.name + ": " + label(s));
      }
      s.deleting = false;
      if (!whole) {
        s.gone = true;
        continue;
      }
      s.folder = stream.folder;
      s.stream = stream.name;
      s.given.push_back(stream.name);
      if (s.buffer && s.folder == kSave && !s.saved) {
        s.saved = true;
        ++savedBuffers;
      }
      continue;
    }
    if (!whole) {
      std::string parts;
      for (const Member& m : s.members)
        parts += " " + (m.gone ? std::string("(gone)") : m.folder + "/" + m.name);
      Problem("set not whole: " + label(s) + ":" + parts);
      s.gone = true;  // one report is enough
      continue;
    }
    s.folder = stream.folder;
    s.stream = stream.name;
    if (s.folder != kTs && s.folder != kSave) {
      Problem("astray: " + label(s) + " now in " + s.folder);
      s.gone = true;
      continue;
    }
    if (cut && (e.pass || e.expiry) && !s.live) {
      // Whole when the power went, but the pass may have noted an operation
      // on it that the next start finishes: the name the pass gives, or the
      // delete the expiry pass may make.
      s.doubt = true;
      s.doubtNames.insert(was[i].second);
      s.doubtNames.insert(stream.name);
      if (e.pass)
        s.doubtNames.insert(ExpectedName(was[i].second, e.programme, settings.mode, channel));
      if (e.expiry && s.folder == kSave && deletionProblem(s, i).empty()) s.deleting = true;
    }
    if (s.folder == was[i].first && s.stream == was[i].second) continue;
    if (s.live) Problem("live buffer moved while the firmware records it: " + label(s));
    if (!e.pass) {
      Problem("renamed or moved outside a folder pass: " + label(s) + " now " + s.folder + "/" +
              s.stream);
    } else if (was[i].first == kSave) {
      Problem("renamed or moved out of Save: " + label(s) + " now " + s.folder + "/" + s.stream);
    }
  }

  // A folder pass saves every buffer it finds, under the name the rename
  // mode gives; only a fault keeps one in the timeshift folder.
  if (e.pass && !cut && !chdirFaults.count(kTs)) {
    const bool blocked = chdirFaults.count(kSave) || OperationsBlocked();
    for (size_t i = 0; i < sets.size(); ++i) {
      RecSet& s = sets[i];
      if (s.gone || s.doubt || mended.count(i) || was[i].first != kTs ||
          !IsBufferName(was[i].second) || Protected(s))
        continue;
      const std::string expected = ExpectedName(was[i].second, e.programme, settings.mode, channel);
      if (s.folder == kSave) {
        s.saved = true;
        if (s.buffer) ++savedBuffers;
        s.given.push_back(expected);
        if (!IsSavedFormOf(s.stream, expected)) {
          Problem("saved as " + s.stream + ", but the rename mode names it " + expected + ": " +
                  label(s));
        } else if (s.stream != PlainForm(expected) && IsFormOf(s.stream, expected) &&
                   PlainForm(PlainForm(expected)) == PlainForm(expected)) {
          // A number only where the plain name was taken for the set.
          const std::string plain = PlainForm(expected);
          bool taken = false;
          for (const char* ext : kSuffixes)
            for (const auto& [folder, names] : before)
              if (names.count(plain + ext)) taken = true;
          for (size_t k = 0; k < sets.size(); ++k)
            if (k != i && !sets[k].gone && sets[k].folder == kSave && sets[k].stream == plain)
              taken = true;
          if (!taken)
            Problem("saved as " + s.stream + " though " + plain + " was free: " + label(s));
        }
        continue;
      }
      // Still in the timeshift folder, under its own name or the new one.
      bool nameOk = IsSavedFormOf(s.stream, expected);
      for (const std::string& n : s.given)
        nameOk = nameOk || n == s.stream || IsSavedFormOf(s.stream, n);
      if (!nameOk) Problem("renamed to " + s.stream + " in the timeshift folder: " + label(s));
      s.given.push_back(expected);
      if (!blocked) Problem("not saved by the folder pass: " + label(s) + " (as " + s.stream + ")");
    }
  }

  // An expiry pass takes every set that is old enough.
  if (e.expiry && !cut) {
    for (size_t i = 0; i < sets.size(); ++i) {
      const RecSet& s = sets[i];
      if (s.gone || s.doubt || mended.count(i) || s.folder != kSave || !IsRecordingName(s.stream))
        continue;
      if (MustGo(s, e.keep))
        Problem(std::string("not ") + (e.keep == 0 ? "deleted by delete-all" : "expired") + ": " +
                label(s) + " as " + s.stream);
    }
  }

  if (mend) afterCut = false;

  // Nothing unknown in the two folders.
  for (const auto& [ino, at] : seen) {
    if (known.count(ino)) continue;
    const std::string path = at.folder + "/" + at.name;
    if (loose.count(path) || folders.count(path)) continue;
    if (at.folder == kTs && at.name == "Save") continue;
    if (at.name == "Brantlow.log") continue;
    bool member = false;
    for (const RecSet& s : sets)
      for (const Member& m : s.members)
        if (!m.gone && m.ino == ino) member = true;
    if (member) continue;
    Problem(std::string("unknown ") + (at.dir ? "folder: " : "file: ") + path);
    loose[path] = Loose{"?", 0};  // reported once
  }
}

void Soak::FinalCheck() {
  const auto all = ScanAll();
  std::map<ino_t, std::pair<size_t, size_t>> members;  // inode -> set, member
  for (size_t i = 0; i < sets.size(); ++i)
    for (size_t k = 0; k < sets[i].members.size(); ++k)
      if (!sets[i].members[k].gone) members[sets[i].members[k].ino] = {i, k};

  std::set<std::string> foldersNow;
  for (const auto& [ino, at] : all) {
    const std::string path = at.folder + "/" + at.name;
    if (at.dir) {
      foldersNow.insert(path);
      if (!expectedFolders.count(path)) Problem("new folder: " + path);
      continue;
    }
    auto m = members.find(ino);
    if (m != members.end()) {
      RecSet& s = sets[m->second.first];
      const Member& mem = s.members[m->second.second];
      struct stat st;
      if (lstat(Host(path).c_str(), &st) == 0 && st.st_mtime != mem.mtime && !s.live)
        Problem("date changed: " + path);
      if (!s.live && ReadHost(Host(path)) != mem.content) Problem("content changed: " + path);
      if (!s.movable && path != s.origFolder + "/" + s.origStream + mem.suffix)
        Problem("moved: " + s.origFolder + "/" + s.origStream + mem.suffix + " now " + path);
      continue;
    }
    auto l = loose.find(path);
    if (l != loose.end()) {
      if (l->second.content == "?") continue;  // reported when it came
      struct stat st;
      if (ReadHost(Host(path)) != l->second.content) Problem("changed: " + path);
      if (lstat(Host(path).c_str(), &st) == 0 && st.st_mtime != l->second.mtime)
        Problem("date changed: " + path);
      continue;
    }
    // The log goes where the plug-in stands when its own folder cannot be
    // entered: its start folder, the settings folder, or one it works in.
    if (at.name == "Brantlow.log" &&
        (at.folder == kOwn || at.folder == kTs || at.folder == kSave ||
         at.folder == "/ProgramFiles" || at.folder == "/ProgramFiles/Settings"))
      continue;
    if (at.folder == kOwn && at.name == "Brantlow.intent") {
      // It stays only where no pass could run since the cut (a fault).
      if (!afterCut) Problem("intent record left after the plug-in's last pass");
      continue;
    }
    Problem("new file: " + path);
  }
  for (const auto& [path, l] : loose)
    if (l.content != "?" && !sim_exists(path.c_str())) Problem("gone: " + path);
  for (const auto& [path, f] : folders) {
    if (!foldersNow.count(path)) {
      Problem("folder gone: " + path);
      continue;
    }
    if (!f.fixed) continue;
    std::set<std::string> now;
    for (const auto& [ino, at] : all)
      if (at.folder == path) now.insert(at.name);
    if (now != f.entries) Problem("folder contents changed: " + path);
  }
  // Every set of the user's outside the two folders is where it was. (Every
  // buffer a pass found was demanded in Save by that pass.)
  for (const RecSet& s : sets) {
    if (s.gone || s.movable) continue;
    for (const Member& m : s.members)
      if (!all.count(m.ino)) Problem("lost: " + s.origFolder + "/" + s.origStream + m.suffix);
  }
  for (int slot = 0; slot < 4; ++slot)
    if (sim_stop_record_calls(slot) != 0) Problem("a recording was stopped");
}

// ---------------------------------------------------------------------------

struct Figures {
  long long runs = 0, sets = 0, buffers = 0, saved = 0, expired = 0, deleteAlls = 0, losses = 0;
  long long shell = 0, calls = 0, unfinished = 0, cuts = 0;
};

// One seed in this process; the figures and the first problems go to fd.
void RunSeed(int seed, bool diagnostic, const std::string& plugin, const std::string& disk, int fd,
             bool verbose) {
  Soak w;
  w.seed = seed;
  w.verbose = verbose;
  w.pluginPath = plugin;
  w.rng.seed(static_cast<std::mt19937::result_type>(seed) * 2654435761u + 17u);
  if (!sim_init(disk.c_str())) _exit(3);
  w.root = sim_disk_root();
  w.Receiver();
  w.BuildDisk();
  w.PlaceFaults();
  w.PlaceBoundarySets();
  w.Describe();
  w.Evening();
  w.FinalCheck();
  if (verbose) {
    std::vector<std::string> paths;
    for (const auto& [ino, at] : w.ScanAll())
      paths.push_back(at.folder + "/" + at.name + (at.dir ? "/" : ""));
    std::sort(paths.begin(), paths.end());
    for (const std::string& p : paths) fprintf(stderr, "disk: %s\n", p.c_str());
  }
  if (verbose) fprintf(stderr, "%s\n", sim_log_text());

  std::ostringstream out;
  out << w.sets.size() << " " << w.buffers << " " << w.savedBuffers << " " << w.expired << " "
      << w.deleteAlls << " " << w.problems.size() << " " << sim_shell_commands() << " "
      << sim_total_calls() << " " << w.powerCuts << "\n";
  for (size_t i = 0; i < w.problems.size() && i < 8; ++i)
    out << "seed " << seed << (diagnostic ? " (diagnostic)" : " (plain)") << ": " << w.problems[i]
        << "\n";
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
  std::string build = "both";
  std::string pluginFile;
#if BRANTLOW_SOAK_LINKED
  build = "plain";
#endif
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--seeds" && i + 1 < argc) {
      seeds = atoi(argv[++i]);
    } else if (a == "--first" && i + 1 < argc) {
      first = atoi(argv[++i]);
    } else if (a == "--build" && i + 1 < argc) {
      build = argv[++i];
    } else if (a == "--plugin" && i + 1 < argc) {
      pluginFile = argv[++i];
    } else if (a == "--world" && i + 1 < argc) {
      std::string s = argv[++i];
      size_t eq = s.find('=');
      bool found = false;
      for (WorldSwitch& w : gWorlds) {
        if (eq != std::string::npos && s.compare(0, eq, w.name) == 0 && strlen(w.name) == eq) {
          w.on = s.substr(eq + 1) == "on";
          found = true;
        }
      }
      if (!found) {
        fprintf(stderr, "test_soak: unknown world setting %s (see --worlds)\n", s.c_str());
        return 2;
      }
    } else if (a == "--worlds") {
      for (const WorldSwitch& w : gWorlds)
        printf("%-20s %-3s %s\n", w.name, w.on ? "on" : "off", w.what);
      return 0;
    } else if (a == "--verbose") {
      verbose = true;
    } else {
      fprintf(stderr,
              "usage: %s [--seeds N] [--first S] [--build plain|diagnostic|both]\n"
              "       [--plugin FILE] [--world NAME=on|off]... [--worlds] [--verbose]\n",
              argv[0]);
      return 2;
    }
  }
  if (build != "plain" && build != "diagnostic" && build != "both") {
    fprintf(stderr, "test_soak: --build takes plain, diagnostic or both\n");
    return 2;
  }
  const std::string disk =
      (fs::temp_directory_path() / ("brantlow-soak-" + std::to_string(getpid()))).string();

  Figures plain, diag;
  for (int seed = first; seed < first + seeds; ++seed) {
    const bool diagnostic = build == "diagnostic" || (build == "both" && seed % 2 == 0);
    Figures& f = diagnostic ? diag : plain;
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
      std::string plugin = diagnostic ? BRANTLOW_SOAK_DIAG_TAP : BRANTLOW_SOAK_PLAIN_TAP;
      if (!pluginFile.empty()) plugin = pluginFile;
      RunSeed(seed, diagnostic, plugin, disk, pipefd[1], verbose);
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
    ++f.runs;
    long long v[9] = {0};
    std::istringstream in(text);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 ||
        !(in >> v[0] >> v[1] >> v[2] >> v[3] >> v[4] >> v[5] >> v[6] >> v[7] >> v[8])) {
      printf("seed %d: the run did not finish (status %d)\n", seed, status);
      ++f.unfinished;
      continue;
    }
    f.sets += v[0];
    f.buffers += v[1];
    f.saved += v[2];
    f.expired += v[3];
    f.deleteAlls += v[4];
    f.losses += v[5];
    f.shell += v[6];
    f.calls += v[7];
    f.cuts += v[8];
    if (v[5] != 0 || verbose) printf("%s", text.substr(text.find('\n') + 1).c_str());
  }
  std::error_code ec;
  fs::remove_all(disk, ec);
  long long losses = 0, unfinished = 0;
  for (const auto& [name, f] : {std::pair<const char*, const Figures&>{"plain", plain},
                                std::pair<const char*, const Figures&>{"diagnostic", diag}}) {
    if (f.runs == 0) continue;
    printf(
        "soak (%s build): %lld runs, %lld recording sets, %lld buffers (%lld saved), %lld sets "
        "expired, %lld delete-all answers, %lld power cuts, %lld losses, %lld runs unfinished; "
        "%lld shell commands, %lld firmware calls\n",
        name, f.runs, f.sets, f.buffers, f.saved, f.expired, f.deleteAlls, f.cuts, f.losses,
        f.unfinished, f.shell, f.calls);
    losses += f.losses;
    unfinished += f.unfinished;
  }
  printf("soak: seeds %d to %d, %lld losses, %lld runs unfinished\n", first, first + seeds - 1,
         losses, unfinished);
  return losses == 0 && unfinished == 0 ? 0 : 1;
}
