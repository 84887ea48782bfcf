// The relay's index parser (ParseIndex, the digest of the text included) on
// a server.ini read once into memory: nine parses, each timed by CPU time,
// since on these VMs the wall time of a computation mostly measures
// preemption; the median as MB/s (10^6 bytes). Then applying a patch that
// changes 100 of its components against parsing the index it makes, the
// same way. Prints "@row" records.
//   index_bench SERVER.INI
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "base/digest.h"
#include "base/index.h"
#include "base/patch.h"
#include "base/status.h"

namespace {

constexpr int kRepetitions = 9;
constexpr double kTarget = 200;  // MB/s

double CpuSeconds() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// 100000 -> "100,000"
std::string Count(size_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t i = 0; i < digits.size(); i++) {
    if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
    out += digits[i];
  }
  return out;
}

// The median CPU seconds of kRepetitions calls.
template <class Body>
double Median(Body body) {
  std::vector<double> seconds;
  for (int i = 0; i < kRepetitions; i++) {
    double start = CpuSeconds();
    body();
    seconds.push_back(CpuSeconds() - start);
  }
  std::sort(seconds.begin(), seconds.end());
  return seconds[kRepetitions / 2];
}

// A patch that changes a digit of the digest of every (lines / k)th line,
// applied, against parsing the text it makes (digest included in both).
void PatchRow(const std::string &text, size_t k) {
  std::string changed = text;
  size_t lines = size_t(std::count(text.begin(), text.end(), '\n')), every = std::max<size_t>(lines / k, 1), line = 0;
  size_t made = 0;
  for (size_t at = 0, end; (end = changed.find('\n', at)) != std::string::npos && made < k; at = end + 1) {
    size_t digest = changed.find(' ', at);  // after the size, in a component's line (class 3 here)
    if (++line >= every && digest < end && changed.compare(at, 2, "c3") == 0) {
      changed[digest + 1] = changed[digest + 1] == 'a' ? 'b' : 'a';
      made++;
      line = 0;
    }
  }
  std::string patch = *MakePatch(text, changed), sha = Sha256OfBytes(text.data(), text.size());
  if (ApplyPatch(text, sha, patch) != changed) {
    std::printf("@row\tindex\tindex patch\t-\tFAILED\t-\t-\t-\t-\t1\tfailed: the patch did not make the text\n");
    return;
  }
  double apply = Median([&] { ApplyPatch(text, sha, patch); });
  double parse = Median([&] { ParseIndex(changed); });
  std::printf("@row\tindex\tindex patch: applying one against parsing what it makes, %zu changes\tms\t%.6g\t%.6g\t-\t%.6g"
              "\tpeer\t1\tthe patch: %zu B uncompressed; both include the SHA-256 of the text made; medians of %d by "
              "CPU time\n",
              k, apply * 1e3, parse * 1e3, apply / parse, patch.size(), kRepetitions);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: index_bench SERVER.INI\n");
    return 2;
  }
  std::ifstream file(argv[1], std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  if (!file || text.empty()) {
    std::fprintf(stderr, "index_bench: cannot read %s\n", argv[1]);
    return 1;
  }
  std::vector<double> seconds;
  size_t components = 0;
  try {
    for (int i = 0; i < kRepetitions; i++) {
      // A copy made outside the clock, so a parser that takes its text by
      // value is timed for parsing alone; the index dies outside it too.
      std::string copy = text;
      double start = CpuSeconds();
      Index index = ParseIndex(std::move(copy));
      seconds.push_back(CpuSeconds() - start);
      components = index.components.size();
    }
  } catch (const RelayError &error) {
    std::printf("@row\tindex\tindex parser\t-\tFAILED\t-\t-\t-\t-\t>=%g\tfailed: ParseIndex threw status %d\n", kTarget,
                int(error.status));
    return 0;
  }
  std::sort(seconds.begin(), seconds.end());
  double median = seconds[kRepetitions / 2], rate = double(text.size()) / 1e6 / median;
  std::fprintf(stderr, "  index parser: %zu B, %zu components, median %.4f s (%.4f to %.4f), %.1f MB/s\n", text.size(),
               components, median, seconds.front(), seconds.back(), rate);
  std::printf("@row\tindex\tindex parser, server.ini of %s components\tMB/s\t%.6g\t-\t-\t%.6g\tabs\t>=%g\t"
              "ParseIndex on %.1f MB of text, its SHA-256 included; median of %d by CPU time; the target is absolute "
              "and a lowest figure\n",
              Count(components).c_str(), rate, rate, kTarget, double(text.size()) / 1e6, kRepetitions);
  PatchRow(text, 100);
  return 0;
}
