// How the pool's cost grows with its size. One iteration fills an empty pool with N distinct patterns by
// AddPattern(p, false) in random name order, then looks each one up by user name and by GUID. A pool that
// walks its list costs O(n) per operation, so doubling N quadruples the time; an indexed pool costs O(log n)
// per operation, a little over twice the time.
//
//   pool-growth/library   N = 200,000
//   pool-growth/baseline  N = 100,000
// so bench/run's library/baseline ratio is t(200k)/t(100k). "per_op" is the time of one add or lookup.
//
// The patterns are made once, before timing, and shared by every iteration through a pool that does not own
// them; the pool's own work (its list, its index, its lookups, its destruction) is what is timed.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>
#include <vdpattern/pattern/VdPattern.h>
#include <vdpattern/pool/VdPatternPool.h>

namespace {

constexpr int kLarge = 200000;
constexpr int kSmall = 100000;

struct Patterns {
  std::vector<std::unique_ptr<CVdPattern>> patterns;  // random name order; the first kSmall serve the small pool
  std::vector<CString> names;
  std::vector<CString> guids;

  Patterns() {
    std::vector<int> numbers(kLarge);
    for (int k = 0; k < kLarge; ++k) numbers[k] = k;
    std::shuffle(numbers.begin(), numbers.end(), std::mt19937(7));
    for (int k : numbers) {
      const std::wstring name = L"PRF " + std::to_wstring(100 + k) + (k % 3 ? L" A" : L"");
      patterns.push_back(std::make_unique<CVdPattern>(1, name.c_str(), L"profiles"));
      patterns.back()->SetParam(0, L"h", 100.0 + k);
      names.push_back(name);
      guids.push_back(patterns.back()->GetGUID());
    }
  }
};

const Patterns& Data() {
  static const Patterns data;
  return data;
}

void FillAndFind(benchmark::State& state, int count, double target) {
  const Patterns& data = Data();
  bool ok = true;
  for (auto _ : state) {
    CVdPatternPool pool(false);
    for (int k = 0; k < count; ++k) ok &= pool.AddPattern(data.patterns[k].get(), false);
    for (int k = 0; k < count; ++k) {
      ok &= pool.GetPatternByName(data.names[k]) == data.patterns[k].get();
      ok &= pool.GetPattern(data.guids[k], true) == data.patterns[k].get();
    }
    benchmark::DoNotOptimize(pool.GetCount());
  }
  if (!ok) state.SkipWithError("a pattern was refused or not found");
  state.counters["per_op"] =
      benchmark::Counter(3.0 * count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  if (target > 0) state.counters["target"] = target;
}

void Library(benchmark::State& state) { FillAndFind(state, kLarge, 2.3); }
void Baseline(benchmark::State& state) { FillAndFind(state, kSmall, 0); }

}  // namespace

BENCHMARK(Library)->Name("pool-growth/library")->Unit(benchmark::kMillisecond);
BENCHMARK(Baseline)->Name("pool-growth/baseline")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
