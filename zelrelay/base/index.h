// The repository index "server.ini": components with their packages, and
// products with their components (docs/repository-format.md). A relay's own
// index lists everything its repository holds, package files and members of
// merged archives alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zelrelay.h"
#include "zelrelay_shared.h"

// Offset of a component that has a package file of its own.
inline constexpr uint64_t kWholeFile = UINT64_MAX;

struct ComponentEntry {
  ZELRELAY_EntityItem entity;
  std::string id;  // the extract name
  uint64_t size = 0;
  std::string sha256;
  std::string path;  // relative to the repository, below "packages/"
  // Else the package is the stored member at this offset of the merged
  // archive at path.
  uint64_t offset = kWholeFile;
  bool InArchive() const { return offset != kWholeFile; }
};

struct ProductEntry {
  ZELRELAY_EntityItem entity;
  std::string id;
  std::vector<std::string> components;  // ids of ComponentEntry
};

struct Index {
  std::vector<ComponentEntry> components;
  std::vector<ProductEntry> products;
  std::string digest;  // SHA-256 of the text it was read from
};

// Throws RELAY_BAD_INDEX for a malformed index, RELAY_UNSAFE_PACKAGE_PATH for
// a package path that is absolute, holds ".." or leaves "packages".
Index ParseIndex(std::string_view text);
std::string IndexToText(const Index &index);
// Larger indexes are refused (RELAY_INDEX_TOO_LARGE) rather than read.
inline constexpr size_t kIndexLimit = size_t(64) << 20;

// nullopt when the directory has no such index; the file must be a regular
// file inside the directory (see OpenBeneath).
std::optional<Index> ReadIndexAt(int directory, const std::string &name);
std::optional<Index> ReadIndex(const std::string &directory);
void WriteIndex(const std::string &directory, const Index &index);
// Leaves an index that already says the same untouched.
void WriteIndexIfChanged(const std::string &directory, const Index &index);

// The package file a relay keeps for a component, and the name of its
// member in a merged archive: "packages/<id>.zip".
std::string PackagePath(const ComponentEntry &entry);

const ComponentEntry *FindComponent(const Index &index, const std::string &id);
