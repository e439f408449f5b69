// A console reporter that ends with the spread of a benchmark pair: for each case the wall time
// of every repetition as min / median / max, then the ratio of the medians and the range of
// the per-repetition ratios, so that a figure is never read from one lucky run. Repetitions of
// the two cases run interleaved (see withInterleavedRepetitions), so a change of load on the
// machine falls on both.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

class SpreadReporter : public benchmark::ConsoleReporter {
 public:
  // `subject` / `baseline`: function names of the two benchmarks, e.g. "BM_ImportCollada".
  SpreadReporter(std::string subject, std::string baseline)
      : subject_(std::move(subject)), baseline_(std::move(baseline)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
        std::string name = run.run_name.function_name;
        if (!run.run_name.args.empty()) name += '/' + run.run_name.args;
        times_[name].push_back(run.GetAdjustedRealTime());
        for (const auto& [counter, value] : run.counters) counters_[name + ' ' + counter].push_back(value.value);
      }
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (const std::string& name : {subject_, baseline_}) {
      auto found = times_.find(name);
      if (found == times_.end()) continue;
      const std::vector<double> ordered = sorted(found->second);
      std::printf("%s: %zu repetitions, wall time min %.1f / median %.1f / max %.1f ms\n",
                  name.c_str(), ordered.size(), ordered.front(), median(ordered), ordered.back());
    }
    auto subject = times_.find(subject_);
    auto baseline = times_.find(baseline_);
    if (subject == times_.end() || baseline == times_.end()) return;
    // Repetition i of one case against repetition i of the other.
    std::vector<double> ratios;
    for (std::size_t i = 0; i < std::min(subject->second.size(), baseline->second.size()); ++i) {
      ratios.push_back(subject->second[i] / baseline->second[i]);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("ratio %s / %s: %.3f (of the medians); per repetition %.3f to %.3f\n",
                subject_.c_str(), baseline_.c_str(),
                median(sorted(subject->second)) / median(sorted(baseline->second)), ratios.front(),
                ratios.back());
  }

 protected:
  // The median wall time of the case `name` (its function name, then "/" and its arguments
  // where it has any); 0 when it did not run.
  double medianOf(const std::string& name) const {
    auto found = times_.find(name);
    return found == times_.end() ? 0.0 : median(sorted(found->second));
  }

  // After `what`, the median of the counter `counter` over the repetitions of the case `name`
  // (named as for medianOf), its range and `limit`; nothing when the case did not run.
  void printCounterSpread(const std::string& name, const char* counter, const std::string& what,
                          const char* limit) const {
    auto found = counters_.find(name + ' ' + counter);
    if (found == counters_.end()) return;
    const std::vector<double> ordered = sorted(found->second);
    std::printf("%s: median %.3f, %.3f to %.3f over %zu repetitions (limit %s)\n", what.c_str(), median(ordered),
                ordered.front(), ordered.back(), ordered.size(), limit);
  }

 private:
  static std::vector<double> sorted(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v;
  }
  static double median(const std::vector<double>& sorted) {
    std::size_t n = sorted.size();
    return n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  }

  std::string subject_, baseline_;
  std::map<std::string, std::vector<double>> times_;  // per repetition, in the report's unit
  std::map<std::string, std::vector<double>> counters_;  // by case and counter, per repetition
};

// The command line with the repetitions of all benchmarks run in a random interleaved order,
// unless the caller chose an order. The strings live as long as the program.
inline std::vector<char*> withInterleavedRepetitions(int argc, char** argv) {
  std::vector<char*> args(argv, argv + argc);
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  bool chosen = false;
  for (int i = 1; i < argc; ++i) {
    chosen = chosen || std::string(argv[i]).rfind("--benchmark_enable_random_interleaving", 0) == 0;
  }
  if (!chosen) args.insert(args.begin() + 1, interleave);
  args.push_back(nullptr);
  return args;
}
