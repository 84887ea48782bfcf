// The run report.
#include "api/report.h"

#include <nlohmann/json.hpp>

#include "base/entity.h"
#include "base/environment.h"
#include "base/files.h"
#include "base/text.h"

namespace {

constexpr const char *kReportName = ".zelrelay.report.json";

using Json = nlohmann::ordered_json;

constexpr const char *kOutcomes[] = {"copied", "present", "resumed", "failed", "pruned", "dropped"};

bool Copied(Outcome outcome) { return outcome == Outcome::Copied || outcome == Outcome::Resumed; }

Json StatusOf(RelayStatus status) { return {{"status", int32_t(status)}, {"message", StatusMessage(status)}}; }

}  // namespace

RunReport::RunReport(std::string repository, bool dryRun, const ZELRELAY_Product *request, uint64_t count)
    : repository_(std::move(repository)), dryRun_(dryRun) {
  for (uint64_t i = 0; request != nullptr && i < count; ++i) requested_.push_back({ShortName(request[i].entity), {}});
}

void RunReport::Matched(const std::vector<RequestMatch> &matches) {
  for (size_t i = 0; i < matches.size() && i < requested_.size(); ++i) requested_[i].match = matches[i];
}

void RunReport::Package(const ComponentEntry &entry, Outcome outcome, uint64_t bytes, std::optional<size_t> source,
                        RelayStatus status) {
  Line line{entry.id, PackagePath(entry), outcome, entry.size, bytes, source, status};
  auto [at, added] = byComponent_.emplace(entry.id, lines_.size());
  if (added) {
    lines_.push_back(std::move(line));
    return;
  }
  Line &earlier = lines_[at->second];
  if (Copied(earlier.outcome) && !Copied(outcome)) return;
  line.bytes += earlier.bytes;
  earlier = std::move(line);
}

std::string RunReport::Text(RelayStatus status, const Upstream *upstream) const {
  auto ended = std::chrono::system_clock::now();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  Json report = {{"format", 1},
                 {"repository", repository_},
                 {"started", FormatUtc(std::chrono::system_clock::to_time_t(started_))},
                 {"ended", FormatUtc(std::chrono::system_clock::to_time_t(ended))},
                 {"seconds", double(int64_t(seconds * 1000 + 0.5)) / 1000},
                 {"dry_run", dryRun_}};
  report.update(StatusOf(status));
  const std::vector<SourceState> none;
  const std::vector<SourceState> &states = upstream ? upstream->States() : none;
  size_t answered = upstream ? upstream->Answered() : 0;
  bool indexed = answered < states.size() && states[answered].read && states[answered].status == RELAY_OK;
  Json index = {{"source", indexed ? Json(states[answered].url) : Json(nullptr)}, {"signed", false}};
  if (indexed && upstream->Signed()) {
    const Statement &statement = upstream->Signed()->statement;
    index.update({{"signed", true}, {"version", statement.version}, {"expires", FormatUtc(statement.expires)}});
  }
  report["index"] = index;
  Json requested = Json::array();
  for (const Requested &r : requested_)
    requested.push_back({{"product", r.product}, {"components", r.match.components}, {"matched", r.match.products > 0}});
  report["requested"] = requested;
  std::vector<size_t> taken(states.size());
  Json packages = Json::array();
  uint64_t counts[6] = {}, bytes = 0, size = 0;
  for (const Line &line : lines_) {
    Json entry = {{"component", line.component}, {"path", line.path}, {"outcome", kOutcomes[int(line.outcome)]},
                  {"size", line.size},           {"bytes", line.bytes}, {"source", nullptr}};
    if (line.source && *line.source < states.size()) {
      entry["source"] = states[*line.source].url;
      if (Copied(line.outcome)) taken[*line.source]++;
    }
    if (line.outcome == Outcome::Failed) entry.update(StatusOf(line.status));
    packages.push_back(std::move(entry));
    counts[int(line.outcome)]++;
    bytes += line.bytes;
    if (line.outcome != Outcome::Pruned && line.outcome != Outcome::Dropped) size += line.size;
  }
  Json sources = Json::array();
  for (size_t i = 0; i < states.size(); ++i) {
    Json source = {{"url", states[i].url.empty() ? Json(nullptr) : Json(states[i].url)}};
    if (states[i].read) source.update(StatusOf(states[i].status));
    else source.update({{"status", nullptr}, {"message", nullptr}});
    source["index"] = indexed && answered == i;
    source["packages"] = taken[i];
    sources.push_back(std::move(source));
  }
  report["sources"] = sources;
  report["packages"] = packages;
  Json totals = {{"packages", lines_.size()}};
  for (int o = 0; o < 6; ++o) totals[kOutcomes[o]] = counts[o];
  totals["bytes"] = bytes;
  totals["size"] = size;
  report["totals"] = totals;
  return report.dump(2) + "\n";
}

void RunReport::Write(RelayStatus status, const Upstream *upstream) const noexcept {
  try {
    std::string text = Text(status, upstream);
    if (!dryRun_) WriteFileAtomically(JoinPath(repository_, kReportName), text);
    if (std::string path = ReportPath(); !path.empty()) WriteFileAtomically(path, text);
  } catch (...) {
  }
}
