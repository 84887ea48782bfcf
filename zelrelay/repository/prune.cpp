// Dropping superseded component versions.
#include "repository/prune.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include "base/entity.h"

std::vector<ComponentEntry> SupersededVersions(const Index &index, int64_t keep) {
  if (keep <= 0) return {};
  std::unordered_map<std::string, std::vector<size_t>> versions;
  for (size_t i = 0; i < index.components.size(); ++i)
    versions[ComponentName(index.components[i].entity)].push_back(i);
  std::vector<size_t> dropped;
  for (auto &[name, positions] : versions) {
    if (positions.size() <= size_t(keep)) continue;
    std::stable_sort(positions.begin(), positions.end(), [&](size_t a, size_t b) {
      return CompareVersions(index.components[a].entity.version, index.components[b].entity.version) < 0;
    });
    dropped.insert(dropped.end(), positions.begin() + keep, positions.end());
  }
  std::sort(dropped.begin(), dropped.end());
  std::vector<ComponentEntry> entries;
  for (size_t i : dropped) entries.push_back(index.components[i]);
  return entries;
}

std::vector<std::string> UnusedPackageFiles(const Index &kept, const std::vector<ComponentEntry> &dropped) {
  std::unordered_set<std::string> used;
  for (const ComponentEntry &c : kept.components)
    if (!c.InArchive()) used.insert(c.path);
  std::vector<std::string> paths;
  for (const ComponentEntry &c : dropped)
    if (!c.InArchive() && !used.count(c.path)) paths.push_back(c.path);
  return paths;
}
