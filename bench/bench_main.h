// The main of the benchmark programs that run in an instance of their own:
// a fresh instance root (CDXPLAT_ROOT) made from a mkdtemp template, the
// benchmarks run in it, and the root removed with everything in it after.
#pragma once
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <vector>

namespace qdbench {

struct BenchRoot {
  const char* templ = "/tmp/qdbench-XXXXXX";  // mkdtemp template of the root
  const char* filter = nullptr;               // a --benchmark_filter of our own, or null
  std::function<void(const std::string& root)> setUp;  // after the root is made
  std::function<void()> tearDown;                      // before it is removed
};

// 0, or 1 when the root cannot be made or an argument is not known.
inline int RunBenchmarksInRoot(int argc, char** argv, const BenchRoot& run) {
  std::string root = run.templ;
  if (!mkdtemp(root.data())) return 1;
  setenv("CDXPLAT_ROOT", root.c_str(), 1);
  std::vector<char*> args(argv, argv + argc);
  std::string filterArg = run.filter ? std::string("--benchmark_filter=") + run.filter : "";
  if (run.filter) args.push_back(filterArg.data());
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&n, args.data());
  int rc = 0;
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) {
    rc = 1;
  } else {
    if (run.setUp) run.setUp(root);
    benchmark::RunSpecifiedBenchmarks();
    if (run.tearDown) run.tearDown();
  }
  benchmark::Shutdown();
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
  return rc;
}

}  // namespace qdbench
