// The run report: what a duplication did, written whole at its end into the
// repository as ".zelrelay.report.json" (not by a dry run, which writes
// nothing there) and to the file ZELRELAY_REPORT names: how it ended, what
// each source answered, and each package of the request with its outcome
// (docs/repository-format.md). It is how a script or a monitoring system
// learns what a run did; URLs in it carry no credentials. It is streamed as
// it is written, so a run of many packages holds no document of them.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/environment.h"
#include "base/index.h"
#include "base/status.h"
#include "sources/selection.h"
#include "sources/source.h"
#include "zelrelay.h"

enum class Outcome { Copied, Present, Resumed, Failed, Pruned, Dropped, Repaired, Skipped, Withdrawn };

// A package as the report tells it.
struct ReportLine {
  std::string_view component;
  Outcome outcome;
  uint64_t size, bytes;
  int64_t source;  // into the sources; -1: none
  RelayStatus status;
};

// A product of the request, and what it found upstream.
struct ReportRequest {
  std::string product;
  RequestMatch match;
};

class RunReport {
 public:
  RunReport(std::string repository, bool dryRun, const ZELRELAY_Product *request, uint64_t count);
  // What each product of the request found upstream, and how many packages
  // it will tell of.
  void Matched(const std::vector<RequestMatch> &matches, size_t packages);
  // Before packages of an index are told: the report keeps its strings.
  void Adopt(const Index &index) { strings_.Adopt(index); }
  // A package's outcome. A later outcome of the same component replaces an
  // earlier one, except that what a run copied stays copied.
  void Package(const ComponentEntry &entry, Outcome outcome, uint64_t bytes = 0, int64_t source = -1,
               RelayStatus status = RELAY_OK);
  // The one outcome of a package told of once and only once, as every
  // package of a run that finds nothing to do: no earlier one is looked for.
  void Once(const ComponentEntry &entry, Outcome outcome) {
    lines_.push_back(ReportLine{entry.id, outcome, entry.size, 0, -1, RELAY_OK});
  }
  // The bytes the run needs on the repository's file system, as it found
  // before it wrote: told with what is available when the run ends for
  // want of space.
  void Needed(uint64_t bytes) { needed_ = bytes; }
  // upstream, when given, says what the sources answered. Never throws: a
  // report that cannot be written leaves the run's status as it is.
  void Write(RelayStatus status, const Upstream *upstream) const noexcept;

 private:
  std::string repository_;
  std::string run_ = RunName();  // as the environment named it when the run began
  bool dryRun_;
  std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::vector<ReportRequest> requested_;
  std::optional<uint64_t> needed_;
  std::vector<ReportLine> lines_;
  std::unordered_map<std::string_view, size_t> byComponent_;
  Index strings_;

  void Stream(int fd, RelayStatus status, const Upstream *upstream) const;
};
