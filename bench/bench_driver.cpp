// One measurement per process, for the whole-run tools: callgrind counts the
// instructions of the measured stretches only (run it with
// --collect-atstart=no; the driver toggles collection around each stretch),
// strace sees a marker before and after them (an access() of
// "/.brantlow-bench-begin" and "/.brantlow-bench-end"), and the driver itself
// prints the firmware calls, shell commands and wall time per unit (and the
// calls and commands in all).
//
//   bench_driver idle N            N idle steps in Idle
//   bench_driver tsgap N           N idle steps while timeshifting, between samples
//   bench_driver tssample N        N idle steps while timeshifting, each taking a sample
//   bench_driver empty N           the driver's own loop of N steps, no event handed over
//   bench_driver expiry N          one expiry pass over N saved recordings (none expired)
//   bench_driver floor N           the bare firmware loop of that pass
//   bench_driver save BYTES        one save pass of a finished buffer whose stream is BYTES
//                                  long (sparse)
//   bench_driver trace N TERMINAL  N log lines by the trace pattern, terminal TERMINAL open
//                                  (-1: none)
//   bench_driver expiry-ratio N R  R rounds of one expiry pass and one floor loop over N
//                                  saved recordings, interleaved; their time ratio
//   bench_driver save-ratio R      R rounds of a save pass of an empty buffer and one of a
//                                  4 GiB sparse buffer, interleaved; their time ratio
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/expiry.h"
#include "app/main.h"
#include "app/modes.h"
#include "app/saving.h"
#include "app/settings.h"
#include "bench/bench_support.h"
#include "lib/log.h"
#include "sim/control.h"

namespace {

struct Stretch {
  bench::Calls before;
  bench::Calls sum;
  unsigned shell = 0;
  double seconds = 0;
  timespec start{};
  unsigned shellBefore = 0;
  unsigned opens = 0;
  unsigned opensBefore = 0;
};
Stretch gStretch;

// Opens made by the plug-in (the console's terminals): the driver is linked
// with --wrap=open, so the plug-in's calls of open() come here first.
unsigned gOpens = 0;

// Begins and ends one measured stretch. The counts are taken outside the
// callgrind collection and outside the strace markers, and so are the clock
// reads: where the kernel's clock cannot be read without a system call, they
// would be counted as the plug-in's.
void Begin() {
  gStretch.before = bench::Snapshot();
  gStretch.shellBefore = sim_shell_commands();
  gStretch.opensBefore = gOpens;
  clock_gettime(CLOCK_MONOTONIC, &gStretch.start);
  access("/.brantlow-bench-begin", F_OK);
  CALLGRIND_TOGGLE_COLLECT;
}

void End() {
  CALLGRIND_TOGGLE_COLLECT;
  access("/.brantlow-bench-end", F_OK);
  timespec end;
  clock_gettime(CLOCK_MONOTONIC, &end);
  gStretch.seconds +=
      (end.tv_sec - gStretch.start.tv_sec) + (end.tv_nsec - gStretch.start.tv_nsec) * 1e-9;
  bench::Calls after = bench::Snapshot();
  if (gStretch.sum.perApi.empty()) gStretch.sum.perApi.assign(after.perApi.size(), 0);
  for (size_t i = 0; i < after.perApi.size(); ++i)
    gStretch.sum.perApi[i] += after.perApi[i] - gStretch.before.perApi[i];
  gStretch.sum.total += after.total - gStretch.before.total;
  gStretch.shell += sim_shell_commands() - gStretch.shellBefore;
  gStretch.opens += gOpens - gStretch.opensBefore;
}

void Report(const char* what, double units) {
  bench::Calls zero;
  zero.perApi.assign(gStretch.sum.perApi.size(), 0);
  printf("%s\n", what);
  printf("units: %.0f\n", units);
  printf("firmware calls per unit: %.4g (%s)\n", gStretch.sum.total / units,
         bench::Describe(zero, gStretch.sum, units).c_str());
  printf("shell commands per unit: %.4g\n", gStretch.shell / units);
  // The same counts as whole numbers, for the exact comparison of
  // bench/regress.py.
  printf("firmware calls in all: %u (%s)\n", gStretch.sum.total,
         bench::Describe(zero, gStretch.sum, 1).c_str());
  printf("shell commands in all: %u\n", gStretch.shell);
  printf("open() calls of the plug-in per unit: %.4g\n", gStretch.opens / units);
  printf("wall time per unit: %.4g us\n", gStretch.seconds * 1e6 / units);
}

double Seconds() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec + t.tv_nsec * 1e-9;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  size_t n = v.size();
  return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// Runs a and b alternately (a b a b ...), rounds times each; each returns
// the seconds its measured part took. Prints the median time of each and the
// median of the rounds' ratios b / a: the same process, the same warm caches
// and the same moment's load for both.
template <typename A, typename B>
void Interleave(const char* nameA, A a, const char* nameB, B b, long rounds, double units) {
  std::vector<double> ta, tb, ratio;
  for (long r = 0; r < rounds; ++r) {
    ta.push_back(a());
    tb.push_back(b());
    ratio.push_back(tb.back() / ta.back());
  }
  printf("rounds: %ld, interleaved\n", rounds);
  printf("%s: median %.4g us per unit\n", nameA, Median(ta) * 1e6 / units);
  printf("%s: median %.4g us per unit\n", nameB, Median(tb) * 1e6 / units);
  printf("ratio %s / %s: %.3f\n", nameB, nameA, Median(ratio));
}

// The seconds one call of f takes.
template <typename F>
double Timed(F f) {
  double t0 = Seconds();
  f();
  return Seconds() - t0;
}

int Usage() {
  fprintf(stderr,
          "usage: bench_driver idle|tsgap|tssample|empty|expiry|floor N | save BYTES | "
          "trace N TERMINAL | expiry-ratio N ROUNDS | save-ratio ROUNDS\n");
  return 2;
}

}  // namespace

extern "C" int __real_open(const char* path, int flags, ...);
extern "C" int __wrap_open(const char* path, int flags, ...) {
  ++gOpens;
  return __real_open(path, flags, 0);
}

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string mode = argv[1];
  const long n = strtol(argv[2], nullptr, 10);
  if (n < 0) return Usage();
  if (!bench::StartInIdle(mode.c_str())) {
    fprintf(stderr, "bench_driver: the simulated receiver did not reach Idle\n");
    return 1;
  }

  if (mode == "idle" || mode == "empty") {
    for (int i = 0; i < 100; ++i) bench::IdleStep();  // warm: every call bound once
    Begin();
    if (mode == "idle") {
      for (long i = 0; i < n; ++i) bench::IdleStep();
    } else {
      for (long i = 0; i < n; ++i) sim_advance(bench::kIdleTicks);
    }
    End();
    Report(mode == "idle" ? "idle step in Idle" : "driver loop without a step", n);
  } else if (mode == "tsgap") {
    bench::EnterTimeshifting();
    // Samples are due every 1001 ticks: 99 steps of 10 ticks lie between
    // two samples. The sampling steps run outside the measured stretches.
    long done = 0;
    while (done < n) {
      long batch = n - done < 99 ? n - done : 99;
      Begin();
      for (long i = 0; i < batch; ++i) bench::IdleStep();
      End();
      done += batch;
      bench::IdleStep();
      bench::IdleStep();
    }
    if (ProgMode != PM_Timeshifting) return 1;
    Report("idle step while timeshifting, between samples", n);
  } else if (mode == "tssample") {
    bench::EnterTimeshifting();
    Begin();
    for (long i = 0; i < n; ++i) {
      sim_advance(1001 - bench::kIdleTicks);
      bench::IdleStep();
    }
    End();
    if (ProgMode != PM_Timeshifting) return 1;
    Report("idle step while timeshifting, with a sample", n);
  } else if (mode == "expiry" || mode == "floor") {
    if (!bench::MakeSavedRecordings(n, 2)) return 1;
    if (mode == "expiry") {
      CleanupSaveFolder(36);  // warm: page cache and bindings
      Begin();
      CleanupSaveFolder(36);
      End();
      char probe[96];
      snprintf(probe, sizeof probe, "/DataFiles/TimeShift/Save/Saved %05ld.rec", n - 1);
      if (n > 0 && !sim_exists(probe)) return 1;
    } else {
      bench::FloorExpiryPass();
      Begin();
      int read = bench::FloorExpiryPass();
      End();
      if (read != n) return 1;
    }
    Report(mode == "expiry" ? "expiry pass, per recording" : "bare firmware loop, per recording",
           n > 0 ? n : 1);
  } else if (mode == "save") {
    std::string stream = bench::MakeFinishedBuffer(n);
    if (stream.empty()) return 1;
    char host[4096];
    struct stat before {};
    if (!sim_host_path(stream.c_str(), host, sizeof host) || stat(host, &before) != 0) return 1;
    Begin();
    int finished = CheckTimeshiftFolder(1);
    End();
    if (!finished || !sim_exists("/DataFiles/TimeShift/Save/Film.rec") ||
        sim_file_size("/DataFiles/TimeShift/Save/Film.rec") != n) {
      fprintf(stderr, "bench_driver: the buffer was not saved as Film.rec\n");
      return 1;
    }
    struct stat after {};
    if (!sim_host_path("/DataFiles/TimeShift/Save/Film.rec", host, sizeof host) ||
        stat(host, &after) != 0)
      return 1;
    Report("save pass of one buffer", 1);
    printf("stream bytes: %lld, disk blocks before %lld after %lld, same inode: %s\n", (long long)n,
           (long long)before.st_blocks, (long long)after.st_blocks,
           before.st_ino == after.st_ino && before.st_dev == after.st_dev ? "yes" : "no");
  } else if (mode == "trace") {
    if (argc < 4) return Usage();
    int terminal = atoi(argv[3]);
    if (terminal >= 0) sim_terminal_open(terminal, 1);
    LogLine("warm-up line %d\r\n", 0);
    Begin();
    for (long i = 0; i < n; ++i) LogLine("Switching to Timeshifting Mode %ld\r\n", i);
    End();
    Report("trace line", n);
  } else if (mode == "expiry-ratio") {
    if (argc < 4 || n <= 0 || !bench::MakeSavedRecordings(n, 2)) return Usage();
    const long rounds = strtol(argv[3], nullptr, 10);
    CleanupSaveFolder(36);  // warm: page cache and bindings
    bench::FloorExpiryPass();
    Interleave(
        "floor", [] { return Timed([] { bench::FloorExpiryPass(); }); }, "pass",
        [] { return Timed([] { CleanupSaveFolder(36); }); }, rounds, n);
  } else if (mode == "save-ratio") {
    // n is the number of rounds here. The buffer is made before and the saved
    // set removed after each timed pass, outside the timing.
    bool ok = true;
    auto pass = [&ok](long long bytes) {
      return [&ok, bytes] {
        ok = ok && !bench::MakeFinishedBuffer(bytes).empty();
        double spent = Timed([] { CheckTimeshiftFolder(1); });
        ok = ok && sim_file_size("/DataFiles/TimeShift/Save/Film.rec") == bytes;
        sim_rmtree("/DataFiles/TimeShift/Save/Film.rec");
        sim_rmtree("/DataFiles/TimeShift/Save/Film.rec.inf");
        sim_rmtree("/DataFiles/TimeShift/Save/Film.rec.nav");
        return spent;
      };
    };
    Interleave("empty", pass(0), "4GiB", pass(4LL << 30), n, 1);
    if (!ok) {
      fprintf(stderr, "bench_driver: a buffer was not saved\n");
      return 1;
    }
  } else {
    return Usage();
  }
  return 0;
}
