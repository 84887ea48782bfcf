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

// A package as the report tells it: a run tells of every package it was
// asked for, so a line is kept in 32 bytes.
struct ReportLine {
  const char *component;  // its id, of idSize characters
  uint64_t size, bytes;
  int32_t source;  // into the sources; -1: none
  int16_t status;
  uint8_t outcome;  // an Outcome
  uint8_t idSize;
  std::string_view Component() const { return {component, idSize}; }
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
  // Before packages whose strings are these are told: the report keeps them.
  void Keep(const std::shared_ptr<StringPool> &strings) { strings_->Hold(strings); }
  // A package's outcome. A later outcome of the same component replaces an
  // earlier one, except that what a run copied stays copied.
  void Package(const ComponentEntry &entry, Outcome outcome, uint64_t bytes = 0, int64_t source = -1,
               RelayStatus status = RELAY_OK) {
    repeats_ = true;
    lines_.push_back(LineOf(entry, outcome, bytes, source, status));
  }
  // The one outcome of a package told of once and only once, as every
  // package of a run that finds nothing to do: no earlier one is looked for.
  void Once(const ComponentEntry &entry, Outcome outcome) { lines_.push_back(LineOf(entry, outcome, 0, -1, RELAY_OK)); }
  // The bytes the run needs on the repository's file system, as it found
  // before it wrote: told with what is available when the run ends for
  // want of space.
  void Needed(uint64_t bytes) { needed_ = bytes; }
  // upstream, when given, says what the sources answered. Never throws: a
  // report that cannot be written leaves the run's status as it is.
  void Write(RelayStatus status, const Upstream *upstream) noexcept;

 private:
  std::string repository_;
  std::string run_ = RunName();  // as the environment named it when the run began
  bool dryRun_;
  std::chrono::system_clock::time_point started_ = std::chrono::system_clock::now();
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
  std::vector<ReportRequest> requested_;
  std::optional<uint64_t> needed_;
  std::vector<ReportLine> lines_;
  // Package was told: a component may have lines that Fold makes one.
  bool repeats_ = false;
  std::shared_ptr<StringPool> strings_ = std::make_shared<StringPool>();

  static ReportLine LineOf(const ComponentEntry &entry, Outcome outcome, uint64_t bytes, int64_t source,
                           RelayStatus status);
  void Fold();
  void Stream(int fd, RelayStatus status, const Upstream *upstream) const;
};
