// tapsim: loads a plug-in file into the simulated receiver and plays a
// scenario through it, or shows a plug-in's identification block.
#include <ftw.h>
#include <getopt.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "sim/control.h"
#include "sim/tapsim/elf_info.h"
#include "sim/tapsim/html_report.h"
#include "sim/tapsim/junit.h"
#include "sim/tapsim/player.h"
#include "sim/tapsim/report.h"
#include "sim/tapsim/scenario.h"

namespace {

const char kUsage[] =
    "usage: tapsim [OPTION]... PLUGIN.tap SCENARIO.scn\n"
    "       tapsim --info PLUGIN.tap\n"
    "       tapsim --help | --version\n"
    "\n"
    "Runs a plug-in in the simulated receiver through a scenario and checks its\n"
    "expectations, or (--info) shows the plug-in's identification block.\n"
    "\n"
    "  -d, --disk=DIR       folder that plays the receiver's disk: a new or empty\n"
    "                       folder, or one an earlier run made (it is emptied);\n"
    "                       any other folder is refused and left as it is.\n"
    "                       Default: a new folder under /tmp, removed after the run\n"
    "      --disk-from=DIR  copy a folder laid out like the receiver's disk (its\n"
    "                       DataFiles and ProgramFiles) onto the simulated disk\n"
    "                       first; DIR itself is only read\n"
    "  -k, --keep-disk      keep the folder under /tmp after the run\n"
    "  -s, --screens=DIR    write a PNG of the screen whenever the plug-in changes it\n"
    "  -r, --report=FILE    write the run as one HTML page: what failed, time line,\n"
    "                       screens, folders\n"
    "      --junit=FILE     write the expectations as JUnit XML, one test case each\n"
    "      --power-cut=N    cut the power right after the plug-in's Nth change to the\n"
    "                       disk, counted from power-on (the receiver starts again\n"
    "                       after the scenario's boot delay)\n"
    "      --half           with --power-cut: when that change is a write, cut half\n"
    "                       way through it\n"
    "  -q, --quiet          print only failed expectations and the summary\n"
    "  -i, --info           show the plug-in's identification block and exit\n"
    "  -h, --help           show this help and exit\n"
    "  -V, --version        show the version and exit\n"
    "  --                   end of options (for file names that start with '-')\n"
    "\n"
    "The scenario language is described in docs/scenarios.md.\n"
    "Exit status: 0 every expectation held, 1 one failed, 2 bad scenario, plug-in\n"
    "or command line.\n";

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

// What a crash of the plug-in leaves besides its message: the pages of the
// run so far.
std::string gReportPath;
std::string gJunitPath;
std::string gTempDisk;  // the disk folder under /tmp that the run removes
tapsim::JunitRun gJunit;
const int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

void WriteCrashPages(const std::string& why) {
  if (gReportPath.empty() && gJunitPath.empty()) return;
  std::string error;
  tapsim::HtmlReportStopped(why);
  if (!gReportPath.empty() &&
      !tapsim::HtmlReportWrite(gReportPath, tapsim::NotedOutcomes(), 2, error))
    fprintf(stderr, "tapsim: %s\n", error.c_str());
  gJunit.status = 2;
  gJunit.stopped = why;
  if (!gJunitPath.empty() &&
      !tapsim::JunitWrite(gJunitPath, gJunit, tapsim::NotedOutcomes(), error))
    fprintf(stderr, "tapsim: %s\n", error.c_str());
}

// A plug-in that crashes takes the runner with it; the user still learns
// when and how. The message uses only async-signal-safe calls; the pages
// that follow it do not, so the handler runs on a stack of its own, a second
// crash ends the runner at once and a hang ends it after ten seconds.
void OnCrash(int sig) {
  for (int s : kCrashSignals) signal(s, SIG_DFL);
  char buf[160];
  size_t n = 0;
  auto put = [&](const char* t) {
    while (*t && n < sizeof buf - 1) buf[n++] = *t++;
  };
  auto num = [&](unsigned v, int width) {
    char d[12];
    int k = 0;
    do {
      d[k++] = char('0' + v % 10);
      v /= 10;
    } while (v && k < 12);
    while (k < width) d[k++] = '0';
    while (k && n < sizeof buf - 1) buf[n++] = d[--k];
  };
  unsigned t = sim_ticks();
  put("\ntapsim: the plug-in crashed (signal ");
  num(unsigned(sig), 1);
  put(") at ");
  num(t / 360000, 1);
  put(":");
  num(t / 6000 % 60, 2);
  put(":");
  num(t / 100 % 60, 2);
  put(".");
  num(t % 100, 2);
  put("\n");
  ssize_t ignored = write(2, buf, n);
  (void)ignored;
  if (!gReportPath.empty() || !gJunitPath.empty() || !gTempDisk.empty()) {
    alarm(10);
    std::string why(buf + 9, n - 10);  // "the plug-in crashed (signal N) at T"
    WriteCrashPages(why);
    if (!gTempDisk.empty()) nftw(gTempDisk.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  }
  _exit(2);
}

void CatchCrashes() {
  static char stack[256 * 1024];
  stack_t alt;
  alt.ss_sp = stack;
  alt.ss_size = sizeof stack;
  alt.ss_flags = 0;
  sigaltstack(&alt, nullptr);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = OnCrash;
  sa.sa_flags = SA_ONSTACK;
  sigemptyset(&sa.sa_mask);
  for (int sig : kCrashSignals) sigaction(sig, &sa, nullptr);
}

int Usage(const std::string& problem) {
  // The three usage lines only; --help tells the rest.
  const char* end = kUsage;
  for (int lines = 0; lines < 3 && *end; ++end)
    if (*end == '\n') ++lines;
  fprintf(stderr, "tapsim: %s\n%.*s(tapsim --help tells more)\n", problem.c_str(),
          int(end - kUsage), kUsage);
  return 2;
}

// The command line. Options are added in three places: the enum (long-only
// options), kLongOptions and the switch in ParseOptions.
struct Options {
  std::string disk;
  std::string diskFrom;
  std::string screens;
  std::string report;
  std::string junit;
  unsigned powerCut = 0;
  bool half = false;
  bool keepDisk = false;
  bool quiet = false;
  bool info = false;
  std::vector<const char*> files;
};

enum LongOnly { kDiskFrom = 256, kJunit, kPowerCut, kHalf };

const char kShortOptions[] = "d:s:r:qkihV";
const struct option kLongOptions[] = {
    {"disk", required_argument, nullptr, 'd'},
    {"disk-from", required_argument, nullptr, kDiskFrom},
    {"power-cut", required_argument, nullptr, kPowerCut},
    {"half", no_argument, nullptr, kHalf},
    {"screens", required_argument, nullptr, 's'},
    {"report", required_argument, nullptr, 'r'},
    {"junit", required_argument, nullptr, kJunit},
    {"keep-disk", no_argument, nullptr, 'k'},
    {"quiet", no_argument, nullptr, 'q'},
    {"info", no_argument, nullptr, 'i'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

// What an option's missing value should have been.
const char* NeedsWhat(int option) {
  return option == 'r' || option == kJunit ? " needs a file"
         : option == kPowerCut             ? " needs a number"
                                           : " needs a folder";
}

// A count of 1 to 4294967295 in decimal digits; 0 when it is none.
unsigned Count(const char* text) {
  unsigned long long v = 0;
  if (!*text || strlen(text) > 10) return 0;
  for (const char* p = text; *p; ++p) {
    if (*p < '0' || *p > '9') return 0;
    v = v * 10 + unsigned(*p - '0');
  }
  return v <= 0xFFFFFFFFull ? unsigned(v) : 0;
}

// Fills options; returns -1 to go on, else the exit status.
int ParseOptions(int argc, char** argv, Options& o) {
  opterr = 0;  // the messages below say more than getopt's
  int c;
  int index = -1;
  while ((c = getopt_long(argc, argv, kShortOptions, kLongOptions, &index)) != -1) {
    const char* name = index >= 0 ? kLongOptions[index].name : nullptr;
    std::string shown = name ? std::string("--") + name : std::string("-") + char(c);
    index = -1;
    if (c != '?' && c != ':' && optarg && !*optarg) return Usage(shown + NeedsWhat(c));
    switch (c) {
      case 'd':
        o.disk = optarg;
        break;
      case kDiskFrom:
        o.diskFrom = optarg;
        break;
      case kPowerCut:
        o.powerCut = Count(optarg);
        if (!o.powerCut)
          return Usage(shown + " takes a number of disk changes from 1 to 4294967295, not '" +
                       optarg + "'");
        break;
      case kHalf:
        o.half = true;
        break;
      case 's':
        o.screens = optarg;
        break;
      case 'r':
        o.report = optarg;
        break;
      case kJunit:
        o.junit = optarg;
        break;
      case 'k':
        o.keepDisk = true;
        break;
      case 'q':
        o.quiet = true;
        break;
      case 'i':
        o.info = true;
        break;
      case 'h':
        fputs(kUsage, stdout);
        return 0;
      case 'V':
        printf("tapsim (Brantlow) " BRANTLOW_VERSION "\n");
        return 0;
      default: {
        // getopt leaves the offending word at optind - 1; an option that
        // lacks its argument is reported with optopt set.
        const char* word = argv[optind - 1];
        if (optopt && strchr("dsr", optopt) && word[1] != '-')
          return Usage(std::string("-") + char(optopt) + NeedsWhat(optopt));
        if (strncmp(word, "--", 2) == 0) {
          std::string w = word;
          w = w.substr(0, w.find('='));
          for (const struct option* lo = kLongOptions; lo->name; ++lo)
            if (w == std::string("--") + lo->name)
              return Usage(w + (lo->has_arg ? NeedsWhat(lo->val) : " takes no value"));
          return Usage("unknown option " + w);
        }
        return Usage(std::string("unknown option -") + char(optopt ? optopt : '?'));
      }
    }
  }
  for (int i = optind; i < argc; ++i) o.files.push_back(argv[i]);
  if (o.half && !o.powerCut) return Usage("--half needs --power-cut");
  return -1;
}

// An absolute path that holds from any folder (the plug-in's shell commands
// run elsewhere).
bool Absolute(std::string& path) {
  if (path.empty() || path[0] == '/') return true;
  char cwd[PATH_MAX];
  if (!getcwd(cwd, sizeof cwd)) return false;
  path = std::string(cwd) + "/" + path;
  return true;
}

// The real path of a folder that may not exist yet: its nearest existing
// folder resolved, the rest appended.
std::string RealPathOf(const std::string& path) {
  std::string head = path, tail;
  while (!head.empty()) {
    char real[PATH_MAX];
    if (realpath(head.c_str(), real)) return std::string(real) + tail;
    size_t slash = head.rfind('/');
    if (slash == std::string::npos) break;
    tail = head.substr(slash) + tail;
    head.resize(slash);
  }
  return path;
}

bool Within(const std::string& inner, const std::string& outer) {
  return inner == outer ||
         (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
          (outer == "/" || inner[outer.size()] == '/'));
}

// The folder to copy with --disk-from: laid out like the receiver's disk,
// apart from the disk folder.
bool CopySourceUsable(const std::string& from, const std::string& disk, std::string& error) {
  struct stat st;
  if (stat(from.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = "--disk-from " + from + ": not a folder";
    return false;
  }
  struct stat sub;
  if ((stat((from + "/DataFiles").c_str(), &sub) != 0 || !S_ISDIR(sub.st_mode)) &&
      (stat((from + "/ProgramFiles").c_str(), &sub) != 0 || !S_ISDIR(sub.st_mode))) {
    error = "--disk-from " + from +
            " holds neither DataFiles nor ProgramFiles: expected a copy of the receiver's disk";
    return false;
  }
  const std::string a = RealPathOf(from), b = RealPathOf(disk);
  if (Within(a, b) || Within(b, a)) {
    error = "--disk-from " + from + " and --disk " + disk +
            " overlap; the disk folder is emptied, so it must lie apart from the copy";
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line, so that the time line up to a crash is not lost.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  Options o;
  int done = ParseOptions(argc, argv, o);
  if (done >= 0) return done;
  const size_t nfiles = o.files.size();

  if (o.info) {
    if (nfiles != 1) return Usage("--info takes one plug-in file");
    tapsim::TapInfo tap;
    std::string error;
    if (!tapsim::ReadTapInfo(o.files[0], tap, error)) {
      fprintf(stderr, "tapsim: %s\n", error.c_str());
      return 2;
    }
    tapsim::ReportInfo(o.files[0], tap);
    return 0;
  }
  if (nfiles < 2) return Usage("expected a plug-in file and a scenario file");
  if (nfiles > 2) return Usage(std::string("too many files (") + o.files[2] + ")");

  tapsim::ReportSetQuiet(o.quiet);
  tapsim::TapInfo tap;
  std::string error;
  if (!tapsim::ReadTapInfo(o.files[0], tap, error)) {
    fprintf(stderr, "tapsim: %s\n", error.c_str());
    return 2;
  }
  std::string runnerMachine;
  if (!tapsim::MachineMatchesRunner(tap, runnerMachine)) {
    fprintf(stderr, "tapsim: %s: the plug-in is built for %s; this runner runs %s plug-ins\n",
            o.files[0], tap.machineName.c_str(), runnerMachine.c_str());
    return 2;
  }
  tapsim::Scenario scenario;
  if (!tapsim::LoadScenario(o.files[1], scenario, error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  if (!Absolute(o.disk) || !Absolute(o.diskFrom)) {
    perror("tapsim: cannot tell the current folder");
    return 2;
  }

  // The result files are written before the run, so that one that cannot
  // be written stops it at once rather than after the whole evening.
  if (!o.report.empty() && !tapsim::HtmlReportPrepare(o.report, scenario.file, error)) {
    fprintf(stderr, "tapsim: %s\n", error.c_str());
    return 2;
  }
  if (!o.junit.empty() && !tapsim::JunitPrepare(o.junit, scenario, error)) {
    fprintf(stderr, "tapsim: %s\n", error.c_str());
    return 2;
  }

  bool tempDisk = o.disk.empty();
  if (tempDisk) {
    char templ[] = "/tmp/tapsim-XXXXXX";
    if (!mkdtemp(templ)) {
      perror("tapsim: cannot make a disk folder under /tmp");
      return 2;
    }
    o.disk = templ;
  }
  if (!o.diskFrom.empty() && !CopySourceUsable(o.diskFrom, o.disk, error)) {
    if (tempDisk) rmdir(o.disk.c_str());
    fprintf(stderr, "tapsim: %s\n", error.c_str());
    return 2;
  }
  tapsim::ReportInfo(o.files[0], tap);
  const char* fate = !tempDisk    ? ""
                     : o.keepDisk ? " (kept after the run)"
                                  : " (removed after the run)";
  if (!o.quiet) {
    printf("Scenario     %s\n", o.files[1]);
    printf("Disk         %s%s\n", o.disk.c_str(), fate);
    if (!o.diskFrom.empty()) printf("Disk from    %s\n", o.diskFrom.c_str());
    if (!o.report.empty()) printf("Report       %s\n", o.report.c_str());
    if (!o.junit.empty()) printf("JUnit        %s\n", o.junit.c_str());
    printf("\n");
    fflush(stdout);
  } else if (tempDisk) {
    // Where the files went, even when little else is said.
    printf("Disk %s%s\n", o.disk.c_str(), fate);
    fflush(stdout);
  }
  if (tempDisk && !o.keepDisk) gTempDisk = o.disk;
  gReportPath = o.report;
  gJunitPath = o.junit;
  gJunit.plugin = o.files[0];
  gJunit.info = &tap;
  gJunit.scenario = &scenario;
  gJunit.diskFrom = o.diskFrom;
  CatchCrashes();
  struct timespec started;
  clock_gettime(CLOCK_MONOTONIC, &started);
  tapsim::PlayOptions options;
  options.disk = o.disk;
  options.diskFrom = o.diskFrom;
  options.screens = o.screens;
  options.report = o.report;
  options.info = &tap;
  options.powerCut = o.powerCut;
  options.half = o.half;
  int status = tapsim::PlayScenario(o.files[0], scenario, options);
  if (!o.junit.empty()) {
    struct timespec ended;
    clock_gettime(CLOCK_MONOTONIC, &ended);
    gJunit.status = status;
    gJunit.seconds =
        double(ended.tv_sec - started.tv_sec) + 1e-9 * double(ended.tv_nsec - started.tv_nsec);
    if (!tapsim::JunitWrite(o.junit, gJunit, tapsim::NotedOutcomes(), error)) {
      fprintf(stderr, "tapsim: %s\n", error.c_str());
      status = 2;
    }
  }
  if (tempDisk && !o.keepDisk) nftw(o.disk.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
  return status;
}
