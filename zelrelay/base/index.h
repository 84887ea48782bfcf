// The repository index "server.ini": components with their packages, and
// products with their components (docs/repository-format.md). A relay's own
// index lists everything its repository holds, package files and members of
// merged archives alike.
#pragma once

#include <cstdint>
#include <forward_list>
#include <functional>
#include <memory>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/files.h"
#include "zelrelay.h"
#include "zelrelay_shared.h"

// Offset of a component that has a package file of its own.
inline constexpr uint64_t kWholeFile = UINT64_MAX;

// The strings an index's records point into: the text it was read from, and
// strings made for it since. An index that takes records from another holds
// that one's pool too, so records are copied without their strings and a
// large index exists in memory once.
class StringPool {
 public:
  // A string that stays where it is for as long as the pool does.
  std::string_view Keep(std::string text);
  // Keeps other alive for as long as this pool.
  void Hold(const std::shared_ptr<StringPool> &other);

 private:
  // Short strings (names, paths) are copied together into blocks, without
  // a heap block and a string each; long ones (a text) are kept as given.
  std::pmr::monotonic_buffer_resource short_;
  std::forward_list<std::string> long_;
  std::vector<std::shared_ptr<StringPool>> held_;
};

struct ComponentEntry {
  ZELRELAY_EntityItem entity;
  std::string_view id;  // the extract name
  uint64_t size = 0;
  std::string_view sha256;  // lower-case hex
  std::string_view path;    // relative to the repository, below "packages/"
  // Else the package is the stored member at this offset of the merged
  // archive at path.
  uint64_t offset = kWholeFile;
  bool InArchive() const { return offset != kWholeFile; }
};

struct ProductEntry {
  ZELRELAY_EntityItem entity;
  std::string_view id;
  std::vector<std::string_view> components;  // ids of ComponentEntry
  // Where those are in the index it was read with, which says so once here
  // rather than every reader looking each one up; empty for a product put
  // together otherwise, and to be cleared with any change to components.
  std::vector<uint32_t> positions;
};

struct Index {
  std::vector<ComponentEntry> components;
  std::vector<ProductEntry> products;
  std::string digest;  // SHA-256 of the text it was read from
  std::shared_ptr<StringPool> strings = std::make_shared<StringPool>();

  std::string_view Keep(std::string text) { return strings->Keep(std::move(text)); }
  // Before records of other are put into this index.
  void Adopt(const Index &other) { strings->Hold(other.strings); }
};

// Throws RELAY_BAD_INDEX for a malformed index, RELAY_UNSAFE_PACKAGE_PATH for
// a package path that is absolute, holds ".." or leaves "packages". The
// index keeps the text, and its records point into it.
Index ParseIndex(std::string text);
std::string IndexToText(const Index &index);

// An index as its writer goes through it, wherever its records are kept.
class IndexSource {
 public:
  // Each component once, in the same order each time.
  virtual void Components(const std::function<void(const ComponentEntry &)> &each) const = 0;
  // Each product, with the ids of its components.
  virtual void Products(const std::function<void(std::string_view, std::span<const std::string_view>)> &each) const = 0;

 protected:
  ~IndexSource() = default;
};

// The records of an Index, as a source.
class IndexRecords final : public IndexSource {
 public:
  explicit IndexRecords(const Index &index) : index_(index) {}
  void Components(const std::function<void(const ComponentEntry &)> &each) const override;
  void Products(const std::function<void(std::string_view, std::span<const std::string_view>)> &each) const override;

 private:
  const Index &index_;
};

// The index's text, written out as it is made.
void WriteIndexText(TextOut &out, const IndexSource &index);
// Larger indexes are refused (RELAY_INDEX_TOO_LARGE) rather than read.
inline constexpr size_t kIndexLimit = size_t(64) << 20;

// nullopt when the directory has no such index; the file must be a regular
// file inside the directory (see OpenBeneath).
std::optional<Index> ReadIndexAt(int directory, const std::string &name);
std::optional<Index> ReadIndex(const std::string &directory);
void WriteIndex(const std::string &directory, const Index &index);

// The package file a relay keeps for a component, and the name of its
// member in a merged archive: "packages/<id>.zip".
std::string PackagePath(const ComponentEntry &entry);
// The name of its own that a package gets while that one is taken (by the
// bytes of another build of the same identifier, or a file kept for readers
// of an older index): "packages/<id>.<first 16 digits of its SHA-256>.zip".
std::string TaggedPackagePath(const ComponentEntry &entry);
inline constexpr size_t kNameTagDigits = 16;
// The same for the component with this id, into path, whose room a writer
// of many reuses.
void PutPackagePath(std::string &path, std::string_view id);

const ComponentEntry *FindComponent(const Index &index, std::string_view id);
