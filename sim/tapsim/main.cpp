// tapsim: loads a plug-in file into the simulated receiver and plays a
// scenario through it, or shows a plug-in's identification block.
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "sim/control.h"
#include "sim/tapsim/elf_info.h"
#include "sim/tapsim/player.h"
#include "sim/tapsim/report.h"
#include "sim/tapsim/scenario.h"

namespace {

const char kUsage[] =
    "usage: tapsim [--disk DIR] [--screens DIR] [--report FILE] [--quiet] PLUGIN.tap "
    "SCENARIO.scn\n"
    "       tapsim --info PLUGIN.tap\n"
    "       tapsim --help\n"
    "\n"
    "Runs a plug-in in the simulated receiver through a scenario and checks its\n"
    "expectations, or (--info) shows the plug-in's identification block.\n"
    "  --disk DIR     folder that plays the receiver's disk (emptied first;\n"
    "                 default: a new folder under /tmp, kept after the run)\n"
    "  --screens DIR  write a PNG of the screen whenever the plug-in changes it\n"
    "  --report FILE  write the run as one HTML page (time line, screens, folders)\n"
    "  --quiet        print only failed expectations and the summary\n"
    "Exit status: 0 every expectation held, 1 one failed, 2 bad scenario or plug-in.\n";

// A plug-in that crashes takes the runner with it; the user still learns
// when and how (only async-signal-safe calls here).
void OnCrash(int sig) {
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
  _exit(2);
}

int Usage(const char* problem) {
  // The three usage lines only; --help tells the rest.
  const char* end = kUsage;
  for (int lines = 0; lines < 3 && *end; ++end)
    if (*end == '\n') ++lines;
  fprintf(stderr, "tapsim: %s\n%.*s(tapsim --help tells more)\n", problem, int(end - kUsage),
          kUsage);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  // Line by line, so that the time line up to a crash is not lost.
  setvbuf(stdout, nullptr, _IOLBF, 0);
  std::string disk;
  std::string screens;
  std::string report;
  bool quiet = false;
  bool info = false;
  const char* files[2] = {nullptr, nullptr};
  int nfiles = 0;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (strcmp(a, "--help") == 0 || strcmp(a, "-h") == 0) {
      fputs(kUsage, stdout);
      return 0;
    } else if (strcmp(a, "--info") == 0) {
      info = true;
    } else if (strcmp(a, "--quiet") == 0) {
      quiet = true;
    } else if (strcmp(a, "--disk") == 0 || strcmp(a, "--screens") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0')
        return Usage((std::string(a) + " needs a folder").c_str());
      (a[2] == 'd' ? disk : screens) = argv[++i];
    } else if (strcmp(a, "--report") == 0) {
      if (i + 1 >= argc || argv[i + 1][0] == '\0') return Usage("--report needs a file");
      report = argv[++i];
    } else if (a[0] == '-' && a[1] != '\0') {
      return Usage((std::string("unknown option ") + a).c_str());
    } else {
      if (nfiles == 2) return Usage("too many files");
      files[nfiles++] = a;
    }
  }

  if (info) {
    if (nfiles != 1) return Usage("--info takes one plug-in file");
    tapsim::TapInfo tap;
    std::string error;
    if (!tapsim::ReadTapInfo(files[0], tap, error)) {
      fprintf(stderr, "tapsim: %s\n", error.c_str());
      return 2;
    }
    tapsim::ReportInfo(files[0], tap);
    return 0;
  }
  if (nfiles != 2) return Usage("expected a plug-in file and a scenario file");

  tapsim::ReportSetQuiet(quiet);
  tapsim::TapInfo tap;
  std::string error;
  if (!tapsim::ReadTapInfo(files[0], tap, error)) {
    fprintf(stderr, "tapsim: %s\n", error.c_str());
    return 2;
  }
  std::string runnerMachine;
  if (!tapsim::MachineMatchesRunner(tap, runnerMachine)) {
    fprintf(stderr, "tapsim: %s: the plug-in is built for %s; this runner runs %s plug-ins\n",
            files[0], tap.machineName.c_str(), runnerMachine.c_str());
    return 2;
  }
  tapsim::Scenario scenario;
  if (!tapsim::LoadScenario(files[1], scenario, error)) {
    fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }

  bool tempDisk = disk.empty();
  if (tempDisk) {
    char templ[] = "/tmp/tapsim-XXXXXX";
    if (!mkdtemp(templ)) {
      perror("tapsim: cannot make a disk folder under /tmp");
      return 2;
    }
    disk = templ;
  } else if (disk[0] != '/') {
    // The shell commands of the plug-in run elsewhere: the disk needs a
    // path that holds from any folder.
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd)) {
      perror("tapsim: cannot tell the current folder");
      return 2;
    }
    disk = std::string(cwd) + "/" + disk;
  }
  tapsim::ReportInfo(files[0], tap);
  if (!quiet) {
    printf("Scenario     %s\n", files[1]);
    printf("Disk         %s%s\n\n", disk.c_str(), tempDisk ? " (kept after the run)" : "");
    fflush(stdout);
  }
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) signal(sig, OnCrash);
  tapsim::PlayOptions options;
  options.disk = disk;
  options.screens = screens;
  options.report = report;
  options.info = &tap;
  return tapsim::PlayScenario(files[0], scenario, options);
}
