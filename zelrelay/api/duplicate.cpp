// Duplication: copy what a request covers and the repository lacks, then
// record it, rebuild the merged archives of the products it changed and
// prune old versions. Everything starts from what the repository holds, its
// index and its merged archives together, so nothing it held is lost.
#include <sys/statvfs.h>

#include <unordered_map>
#include <unordered_set>

#include "api/context.h"
#include "api/copying.h"
#include "api/guard.h"
#include "base/entity.h"
#include "base/environment.h"
#include "base/files.h"
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

// A held member is taken as it is: its bytes are checked whenever they are
// read. A package file is checked now.
bool Holds(const std::string &repository, const Holdings &held, const ComponentEntry &wanted) {
  const ComponentEntry *mine = held.Find(wanted.id);
  if (mine == nullptr || mine->sha256 != wanted.sha256 || mine->size != wanted.size) return false;
  return mine->InArchive() || PackagePresent(JoinPath(repository, mine->path), wanted, held.FileOf(wanted.id));
}

std::vector<PlannedPackage> Plan(const std::string &repository, const Holdings &held, Upstream &upstream,
                                 const std::vector<SelectedProduct> &selection) {
  std::unordered_set<size_t> seen;
  std::vector<PlannedPackage> plan;
  for (const SelectedProduct &product : selection)
    for (size_t c : product.components) {
      if (!seen.insert(c).second) continue;
      const ComponentEntry &entry = upstream.index.components[c];
      plan.push_back({&entry, PackagePath(entry), Holds(repository, held, entry)});
    }
  return plan;
}

// With keepcount, only the versions that pruning will keep are copied: of
// each component, the newest among what is held and what is offered.
void SkipDoomed(std::vector<PlannedPackage> &plan, const Holdings &held, int64_t keep) {
  if (keep <= 0) return;
  std::unordered_map<std::string, std::vector<std::pair<const ZEL_Version *, PlannedPackage *>>> versions;
  for (const ComponentEntry &c : held.index.components) versions[ComponentName(c.entity)].emplace_back(&c.entity.version, nullptr);
  for (PlannedPackage &package : plan)
    if (!package.present)
      versions[ComponentName(package.upstream->entity)].emplace_back(&package.upstream->entity.version, &package);
  for (auto &[name, list] : versions) {
    if (list.size() <= size_t(keep)) continue;
    std::stable_sort(list.begin(), list.end(), [](const auto &a, const auto &b) { return IsNewer(*a.first, *b.first); });
    for (size_t i = size_t(keep); i < list.size(); ++i)
      if (list[i].second != nullptr) list[i].second->doomed = true;
  }
}

// Lists the components now held under their products; returns the
// positions of the products touched.
std::vector<size_t> RecordProducts(Holdings &held, const Upstream &upstream,
                                   const std::vector<SelectedProduct> &selection) {
  std::vector<size_t> touched;
  for (const SelectedProduct &selected : selection) {
    const ProductEntry &source = upstream.index.products[selected.product];
    ProductEntry &product = held.Product(source);
    if (!IsNewer(product.entity.version, source.entity.version)) {
      product.entity = source.entity;
      product.id = source.id;
    }
    for (size_t c : selected.components) {
      const std::string &id = upstream.index.components[c].id;
      if (held.Find(id)) product.components.push_back(id);
    }
    touched.push_back(size_t(&product - held.index.products.data()));
  }
  held.Tidy();
  return touched;
}

// A component the index named whose package is gone, and that this run did
// not copy again, leaves the repository; the script hears of it.
void ReportGone(const ZELRELAY_ContextRecord &context, const Holdings &held) {
  for (const ComponentEntry &c : held.gone)
    if (!held.Find(c.id)) Emit(context, ZELRELAY_EVENT_REMOVEFAILED, c.path, 0, 0);
}

void RemovePruned(const ZELRELAY_ContextRecord &context, const std::vector<ComponentEntry> &pruned,
                  const std::vector<std::string> &files) {
  std::unordered_set<std::string> deletable(files.begin(), files.end());
  for (const ComponentEntry &c : pruned) {
    std::string shown = PackagePath(c);
    Emit(context, ZELRELAY_EVENT_REMOVEBEGIN, shown, 0, 0);
    if (!deletable.count(c.path)) continue;
    std::string full = JoinPath(context.repository, c.path);
    if (!RemoveFile(full)) Emit(context, ZELRELAY_EVENT_REMOVEFAILED, shown, 0, 0);
    RemoveFile(full + ".sig");
  }
}

// Reports what would be copied; touches nothing.
RelayStatus DryRun(const ZELRELAY_ContextRecord &context, const std::vector<PlannedPackage> &plan,
                   uint64_t total) {
  uint64_t finished = 0;
  for (const PlannedPackage &package : plan) {
    if (!package.Needed()) continue;
    uint64_t size = package.upstream->size;
    if (!Emit(context, ZELRELAY_EVENT_DOWNLOADBEGIN, package.path, size, 0)) return RELAY_CANCELLED;
    finished += size;
    if (!Emit(context, ZELRELAY_EVENT_PROGRESS, package.path, total, finished)) return RELAY_CANCELLED;
    if (!Emit(context, ZELRELAY_EVENT_DOWNLOAD, package.path, size, size)) return RELAY_CANCELLED;
  }
  Emit(context, ZELRELAY_EVENT_DOWNLOADEND, {}, total, finished);
  return RELAY_OK;
}

// Refuses a run whose packages and rebuilt archives cannot fit, before it
// writes anything: the packages it lacks, and again every package of a
// product that gets one.
void CheckSpace(const std::string &repository, const Upstream &upstream, const std::vector<SelectedProduct> &selection,
                const std::vector<PlannedPackage> &plan) {
  std::unordered_set<std::string> missing;
  uint64_t needed = 0;
  for (const PlannedPackage &package : plan)
    if (package.Needed()) {
      missing.insert(package.upstream->id);
      needed += package.upstream->size;
    }
  if (missing.empty()) return;
  for (const SelectedProduct &product : selection) {
    uint64_t all = 0;
    bool changes = false;
    for (size_t c : product.components) {
      all += upstream.index.components[c].size;
      changes = changes || missing.count(upstream.index.components[c].id);
    }
    if (changes) needed += all;
  }
  struct statvfs room;
  if (statvfs(repository.c_str(), &room) == 0 && uint64_t(room.f_bavail) * room.f_frsize < needed)
    Fail(RELAY_NO_SPACE);
}

RelayStatus Duplicate(const ZELRELAY_ContextRecord &context, const SourceSettings &settings, Upstream &upstream,
                      const std::vector<SelectedProduct> &selection, const std::string &digest) {
  WriteLock lock;
  bool dry = RelayDryRun();
  if (!dry) LockForWriting(lock, context.repository);
  if (!dry && !VerifyRequested() && Settled(context.repository, digest)) {
    Emit(context, ZELRELAY_EVENT_DOWNLOADEND, {}, 0, 0);
    return RELAY_OK;
  }
  Holdings held = ReadHoldings(context.repository);
  std::vector<PlannedPackage> plan = Plan(context.repository, held, upstream, selection);
  SkipDoomed(plan, held, context.options.keepcount);
  uint64_t total = 0;
  for (const PlannedPackage &package : plan)
    if (package.Needed()) total += package.upstream->size;
  if (dry) return DryRun(context, plan, total);

  // A package that cannot be had fails alone; the rest of the run goes on.
  CheckSpace(context.repository, upstream, selection, plan);
  MakeDirectory(JoinPath(context.repository, ZELRELAY_PACKAGES_DIR));
  std::unordered_set<std::string> partials = PartialsIn(context.repository);
  CopyOutcome outcome = CopyMissing(context, settings.network, upstream, plan, partials, total);
  RelayStatus status = outcome.status;
  std::unordered_map<std::string, CopiedPackage> copied;
  Finished finished;
  for (const PackageCopy &copy : outcome.packages) {
    if (copy.status != RELAY_OK) continue;
    ComponentEntry entry = *copy.package->upstream;
    entry.path = copy.package->path;
    entry.offset = kWholeFile;
    held.Hold(entry);
    copied[entry.id] = copy.file;
    finished.emplace_back(copy.file.partial, JoinPath(context.repository, entry.path));
  }
  ReportGone(context, held);
  std::vector<size_t> touched = RecordProducts(held, upstream, selection);
  if (StopsEverything(status)) {
    PutInPlace(context.repository, finished);
    WriteIndexIfChanged(context.repository, held.index);
    return status;
  }
  std::vector<ComponentEntry> pruned = SupersededVersions(held.index, context.options.keepcount);
  std::vector<size_t> products = Prune(held, std::move(touched), pruned, context.options.maxmerge);
  for (const ComponentEntry &c : Publish(context.repository, context.options.maxmerge, held, products, copied, finished))
    Emit(context, ZELRELAY_EVENT_REMOVEFAILED, PackagePath(c), 0, 0);
  RemovePruned(context, pruned, UnusedPackageFiles(held.index, pruned));
  RemoveObsoletePartials(context.repository, upstream.index, partials);
  if (status == RELAY_OK) RecordSettled(context.repository, digest);
  Emit(context, ZELRELAY_EVENT_DOWNLOADEND, {}, total, outcome.bytes);
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
    SourceSettings settings = SourcesOf(context, !RelayDryRun());
    RefuseRepositoryAsSource(sources, sourceCount, context.repository, settings);
    Upstream upstream = ResolveUpstream(sources, sourceCount, settings);
    std::vector<SelectedProduct> selection = Select(upstream.index, products, productCount, false);
    const RelayOptions &o = context.options;
    std::string digest = RunDigest(products, productCount, upstream.index, o.keepcount, o.maxmerge, o.dupdigisign);
    RelayStatus status = Duplicate(context, settings, upstream, selection, digest);
    if (status > 0 && information) *information = BuildInformation(upstream.index, selection);
    return status;
  });
}
