// What a repository holds: the union of what its index names and what its
// merged archives hold. After the module's clean-up the index is empty and
// the merged archives are the only copy, so listing, pruning, exporting and
// rebuilding a merged archive all start from here.
#pragma once

#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/index.h"
#include "base/status.h"
#include "packages/verified.h"
#include "repository/retired.h"

struct Holdings {
  // Every component held once: by its package file when that is there,
  // else by its member of a merged archive; products with what they hold,
  // and only that (Hold, Drop and Tidy keep it so).
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
  // Archives merged.ini did not describe as they are: their members are
  // hashed before anything relies on them.
  std::set<std::string, std::less<>> unverified;
  // Files kept for readers of older indexes.
  Retired retired;
  // Why the index could not be read, RELAY_OK when it could. What the
  // repository holds is then what its merged archives hold, and the package
  // files a run adopts (AdoptLeftovers); the next index it writes replaces
  // the damaged one.
  RelayStatus indexDamage = RELAY_OK;

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
  // Replaces the members with those of a new listing of the merged archives.
  void Members(const Index &merged);
  // The files the index and merged.ini name: package files and archives.
  std::unordered_set<std::string_view> NamedFiles() const;

 private:
  std::unordered_map<std::string_view, size_t> byId_;
  std::unordered_map<std::string, size_t> byProduct_;
  std::unordered_map<std::string_view, FileStamp> files_;
  friend Holdings ReadHoldings(const std::string &repository);
  void Reindex();
};

// Throws what keeps the index from being read, but that it is malformed or
// names a package outside the package directory: that is told in
// indexDamage.
Holdings ReadHoldings(const std::string &repository);

// Whether a held component's bytes match its digest: a package file by its
// stamp of an earlier check, else hashed; a member of a merged archive as
// merged.ini describes it, unless ZELRELAY_VERIFY asks for hashing or its
// archive changed since.
bool HeldIntact(const std::string &repository, const Holdings &held, const ComponentEntry &mine);
// Whether the bytes of a package file, or of a member at its offset, match
// the entry's digest.
bool BytesMatch(const std::string &repository, const ComponentEntry &entry);

// Package files that nothing names (a writer killed between putting them in
// place and replacing the index, or an index lost): each that is named for
// a component of the upstream and holds exactly its bytes is held again,
// under the upstream's products that list it, in place of a merged member
// that holds the same.
void AdoptLeftovers(const std::string &repository, Holdings &held, const Index &upstream);
