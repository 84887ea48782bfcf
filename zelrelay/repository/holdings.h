// What a repository holds: the union of what its index names and what its
// merged archives hold. After the module's clean-up the index is empty and
// the merged archives are the only copy, so listing, pruning, exporting and
// rebuilding a merged archive all start from here.
#pragma once

#include <sys/stat.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "base/index.h"

struct Holdings {
  // Every component held once: by its package file when that is there,
  // else by its member of a merged archive; products with what they hold.
  Index index;
  // Members of the merged archives as they are now, by component id, and
  // the products the archives are of, by identity (ComponentName).
  std::unordered_map<std::string, ComponentEntry> members;
  std::unordered_map<std::string, ProductEntry> archivedProducts;
  // Components the index named that nothing holds any more.
  std::vector<ComponentEntry> gone;
  // Whether merged.ini described every merged archive as it is.
  bool mergedListed = false;

  const ComponentEntry *Find(const std::string &id) const;
  // The status of a package file held, as found when reading; null when the
  // component is held by a merged archive.
  const struct stat *FileOf(const std::string &id) const;
  // Adds or replaces a component; returns it.
  ComponentEntry &Hold(const ComponentEntry &entry);
  // Drops the components with these ids, and their ids from the products.
  void Drop(const std::vector<ComponentEntry> &dropped);
  // Lists each component once per product.
  void Tidy();
  // The product with that identity, added without components when new.
  ProductEntry &Product(const ProductEntry &like);

 private:
  std::unordered_map<std::string, size_t> byId_;
  std::unordered_map<std::string, size_t> byProduct_;
  std::unordered_map<std::string, struct stat> files_;
  friend Holdings ReadHoldings(const std::string &repository);
  void Reindex();
};

// Throws RELAY_BAD_INDEX when the index cannot be read.
Holdings ReadHoldings(const std::string &repository);
