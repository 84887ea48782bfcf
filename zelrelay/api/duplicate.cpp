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
#include "base/served.h"
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

// What the repository holds that the upstream's index no longer lists, when
// ZELRELAY_DELETE_UNLISTED asks for it to go.
std::vector<const ComponentEntry *> Unlisted(const Holdings &held, const Index &upstream) {
  if (!DeleteUnlisted()) return {};
  std::unordered_set<std::string_view> listed;
  for (const ComponentEntry &c : upstream.components) listed.insert(c.id);
  std::vector<const ComponentEntry *> unlisted;
  for (const ComponentEntry *c : held.components)
    if (!listed.count(c->id)) unlisted.push_back(c);
  return unlisted;
}

// The versions pruning removes of what withdrawing leaves.
std::vector<const ComponentEntry *> Superseded(const Holdings &held, const std::vector<const ComponentEntry *> &withdrawn,
                                               int64_t keep) {
  if (withdrawn.empty()) return SupersededVersions(held.components, keep);
  std::unordered_set<std::string_view> ids;
  for (const ComponentEntry *c : withdrawn) ids.insert(c->id);
  std::vector<const ComponentEntry *> rest;
  for (const ComponentEntry *c : held.components)
    if (!ids.count(c->id)) rest.push_back(c);
  return SupersededVersions(rest, keep);
}

// With keepcount, only the versions that pruning will keep are copied: of
// each component, the newest among what is held (but what is withdrawn)
// and what is offered. Returns the held versions that pruning will remove
// once the rest is copied, as SupersededVersions will find them.
std::vector<const ComponentEntry *> SkipDoomed(std::vector<PlannedPackage> &plan, const Holdings &held, int64_t keep,
                                               const std::vector<const ComponentEntry *> &withdrawn) {
  if (keep <= 0) return {};
  using Version = std::pair<const ComponentEntry *, PlannedPackage *>;  // the held one's package is null
  std::unordered_map<std::string, std::vector<Version>> versions;
  // A held version that the upstream offers other bytes for is replaced,
  // not kept beside them.
  std::unordered_set<std::string_view> replaced;
  for (const ComponentEntry *c : withdrawn) replaced.insert(c->id);
  for (PlannedPackage &package : plan)
    if (!package.present) {
      versions[ComponentName(package.upstream->entity)].emplace_back(package.upstream, &package);
      replaced.insert(package.upstream->id);
    }
  for (const ComponentEntry *c : held.components)
    if (!replaced.count(c->id)) versions[ComponentName(c->entity)].emplace_back(c, nullptr);
  std::vector<const ComponentEntry *> pruned;
  for (auto &[name, list] : versions) {
    if (list.size() <= size_t(keep)) continue;
    std::stable_sort(list.begin(), list.end(), [](const Version &a, const Version &b) {
      return IsNewer(a.first->entity.version, b.first->entity.version);
    });
    // A held version whose other bytes are doomed goes with them.
    for (size_t i = size_t(keep); i < list.size(); ++i)
      if (list[i].second == nullptr) pruned.push_back(list[i].first);
      else if (list[i].second->doomed = true; const ComponentEntry *mine = held.Find(list[i].first->id))
        pruned.push_back(mine);
  }
  // In the holdings' order, as SupersededVersions gives them.
  std::sort(pruned.begin(), pruned.end(), [&](const ComponentEntry *a, const ComponentEntry *b) {
    return held.Position(a->id) < held.Position(b->id);
  });
  return pruned;
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
// A dry run only tells them (context is null).
void ReportRemoved(const ZELRELAY_ContextRecord *context, const std::vector<const ComponentEntry *> &removed,
                   Outcome outcome, RunReport &report) {
  for (const ComponentEntry *c : removed) {
    report.Package(*c, outcome);
    if (context) Emit(*context, ZELRELAY_EVENT_REMOVEBEGIN, PackagePath(*c), 0, 0);
  }
}

// What the real run would drop as gone: what nothing holds that it would
// not copy again.
void ReportWouldDrop(const Holdings &held, const std::vector<PlannedPackage> &plan, RunReport &report) {
  std::unordered_set<std::string_view> copied;
  for (const PlannedPackage &package : plan)
    if (package.Needed()) copied.insert(package.upstream->id);
  for (const ComponentEntry *c : held.gone)
    if (!copied.count(c->id)) report.Package(*c, Outcome::Dropped);
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
// product that gets one. The report learns what that comes to.
bool Fits(const std::string &repository, const Upstream &upstream, const std::vector<SelectedProduct> &selection,
          const std::vector<PlannedPackage> &plan, RunReport &report) {
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
  report.Needed(needed);
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
  std::vector<std::string> skipped{};  // ids of what keepcount kept from being copied
};

// What the copying did to each package of the plan; a dry run copies
// nothing, and tells what it would.
void ReportPlan(Run &run, const std::vector<PlannedPackage> &plan, const CopyOutcome *outcome) {
  size_t next = 0;  // the copies are the needed packages', in order
  for (const PlannedPackage &package : plan) {
    Outcome done = package.repair ? Outcome::Repaired : Outcome::Copied;
    if (package.present) run.report.Package(*package.upstream, Outcome::Present);
    else if (package.doomed) run.report.Package(*package.upstream, Outcome::Skipped);
    else if (!outcome) run.report.Package(*package.upstream, done);  // a dry run would
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
// holds it now. What the run itself removed (pruned, withdrawn) is not
// among the dropped.
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
                  CopiedPackages &copied) {
  std::vector<size_t> products = Prune(held, std::move(touched), {}, maxmerge, copied);
  try {
    Publish(repository, maxmerge, held, products, copied);
  } catch (const RelayError &) {
    PutInPlace(repository, held, copied);
    ServeIndex(repository, held);
    RetireUnnamedFiles(repository, held);
  }
}

// A product the upstream no longer lists leaves the index once it holds
// nothing, after what it held was withdrawn.
void ForgetWithdrawnProducts(const std::string &repository, Holdings &held, const Index &upstream) {
  std::unordered_set<std::string> listed;
  for (const ProductEntry &p : upstream.products) listed.insert(ComponentName(p.entity));
  if (held.ForgetEmptyProducts([&](const ProductEntry &p) { return listed.count(ComponentName(p.entity)) > 0; }))
    ServeIndex(repository, held);
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
  std::vector<const ComponentEntry *> withdrawn = Unlisted(held, run.upstream.index);
  std::vector<const ComponentEntry *> doomed = SkipDoomed(plan, held, context.options.keepcount, withdrawn);
  uint64_t total = 0;
  run.skipped.clear();
  for (const PlannedPackage &package : plan) {
    if (package.Needed()) total += package.upstream->size;
    if (package.doomed) run.skipped.emplace_back(package.upstream->id);
  }
  run.total += total;
  if (RelayDryRun()) {
    ReportPlan(run, plan, nullptr);
    ReportWouldDrop(held, plan, run.report);
    ReportRemoved(nullptr, withdrawn, Outcome::Withdrawn, run.report);
    ReportRemoved(nullptr, doomed, Outcome::Pruned, run.report);
    return DryRun(context, plan, total);
  }
  // A run that cannot fit ends before it writes, as one that fills the disk
  // ends: an outcome, told in the report.
  if (!Fits(repository, run.upstream, run.selection, plan, run.report)) return RELAY_NO_SPACE;
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
  std::vector<const ComponentEntry *> pruned = Superseded(held, withdrawn, context.options.keepcount);
  std::vector<const ComponentEntry *> removed = withdrawn;
  removed.insert(removed.end(), pruned.begin(), pruned.end());
  std::vector<size_t> products = Prune(held, std::move(touched), removed, context.options.maxmerge, copied);
  std::vector<const ComponentEntry *> lost = Publish(repository, context.options.maxmerge, held, products, copied);
  for (const ComponentEntry *c : lost) {
    Emit(context, ZELRELAY_EVENT_REMOVEFAILED, PackagePath(*c), 0, 0);
    run.report.Package(*c, Outcome::Dropped);
  }
  if (!withdrawn.empty()) ForgetWithdrawnProducts(repository, held, run.upstream.index);
  ReportRemoved(&context, withdrawn, Outcome::Withdrawn, run.report);
  ReportRemoved(&context, pruned, Outcome::Pruned, run.report);
  RemoveObsoletePartials(repository, run.upstream.index, partials);
  vanished = Vanished(held, run.upstream.index, meant, lost);
  return outcome.status;
}

// Deletes what was retired long enough ago, in a run that has nothing else
// to do, and keeps the run settled.
void SweepSettled(const std::string &repository, const std::string &digest, const std::vector<std::string> &skipped) {
  Retired retired = ReadRetired(repository);
  SweepRetired(repository, retired, int64_t(time(nullptr)), GracePeriod());
  if (!retired.changed) return;
  WriteRetired(repository, retired);
  RecordSettled(repository, digest, skipped);
}

RelayStatus Duplicate(Run &run, const std::string &digest) {
  const ZELRELAY_ContextRecord &context = run.context;
  WriteLock lock;
  bool dry = RelayDryRun();
  if (!dry) LockForWriting(lock, context.repository, [&context] { return Waiting(context, kLockName); });
  std::optional<std::vector<std::string>> settled;
  if (!dry && !VerifyRequested()) settled = Settled(context.repository, digest);
  if (settled) {
    if (run.upstream.Signed()) KeepSigned(context.repository, *run.upstream.Signed());
    SweepSettled(context.repository, digest, *settled);
    std::unordered_set<std::string_view> skipped(settled->begin(), settled->end());
    std::vector<bool> told(run.upstream.index.components.size());
    for (const SelectedProduct &product : run.selection)
      for (size_t c : product.components)
        if (!told[c]) {
          told[c] = true;
          const ComponentEntry &entry = run.upstream.index.components[c];
          run.report.Once(entry, skipped.count(entry.id) ? Outcome::Skipped : Outcome::Present);
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
  if (status == RELAY_OK && !dry) RecordSettled(context.repository, digest, run.skipped);
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
      std::string digest = RunDigest(products, productCount, upstream.index, o.keepcount, o.maxmerge, o.dupdigisign,
                                     DeleteUnlisted());
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
