// Google Benchmark programs of the plug-in in the simulated receiver. Built
// twice, against the diagnostic and the plain build. Besides the time every
// benchmark reports counts per unit (firmware calls, shell commands), which
// do not depend on how busy the machine is.
#include <benchmark/benchmark.h>
#include <sys/stat.h>

#include <string>

#include "app/expiry.h"
#include "app/main.h"
#include "app/modes.h"
#include "app/saving.h"
#include "bench/bench_support.h"
#include "lib/log.h"
#include "sim/control.h"

namespace {

void SetCallCounters(benchmark::State& state, const bench::Calls& before, const bench::Calls& after,
                     double units) {
  state.counters["fw_calls"] = benchmark::Counter((after.total - before.total) / units);
  state.SetLabel(bench::Describe(before, after, units));
}

// ---------------------------------------------------------------------------
// Idle step in each mode

void BM_IdleStep_Idle(benchmark::State& state) {
  if (!bench::StartInIdle("idle")) return state.SkipWithError("no Idle");
  bench::Calls before = bench::Snapshot();
  for (auto _ : state) bench::IdleStep();
  SetCallCounters(state, before, bench::Snapshot(), state.iterations());
  if (ProgMode != PM_Idle) state.SkipWithError("left Idle");
}
BENCHMARK(BM_IdleStep_Idle);

// Adds the calls between two snapshots to sum.
void AddCalls(bench::Calls* sum, const bench::Calls& before, const bench::Calls& after) {
  if (sum->perApi.empty()) sum->perApi.assign(after.perApi.size(), 0);
  for (size_t i = 0; i < after.perApi.size(); ++i)
    sum->perApi[i] += after.perApi[i] - before.perApi[i];
  sum->total += after.total - before.total;
}

void BM_IdleStep_TimeshiftingBetweenSamples(benchmark::State& state) {
  if (!bench::StartInIdle("tsgap")) return state.SkipWithError("no Idle");
  bench::EnterTimeshifting();
  // Samples fall due every 1001 ticks: 99 steps of 10 ticks lie between two
  // of them. The sampling steps run outside the timing and the counts.
  bench::Calls sum;
  bench::Calls before = bench::Snapshot();
  int sinceSample = 0;
  for (auto _ : state) {
    bench::IdleStep();
    if (++sinceSample == 99) {
      state.PauseTiming();
      AddCalls(&sum, before, bench::Snapshot());
      bench::IdleStep();
      bench::IdleStep();
      sinceSample = 0;
      before = bench::Snapshot();
      state.ResumeTiming();
    }
  }
  AddCalls(&sum, before, bench::Snapshot());
  bench::Calls zero;
  zero.perApi.assign(sum.perApi.size(), 0);
  SetCallCounters(state, zero, sum, state.iterations());
}
BENCHMARK(BM_IdleStep_TimeshiftingBetweenSamples);

void BM_IdleStep_TimeshiftingWithSample(benchmark::State& state) {
  if (!bench::StartInIdle("tssample")) return state.SkipWithError("no Idle");
  bench::EnterTimeshifting();
  bench::Calls before = bench::Snapshot();
  for (auto _ : state) {
    sim_advance(1001 - bench::kIdleTicks);
    bench::IdleStep();
  }
  SetCallCounters(state, before, bench::Snapshot(), state.iterations());
}
BENCHMARK(BM_IdleStep_TimeshiftingWithSample);

// ---------------------------------------------------------------------------
// Expiry pass over N saved recordings (none old enough to go), and the bare
// firmware loop over the same folder. Time per recording is the figure.

void BM_ExpiryPass(benchmark::State& state) {
  if (!bench::StartInIdle("expiry")) return state.SkipWithError("no Idle");
  const int n = static_cast<int>(state.range(0));
  if (!bench::MakeSavedRecordings(n, 2)) return state.SkipWithError("cannot make recordings");
  CleanupSaveFolder(36);
  bench::Calls before = bench::Snapshot();
  for (auto _ : state) CleanupSaveFolder(36);
  SetCallCounters(state, before, bench::Snapshot(), double(state.iterations()) * n);
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["ns_per_recording"] = benchmark::Counter(
      double(state.iterations()) * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
// Setting up 10,000 recording sets takes a while: the larger folders run a
// fixed number of passes, so that the set-up is made once.
BENCHMARK(BM_ExpiryPass)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExpiryPass)->Arg(1000)->Iterations(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExpiryPass)->Arg(10000)->Iterations(10)->Unit(benchmark::kMicrosecond);

void BM_ExpiryFloor(benchmark::State& state) {
  if (!bench::StartInIdle("floor")) return state.SkipWithError("no Idle");
  const int n = static_cast<int>(state.range(0));
  if (!bench::MakeSavedRecordings(n, 2)) return state.SkipWithError("cannot make recordings");
  bench::FloorExpiryPass();
  bench::Calls before = bench::Snapshot();
  for (auto _ : state) benchmark::DoNotOptimize(bench::FloorExpiryPass());
  SetCallCounters(state, before, bench::Snapshot(), double(state.iterations()) * n);
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["ns_per_recording"] = benchmark::Counter(
      double(state.iterations()) * n, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ExpiryFloor)->Arg(10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExpiryFloor)->Arg(1000)->Iterations(100)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExpiryFloor)->Arg(10000)->Iterations(10)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------------------
// Save pass of one finished buffer: an empty stream and a 4 GiB sparse one.

void BM_SavePass(benchmark::State& state) {
  if (!bench::StartInIdle("save")) return state.SkipWithError("no Idle");
  const long long bytes = state.range(0);
  bench::Calls sum;
  unsigned shell = 0;
  for (auto _ : state) {
    state.PauseTiming();
    sim_rmtree("/DataFiles/TimeShift/Save/Film.rec");
    sim_rmtree("/DataFiles/TimeShift/Save/Film.rec.inf");
    sim_rmtree("/DataFiles/TimeShift/Save/Film.rec.nav");
    if (bench::MakeFinishedBuffer(bytes).empty()) return state.SkipWithError("no buffer");
    bench::Calls before = bench::Snapshot();
    unsigned shellBefore = sim_shell_commands();
    state.ResumeTiming();
    CheckTimeshiftFolder(1);
    state.PauseTiming();
    AddCalls(&sum, before, bench::Snapshot());
    shell += sim_shell_commands() - shellBefore;
    if (sim_file_size("/DataFiles/TimeShift/Save/Film.rec") != bytes)
      return state.SkipWithError("not saved");
    state.ResumeTiming();
  }
  bench::Calls zero;
  zero.perApi.assign(sum.perApi.size(), 0);
  SetCallCounters(state, zero, sum, state.iterations());
  state.counters["shell_cmds"] = benchmark::Counter(double(shell) / state.iterations());
}
BENCHMARK(BM_SavePass)->Arg(0)->Arg(4LL << 30)->Unit(benchmark::kMillisecond)->Iterations(20);

// ---------------------------------------------------------------------------
// A log line by the trace pattern: no terminal open, terminal 0 open, and
// only the last terminal (19) open.

void BM_TraceLine(benchmark::State& state) {
  if (!bench::StartInIdle("trace")) return state.SkipWithError("no Idle");
  const int terminal = static_cast<int>(state.range(0));
  if (terminal >= 0) sim_terminal_open(terminal, 1);
  LogLine("warm-up\r\n");
  bench::Calls before = bench::Snapshot();
  for (auto _ : state) LogLine("Switching to Timeshifting Mode \r\n");
  SetCallCounters(state, before, bench::Snapshot(), state.iterations());
}
BENCHMARK(BM_TraceLine)->Arg(-1)->Arg(0)->Arg(19);

}  // namespace

BENCHMARK_MAIN();
