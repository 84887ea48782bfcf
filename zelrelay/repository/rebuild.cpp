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
  if (auto run = copied.find(entry.id); run != copied.end())
    return MemberSource{entry, JoinPath(repository, entry.path) + kPartialSuffix, 0, run->second.crc};
  auto member = held.members.find(entry.id);
  if (member != held.members.end() && member->second.sha256 == entry.sha256) {
    std::string archive = JoinPath(repository, member->second.path);
    FileDescriptor file{open(archive.c_str(), O_RDONLY | O_CLOEXEC)};
    std::optional<uint32_t> crc;
    if (file.fd >= 0 && !VerifyRequested() && !held.unverified.count(member->second.path))
      crc = RecordedCrc(file.fd, member->second.offset, entry.size, PackagePath(entry).size());
    return MemberSource{entry, archive, member->second.offset, crc};
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

}  // namespace

bool ArchivesCurrent(const Holdings &held, const ProductEntry &product, int64_t maxmerge,
                     const CopiedPackages &copied) {
  auto archived = held.archivedProducts.find(ComponentName(product.entity));
  if (archived == held.archivedProducts.end() || archived->second.id != product.id ||
      archived->second.components.size() != product.components.size())
    return false;
  std::set<std::string_view> parts;
  for (std::string_view id : product.components) {
    auto member = held.members.find(id);
    const ComponentEntry *mine = held.Find(id);
    if (member == held.members.end() || mine == nullptr || member->second.sha256 != mine->sha256 ||
        !IsArchiveOf(member->second.path, product) || copied.count(id))
      return false;
    parts.insert(member->second.path);
  }
  size_t count = product.components.size(), per = maxmerge > 0 ? size_t(maxmerge) : std::max<size_t>(count, 1);
  return parts.size() == (count + per - 1) / per;
}

// Durability in one batch: everything written so far is synced at once,
// before any of it shows under its final name.
void PutInPlace(const std::string &repository, Holdings &held, const Finished &finished) {
  if (finished.empty()) return;
  for (std::string_view path : finished) Unretire(held.retired, path);
  WriteRetired(repository, held.retired);
  SyncAll(repository);
  for (std::string_view path : finished) {
    std::string to = JoinPath(repository, path);
    Rename(to + kPartialSuffix, to);
  }
}

// A retired name is never named: the archives' names leave the list
// before they show.
void CommitAll(const std::string &repository, Holdings &held, std::vector<MergedBuild> &builds) {
  for (const MergedBuild &build : builds)
    for (std::string_view name : build.names) Unretire(held.retired, name);
  WriteRetired(repository, held.retired);
  for (MergedBuild &build : builds) CommitMergedArchives(build);
}

void RetireUnnamedFiles(const std::string &repository, Holdings &held) {
  int64_t now = int64_t(time(nullptr));
  RetireUnnamed(repository, held.NamedFiles(), held.retired, now);
  SweepRetired(repository, held.retired, now, GracePeriod());
  WriteRetired(repository, held.retired);
}

// Rebuilds the merged archives of these products, puts the copied packages
// and the archives in place under names no index names yet, then replaces
// merged.ini and the index. What the old index named stays as it was, so a
// reader of either index finds every file it names with the bytes it names.
std::vector<ComponentEntry> Publish(const std::string &repository, int64_t maxmerge, Holdings &held,
                                    const std::vector<size_t> &products, const CopiedPackages &copied,
                                    const Finished &finished) {
  std::vector<MergedBuild> builds;
  builds.reserve(products.size());
  std::vector<ComponentEntry> lost;
  for (size_t p : products) {
    std::vector<MemberSource> sources;
    for (std::string_view id : held.index.products[p].components) {
      const ComponentEntry *mine = held.Find(id);
      RELAY_ASSERT(mine != nullptr);  // a product lists only what is held (Holdings)
      sources.push_back(MemberSourceOf(repository, held, *mine, copied));
    }
    builds.push_back(Rebuild(repository, maxmerge, held.index.products[p], std::move(sources), lost));
  }
  if (!builds.empty() && finished.empty()) SyncAll(repository);
  PutInPlace(repository, held, finished);
  CommitAll(repository, held, builds);
  if (!builds.empty() || !finished.empty()) SyncDirectory(JoinPath(repository, ZELRELAY_PACKAGES_DIR));
  if (builds.empty() && held.mergedListed) {  // the archives are as merged.ini says
    ServeIndex(repository, held.index);
    RetireUnnamedFiles(repository, held);
    return lost;
  }
  MergedListing merged = ReadMergedArchives(repository, held.retired, builds);
  std::vector<MergedBuild>().swap(builds);  // the listing holds what they had
  WriteMergedIndex(repository, merged.index);
  held.index.Adopt(merged.index);
  held.Members(merged.index);
  held.unverified = std::move(merged.scanned);
  for (ComponentEntry &c : held.index.components) {
    auto member = held.members.find(c.id);
    if (c.InArchive() && member != held.members.end() && member->second.sha256 == c.sha256) c = member->second;
    else if (c.InArchive()) lost.push_back(c);
  }
  std::unordered_set<std::string_view> reported;
  std::erase_if(lost, [&](const ComponentEntry &c) { return !reported.insert(c.id).second; });
  held.Drop(lost);
  ServeIndex(repository, held.index);
  RetireUnnamedFiles(repository, held);
  return lost;
}
