// The repository index "server.ini": components with their packages, and
// products with their components (docs/repository-format.md).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zelrelay.h"
#include "zelrelay_shared.h"

struct ComponentEntry {
  ZELRELAY_EntityItem entity;
  std::string id;  // the extract name
  uint64_t size = 0;
  std::string sha256;
  std::string path;  // relative to the repository, below "packages/"
};

struct ProductEntry {
  ZELRELAY_EntityItem entity;
  std::string id;
  std::vector<std::string> components;  // ids of ComponentEntry
};

struct Index {
  std::vector<ComponentEntry> components;
  std::vector<ProductEntry> products;
};

// Throws RELAY_BAD_INDEX for a malformed index, RELAY_UNSAFE_PACKAGE_PATH for
// a package path that is absolute, holds ".." or leaves "packages".
Index ParseIndex(std::string_view text);
std::string IndexToText(const Index &index);
// nullopt when the directory has no index.
std::optional<Index> ReadIndex(const std::string &directory);
void WriteIndex(const std::string &directory, const Index &index);

const ComponentEntry *FindComponent(const Index &index, const std::string &id);
ProductEntry *FindProductByIdentity(Index &index, const ZELRELAY_EntityItem &entity);
