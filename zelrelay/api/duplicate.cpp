// Duplication: copy what a request covers and the repository lacks, then
// record it, rebuild the merged archives of the products it changed and
// prune old versions. Everything starts from what the repository holds, its
// index and its merged archives together, so nothing it held is lost.
#include <malloc.h>
#include <sys/statvfs.h>

#include <unordered_map>
#include <unordered_set>

#include "api/context.h"
#include "api/copying.h"
#include "api/guard.h"
#include "api/report.h"
#include "base/entity.h"
#include "base/environment.h"
#include "base/files.h"
#include "repository/retired.h"
#include "packages/partial.h"
#include "packages/verified.h"
#include "repository/holdings.h"
#include "repository/lock.h"
#include "repository/prune.h"
#include "repository/rebuild.h"
#include "repository/settled.h"
#include "sources/selection.h"
#include "sources/source.h"

namespace {

// How the repository holds a component that the upstream lists.
enum class Holding { None, Intact, Damaged };

Holding HeldAs(const std::string &repository, const Holdings &held, const ComponentEntry &wanted) {
  const ComponentEntry *mine = held.Find(wanted.id);
  if (mine == nullptr || mine->sha256 != wanted.sha256 || mine->size != wanted.size) return Holding::None;
  return HeldIntact(repository, held, *mine) ? Holding::Intact : Holding::Damaged;
}

// New bytes never go under a name that is there already, which the index
// may name: the plain name while it is free, else one of their own.
bool PlainNameTaken(const std::string &repository, const ComponentEntry &entry) {
  return Exists(JoinPath(repository, PackagePath(entry)));
}

// A held component whose bytes no longer match is held no more: it is
// copied again, and until then nothing names its bytes.
std::vector<PlannedPackage> Plan(const std::string &repository, Holdings &held, Upstream &upstream,
                                 const std::vector<SelectedProduct> &selection) {
  std::vector<bool> seen(upstream.index.components.size());  // by position: no node a component
  std::vector<PlannedPackage> plan;
  size_t count = 0;
  for (const SelectedProduct &product : selection) count += product.components.size();
  plan.reserve(count);
  std::vector<const ComponentEntry *> damaged;
  for (const SelectedProduct &product : selection)
    for (size_t c : product.components) {
      if (seen[c]) continue;
      seen[c] = true;
      const ComponentEntry &entry = upstream.index.components[c];
      Holding holding = HeldAs(repository, held, entry);
      PlannedPackage &package = plan.emplace_back();
      package.upstream = &entry;
      package.present = holding == Holding::Intact;
      package.repair = holding == Holding::Damaged;
      if (package.repair) damaged.push_back(held.Find(entry.id));  // HeldAs found it
      if (!package.present) package.tagged = PlainNameTaken(repository, entry);
    }
  held.Drop(damaged);
  return plan;
}

// With keepcount, only the versions that pruning will keep are copied: of
// each component, the newest among what is held and what is offered.
void SkipDoomed(std::vector<PlannedPackage> &plan, const Holdings &held, int64_t keep) {
  if (keep <= 0) return;
  std::unordered_map<std::string, std::vector<std::pair<const ZEL_Version *, PlannedPackage *>>> versions;
  // A held version that the upstream offers other bytes for is replaced,
  // not kept beside them.
  std::unordered_set<std::string_view> replaced;
  for (PlannedPackage &package : plan)
    if (!package.present) {
      versions[ComponentName(package.upstream->entity)].emplace_back(&package.upstream->entity.version, &package);
      replaced.insert(package.upstream->id);
    }
  for (const ComponentEntry *c : held.components)
    if (!replaced.count(c->id)) versions[ComponentName(c->entity)].emplace_back(&c->entity.version, nullptr);
  for (auto &[name, list] : versions) {
    if (list.size() <= size_t(keep)) continue;
    std::stable_sort(list.begin(), list.end(),
                     [](const auto &a, const auto &b) { return IsNewer(*a.first, *b.first); });
    for (size_t i = size_t(keep); i < list.size(); ++i)
      if (list[i].second != nullptr) list[i].second->doomed = true;
  }
}

// Lists the components now held under their products; returns the
// positions of the products touched.
std::vector<size_t> RecordProducts(Holdings &held, const Upstream &upstream,
                                   const std::vector<SelectedProduct> &selection) {
  std::vector<size_t> touched;
  touched.reserve(selection.size());
  held.ReserveProducts(held.products.size() + selection.size());
  for (const SelectedProduct &selected : selection) {
    const ProductEntry &source = upstream.index.products[selected.product];
    HeldProduct &product = held.Product(source);
    if (!IsNewer(product.record->entity.version, source.entity.version)) product.record = &source;
    for (size_t c : selected.components)
      if (uint32_t at = held.Position(upstream.index.components[c].id); at != Holdings::kNone)
        product.components.push_back(at);
    touched.push_back(size_t(&product - held.products.data()));
  }
  held.Tidy();
  return touched;
}

// A component the index named whose package is gone, and that this run did
// not copy again, leaves the repository; the script hears of it.
void ReportGone(const ZELRELAY_ContextRecord &context, const Holdings &held, RunReport &report) {
  for (const ComponentEntry *c : held.gone)
    if (!held.Find(c->id)) {
      Emit(context, ZELRELAY_EVENT_REMOVEFAILED, c->path, 0, 0);
      report.Package(*c, Outcome::Dropped);
    }
}

// The index no longer names them; their files are retired with the rest.
void ReportPruned(const ZELRELAY_ContextRecord &context, const std::vector<const ComponentEntry *> &pruned,
                  RunReport &report) {
  for (const ComponentEntry *c : pruned) {
    report.Package(*c, Outcome::Pruned);
    Emit(context, ZELRELAY_EVENT_REMOVEBEGIN, PackagePath(*c), 0, 0);
  }
}

// Reports what would be copied; touches nothing.
RelayStatus DryRun(const ZELRELAY_ContextRecord &context, const std::vector<PlannedPackage> &plan,
                   uint64_t total) {
  uint64_t finished = 0;
  for (const PlannedPackage &package : plan) {
    if (!package.Needed()) continue;
    uint64_t size = package.upstream->size;
    std::string path = package.Path();
    if (!Emit(context, ZELRELAY_EVENT_DOWNLOADBEGIN, path, size, 0)) return RELAY_CANCELLED;
    finished += size;
    if (!Emit(context, ZELRELAY_EVENT_PROGRESS, path, total, finished)) return RELAY_CANCELLED;
    if (!Emit(context, ZELRELAY_EVENT_DOWNLOAD, path, size, size)) return RELAY_CANCELLED;
  }
  Emit(context, ZELRELAY_EVENT_DOWNLOADEND, {}, total, finished);
  return RELAY_OK;
}

// Whether the packages a run lacks and its rebuilt archives fit, before it
// writes anything: the packages it lacks, and again every package of a
// product that gets one.
bool Fits(const std::string &repository, const Upstream &upstream, const std::vector<SelectedProduct> &selection,
          const std::vector<PlannedPackage> &plan) {
  std::vector<bool> missing(upstream.index.components.size());  // by position
  uint64_t needed = 0;
  for (const PlannedPackage &package : plan)
    if (package.Needed()) {
      missing[size_t(package.upstream - upstream.index.components.data())] = true;
      needed += package.upstream->size;
    }
  if (needed == 0 && std::find(missing.begin(), missing.end(), true) == missing.end()) return true;
  for (const SelectedProduct &product : selection) {
    uint64_t all = 0;
    bool changes = false;
    for (size_t c : product.components) {
      all += upstream.index.components[c].size;
      changes = changes || missing[c];
    }
    if (changes) needed += all;
  }
  struct statvfs room;
  return statvfs(repository.c_str(), &room) != 0 || uint64_t(room.f_bavail) * room.f_frsize >= needed;
}

// One duplication: what it works on and what it tells.
struct Run {
  const ZELRELAY_ContextRecord &context;
  const SourceSettings &settings;
  Upstream &upstream;
  const std::vector<SelectedProduct> &selection;
  RunReport &report;
  uint64_t total = 0, copied = 0;  // bytes, for progress
};

// What the copying did to each package of the plan; a dry run copies
// nothing, and tells what it would.
void ReportPlan(Run &run, const std::vector<PlannedPackage> &plan, const CopyOutcome *outcome) {
  size_t next = 0;  // the copies are the needed packages', in order
  for (const PlannedPackage &package : plan) {
    Outcome done = package.repair ? Outcome::Repaired : Outcome::Copied;
    if (package.present) run.report.Package(*package.upstream, Outcome::Present);
    else if (package.doomed) run.report.Package(*package.upstream, Outcome::Pruned);
    else if (!outcome) run.report.Package(*package.upstream, done);
    else if (const PackageCopy &c = outcome->packages[next++]; c.status == RELAY_OK)
      run.report.Package(*package.upstream, c.resumed && !package.repair ? Outcome::Resumed : done, c.moved, c.source);
    else run.report.Package(*package.upstream, Outcome::Failed, c.moved, c.source, c.status);
  }
}

// What the plan meant the repository to hold in the end, by upstream
// position: a bit a component, where the plan itself takes far more.
std::vector<bool> Meant(const std::vector<PlannedPackage> &plan, const Index &upstream) {
  std::vector<bool> meant(upstream.components.size());
  for (const PlannedPackage &package : plan)
    if (!package.doomed && !package.failed) meant[size_t(package.upstream - upstream.components.data())] = true;
  return meant;
}

// Whether a component the plan meant to hold went while the run went on (a
// clean-up meanwhile took its only copy): dropped since, so that nothing
// holds it now.
bool Vanished(const Holdings &held, const Index &upstream, const std::vector<bool> &meant,
              const std::vector<const ComponentEntry *> &dropped) {
  std::unordered_set<std::string_view> gone;
  for (const ComponentEntry *c : dropped)
    if (!held.Find(c->id)) gone.insert(c->id);
  for (size_t i = 0; !gone.empty() && i < upstream.components.size(); ++i)
    if (meant[i] && gone.count(upstream.components[i].id)) return true;
  return false;
}

// A run that stops early records what it finished, package files and
// merged archives alike, so that the module's clean-up keeps them and the
// next run moves only the rest. Should the archives not fit, the packages
// at least are in place and in the index.
void KeepFinished(const std::string &repository, int64_t maxmerge, Holdings &held, std::vector<size_t> touched,
                  const CopiedPackages &copied) {
  std::vector<size_t> products = Prune(held, std::move(touched), {}, maxmerge, copied);
  try {
    Publish(repository, maxmerge, held, products, copied);
  } catch (const RelayError &) {
    PutInPlace(repository, held, copied);
    WriteIndexIfChanged(repository, held);
    RetireUnnamedFiles(repository, held);
  }
}

// Copies what the repository lacks, records it, rebuilds the merged
// archives of the products it changed and prunes old versions.
RelayStatus CopyAndPublish(Run &run, bool &vanished) {
  const ZELRELAY_ContextRecord &context = run.context;
  const std::string &repository = context.repository;
  Holdings held(repository);
  AdoptLeftovers(repository, held, run.upstream.index);
  run.report.Keep(held.Strings());  // what was pruned or dropped is told after held is gone
  std::vector<PlannedPackage> plan = Plan(repository, held, run.upstream, run.selection);
  SkipDoomed(plan, held, context.options.keepcount);
  uint64_t total = 0;
  for (const PlannedPackage &package : plan)
    if (package.Needed()) total += package.upstream->size;
  run.total += total;
  if (RelayDryRun()) {
    ReportPlan(run, plan, nullptr);
    return DryRun(context, plan, total);
  }
  // A run that cannot fit ends before it writes, as one that fills the disk
  // ends: an outcome, told in the report.
  if (!Fits(repository, run.upstream, run.selection, plan)) return RELAY_NO_SPACE;
  MakeDirectory(JoinPath(repository, ZELRELAY_PACKAGES_DIR));
  std::unordered_set<std::string> partials = PartialsIn(repository);
  CopyOutcome outcome = CopyMissing(context, run.settings.network, run.upstream, plan, partials, total);
  run.copied += outcome.bytes;
  ReportPlan(run, plan, &outcome);
  CopiedPackages copied;
  size_t count = size_t(std::count_if(outcome.packages.begin(), outcome.packages.end(),
                                      [](const PackageCopy &c) { return c.status == RELAY_OK; }));
  held.Reserve(held.components.size() + count);
  copied.Reserve(count);
  size_t next = 0;
  for (PlannedPackage &package : plan) {
    if (!package.Needed()) continue;
    const PackageCopy &copy = outcome.packages[next++];
    package.failed = copy.status != RELAY_OK;
    if (package.failed) continue;
    // The upstream's record as it is, which outlives the holdings, unless
    // it named a member of a merged archive or the file went under a name
    // of its own.
    const ComponentEntry *record = package.upstream;
    std::string file = package.File();
    if (record->InArchive() || record->path != file) {
      ComponentEntry entry = *record;
      entry.path = held.Keep(file);
      entry.offset = kWholeFile;
      record = &held.Make(entry);
    }
    copied.Add(held.Hold(*record), copy.file);
  }
  // Told and taken: gone before the rebuild.
  std::vector<bool> meant = Meant(plan, run.upstream.index);
  std::vector<PackageCopy>().swap(outcome.packages);
  std::vector<PlannedPackage>().swap(plan);
  ReportGone(context, held, run.report);
  std::vector<size_t> touched = RecordProducts(held, run.upstream, run.selection);
  if (StopsEverything(outcome.status)) {
    KeepFinished(repository, context.options.maxmerge, held, std::move(touched), copied);
    return outcome.status;
  }
  std::vector<const ComponentEntry *> pruned = SupersededVersions(held.components, context.options.keepcount);
  std::vector<size_t> products = Prune(held, std::move(touched), pruned, context.options.maxmerge, copied);
  std::vector<const ComponentEntry *> lost = Publish(repository, context.options.maxmerge, held, products, copied);
  for (const ComponentEntry *c : lost) {
    Emit(context, ZELRELAY_EVENT_REMOVEFAILED, PackagePath(*c), 0, 0);
    run.report.Package(*c, Outcome::Dropped);
  }
  ReportPruned(context, pruned, run.report);
  RemoveObsoletePartials(repository, run.upstream.index, partials);
  lost.insert(lost.end(), pruned.begin(), pruned.end());
  vanished = Vanished(held, run.upstream.index, meant, lost);
  return outcome.status;
}

// Deletes what was retired long enough ago, in a run that has nothing else
// to do, and keeps the run settled.
void SweepSettled(const std::string &repository, const std::string &digest) {
  Retired retired = ReadRetired(repository);
  SweepRetired(repository, retired, int64_t(time(nullptr)), GracePeriod());
  if (!retired.changed) return;
  WriteRetired(repository, retired);
  RecordSettled(repository, digest);
}

RelayStatus Duplicate(Run &run, const std::string &digest) {
  const ZELRELAY_ContextRecord &context = run.context;
  WriteLock lock;
  bool dry = RelayDryRun();
  if (!dry) LockForWriting(lock, context.repository, [&context] { return Waiting(context); });
  if (!dry && !VerifyRequested() && Settled(context.repository, digest)) {
    if (run.upstream.Signed()) KeepSigned(context.repository, *run.upstream.Signed());
    SweepSettled(context.repository, digest);
    std::vector<bool> told(run.upstream.index.components.size());
    for (const SelectedProduct &product : run.selection)
      for (size_t c : product.components)
        if (!told[c]) {
          told[c] = true;
          run.report.Once(run.upstream.index.components[c], Outcome::Present);
        }
    Emit(context, ZELRELAY_EVENT_DOWNLOADEND, {}, 0, 0);
    return RELAY_OK;
  }
  // What vanished is fetched again, once: a duplication that succeeds holds
  // every component its request covers.
  bool vanished = false;
  RelayStatus status = CopyAndPublish(run, vanished);
  if (status == RELAY_OK && vanished) status = CopyAndPublish(run, vanished);
  if (status == RELAY_OK && vanished) status = RELAY_PACKAGE_MISSING;
  // A large run has just let go of most of what it held, in pieces that the
  // C library keeps in its heap; given back, the information record that
  // follows comes on top of what stays, not of all the run held.
  malloc_trim(0);
  // The publisher's statement goes beside the index that now follows it.
  if (!dry && run.upstream.Signed()) KeepSigned(context.repository, *run.upstream.Signed());
  if (status == RELAY_OK && !dry) RecordSettled(context.repository, digest);
  if (!dry && !StopsEverything(status)) Emit(context, ZELRELAY_EVENT_DOWNLOADEND, {}, run.total, run.copied);
  return status;
}

}  // namespace

int32_t ZELRELAY_Duplicate(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                           ZELRELAY_Source *sources, uint64_t sourceCount, ZELRELAY_Information **information) {
  return GuardedStarted([&] {
    ZELRELAY_ContextRecord &context = ContextOf(handle);
    struct ForgetIndexes {
      IndexCache &cache;
      ~ForgetIndexes() { cache.Forget(); }
    } forget{context.indexes};
    if (products == nullptr && productCount > 0) return RELAY_INVALID_ARGUMENT;
    if (information) *information = nullptr;
    CheckOptions(context);
    SourceSettings settings = SourcesOf(context, RelayDryRun() ? Keeping::ReadOnly : Keeping::Write);
    RefuseRepositoryAsSource(sources, sourceCount, context.repository, settings);
    RunReport report(context.repository, RelayDryRun(), products, productCount);
    Upstream upstream;  // outlives the report's packages, whose strings are its index's
    RelayStatus status;
    try {
      // Under a trust file, what the sources send is kept only once accepted.
      std::optional<Trust> trust = ReadTrust(context.repository);
      settings.trust = trust ? &*trust : nullptr;
      context.indexes.writable = !RelayDryRun() && !trust;
      upstream.Resolve(sources, sourceCount, settings);
      context.indexes.writable = !RelayDryRun();
      if (!RelayDryRun()) upstream.KeepFetched();
      std::vector<RequestMatch> matches;
      std::vector<SelectedProduct> selection = Select(upstream.index, products, productCount, EmptyRequest::None, &matches);
      report.Matched(matches, upstream.index.components.size());
      const RelayOptions &o = context.options;
      std::string digest = RunDigest(products, productCount, upstream.index, o.keepcount, o.maxmerge, o.dupdigisign);
      Run run{context, settings, upstream, selection, report};
      status = Duplicate(run, digest);
      // The rest is copied; then a product that found nothing fails the run.
      if (status == RELAY_OK) CheckMatches(products, matches);
      if (status > 0 && information) *information = BuildInformation(upstream.index, selection);
    } catch (const RelayError &e) {
      status = e.status;
    } catch (const std::bad_alloc &) {
      status = RELAY_OUT_OF_MEMORY;
    }
    report.Write(status, &upstream);
    return status;
  });
}
