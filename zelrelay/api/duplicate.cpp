// Duplication: copy what a request covers and the repository lacks, then
// record it, rebuild the merged archives of the products it changed and
// prune old versions. Everything starts from what the repository holds, its
// index and its merged archives together, so nothing it held is lost.
#include <fcntl.h>

#include <algorithm>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "api/context.h"
#include "api/guard.h"
#include "base/entity.h"
#include "base/files.h"
#include <sys/statvfs.h>

#include "packages/copying.h"
#include "packages/digest.h"
#include "packages/partial.h"
#include "packages/storedzip.h"
#include "packages/transfer.h"
#include "repository/holdings.h"
#include "repository/lock.h"
#include "repository/merge.h"
#include "repository/prune.h"
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

// Lists the components now held under their products; returns the
// positions of the products touched.
std::vector<size_t> RecordProducts(Holdings &held, const Upstream &upstream,
                                   const std::vector<SelectedProduct> &selection) {
  std::vector<size_t> touched;
  for (const SelectedProduct &selected : selection) {
    const ProductEntry &source = upstream.index.products[selected.product];
    ProductEntry &product = held.Product(source);
    if (CompareVersions(source.entity.version, product.entity.version) <= 0) {
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
    if (package.present) continue;
    uint64_t size = package.upstream->size;
    if (!Emit(context, ZELRELAY_EVENT_DOWNLOADBEGIN, package.path, size, 0)) return RELAY_CANCELLED;
    finished += size;
    if (!Emit(context, ZELRELAY_EVENT_PROGRESS, package.path, total, finished)) return RELAY_CANCELLED;
    if (!Emit(context, ZELRELAY_EVENT_DOWNLOAD, package.path, size, size)) return RELAY_CANCELLED;
  }
  Emit(context, ZELRELAY_EVENT_DOWNLOADEND, {}, total, finished);
  return RELAY_OK;
}

// A package that cannot be had fails alone; the rest of the run goes on.
// Copied in this run: where its partial is, and its CRC-32.
struct Copy {
  std::string partial;
  uint32_t crc;
};

// Where a held component's bytes are read while its product's archive is
// rebuilt: this run's copy, else its member of an older merged archive
// (which no clean-up deletes), else its package file. The first two are
// trusted as they are, checked when they were written; the archive's
// record of the member's CRC-32 lets the kernel copy it.
MemberSource SourceOf(const std::string &repository, const Holdings &held, const ComponentEntry &entry,
                      const std::unordered_map<std::string, Copy> &copied) {
  if (auto run = copied.find(entry.id); run != copied.end())
    return MemberSource{entry, run->second.partial, 0, true, run->second.crc};
  auto member = held.members.find(entry.id);
  if (member != held.members.end() && member->second.sha256 == entry.sha256) {
    std::string archive = JoinPath(repository, member->second.path);
    FileDescriptor file{open(archive.c_str(), O_RDONLY | O_CLOEXEC)};
    std::optional<uint32_t> crc;
    if (file.fd >= 0 && !VerifyRequested())
      crc = RecordedCrc(file.fd, member->second.offset, entry.size, PackagePath(entry).size());
    return MemberSource{entry, archive, member->second.offset, crc.has_value(), crc};
  }
  return MemberSource{entry, JoinPath(repository, entry.path), 0, false, std::nullopt};
}

bool RangeMatches(const MemberSource &source) {
  FileDescriptor file{open(source.file.c_str(), O_RDONLY | O_CLOEXEC)};
  return file.fd >= 0 && Sha256OfRange(file.fd, source.offset, source.entry.size) == source.entry.sha256;
}

// A member whose bytes no longer match is left out, like one whose file is
// gone (a clean-up may take a package file meanwhile), instead of failing
// this and every later run.
MergedBuild Rebuild(const ZELRELAY_ContextRecord &context, const ProductEntry &product,
                    std::vector<MemberSource> sources, std::vector<ComponentEntry> &lost) {
  try {
    return BuildMergedArchives(context.repository, product, sources, context.options.maxmerge, lost);
  } catch (const RelayError &e) {
    if (e.status != RELAY_PACKAGE_MISMATCH && e.status != RELAY_PACKAGE_MISSING) throw;
  }
  std::erase_if(sources, [&](const MemberSource &s) {
    bool damaged = !RangeMatches(s);
    if (damaged) lost.push_back(s.entry);
    return damaged;
  });
  return BuildMergedArchives(context.repository, product, sources, context.options.maxmerge, lost);
}

// Copied packages: partial's name -> package file, both in the repository.
using Finished = std::vector<std::pair<std::string, std::string>>;

// Durability in one batch: everything written so far is synced at once,
// before any of it shows under its final name.
void PutInPlace(const std::string &repository, const Finished &finished) {
  if (finished.empty()) return;
  SyncAll(repository);
  for (const auto &[from, to] : finished) Rename(from, to);
}

// Rebuilds the merged archives of these products, puts the copied packages
// and the archives in place, then replaces the index. The index written
// while the old archives are being replaced names none of their members, so
// at no moment does it name a member at a stale offset.
void Publish(const ZELRELAY_ContextRecord &context, Holdings &held, const std::vector<size_t> &products,
             const std::unordered_map<std::string, Copy> &copied, const Finished &finished) {
  std::vector<MergedBuild> builds;
  std::vector<ComponentEntry> lost;
  for (size_t p : products) {
    std::vector<MemberSource> sources;
    for (const std::string &id : held.index.products[p].components)
      sources.push_back(SourceOf(context.repository, held, *held.Find(id), copied));
    builds.push_back(Rebuild(context, held.index.products[p], std::move(sources), lost));
  }
  if (!builds.empty() && finished.empty()) SyncAll(context.repository);
  PutInPlace(context.repository, finished);
  std::unordered_set<std::string> rebuilt;
  for (const MergedBuild &b : builds) rebuilt.insert(ComponentName(b.product.entity));
  Index during = held.index;
  std::erase_if(during.components,
                [&](const ComponentEntry &c) { return c.InArchive() && rebuilt.count(ProductOfArchive(c.path)); });
  if (!builds.empty()) WriteIndexIfChanged(context.repository, during);
  for (MergedBuild &build : builds) CommitMergedArchives(context.repository, build);
  if (!builds.empty() || !finished.empty()) SyncDirectory(JoinPath(context.repository, ZELRELAY_PACKAGES_DIR));
  if (builds.empty() && held.mergedListed) {  // the archives are as merged.ini says
    WriteIndexIfChanged(context.repository, held.index);
    return;
  }
  Index merged = ReadMergedArchives(context.repository, builds);
  WriteMergedIndex(context.repository, merged);
  std::unordered_map<std::string, const ComponentEntry *> members;
  for (const ComponentEntry &c : merged.components) members[c.id] = &c;
  for (ComponentEntry &c : held.index.components) {
    auto member = members.find(c.id);
    if (c.InArchive() && member != members.end() && member->second->sha256 == c.sha256) c = *member->second;
    else if (c.InArchive()) lost.push_back(c);
  }
  std::unordered_set<std::string> reported;
  std::erase_if(lost, [&](const ComponentEntry &c) { return !reported.insert(c.id).second; });
  held.Drop(lost);
  for (const ComponentEntry &c : lost) Emit(context, ZELRELAY_EVENT_REMOVEFAILED, PackagePath(c), 0, 0);
  WriteIndexIfChanged(context.repository, held.index);
}

// Whether a product's merged archives already hold exactly what it holds,
// in the parts maxmerge asks for: then they are left as they are.
bool ArchivesCurrent(const Holdings &held, const ProductEntry &product, int64_t maxmerge) {
  auto archived = held.archivedProducts.find(ComponentName(product.entity));
  if (archived == held.archivedProducts.end() || archived->second.id != product.id ||
      archived->second.components.size() != product.components.size())
    return false;
  std::set<std::string> parts;
  for (const std::string &id : product.components) {
    auto member = held.members.find(id);
    const ComponentEntry *mine = held.Find(id);
    if (member == held.members.end() || mine == nullptr || member->second.sha256 != mine->sha256 ||
        !IsArchiveOf(member->second.path, product))
      return false;
    parts.insert(member->second.path);
  }
  size_t count = product.components.size(), per = maxmerge > 0 ? size_t(maxmerge) : std::max<size_t>(count, 1);
  return parts.size() == (count + per - 1) / per;
}

// Prunes, and returns the products to rebuild: those the run touched and
// those that lost a pruned component, unless their archives are current.
std::vector<size_t> Prune(Holdings &held, std::vector<size_t> touched, const std::vector<ComponentEntry> &pruned,
                          int64_t maxmerge) {
  std::unordered_set<std::string> ids;
  for (const ComponentEntry &c : pruned) ids.insert(c.id);
  for (size_t p = 0; p < held.index.products.size(); ++p)
    for (const std::string &id : held.index.products[p].components)
      if (ids.count(id)) {
        touched.push_back(p);
        break;
      }
  held.Drop(pruned);
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  std::erase_if(touched, [&](size_t p) { return ArchivesCurrent(held, held.index.products[p], maxmerge); });
  return touched;
}

// Refuses a run whose packages and rebuilt archives cannot fit, before it
// writes anything: the packages it lacks, and again every package of a
// product that gets one.
void CheckSpace(const std::string &repository, const Upstream &upstream, const std::vector<SelectedProduct> &selection,
                const std::vector<PlannedPackage> &plan) {
  std::unordered_set<std::string> missing;
  uint64_t needed = 0;
  for (const PlannedPackage &package : plan)
    if (!package.present) {
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
  Transfer transfer{&context, settings.network};
  for (const PlannedPackage &package : plan)
    if (!package.present) transfer.total += package.upstream->size;
  if (dry) return DryRun(context, plan, transfer.total);

  CheckSpace(context.repository, upstream, selection, plan);
  MakeDirectory(JoinPath(context.repository, ZELRELAY_PACKAGES_DIR));
  std::unordered_map<std::string, Copy> copied;
  Finished finished;
  auto copiedOne = [&](const PlannedPackage &package, const std::string &partial, uint32_t crc) {
    ComponentEntry entry = *package.upstream;
    entry.path = package.path;
    entry.offset = kWholeFile;
    held.Hold(entry);
    copied[entry.id] = Copy{partial, crc};
    finished.emplace_back(partial, JoinPath(context.repository, package.path));
  };
  RelayStatus status = CopyMissing(transfer, upstream, plan, copiedOne);
  ReportGone(context, held);
  std::vector<size_t> touched = RecordProducts(held, upstream, selection);
  if (StopsEverything(status)) {
    PutInPlace(context.repository, finished);
    WriteIndexIfChanged(context.repository, held.index);
    return status;
  }
  std::vector<ComponentEntry> pruned = SupersededVersions(held.index, context.options.keepcount);
  std::vector<size_t> products = Prune(held, std::move(touched), pruned, context.options.maxmerge);
  Publish(context, held, products, copied, finished);
  RemovePruned(context, pruned, UnusedPackageFiles(held.index, pruned));
  RemoveObsoletePartials(context.repository, upstream.index);
  if (status == RELAY_OK) RecordSettled(context.repository, digest);
  Emit(context, ZELRELAY_EVENT_DOWNLOADEND, {}, transfer.total, transfer.finished);
  return status;
}

}  // namespace

int32_t ZELRELAY_Duplicate(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                           ZELRELAY_Source *sources, uint64_t sourceCount, ZELRELAY_Information **information) {
  return GuardedStarted([&] {
    ZELRELAY_ContextRecord &context = ContextOf(handle);
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
