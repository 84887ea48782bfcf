// Copying what a duplication lacks.
#include "api/copying.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>

#include "base/files.h"
#include "packages/partial.h"

namespace {

// However low the bandwidth limit, a subscriber hears from a copy this
// often, and so can cancel it.
constexpr auto kProgressInterval = std::chrono::milliseconds(200);

// One for each package a run copies, so its fields are packed.
struct Job {
  Job(const PlannedPackage &planned, PackageCopy &copy, bool found)
      : package(&planned), result(&copy), partialFound(found) {}
  const PlannedPackage *package;
  PackageCopy *result;
  const ComponentEntry *offered = nullptr;  // as the source being tried lists it
  uint64_t heard = 0;                       // its bytes at the last tick
  std::unique_ptr<PartialFile> partial;     // while a source is being tried
  uint32_t source = 0;
  bool partialFound;        // an earlier try left a partial
  bool announced = false;   // downloadbegin was emitted
  bool settled = false;     // copied, or given up by every source
  PackageCopy &Result() { return *result; }
  std::string File(const std::string &repository) const { return JoinPath(repository, package->File()); }
  std::string Path() const { return package->Path(); }
  const ComponentEntry &Wanted() const { return *package->upstream; }
  // Done with a try: what it moved counts.
  void Drop() {
    if (partial) Result().moved += partial->Received();
    partial.reset();
  }
};

void CopySignature(Source &source, const ComponentEntry &entry, const std::string &target) {
  if (std::optional<std::string> signature = source.FetchSignature(entry))
    WriteFileAtomically(target + ".sig", *signature);
}

class Copying {
 public:
  // The meter outlives the jobs' partials, which count into it.
  Copying(const ZELRELAY_ContextRecord &context, const NetworkSettings &settings, Upstream &upstream, uint64_t total,
          Meter &meter)
      : context_(context), upstream_(upstream), network_(settings), total_(total), meter_(meter) {}
  RelayStatus Run(std::vector<Job> &jobs);

 private:
  const ZELRELAY_ContextRecord &context_;
  Upstream &upstream_;
  Network network_;
  uint64_t total_;
  Meter &meter_;
  Clock::time_point start_ = Clock::now();
  std::string shown_;  // the package last heard of
  std::deque<Job *> next_;
  RelayStatus failed_ = RELAY_OK, stopped_ = RELAY_OK;

  // Transfers queued on the network at once: enough to keep every host's
  // connections busy.
  static constexpr size_t kInFlight = 32;
  std::deque<Job *> parallel_;
  std::vector<Job *> flying_;
  Job *alone_ = nullptr;  // the copy from a directory under way

  bool Progress() { return Emit(context_, ZELRELAY_EVENT_PROGRESS, shown_, total_, meter_.bytes); }
  bool Announce(Job &job);
  bool TakeWhole(Job &job);
  bool Tick();
  void Throttle();
  bool Choose(Job &job);
  void Start(Job &job);
  void Pump();
  void Ended(Job &job, RelayStatus status);
  RelayStatus Finish(Job &job);
};

// downloadbegin, once a package's first answer has come; once the run has
// stopped, the subscriber hears of nothing more.
bool Copying::Announce(Job &job) {
  if (stopped_ != RELAY_OK) return false;
  if (job.announced || !job.partial || !job.partial->Begun()) return true;
  job.announced = true;
  shown_ = job.Path();
  return Emit(context_, ZELRELAY_EVENT_DOWNLOADBEGIN, job.Path(), job.Wanted().size, 0);
}

// Between network steps: what began, and the progress of all together.
bool Copying::Tick() {
  if (stopped_ != RELAY_OK) return false;
  for (Job *job : flying_) {
    if (!Announce(*job)) return false;
    if (job->partial->Have() != job->heard) {
      job->heard = job->partial->Have();
      shown_ = job->Path();
    }
  }
  return Progress();
}

// A copy that runs alone keeps to the bandwidth limit itself, reporting
// while it waits.
void Copying::Throttle() {
  int64_t rate = context_.options.maxbandwidth;
  if (rate > 0) {
    auto due = start_ + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(double(meter_.bytes) / double(rate)));
    for (auto now = Clock::now(); now < due; now = Clock::now()) {
      std::this_thread::sleep_until(std::min(due, now + kProgressInterval));
      if (Clock::now() < due && !Progress()) Fail(RELAY_CANCELLED);
    }
  }
  if (!Progress()) Fail(RELAY_CANCELLED);
}

bool Copying::Choose(Job &job) {
  for (; job.source < upstream_.Count(); ++job.source) {
    job.offered = upstream_.Offer(job.source, job.Wanted());
    if (job.offered != nullptr) return true;
  }
  return false;
}

// A job gets its partial only when it starts: a run of many packages keeps
// files and buffers for the few in flight.
void Copying::Start(Job &job) {
  Source &source = *upstream_.At(job.source);
  job.Result().source = int32_t(job.source);
  job.partial = std::make_unique<PartialFile>(job.File(context_.repository), job.Wanted(),
                                              job.partialFound, meter_);
  job.heard = 0;
  if (source.Parallel()) flying_.push_back(&job);
  source.Fetch(*job.offered, *job.partial, network_, [this, &job](RelayStatus status) { Ended(job, status); });
}

void Copying::Pump() {
  while (flying_.size() < kInFlight && !parallel_.empty() && stopped_ == RELAY_OK) {
    Job &job = *parallel_.front();
    parallel_.pop_front();
    Start(job);
  }
}

// The package is checked, and from then on it counts as copied, even when
// the subscriber cancels at its download event. Transfers that end after
// the run stopped count for nothing.
RelayStatus Copying::Finish(Job &job) {
  if (stopped_ != RELAY_OK) return stopped_;
  try {
    if (!Announce(job)) return RELAY_CANCELLED;
    job.partial->Complete();
    if (context_.options.dupdigisign)
      CopySignature(*upstream_.At(job.source), *job.offered, job.File(context_.repository));
  } catch (const RelayError &e) {
    return e.status;
  }
  job.Result().status = RELAY_OK;
  job.Result().file = CopiedPackage{job.partial->Crc()};
  job.Result().resumed = job.partial->Resumed();
  job.settled = true;
  job.Drop();
  uint64_t size = job.Wanted().size;
  if (!Emit(context_, ZELRELAY_EVENT_DOWNLOAD, job.Path(), size, size)) stopped_ = RELAY_CANCELLED;
  return RELAY_OK;
}

// A partial an earlier try left whole is checked and taken as it is: its
// source is never asked for the bytes past its end.
bool Copying::TakeWhole(Job &job) {
  if (!job.partialFound || !Choose(job)) return false;
  job.Result().source = int32_t(job.source);
  job.partial = std::make_unique<PartialFile>(job.File(context_.repository), job.Wanted(), true,
                                              meter_);
  if (!job.partial->TakeWhole()) {
    job.partial.reset();
    return false;
  }
  RelayStatus status = Finish(job);
  job.Drop();
  if (StopsEverything(status) && stopped_ == RELAY_OK) stopped_ = status;
  return status == RELAY_OK || StopsEverything(status);
}

void Copying::Ended(Job &job, RelayStatus status) {
  std::erase(flying_, &job);
  if (status == RELAY_OK) status = Finish(job);
  job.Drop();  // unless copied, it goes, or stays for a later try to go on from
  Pump();
  if (status == RELAY_OK) return;
  if (StopsEverything(status)) {
    if (stopped_ == RELAY_OK) stopped_ = status;
    return;
  }
  job.Result().status = status;
  job.source++;
  next_.push_back(&job);
}

RelayStatus Copying::Run(std::vector<Job> &jobs) {
  for (Job &job : jobs)
    if (stopped_ != RELAY_OK || !TakeWhole(job)) next_.push_back(&job);
  while (!next_.empty() && stopped_ == RELAY_OK) {
    std::deque<Job *> round;
    round.swap(next_);
    std::vector<Job *> alone;
    for (Job *job : round) {
      if (!Choose(*job)) {  // every source failed it
        failed_ = job->Result().status;
        job->settled = true;
      } else if (upstream_.At(job->source)->Parallel()) {
        parallel_.push_back(job);
      } else {
        alone.push_back(job);
      }
    }
    Pump();
    if (!network_.Run([this] { return Tick(); }) && stopped_ == RELAY_OK) stopped_ = RELAY_CANCELLED;
    for (Job *job : flying_) job->Drop();  // dropped by the network
    flying_.clear();
    parallel_.clear();
    meter_.pace = [this] {
      if (!Announce(*alone_)) Fail(RELAY_CANCELLED);
      Throttle();
    };
    for (Job *job : alone) {
      if (stopped_ != RELAY_OK) break;
      alone_ = job;
      try {
        Start(*job);
      } catch (const RelayError &e) {
        stopped_ = e.status;
        job->Drop();
      }
    }
    meter_.pace = nullptr;
  }
  if (stopped_ != RELAY_OK)
    for (Job &job : jobs)
      if (!job.settled) job.Result().status = stopped_;
  return stopped_ != RELAY_OK ? stopped_ : failed_;
}

}  // namespace

bool StopsEverything(RelayStatus status) {
  return status == RELAY_CANCELLED || status == RELAY_NO_SPACE || status == RELAY_OUT_OF_MEMORY;
}

CopyOutcome CopyMissing(const ZELRELAY_ContextRecord &context, const NetworkSettings &network, Upstream &upstream,
                        const std::vector<PlannedPackage> &plan, const std::unordered_set<std::string> &partials,
                        uint64_t total) {
  Meter meter;
  Summer summer;  // outlives the jobs' partials
  meter.summer = &summer;
  CopyOutcome outcome;
  outcome.packages.resize(
      size_t(std::count_if(plan.begin(), plan.end(), [](const PlannedPackage &p) { return p.Needed(); })));
  std::vector<Job> jobs;
  jobs.reserve(outcome.packages.size());
  for (const PlannedPackage &package : plan)
    if (package.Needed())
      jobs.emplace_back(package, outcome.packages[jobs.size()],
                        !partials.empty() && partials.count(PartialName(package.File())) > 0);
  outcome.status = Copying(context, network, upstream, total, meter).Run(jobs);
  outcome.bytes = meter.bytes;
  return outcome;
}
