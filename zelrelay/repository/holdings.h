// What a repository holds: the union of what its index names and what its
// merged archives hold. After the module's clean-up the index is empty and
// the merged archives are the only copy, so listing, pruning, exporting and
// rebuilding a merged archive all start from here.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/index.h"
#include "packages/verified.h"

struct Holdings {
  // Every component held once: by its package file when that is there,
  // else by its member of a merged archive; products with what they hold.
  // Its pool holds every index its records came from.
  Index index;
  // Members of the merged archives as they are now, by component id, and
  // the products the archives are of, by identity (ComponentName).
  std::unordered_map<std::string_view, ComponentEntry> members;
  std::unordered_map<std::string, ProductEntry> archivedProducts;
  // Components the index named that nothing holds any more.
  std::vector<ComponentEntry> gone;
  // Whether merged.ini described every merged archive as it is.
  bool mergedListed = false;

  const ComponentEntry *Find(std::string_view id) const;
  // The stamp of a package file held, as found when reading; null when the
  // component is held by a merged archive.
  const FileStamp *FileOf(std::string_view id) const;
  // Adds or replaces a component, whose strings are of an index this one
  // adopted (Index::Adopt); returns it.
  ComponentEntry &Hold(const ComponentEntry &entry);
  // Drops the components with these ids, and their ids from the products.
  void Drop(const std::vector<ComponentEntry> &dropped);
  // Lists each component once per product.
  void Tidy();
  // The product with that identity, added without components when new.
  ProductEntry &Product(const ProductEntry &like);

 private:
  std::unordered_map<std::string_view, size_t> byId_;
  std::unordered_map<std::string, size_t> byProduct_;
  std::unordered_map<std::string_view, FileStamp> files_;
  friend Holdings ReadHoldings(const std::string &repository);
  void Reindex();
};

// Throws RELAY_BAD_INDEX when the index cannot be read.
Holdings ReadHoldings(const std::string &repository);
