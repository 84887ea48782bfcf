// StringToComponent against strlen + memchr over the same Lua strings, on
// random identifiers and on one identifier repeated, with Google Benchmark:
// repetitions randomly interleaved, medians compared. Prints "@row" records
// for bench/table.lua after the usual console report.
#include <benchmark/benchmark.h>

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "entity/entity.h"

namespace {

constexpr int IDENTIFIERS = 10000;

std::string RandomIdentifier(std::mt19937_64 &random) {
  static const char *const kVersions[] = {"", "v9.75.1008", "v1069300", "v1.05.3", "v10.5", "v3.0.1234"};
  static const char *const kFields[] = {"", "l1", "l2p3", "o-5", "l1p2r3o4", "r12"};
  std::uniform_int_distribution<int> klass(1, 30), pick(0, 5);
  std::uniform_int_distribution<uint32_t> type(1, 1u << 30);
  std::string id = "c" + std::to_string(klass(random)) + "t" + std::to_string(type(random) >> pick(random) * 5);
  return id + kVersions[pick(random)] + kFields[pick(random)];
}

// One Lua state holding the strings on its stack, as callers pass them.
lua_State *PushAll(const std::vector<std::string> &ids) {
  lua_State *L = luaL_newstate();
  lua_checkstack(L, static_cast<int>(ids.size()) + 1);
  for (const std::string &id : ids) lua_pushlstring(L, id.data(), id.size());
  return L;
}

lua_State *Identifiers(int64_t repeated) {
  static lua_State *states[2];
  if (states[repeated] == nullptr) {
    std::mt19937_64 random(7);
    std::vector<std::string> ids(IDENTIFIERS);
    for (std::string &id : ids) id = repeated ? "c22t2213v1.2.3l1p2r3o4" : RandomIdentifier(random);
    states[repeated] = PushAll(ids);
  }
  return states[repeated];
}

void Parser(benchmark::State &state) {
  lua_State *L = Identifiers(state.range(0));
  for (auto _ : state)
    for (int i = 1; i <= IDENTIFIERS; i++) {
      ZELRELAY_EntityItem e;
      const char *message = StringToComponent(L, i, &e);
      benchmark::DoNotOptimize(message);
      benchmark::DoNotOptimize(e);
    }
  state.SetItemsProcessed(state.iterations() * IDENTIFIERS);
}

void StrlenMemchr(benchmark::State &state) {
  lua_State *L = Identifiers(state.range(0));
  for (auto _ : state)
    for (int i = 1; i <= IDENTIFIERS; i++) {
      const char *s = lua_tolstring(L, i, nullptr);
      size_t n = strlen(s);
      benchmark::DoNotOptimize(n);
      benchmark::DoNotOptimize(memchr(s, 'v', n));
    }
  state.SetItemsProcessed(state.iterations() * IDENTIFIERS);
}

BENCHMARK(Parser)->ArgName("repeated")->Arg(0)->Arg(1);
BENCHMARK(StrlenMemchr)->ArgName("repeated")->Arg(0)->Arg(1);

// Keeps the median of every benchmark, in CPU ns per identifier: on these
// VMs wall time of a pure computation mostly measures preemption.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  MedianReporter() : ConsoleReporter(OO_None) {}  // no colour codes before the records
  std::map<std::string, double> medians;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs)
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")
        medians[run.run_name.function_name + "/" + run.run_name.args] =
            run.GetAdjustedCPUTime() / IDENTIFIERS;
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char **argv) {
  std::vector<char *> args(argv, argv + argc);
  char repetitions[] = "--benchmark_repetitions=9", interleave[] = "--benchmark_enable_random_interleaving=true",
       aggregates[] = "--benchmark_report_aggregates_only=true", brief[] = "--benchmark_min_time=0.2";
  if (argc == 1) args.insert(args.end(), {repetitions, interleave, aggregates, brief});
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  for (const char *shape : {"random", "repeated"}) {
    std::string arg = std::string("repeated:") + (shape[1] == 'a' ? "0" : "1");
    auto ours = reporter.medians.find("Parser/" + arg), floor = reporter.medians.find("StrlenMemchr/" + arg);
    if (ours == reporter.medians.end() || floor == reporter.medians.end()) continue;
    printf("@row\tparser\tidentifier parser, %s identifiers\tns/id\t%.2f\t-\t%.2f\t%.3f\tfloor\t3\n",
            shape, ours->second, floor->second, ours->second / floor->second);
  }
  return 0;
}
