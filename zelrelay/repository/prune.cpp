// Dropping superseded component versions from an index.
#include "repository/prune.h"

#include <algorithm>
#include <map>
#include <set>

#include "base/entity.h"

std::vector<std::string> PruneVersions(Index &index, int64_t keep) {
  if (keep <= 0) return {};
  std::map<std::string, std::vector<size_t>> versions;
  for (size_t i = 0; i < index.components.size(); ++i)
    versions[ComponentName(index.components[i].entity)].push_back(i);
  std::set<std::string> dropped;
  for (auto &[name, positions] : versions) {
    std::stable_sort(positions.begin(), positions.end(), [&](size_t a, size_t b) {
      return CompareVersions(index.components[a].entity.version, index.components[b].entity.version) < 0;
    });
    for (size_t i = size_t(keep); i < positions.size(); ++i) dropped.insert(index.components[positions[i]].id);
  }
  std::vector<ComponentEntry> kept;
  std::vector<std::string> removed;
  for (ComponentEntry &c : index.components) {
    if (dropped.count(c.id)) removed.push_back(c.path);
    else kept.push_back(std::move(c));
  }
  index.components = std::move(kept);
  for (ProductEntry &p : index.products)
    std::erase_if(p.components, [&](const std::string &id) { return dropped.count(id) > 0; });
  std::erase_if(removed, [&](const std::string &path) {
    return std::any_of(index.components.begin(), index.components.end(),
                       [&](const ComponentEntry &c) { return c.path == path; });
  });
  return removed;
}
