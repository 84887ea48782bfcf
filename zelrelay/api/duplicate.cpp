// Duplication: copy what a request covers into the repository, then record
// it in the index, build the merged archives and prune old versions.
#include <algorithm>
#include <set>

#include "api/context.h"
#include "api/guard.h"
#include "base/entity.h"
#include "base/files.h"
#include "packages/transfer.h"
#include "repository/lock.h"
#include "repository/merge.h"
#include "repository/prune.h"
#include "sources/selection.h"
#include "sources/source.h"

namespace {

struct PlannedPackage {
  const ComponentEntry *upstream;
  std::string path;  // relative to the repository
  bool present;
};

std::string LocalPath(const ComponentEntry &entry) { return std::string(ZELRELAY_PACKAGES_DIR) + "/" + entry.id + ".zip"; }

std::vector<PlannedPackage> Plan(const ZELRELAY_ContextRecord &context, const Upstream &upstream,
                                 const std::vector<SelectedProduct> &selection) {
  std::set<size_t> seen;
  std::vector<PlannedPackage> plan;
  for (const SelectedProduct &product : selection)
    for (size_t c : product.components) {
      if (!seen.insert(c).second) continue;
      const ComponentEntry &entry = upstream.index.components[c];
      std::string path = LocalPath(entry);
      plan.push_back({&entry, path, PackagePresent(JoinPath(context.repository, path), entry)});
    }
  return plan;
}

void Record(Index &local, const PlannedPackage &package) {
  ComponentEntry entry = *package.upstream;
  entry.path = package.path;
  auto at = std::find_if(local.components.begin(), local.components.end(),
                         [&](const ComponentEntry &c) { return c.id == entry.id; });
  if (at == local.components.end()) local.components.push_back(std::move(entry));
  else *at = std::move(entry);
}

// Lists the components now held under their products; returns the positions of the products touched.
std::vector<size_t> RecordProducts(Index &local, const Upstream &upstream,
                                           const std::vector<SelectedProduct> &selection) {
  std::vector<size_t> touched;
  for (const SelectedProduct &selected : selection) {
    const ProductEntry &source = upstream.index.products[selected.product];
    if (FindProductByIdentity(local, source.entity) == nullptr)
      local.products.push_back(ProductEntry{source.entity, source.id, {}});
    ProductEntry &product = *FindProductByIdentity(local, source.entity);
    if (CompareVersions(source.entity.version, product.entity.version) <= 0) {
      product.entity = source.entity;
      product.id = source.id;
    }
    for (size_t c : selected.components) {
      const std::string &id = upstream.index.components[c].id;
      if (FindComponent(local, id) && std::find(product.components.begin(), product.components.end(), id) ==
                                          product.components.end())
        product.components.push_back(id);
    }
    touched.push_back(size_t(&product - local.products.data()));
  }
  return touched;
}

void RemovePruned(const ZELRELAY_ContextRecord &context, const std::vector<std::string> &paths) {
  for (const std::string &path : paths) {
    Emit(context, ZELRELAY_EVENT_REMOVEBEGIN, path, 0, 0);
    std::string full = JoinPath(context.repository, path);
    if (!RemoveFile(full)) Emit(context, ZELRELAY_EVENT_REMOVEFAILED, path, 0, 0);
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

// Copies the missing packages into local; stops early only when cancelled.
RelayStatus CopyAll(const ZELRELAY_ContextRecord &context, const Upstream &upstream,
                    const std::vector<PlannedPackage> &plan, Transfer &transfer, Index &local) {
  RelayStatus status = RELAY_OK;
  for (const PlannedPackage &package : plan) {
    if (package.present) {
      Record(local, package);
      continue;
    }
    uint64_t size = package.upstream->size;
    if (!Emit(context, ZELRELAY_EVENT_DOWNLOADBEGIN, package.path, size, 0)) return RELAY_CANCELLED;
    std::string target = JoinPath(context.repository, package.path);
    try {
      CopyPackage(transfer, *upstream.source, *package.upstream, target, package.path);
      if (context.options.dupdigisign) CopySignature(*upstream.source, *package.upstream, target);
    } catch (const RelayError &e) {
      if (e.status != RELAY_PACKAGE_MISMATCH && e.status != RELAY_PACKAGE_MISSING) return e.status;
      status = e.status;
      continue;
    }
    Record(local, package);
    if (!Emit(context, ZELRELAY_EVENT_DOWNLOAD, package.path, size, size)) return RELAY_CANCELLED;
  }
  return status;
}

RelayStatus Duplicate(const ZELRELAY_ContextRecord &context, const Upstream &upstream,
                      const std::vector<SelectedProduct> &selection) {
  WriteLock lock;
  bool dry = RelayDryRun();
  if (!dry) LockForWriting(lock, context.repository, context.semaphore);
  Index local = ReadIndex(context.repository).value_or(Index{});
  std::vector<PlannedPackage> plan = Plan(context, upstream, selection);
  Transfer transfer{&context};
  for (const PlannedPackage &package : plan)
    if (!package.present) transfer.total += package.upstream->size;
  if (dry) return DryRun(context, plan, transfer.total);

  MakeDirectory(JoinPath(context.repository, ZELRELAY_PACKAGES_DIR));
  RelayStatus status = CopyAll(context, upstream, plan, transfer, local);
  std::vector<size_t> touched = RecordProducts(local, upstream, selection);
  if (status != RELAY_OK && status != RELAY_PACKAGE_MISMATCH && status != RELAY_PACKAGE_MISSING) {
    WriteIndex(context.repository, local);
    return status;
  }
  std::vector<std::string> pruned = PruneVersions(local, context.options.keepcount);
  for (size_t product : touched)
    BuildMergedArchives(context.repository, local, local.products[product], context.options.maxmerge);
  WriteIndex(context.repository, local);
  RemovePruned(context, pruned);
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
    Upstream upstream = ResolveUpstream(sources, sourceCount);
    std::vector<SelectedProduct> selection = Select(upstream.index, products, productCount, false);
    RelayStatus status = Duplicate(context, upstream, selection);
    if (status > 0 && information) *information = BuildInformation(upstream.index, selection);
    return status;
  });
}
