// The run report.
#include "api/report.h"

#include <rapidjson/writer.h>
#include <sys/statvfs.h>

#include <iterator>
#include <memory>

#include "base/entity.h"
#include "base/environment.h"
#include "base/files.h"
#include "base/text.h"

namespace {

constexpr const char *kReportName = ".zelrelay.report.json";

// By Outcome.
constexpr const char *kOutcomes[] = {"copied",   "present", "resumed", "failed",   "pruned",
                                     "dropped",  "repaired", "skipped", "withdrawn"};

// A line that an earlier one of its component took in (RunReport::Fold).
constexpr uint8_t kFolded = UINT8_MAX;

bool Copied(Outcome outcome) {
  return outcome == Outcome::Copied || outcome == Outcome::Resumed || outcome == Outcome::Repaired;
}

// What the repository does not hold after the run.
bool NotHeld(Outcome outcome) {
  return outcome == Outcome::Pruned || outcome == Outcome::Dropped || outcome == Outcome::Skipped ||
         outcome == Outcome::Withdrawn;
}

// What the writer writes goes to the file in large pieces.
class FileOutput {
 public:
  using Ch = char;
  explicit FileOutput(int fd) : fd_(fd), buffer_(new char[kCopyChunk]) {}
  void Put(char c) {
    if (used_ == kCopyChunk) Flush();
    buffer_[used_++] = c;
  }
  void Flush() {
    WriteAll(fd_, buffer_.get(), used_);
    used_ = 0;
  }

 private:
  int fd_;
  std::unique_ptr<char[]> buffer_;
  size_t used_ = 0;
};

// Compact: the report of a large run is read by programs.
using Writer = rapidjson::Writer<FileOutput>;

void String(Writer &out, std::string_view text) { out.String(text.data(), rapidjson::SizeType(text.size())); }

void Status(Writer &out, RelayStatus status) {
  out.Key("status");
  out.Int(status);
  out.Key("message");
  String(out, StatusMessage(status));
}

// A source's URL, or null for a record without one.
void Url(Writer &out, const std::string &url) {
  if (url.empty()) out.Null();
  else String(out, url);
}

// The host[:port] of a web server's URL (shown without credentials); empty
// for a directory.
std::string_view HostOf(std::string_view url) {
  std::string scheme = SchemeOf(url);
  if (scheme != "http" && scheme != "https") return {};
  std::string_view rest = url.substr(scheme.size() + 3);
  return rest.substr(0, rest.find_first_of("/?#"));
}

void OrNull(Writer &out, std::string_view text) {
  if (text.empty()) out.Null();
  else String(out, text);
}

}  // namespace

RunReport::RunReport(std::string repository, bool dryRun, const ZELRELAY_Product *request, uint64_t count)
    : repository_(std::move(repository)), dryRun_(dryRun) {
  for (uint64_t i = 0; request != nullptr && i < count; ++i) requested_.push_back({ShortName(request[i].entity), {}});
}

void RunReport::Matched(const std::vector<RequestMatch> &matches, size_t packages) {
  lines_.reserve(packages);
  for (size_t i = 0; i < matches.size() && i < requested_.size(); ++i) requested_[i].match = matches[i];
}

ReportLine RunReport::LineOf(const ComponentEntry &entry, Outcome outcome, uint64_t bytes, int64_t source,
                             RelayStatus status) {
  RELAY_ASSERT(entry.id.size() <= UINT8_MAX);  // an identifier's key is shorter (kNameBuffer)
  return ReportLine{entry.id.data(), entry.size,           bytes,          int32_t(source),
                    int16_t(status), uint8_t(outcome),     uint8_t(entry.id.size())};
}

// The lines of a component become its first, told in order, as Package
// promises; the others are left out (outcome kFolded). Lines are sorted by
// component once, at the end, rather than looked up as they come.
void RunReport::Fold() {
  if (!repeats_) return;
  repeats_ = false;
  std::vector<uint32_t> order(lines_.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = uint32_t(i);
  std::stable_sort(order.begin(), order.end(),
                   [&](uint32_t a, uint32_t b) { return lines_[a].Component() < lines_[b].Component(); });
  for (size_t from = 0, to; from < order.size(); from = to) {
    ReportLine &first = lines_[order[from]];
    for (to = from + 1; to < order.size() && lines_[order[to]].Component() == first.Component(); ++to) {
      ReportLine &later = lines_[order[to]];
      Outcome outcome = Outcome(later.outcome);
      later.outcome = kFolded;
      if (Copied(Outcome(first.outcome)) && !Copied(outcome)) continue;
      uint64_t bytes = first.bytes + later.bytes;
      first = later;
      first.outcome = uint8_t(outcome);
      first.bytes = bytes;
    }
  }
}

namespace {

// Which source's index the run worked on, when one answered.
struct Answer {
  const std::vector<SourceState> &states;
  size_t source;
  bool indexed;
};

Answer AnswerOf(const Upstream *upstream) {
  static const std::vector<SourceState> kNone;
  if (upstream == nullptr) return {kNone, 0, false};
  const std::vector<SourceState> &states = upstream->States();
  size_t i = upstream->Answered();
  return {states, i, i < states.size() && states[i].read && states[i].status == RELAY_OK};
}

void IndexPart(Writer &out, const Answer &answer, const Upstream *upstream) {
  out.Key("index");
  out.StartObject();
  out.Key("source");
  if (answer.indexed) Url(out, answer.states[answer.source].url);
  else out.Null();
  const std::optional<SignedIndex> *accepted = answer.indexed ? &upstream->Signed() : nullptr;
  out.Key("signed");
  out.Bool(accepted && *accepted);
  if (accepted && *accepted) {
    out.Key("version");
    out.Uint64((*accepted)->statement.version);
    out.Key("expires");
    String(out, FormatUtc((*accepted)->statement.expires));
  }
  out.EndObject();
}

// taken: of each source, how many packages it gave.
// How a web server's index texts came: unchanged, as patches, as
// compressed copies or whole, and the bytes they took.
void TextsPart(Writer &out, const TextTransfers *texts) {
  if (texts == nullptr) return;
  out.Key("texts");
  out.StartObject();
  const std::pair<const char *, uint64_t> counts[] = {
      {"bytes", texts->bytes},           {"unchanged", texts->unchanged}, {"patched", texts->patched},
      {"compressed", texts->compressed}, {"whole", texts->whole},         {"refused", texts->refused}};
  for (const auto &[key, value] : counts) {
    out.Key(key);
    out.Uint64(value);
  }
  out.EndObject();
}

void SourcesPart(Writer &out, const Answer &answer, const std::vector<size_t> &taken, const Upstream *upstream) {
  out.Key("sources");
  out.StartArray();
  for (size_t i = 0; i < answer.states.size(); ++i) {
    const SourceState &state = answer.states[i];
    out.StartObject();
    out.Key("url");
    Url(out, state.url);
    if (state.read) {
      Status(out, state.status);
    } else {
      out.Key("status");
      out.Null();
      out.Key("message");
      out.Null();
    }
    out.Key("host");
    OrNull(out, HostOf(state.url));
    out.Key("proxy");
    OrNull(out, state.proxy);
    out.Key("index");
    out.Bool(answer.indexed && answer.source == i);
    out.Key("packages");
    out.Uint64(taken[i]);
    if (upstream) TextsPart(out, upstream->TransfersOf(i));
    out.EndObject();
  }
  out.EndArray();
}

// What the run needed, when it knew, and what the file system has now.
void SpacePart(Writer &out, const std::string &repository, std::optional<uint64_t> needed) {
  struct statvfs room;
  out.Key("space");
  out.StartObject();
  out.Key("needed");
  if (needed) out.Uint64(*needed);
  else out.Null();
  out.Key("available");
  if (statvfs(repository.c_str(), &room) == 0) out.Uint64(uint64_t(room.f_bavail) * room.f_frsize);
  else out.Null();
  out.EndObject();
}

void RequestedPart(Writer &out, const std::vector<ReportRequest> &requested) {
  out.Key("requested");
  out.StartArray();
  for (const ReportRequest &r : requested) {
    out.StartObject();
    out.Key("product");
    String(out, r.product);
    out.Key("components");
    out.Uint64(r.match.components);
    out.Key("matched");
    out.Bool(r.match.products > 0);
    out.EndObject();
  }
  out.EndArray();
}

void PackagesPart(Writer &out, const std::vector<ReportLine> &lines, const std::vector<SourceState> &states) {
  out.Key("packages");
  out.StartArray();
  std::string path;
  for (const ReportLine &line : lines) {
    if (line.outcome == kFolded) continue;
    out.StartObject();
    out.Key("component");
    String(out, line.Component());
    out.Key("path");
    PutPackagePath(path, line.Component());
    String(out, path);
    out.Key("outcome");
    out.String(kOutcomes[line.outcome]);
    out.Key("size");
    out.Uint64(line.size);
    out.Key("bytes");
    out.Uint64(line.bytes);
    out.Key("source");
    if (line.source >= 0 && size_t(line.source) < states.size()) Url(out, states[size_t(line.source)].url);
    else out.Null();
    if (line.outcome == uint8_t(Outcome::Failed)) Status(out, RelayStatus(line.status));
    out.EndObject();
  }
  out.EndArray();
}

// The size counts only what is held after the run.
void TotalsPart(Writer &out, const std::vector<ReportLine> &lines) {
  uint64_t counts[std::size(kOutcomes)] = {}, bytes = 0, size = 0, packages = 0;
  for (const ReportLine &line : lines) {
    if (line.outcome == kFolded) continue;
    packages++;
    counts[line.outcome]++;
    bytes += line.bytes;
    if (!NotHeld(Outcome(line.outcome))) size += line.size;
  }
  out.Key("totals");
  out.StartObject();
  out.Key("packages");
  out.Uint64(packages);
  for (size_t o = 0; o < std::size(kOutcomes); ++o) {
    out.Key(kOutcomes[o]);
    out.Uint64(counts[o]);
  }
  out.Key("bytes");
  out.Uint64(bytes);
  out.Key("size");
  out.Uint64(size);
  out.EndObject();
}

}  // namespace

void RunReport::Stream(int fd, RelayStatus status, const Upstream *upstream) const {
  FileOutput file(fd);
  Writer out(file);
  out.StartObject();
  out.Key("format");
  out.Int(1);
  out.Key("repository");
  String(out, repository_);
  out.Key("run");
  if (run_.empty()) out.Null();
  else String(out, run_);
  out.Key("started");
  String(out, FormatUtc(std::chrono::system_clock::to_time_t(started_)));
  out.Key("ended");
  String(out, FormatUtc(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now())));
  out.Key("seconds");
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  out.Double(double(int64_t(seconds * 1000 + 0.5)) / 1000);
  out.Key("dry_run");
  out.Bool(dryRun_);
  Status(out, status);
  if (status == RELAY_NO_SPACE) SpacePart(out, repository_, needed_);
  Answer answer = AnswerOf(upstream);
  IndexPart(out, answer, upstream);
  RequestedPart(out, requested_);

  std::vector<size_t> taken(answer.states.size());
  for (const ReportLine &line : lines_)
    if (line.outcome != kFolded && Copied(Outcome(line.outcome)) && line.source >= 0 &&
        size_t(line.source) < taken.size())
      taken[size_t(line.source)]++;
  SourcesPart(out, answer, taken, upstream);
  PackagesPart(out, lines_, answer.states);
  TotalsPart(out, lines_);
  out.EndObject();
  file.Put('\n');
  file.Flush();
}

// Replaced whole, never seen half written; not synced: a report lost to a
// crash only misses the run the crash cut short.
void RunReport::Write(RelayStatus status, const Upstream *upstream) noexcept {
  std::vector<std::string> targets;
  try {
    Fold();
    if (!dryRun_) targets.push_back(JoinPath(repository_, kReportName));
    if (std::string path = ReportPath(); !path.empty()) targets.push_back(path);
  } catch (...) {
    return;
  }
  for (const std::string &target : targets) {
    try {
      TempFile temp = CreateTempFile(target);
      Stream(temp.file.fd, status, upstream);
      RenameTempFile(temp);
    } catch (...) {
    }
  }
}
