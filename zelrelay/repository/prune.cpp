// Dropping superseded component versions.
#include "repository/prune.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "base/entity.h"
#include "repository/rebuild.h"

std::vector<const ComponentEntry *> SupersededVersions(const std::vector<const ComponentEntry *> &components,
                                                       int64_t keep) {
  if (keep <= 0) return {};
  std::unordered_map<std::string, std::vector<size_t>> versions;
  for (size_t i = 0; i < components.size(); ++i) versions[ComponentName(components[i]->entity)].push_back(i);
  std::vector<size_t> dropped;
  for (auto &[name, positions] : versions) {
    if (positions.size() <= size_t(keep)) continue;
    std::stable_sort(positions.begin(), positions.end(), [&](size_t a, size_t b) {
      return IsNewer(components[a]->entity.version, components[b]->entity.version);
    });
    dropped.insert(dropped.end(), positions.begin() + keep, positions.end());
  }
  std::sort(dropped.begin(), dropped.end());
  std::vector<const ComponentEntry *> entries;
  for (size_t i : dropped) entries.push_back(components[i]);
  return entries;
}

std::vector<size_t> Prune(Holdings &held, std::vector<size_t> touched,
                          const std::vector<const ComponentEntry *> &pruned, int64_t maxmerge,
                          const CopiedPackages &copied) {
  std::unordered_set<std::string_view> ids;
  for (const ComponentEntry *c : pruned) ids.insert(c->id);
  for (size_t p = 0; p < held.products.size() && !ids.empty(); ++p)
    for (uint32_t at : held.products[p].components)
      if (ids.count(held.components[at]->id)) {
        touched.push_back(p);
        break;
      }
  held.Drop(pruned);
  std::sort(touched.begin(), touched.end());
  touched.erase(std::unique(touched.begin(), touched.end()), touched.end());
  std::erase_if(touched, [&](size_t p) { return ArchivesCurrent(held, held.products[p], maxmerge, copied); });
  return touched;
}
