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
#include "packages/digest.h"
#include "packages/transfer.h"
#include "repository/holdings.h"
#include "repository/lock.h"
#include "repository/merge.h"
#include "repository/prune.h"
#include "sources/selection.h"
#include "sources/source.h"

namespace {

struct PlannedPackage {
  const ComponentEntry *upstream;
  std::string path;  // its package file, relative to the repository
  bool present;
};

// A held member is taken as it is: its bytes are checked whenever they are
// read. A package file is checked now.
bool Holds(const std::string &repository, const Holdings &held, const ComponentEntry &wanted) {
  const ComponentEntry *mine = held.Find(wanted.id);
  if (mine == nullptr || mine->sha256 != wanted.sha256 || mine->size != wanted.size) return false;
  return mine->InArchive() || PackagePresent(JoinPath(repository, mine->path), wanted);
}

std::vector<PlannedPackage> Plan(const std::string &repository, const Holdings &held, const Upstream &upstream,
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
bool PackageFailure(RelayStatus status) {
  return status == RELAY_PACKAGE_MISMATCH || status == RELAY_PACKAGE_MISSING || status == RELAY_NOT_REGULAR_FILE ||
         status == RELAY_LINK_LEAVES_UPSTREAM;
}

// Copies the missing packages; stops early only when cancelled or when the
// repository cannot be written. copied: component id -> its second name in
// the run's folder.
RelayStatus CopyAll(const ZELRELAY_ContextRecord &context, const Upstream &upstream,
                    const std::vector<PlannedPackage> &plan, Transfer &transfer, Holdings &held,
                    const RunFolder &run, std::unordered_map<std::string, std::string> &copied) {
  RelayStatus status = RELAY_OK;
  for (const PlannedPackage &package : plan) {
    if (package.present) continue;
    uint64_t size = package.upstream->size;
    if (!Emit(context, ZELRELAY_EVENT_DOWNLOADBEGIN, package.path, size, 0)) return RELAY_CANCELLED;
    std::string target = JoinPath(context.repository, package.path);
    std::string kept = JoinPath(run.path, package.upstream->id + ".zip");
    try {
      CopyPackage(transfer, *upstream.source, *package.upstream, target, kept, package.path);
      if (context.options.dupdigisign) CopySignature(*upstream.source, *package.upstream, target);
    } catch (const RelayError &e) {
      if (!PackageFailure(e.status)) return e.status;
      status = e.status;
      continue;
    }
    ComponentEntry entry = *package.upstream;
    entry.path = package.path;
    entry.offset = kWholeFile;
    held.Hold(entry);
    copied[entry.id] = kept;
    if (!Emit(context, ZELRELAY_EVENT_DOWNLOAD, package.path, size, size)) return RELAY_CANCELLED;
  }
  return status;
}

// Where a held component's bytes are read while its product's archive is
// rebuilt: this run's copy, else its member of an older merged archive
// (which no clean-up deletes), else its package file.
MemberSource SourceOf(const std::string &repository, const Holdings &held, const ComponentEntry &entry,
                      const std::unordered_map<std::string, std::string> &copied) {
  if (auto run = copied.find(entry.id); run != copied.end()) return MemberSource{entry, run->second, 0};
  auto member = held.members.find(entry.id);
  if (member != held.members.end() && member->second.sha256 == entry.sha256)
    return MemberSource{entry, JoinPath(repository, member->second.path), member->second.offset};
  return MemberSource{entry, JoinPath(repository, entry.path), 0};
}

bool RangeMatches(const MemberSource &source) {
  FileDescriptor file{open(source.file.c_str(), O_RDONLY | O_CLOEXEC)};
  return file.fd >= 0 && Sha256OfRange(file.fd, source.offset, source.entry.size) == source.entry.sha256;
}

// A member whose bytes no longer match is left out, like one whose file is
// gone, instead of failing this and every later run.
MergedBuild Rebuild(const ZELRELAY_ContextRecord &context, const ProductEntry &product,
                    std::vector<MemberSource> sources, std::vector<ComponentEntry> &lost) {
  try {
    return BuildMergedArchives(context.repository, product, sources, context.options.maxmerge, lost);
  } catch (const RelayError &e) {
    if (e.status != RELAY_PACKAGE_MISMATCH) throw;
  }
  std::erase_if(sources, [&](const MemberSource &s) {
    bool damaged = !RangeMatches(s);
    if (damaged) lost.push_back(s.entry);
    return damaged;
  });
  return BuildMergedArchives(context.repository, product, sources, context.options.maxmerge, lost);
}

// Rebuilds the merged archives of these products, then replaces the index.
// The index written while the old archives are being replaced names none of
// their members, so at no moment does it name a member at a stale offset.
void Publish(const ZELRELAY_ContextRecord &context, Holdings &held, const std::vector<size_t> &products,
             const std::unordered_map<std::string, std::string> &copied) {
  std::vector<MergedBuild> builds;
  std::vector<ComponentEntry> lost;
  for (size_t p : products) {
    std::vector<MemberSource> sources;
    for (const std::string &id : held.index.products[p].components)
      sources.push_back(SourceOf(context.repository, held, *held.Find(id), copied));
    builds.push_back(Rebuild(context, held.index.products[p], std::move(sources), lost));
  }
  Index during = held.index;
  std::erase_if(during.components, [&](const ComponentEntry &c) {
    return c.InArchive() && std::any_of(builds.begin(), builds.end(),
                                        [&](const MergedBuild &b) { return IsArchiveOf(c.path, b.product); });
  });
  WriteIndex(context.repository, during);
  std::set<std::string> changed;
  for (MergedBuild &build : builds) {
    CommitMergedArchives(context.repository, build);
    changed.insert(build.names.begin(), build.names.end());
  }
  Index merged = ReadMergedArchives(context.repository, changed);
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
  WriteIndex(context.repository, held.index);
}

// The products to rebuild: those the run touched, and those that lose a
// pruned component.
std::vector<size_t> Rebuilt(const Holdings &held, std::vector<size_t> touched,
                            const std::vector<ComponentEntry> &pruned) {
  std::unordered_set<std::string> ids;
  for (const ComponentEntry &c : pruned) ids.insert(c.id);
  for (size_t p = 0; p < held.index.products.size(); ++p)
    for (const std::string &id : held.index.products[p].components)
      if (ids.count(id)) {
        touched.push_back(p);
        break;
      }
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  return touched;
}

RelayStatus Duplicate(const ZELRELAY_ContextRecord &context, const Upstream &upstream,
                      const std::vector<SelectedProduct> &selection) {
  WriteLock lock;
  bool dry = RelayDryRun();
  if (!dry) LockForWriting(lock, context.repository);
  Holdings held = ReadHoldings(context.repository);
  std::vector<PlannedPackage> plan = Plan(context.repository, held, upstream, selection);
  Transfer transfer{&context};
  for (const PlannedPackage &package : plan)
    if (!package.present) transfer.total += package.upstream->size;
  if (dry) return DryRun(context, plan, transfer.total);

  MakeDirectory(JoinPath(context.repository, ZELRELAY_PACKAGES_DIR));
  RunFolder run(JoinPath(context.repository, ZELRELAY_PACKAGES_DIR));
  std::unordered_map<std::string, std::string> copied;
  RelayStatus status = CopyAll(context, upstream, plan, transfer, held, run, copied);
  ReportGone(context, held);
  std::vector<size_t> touched = RecordProducts(held, upstream, selection);
  if (status != RELAY_OK && !PackageFailure(status)) {
    WriteIndex(context.repository, held.index);
    return status;
  }
  std::vector<ComponentEntry> pruned = SupersededVersions(held.index, context.options.keepcount);
  std::vector<size_t> products = Rebuilt(held, std::move(touched), pruned);
  held.Drop(pruned);
  Publish(context, held, products, copied);
  RemovePruned(context, pruned, UnusedPackageFiles(held.index, pruned));
  Emit(context, ZELRELAY_EVENT_DOWNLOADEND, {}, transfer.total, transfer.finished);
  return status;
}

}  // namespace

int32_t ZELRELAY_Duplicate(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                           ZELRELAY_Source *sources, uint64_t sourceCount, ZELRELAY_Information **information) {
  return GuardedStarted([&] {
    const ZELRELAY_ContextRecord &context = ContextOf(handle);
    if (products == nullptr && productCount > 0) return RELAY_INVALID_ARGUMENT;
    if (information) *information = nullptr;
    CheckOptions(context);
    RefuseRepositoryAsSource(sources, sourceCount, context.repository);
    Upstream upstream = ResolveUpstream(sources, sourceCount);
    std::vector<SelectedProduct> selection = Select(upstream.index, products, productCount, false);
    RelayStatus status = Duplicate(context, upstream, selection);
    if (status > 0 && information) *information = BuildInformation(upstream.index, selection);
    return status;
  });
}
