// Project road beside its anchors, measured in the same run: each road runs
// a block of calls in turn, round after round, so that the load of a busy
// machine falls on all of them alike. Reports ns per call of every road and
// the ratio of the first (the project's) to each of the others.
#pragma once
#include <benchmark/benchmark.h>
#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace qdbench {

struct Road {
  std::string name;
  std::function<void(int)> run;  // runs n calls
};

inline void RunInterleaved(benchmark::State& state, const std::vector<Road>& roads, int perBlock) {
  std::vector<double> ns(roads.size(), 0.0);
  int64_t calls = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < roads.size(); ++i) {
      const auto t0 = std::chrono::steady_clock::now();
      roads[i].run(perBlock);
      ns[i] += std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - t0).count();
    }
    calls += perBlock;
  }
  if (calls == 0) return;
  for (size_t i = 0; i < roads.size(); ++i) state.counters[roads[i].name + "_ns"] = ns[i] / double(calls);
  for (size_t i = 1; i < roads.size(); ++i)
    state.counters["ratio_" + roads[i].name] = ns[i] > 0 ? ns[0] / ns[i] : 0.0;
}

}  // namespace qdbench
