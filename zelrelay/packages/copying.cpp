// Copying what a duplication lacks.
#include "packages/copying.h"

#include <deque>
#include <memory>
#include <thread>

#include "base/files.h"
#include "packages/partial.h"

namespace {

// However low the bandwidth limit, a subscriber hears from a copy this
// often, and so can cancel it.
constexpr auto kProgressInterval = std::chrono::milliseconds(200);

struct Job;

class Copying {
 public:
  Copying(Transfer &transfer, Upstream &upstream,
          const Copied &copied)
      : transfer_(transfer), upstream_(upstream), copied_(copied), network_(transfer.network) {}
  RelayStatus Run(std::vector<Job> &jobs);

  Transfer &transfer_;
  std::string shown_;  // the package last heard of

  bool Progress() {
    return Emit(*transfer_.context, ZELRELAY_EVENT_PROGRESS, shown_, transfer_.total, transfer_.finished);
  }

 private:
  Upstream &upstream_;
  const Copied &copied_;
  Network network_;
  std::deque<Job *> next_;
  RelayStatus failed_ = RELAY_OK, stopped_ = RELAY_OK;

  // Transfers queued on the network at once: enough to keep every host's
  // connections busy.
  static constexpr size_t kInFlight = 32;
  std::deque<Job *> parallel_;
  size_t inFlight_ = 0;

  bool Choose(Job &job);
  void Start(Job &job);
  void Pump();
  void Ended(Job &job, RelayStatus status);
  void Finish(Job &job);
};

// Counts what arrives toward the run's progress; a copy that runs alone
// also keeps to the bandwidth limit itself, reporting while it waits.
class JobSink final : public PackageSink {
 public:
  JobSink(Copying &run, Job &job, bool alone);
  uint64_t Have() const override { return partial_.Have(); }
  const std::string &Origin() const override { return partial_.Origin(); }
  const std::string &Validator() const override { return partial_.Validator(); }
  void Begin(bool resumed, const std::string &origin, const std::string &validator) override;
  void Receive(const void *data, size_t size) override;
  PartialFile &Partial() { return partial_; }

 private:
  Copying &run_;
  Job &job_;
  PartialFile partial_;
  bool alone_;
  void Throttle();
};

struct Job {
  Job(const PlannedPackage &planned, std::string path, bool found)
      : package(&planned), target(std::move(path)), partialFound(found) {}
  const PlannedPackage *package;
  std::string target;
  bool partialFound;  // an earlier try left a partial
  size_t source = 0;
  const ComponentEntry *offered = nullptr;  // as the source being tried lists it
  RelayStatus last = RELAY_PACKAGE_MISSING;
  bool begun = false;
  uint64_t counted = 0;  // of its bytes in the run's progress
  std::unique_ptr<JobSink> sink;
};

JobSink::JobSink(Copying &run, Job &job, bool alone)
    : run_(run), job_(job), partial_(job.target, *job.package->upstream, job.partialFound), alone_(alone) {}

void JobSink::Begin(bool resumed, const std::string &origin, const std::string &validator) {
  Transfer &transfer = run_.transfer_;
  if (!job_.begun) {
    job_.begun = true;
    if (!Emit(*transfer.context, ZELRELAY_EVENT_DOWNLOADBEGIN, job_.package->path, job_.package->upstream->size, 0))
      Fail(RELAY_CANCELLED);
  }
  partial_.Begin(resumed, origin, validator);
  transfer.finished = transfer.finished - job_.counted + partial_.Have();
  job_.counted = partial_.Have();
}

void JobSink::Receive(const void *data, size_t size) {
  Transfer &transfer = run_.transfer_;
  int64_t rate = transfer.context->options.maxbandwidth;
  // Under a limit, pieces of what the limit lets through in one interval.
  size_t piece = alone_ && rate > 0 ? std::max<size_t>(1, size_t(rate / 5)) : size;
  for (const char *at = static_cast<const char *>(data); size > 0;) {
    size_t now = std::min(piece, size);
    partial_.Receive(at, now);
    job_.counted += now;
    transfer.finished += now;
    run_.shown_ = job_.package->path;
    if (alone_) {
      if (rate > 0) Throttle();
      if (!run_.Progress()) Fail(RELAY_CANCELLED);
    }
    at += now;
    size -= now;
  }
}

void JobSink::Throttle() {
  Transfer &transfer = run_.transfer_;
  auto due = transfer.start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
                                  double(transfer.finished) / double(transfer.context->options.maxbandwidth)));
  for (auto now = Clock::now(); now < due; now = Clock::now()) {
    std::this_thread::sleep_until(std::min(due, now + kProgressInterval));
    if (Clock::now() < due && !run_.Progress()) Fail(RELAY_CANCELLED);
  }
}

bool Copying::Choose(Job &job) {
  for (; job.source < upstream_.Count(); ++job.source) {
    job.offered = upstream_.Offer(job.source, *job.package->upstream);
    if (job.offered != nullptr) return true;
  }
  return false;
}

// A job gets its partial only when it starts: a run of many packages keeps
// files and buffers for the few in flight.
void Copying::Start(Job &job) {
  Source &source = *upstream_.At(job.source);
  job.sink = std::make_unique<JobSink>(*this, job, !source.Parallel());
  source.Fetch(*job.offered, *job.sink, network_, [this, &job](RelayStatus status) { Ended(job, status); });
}

void Copying::Pump() {
  while (inFlight_ < kInFlight && !parallel_.empty() && stopped_ == RELAY_OK) {
    Job &job = *parallel_.front();
    parallel_.pop_front();
    inFlight_++;
    Start(job);
  }
}

void Copying::Finish(Job &job) {
  job.sink->Partial().Complete();
  if (transfer_.context->options.dupdigisign) CopySignature(*upstream_.At(job.source), *job.offered, job.target);
  copied_(*job.package, job.sink->Partial().Path(), job.sink->Partial().Crc());
  uint64_t size = job.package->upstream->size;
  if (!Emit(*transfer_.context, ZELRELAY_EVENT_DOWNLOAD, job.package->path, size, size)) Fail(RELAY_CANCELLED);
}

void Copying::Ended(Job &job, RelayStatus status) {
  bool parallel = upstream_.At(job.source)->Parallel();
  if (parallel) inFlight_--;
  if (status == RELAY_OK) {
    try {
      Finish(job);
      job.sink.reset();
      if (parallel) Pump();
      return;
    } catch (const RelayError &e) {
      status = e.status;
    }
  }
  job.sink.reset();  // its partial goes, or stays for a later try to go on from
  if (parallel) Pump();
  if (StopsEverything(status)) {
    stopped_ = status;
    return;
  }
  transfer_.finished -= job.counted;
  job.counted = 0;
  job.last = status;
  job.source++;
  next_.push_back(&job);
}

RelayStatus Copying::Run(std::vector<Job> &jobs) {
  for (Job &job : jobs) next_.push_back(&job);
  while (!next_.empty() && stopped_ == RELAY_OK) {
    std::deque<Job *> round;
    round.swap(next_);
    std::vector<Job *> alone;
    for (Job *job : round) {
      if (!Choose(*job)) failed_ = job->last;  // every source failed it
      else if (upstream_.At(job->source)->Parallel()) parallel_.push_back(job);
      else alone.push_back(job);
    }
    Pump();
    if (!network_.Run([this] { return stopped_ == RELAY_OK && Progress(); }) && stopped_ == RELAY_OK)
      stopped_ = RELAY_CANCELLED;
    parallel_.clear();
    for (Job *job : alone) {
      if (stopped_ != RELAY_OK) break;
      try {
        Start(*job);
      } catch (const RelayError &e) {
        stopped_ = e.status;
      }
    }
  }
  return stopped_ != RELAY_OK ? stopped_ : failed_;
}

}  // namespace

bool StopsEverything(RelayStatus status) {
  return status == RELAY_CANCELLED || status == RELAY_NO_SPACE || status == RELAY_OUT_OF_MEMORY;
}

RelayStatus CopyMissing(Transfer &transfer, Upstream &upstream, const std::vector<PlannedPackage> &plan,
                        const std::unordered_set<std::string> &partials,
                        const Copied &copied) {
  std::vector<Job> jobs;
  for (const PlannedPackage &package : plan) {
    if (!package.Needed()) continue;
    std::string target = JoinPath(transfer.context->repository, package.path);
    bool found = partials.count(PartialName(package.path)) > 0;
    jobs.emplace_back(package, target, found);
  }
  Copying copying(transfer, upstream, copied);
  return copying.Run(jobs);
}
