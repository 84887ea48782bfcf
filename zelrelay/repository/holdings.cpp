// What a repository holds.
#include "repository/holdings.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <unordered_set>

#include "base/digest.h"
#include "base/entity.h"
#include "base/environment.h"
#include "base/files.h"
#include "base/listing.h"
#include "repository/merge.h"

namespace {

// A package file that is there with the size the index gave: whether its
// bytes still match is checked where they are read.
bool PackageFileThere(const std::string &repository, const ComponentEntry &entry, struct stat &info) {
  return stat(JoinPath(repository, entry.path).c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         uint64_t(info.st_size) == entry.size;
}

void DropRepeats(std::vector<std::string_view> &ids) {
  std::unordered_set<std::string_view> seen;
  std::erase_if(ids, [&](std::string_view id) { return !seen.insert(id).second; });
}

// The component a package file's name stands for, "<id>.zip" or
// "<id>.<tag>.zip"; empty for another name.
std::string_view ComponentOfFile(std::string_view name) {
  if (!name.ends_with(".zip") || IsMergedArchiveName(name)) return {};
  name.remove_suffix(4);
  size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && name.size() - dot - 1 == kNameTagDigits &&
      name.find_first_not_of("0123456789abcdef", dot + 1) == std::string_view::npos)
    name = name.substr(0, dot);
  return name;
}

}  // namespace

const FileStamp *Holdings::FileOf(std::string_view id) const {
  auto at = files_.find(id);
  const ComponentEntry *held = Find(id);
  return at == files_.end() || held == nullptr || held->InArchive() ? nullptr : &at->second;
}

const ComponentEntry *Holdings::Find(std::string_view id) const {
  auto at = byId_.find(id);
  return at == byId_.end() ? nullptr : &index.components[at->second];
}

ComponentEntry &Holdings::Hold(const ComponentEntry &entry) {
  auto [at, added] = byId_.emplace(entry.id, index.components.size());
  if (added) return index.components.emplace_back(entry);
  return index.components[at->second] = entry;
}

void Holdings::Drop(const std::vector<ComponentEntry> &dropped) {
  if (dropped.empty()) return;
  std::unordered_set<std::string_view> ids;
  for (const ComponentEntry &c : dropped) ids.insert(c.id);
  std::erase_if(index.components, [&](const ComponentEntry &c) { return ids.count(c.id) > 0; });
  for (ProductEntry &p : index.products)
    std::erase_if(p.components, [&](std::string_view id) { return ids.count(id) > 0; });
  Reindex();
}

ProductEntry &Holdings::Product(const ProductEntry &like) {
  auto [at, added] = byProduct_.emplace(ComponentName(like.entity), index.products.size());
  if (added) index.products.push_back(ProductEntry{like.entity, like.id, {}, {}});
  return index.products[at->second];
}

void Holdings::Tidy() {
  for (ProductEntry &p : index.products) DropRepeats(p.components);
}

void Holdings::Members(const Index &merged) {
  members.clear();
  for (const ComponentEntry &m : merged.components) members.emplace(m.id, m);
}

std::unordered_set<std::string_view> Holdings::NamedFiles() const {
  std::unordered_set<std::string_view> named;
  named.reserve(index.components.size() + members.size());
  for (const ComponentEntry &c : index.components) named.insert(c.path);
  for (const auto &[id, m] : members) named.insert(m.path);
  return named;
}

void Holdings::Reindex() {
  byId_.clear();
  for (size_t i = 0; i < index.components.size(); ++i) byId_.emplace(index.components[i].id, i);
}

Holdings ReadHoldings(const std::string &repository) {
  Holdings held;
  held.retired = ReadRetired(repository);
  MergedListing listing = ReadMergedArchives(repository, held.retired);
  const Index &merged = listing.index;
  held.mergedListed = listing.listed;
  held.unverified = std::move(listing.scanned);
  held.Members(merged);
  for (const ProductEntry &p : merged.products) held.archivedProducts.emplace(ComponentName(p.entity), p);
  Index index;
  try {
    index = ReadIndex(repository).value_or(Index{});
  } catch (const RelayError &e) {
    if (e.status != RELAY_BAD_INDEX && e.status != RELAY_UNSAFE_PACKAGE_PATH) throw;
    held.indexDamage = e.status;
  }
  held.index.Adopt(merged);
  held.index.Adopt(index);
  held.index.components.reserve(index.components.size() + merged.components.size());
  held.byId_.reserve(index.components.size() + merged.components.size());
  for (const ComponentEntry &c : index.components) {
    auto member = held.members.find(c.id);
    bool inMerged = member != held.members.end() && member->second.sha256 == c.sha256;
    struct stat info;
    if (!c.InArchive() && PackageFileThere(repository, c, info)) {
      held.Hold(c);
      held.files_[c.id] = FileStamp::Of(info);
    } else if (inMerged) {
      held.Hold(member->second);
    } else {
      held.gone.push_back(c);
    }
  }
  for (const ComponentEntry &m : merged.components)
    if (!held.Find(m.id)) held.Hold(m);
  for (const Index *from : {static_cast<const Index *>(&index), &merged})
    for (const ProductEntry &p : from->products) {
      ProductEntry &into = held.Product(p);
      if (IsNewer(p.entity.version, into.entity.version)) {
        into.entity = p.entity;
        into.id = p.id;
      }
      for (std::string_view id : p.components)
        if (held.Find(id)) into.components.push_back(id);
    }
  held.Tidy();
  return held;
}

bool BytesMatch(const std::string &repository, const ComponentEntry &entry) {
  FileDescriptor file{open(JoinPath(repository, entry.path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  try {
    return file.fd >= 0 && Sha256OfRange(file.fd, entry.InArchive() ? entry.offset : 0, entry.size) == entry.sha256;
  } catch (const RelayError &) {
    return false;
  }
}

bool HeldIntact(const std::string &repository, const Holdings &held, const ComponentEntry &mine) {
  if (!mine.InArchive()) return PackagePresent(JoinPath(repository, mine.path), mine, held.FileOf(mine.id));
  if (!VerifyRequested() && !held.unverified.count(mine.path)) return true;
  return BytesMatch(repository, mine);
}

void AdoptLeftovers(const std::string &repository, Holdings &held, const Index &upstream) {
  std::unordered_set<std::string_view> named = held.NamedFiles();
  std::unordered_map<std::string_view, const ComponentEntry *> offered;
  std::unordered_multimap<std::string_view, const ProductEntry *> listing;
  for (const std::string &name : ListDirectory(JoinPath(repository, ZELRELAY_PACKAGES_DIR))) {
    std::string path = std::string(ZELRELAY_PACKAGES_DIR) + "/" + name;
    std::string_view id = ComponentOfFile(name);
    const ComponentEntry *mine = id.empty() ? nullptr : held.Find(id);
    if (id.empty() || named.count(path) || held.retired.Has(path) || (mine && !mine->InArchive())) continue;
    if (offered.empty()) {  // only once there is something to adopt
      for (const ComponentEntry &c : upstream.components) offered.emplace(c.id, &c);
      for (const ProductEntry &p : upstream.products)
        for (std::string_view c : p.components) listing.emplace(c, &p);
    }
    auto wanted = offered.find(id);
    if (wanted == offered.end()) continue;
    ComponentEntry entry = *wanted->second;
    if ((mine && mine->sha256 != entry.sha256) || (path != PackagePath(entry) && path != TaggedPackagePath(entry)))
      continue;
    if (!PackagePresent(JoinPath(repository, path), entry)) continue;
    held.index.Adopt(upstream);
    entry.path = held.index.Keep(path);
    entry.offset = kWholeFile;
    held.Hold(entry);
    auto [from, to] = listing.equal_range(entry.id);
    for (auto at = from; at != to; ++at) held.Product(*at->second).components.push_back(entry.id);
  }
  held.Tidy();
}
