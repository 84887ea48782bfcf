// Rebuilding what a duplication changed.
#include "repository/rebuild.h"

#include <fcntl.h>

#include <algorithm>
#include <set>
#include <unordered_set>

#include "base/digest.h"
#include "base/entity.h"
#include "base/environment.h"
#include "base/files.h"
#include "base/served.h"
#include "packages/partial.h"
#include "packages/storedzip.h"
#include "repository/merge.h"
#include "zelrelay_shared.h"

namespace {

// Where a held component's bytes are read while its product's archive is
// rebuilt: this run's copy, else its member of an older merged archive
// (which no clean-up deletes), else its package file. The first two are
// trusted as they are, checked when they were written; the archive's
// record of the member's CRC-32 lets the kernel copy it.
MemberSource MemberSourceOf(const std::string &repository, const Holdings &held, const ComponentEntry &entry,
                            const CopiedPackages &copied) {
  if (const CopiedPackage *run = copied.Find(entry.id))
    return MemberSource{entry, JoinPath(repository, entry.path) + kPartialSuffix, 0, run->crc};
  const ComponentEntry *member = held.Member(entry.id);
  if (member != nullptr && member->sha256 == entry.sha256) {
    std::string archive = JoinPath(repository, member->path);
    FileDescriptor file{open(archive.c_str(), O_RDONLY | O_CLOEXEC)};
    std::optional<uint32_t> crc;
    if (file.fd >= 0 && !VerifyRequested() && !held.unverified.count(member->path))
      crc = RecordedCrc(file.fd, member->offset, entry.size, PackagePath(entry).size());
    return MemberSource{entry, archive, member->offset, crc};
  }
  return MemberSource{entry, JoinPath(repository, entry.path), 0, std::nullopt};
}

bool RangeMatches(const MemberSource &source) {
  FileDescriptor file{open(source.file.c_str(), O_RDONLY | O_CLOEXEC)};
  try {
    return file.fd >= 0 && Sha256OfRange(file.fd, source.offset, source.entry.size) == source.entry.sha256;
  } catch (const RelayError &) {
    return false;
  }
}

// A member whose bytes no longer match is left out, like one whose file is
// gone (a clean-up may take a package file meanwhile), instead of failing
// this and every later run.
MergedBuild Rebuild(const std::string &repository, int64_t maxmerge, const ProductEntry &product,
                    std::vector<MemberSource> sources, std::vector<ComponentEntry> &lost) {
  try {
    return BuildMergedArchives(repository, product, sources, maxmerge, lost);
  } catch (const RelayError &e) {
    if (e.status != RELAY_PACKAGE_MISMATCH && e.status != RELAY_PACKAGE_MISSING) throw;
  }
  std::erase_if(sources, [&](const MemberSource &s) {
    bool damaged = !RangeMatches(s);
    if (damaged) lost.push_back(s.entry);
    return damaged;
  });
  return BuildMergedArchives(repository, product, sources, maxmerge, lost);
}

// What the run's builds put in place, kept small until merged.ini is
// written: each member as the position of the component held and where
// its data now starts, the parts as their names and where their members
// end, the products as their positions and where their members end.
struct Built {
  struct Part {
    std::string_view name;  // in the holdings' strings
    uint32_t end;
  };
  struct Product {
    uint32_t product, end;
  };
  std::vector<uint32_t> held;
  std::vector<uint64_t> offsets;
  std::vector<Part> parts;
  std::vector<Product> products;

  // Calls each(member, name of its part) for every member, in order.
  template <class Each>
  void Members(const Each &each) const {
    size_t part = 0;
    for (size_t i = 0; i < held.size(); ++i) {
      while (parts[part].end <= i) ++part;
      each(i, parts[part].name);
    }
  }
};

void Record(Holdings &held, const MergedBuild &build, size_t product, Built &built) {
  for (size_t part = 0, i = 0; part < build.names.size(); ++part) {
    for (; i < build.members.size() && build.members[i].path == build.names[part]; ++i) {
      uint32_t at = held.Position(build.members[i].id);
      RELAY_ASSERT(at != Holdings::kNone);  // built from what the product holds
      built.held.push_back(at);
      built.offsets.push_back(build.members[i].offset);
    }
    built.parts.push_back({held.Keep(std::string(build.names[part])), uint32_t(built.held.size())});
  }
  RELAY_ASSERT(built.held.size() == built.offsets.size());
  built.products.push_back({uint32_t(product), uint32_t(built.held.size())});
}

// The archives merged.ini listed that stay: not replaced by this run's
// builds, and still there.
std::vector<std::string_view> KeptArchives(const std::string &repository, const Holdings &held, const Built &built) {
  if (held.Archives().empty()) return {};
  std::set<std::string, std::less<>> rebuilt;
  for (const Built::Product &p : built.products) rebuilt.insert(ComponentName(held.products[p.product].record->entity));
  std::set<std::string_view> fresh;
  for (const Built::Part &part : built.parts) fresh.insert(part.name);
  std::vector<std::string_view> kept;
  for (std::string_view name : held.Archives())
    if (!fresh.count(name) && !rebuilt.count(ProductOfArchive(name)) && Exists(JoinPath(repository, std::string(name))))
      kept.push_back(name);
  return kept;
}

// merged.ini as the run leaves it: the members of the archives just built,
// then those of the archives kept, each component once, under the first
// archive that holds it, and the products they are of.
class MergedMembers final : public IndexSource {
 public:
  MergedMembers(const Holdings &held, const Built &built, const std::vector<std::string_view> &kept)
      : held_(held), built_(built), kept_(kept), inBuild_(held.components.size()), rebuilt_(held.products.size()) {
    for (uint32_t at : built.held) inBuild_[at] = true;
    for (const Built::Product &p : built.products) rebuilt_[p.product] = true;
  }

  void Components(const std::function<void(const ComponentEntry &)> &each) const override {
    std::vector<bool> listed(held_.components.size());
    built_.Members([&](size_t i, std::string_view archive) {
      uint32_t at = built_.held[i];
      if (listed[at]) return;
      listed[at] = true;
      ComponentEntry c = *held_.components[at];
      c.path = archive;
      c.offset = built_.offsets[i];
      each(c);
    });
    for (const ComponentEntry &c : held_.merged.components)
      if (Kept(c) && !InBuild(c.id)) each(c);
  }

  void Products(const std::function<void(std::string_view, std::span<const std::string_view>)> &each) const override {
    std::vector<std::string_view> ids;
    size_t from = 0;
    for (const Built::Product &p : built_.products) {
      ids.clear();
      for (size_t i = from; i < p.end; ++i) ids.push_back(held_.components[built_.held[i]]->id);
      from = p.end;
      if (!ids.empty()) each(held_.products[p.product].record->id, ids);  // one that holds nothing any more
    }
    for (const ProductEntry &p : held_.merged.products) {
      uint32_t at = held_.FindProduct(p);
      if (at != Holdings::kNone && rebuilt_[at]) continue;
      ids.clear();
      for (std::string_view id : p.components) {
        const ComponentEntry *member = held_.Member(id);
        if (InBuild(id) || (member != nullptr && Kept(*member))) ids.push_back(id);
      }
      if (!ids.empty()) each(p.id, ids);
    }
  }

 private:
  const Holdings &held_;
  const Built &built_;
  const std::vector<std::string_view> &kept_;
  std::vector<bool> inBuild_, rebuilt_;  // by position in the holdings

  bool Kept(const ComponentEntry &member) const {
    return std::binary_search(kept_.begin(), kept_.end(), member.path);
  }
  bool InBuild(std::string_view id) const {
    uint32_t at = held_.Position(id);
    return at != Holdings::kNone && inBuild_[at];
  }
};

// A retired name is never named: the archives' names leave the list
// before they show. They show under names no index names yet, so each
// product's archives go in place as soon as they are written, and become
// durable with the rest before merged.ini names them.
void PutArchivesInPlace(const std::string &repository, Holdings &held, MergedBuild &build) {
  for (std::string_view name : build.names) Unretire(held.retired, name);
  WriteRetired(repository, held.retired);
  CommitMergedArchives(build);
}

// Once merged.ini is replaced, the components held by a merged archive
// are held where it now lists them; those it no longer lists are lost.
void FollowMembers(Holdings &held, const Built &built, const std::vector<std::string_view> &kept,
                   std::vector<const ComponentEntry *> &lost) {
  std::vector<bool> moved(held.components.size());
  built.Members([&](size_t i, std::string_view archive) {
    uint32_t at = built.held[i];
    if (moved[at]) return;
    moved[at] = true;
    if (!held.components[at]->InArchive()) return;
    ComponentEntry now = *held.components[at];
    now.path = archive;
    now.offset = built.offsets[i];
    held.Hold(held.Make(now));
  });
  for (size_t i = 0; i < held.components.size(); ++i) {
    const ComponentEntry *c = held.components[i];
    if (c->InArchive() && !moved[i] && !std::binary_search(kept.begin(), kept.end(), c->path)) lost.push_back(c);
  }
}

}  // namespace

const CopiedPackage *CopiedPackages::Find(std::string_view id) const {
  if (!sorted_) {
    std::sort(copies_.begin(), copies_.end(), [](const auto &a, const auto &b) { return a.first->id < b.first->id; });
    sorted_ = true;
  }
  auto at = std::lower_bound(copies_.begin(), copies_.end(), id, [](const auto &c, std::string_view key) {
    return c.first->id < key;
  });
  return at != copies_.end() && at->first->id == id ? &at->second : nullptr;
}

bool ArchivesCurrent(const Holdings &held, const HeldProduct &product, int64_t maxmerge,
                     const CopiedPackages &copied) {
  const ProductEntry *archived = product.archived;
  if (archived == nullptr || archived->id != product.record->id ||
      archived->components.size() != product.components.size())
    return false;
  std::set<std::string_view> parts;
  for (uint32_t at : product.components) {
    const ComponentEntry *mine = held.components[at], *member = held.Member(mine->id);
    if (member == nullptr || member->sha256 != mine->sha256 || !IsArchiveOf(member->path, *product.record) ||
        copied.Has(mine->id))
      return false;
    parts.insert(member->path);
  }
  size_t count = product.components.size(), per = maxmerge > 0 ? size_t(maxmerge) : std::max<size_t>(count, 1);
  return parts.size() == (count + per - 1) / per;
}

// Durability in one batch: everything written so far is synced at once,
// before any of it shows under its final name.
void PutInPlace(const std::string &repository, Holdings &held, CopiedPackages &copied) {
  if (copied.Placed()) return;
  copied.ForEach([&](const ComponentEntry &c) { Unretire(held.retired, c.path); });
  WriteRetired(repository, held.retired);
  SyncAll(repository);
  copied.PlaceEach([&](const ComponentEntry &c) {
    std::string to = JoinPath(repository, c.path);
    Rename(to + kPartialSuffix, to);
  });
}

void RetireUnnamedFiles(const std::string &repository, Holdings &held) {
  int64_t now = int64_t(time(nullptr));
  RetireUnnamed(repository, NamedFiles(held), held.retired, now);
  SweepRetired(repository, held.retired, now, GracePeriod());
  WriteRetired(repository, held.retired);
}

// Rebuilds the merged archives of these products one after the other, each
// put in place under names no index names yet and forgotten but for where
// its members lie; puts the copied packages in place, then replaces
// merged.ini and the index. What the old index named stays as it was, so a
// reader of either index finds every file it names with the bytes it names.
std::vector<const ComponentEntry *> Publish(const std::string &repository, int64_t maxmerge, Holdings &held,
                                            const std::vector<size_t> &products, CopiedPackages &copied) {
  Built built;
  size_t members = 0;
  for (size_t p : products) members += held.products[p].components.size();
  built.held.reserve(members);
  built.offsets.reserve(members);
  built.parts.reserve(maxmerge > 0 ? products.size() + members / size_t(maxmerge) : products.size());
  built.products.reserve(products.size());
  std::vector<const ComponentEntry *> lost;
  for (size_t p : products) {
    std::vector<MemberSource> sources;
    sources.reserve(held.products[p].components.size());
    for (uint32_t at : held.products[p].components)
      sources.push_back(MemberSourceOf(repository, held, *held.components[at], copied));
    std::vector<ComponentEntry> missing;
    MergedBuild build = Rebuild(repository, maxmerge, *held.products[p].record, std::move(sources), missing);
    for (const ComponentEntry &m : missing) lost.push_back(held.Find(m.id));
    PutArchivesInPlace(repository, held, build);
    Record(held, build, p, built);
  }
  if (!products.empty() && copied.Empty()) SyncAll(repository);
  PutInPlace(repository, held, copied);
  if (!products.empty() || !copied.Empty()) SyncDirectory(JoinPath(repository, ZELRELAY_PACKAGES_DIR));
  if (products.empty() && held.mergedListed) {  // the archives are as merged.ini says
    ServeIndex(repository, held);
    RetireUnnamedFiles(repository, held);
    return lost;
  }
  std::vector<std::string_view> kept = KeptArchives(repository, held, built);
  held.ListArchives(WriteMergedIndex(repository, MergedMembers(held, built, kept)));
  FollowMembers(held, built, kept, lost);
  std::unordered_set<std::string_view> reported;
  std::erase_if(lost, [&](const ComponentEntry *c) { return !reported.insert(c->id).second; });
  held.Drop(lost);
  ServeIndex(repository, held);
  RetireUnnamedFiles(repository, held);
  return lost;
}
