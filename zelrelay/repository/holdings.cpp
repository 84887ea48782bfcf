// What a repository holds.
#include "repository/holdings.h"

#include <sys/stat.h>

#include <algorithm>
#include <unordered_set>

#include "base/entity.h"
#include "base/files.h"
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

void Holdings::Reindex() {
  byId_.clear();
  for (size_t i = 0; i < index.components.size(); ++i) byId_.emplace(index.components[i].id, i);
}

Holdings ReadHoldings(const std::string &repository) {
  Holdings held;
  Index merged = ReadMergedArchives(repository, {}, &held.mergedListed);
  for (const ComponentEntry &m : merged.components) held.members.emplace(m.id, m);
  for (const ProductEntry &p : merged.products) held.archivedProducts.emplace(ComponentName(p.entity), p);
  Index index = ReadIndex(repository).value_or(Index{});
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
  for (const Index *from : {&index, &merged})
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
