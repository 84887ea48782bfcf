// What a repository holds: the union of what its index names and what its
// merged archives hold. After the module's clean-up the index is empty and
// the merged archives are the only copy, so listing, pruning, exporting and
// rebuilding a merged archive all start from here.
#pragma once

#include <deque>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/index.h"
#include "base/positions.h"
#include "base/status.h"
#include "packages/verified.h"
#include "repository/retired.h"

// A product's identity: its entity without the version.
struct ProductKind {
  int32_t klass, type, language, platform, region, oem;
  static ProductKind Of(const ZELRELAY_EntityItem &e) {
    return {e.klass, e.type, e.language, e.platform, e.region, e.oem};
  }
  bool operator==(const ProductKind &) const = default;
};
struct ProductKindHash {
  size_t operator()(const ProductKind &kind) const noexcept;
};

// A product as the repository holds it.
struct HeldProduct {
  // Its entity and id, as the newest index that lists it gives them.
  const ProductEntry *record;
  std::vector<uint32_t> components;  // positions in Holdings::components
  // As its merged archives list it, when they do.
  const ProductEntry *archived = nullptr;
};

// A large repository's holdings are records of the indexes they were read
// from, not copies: a component held is a pointer to its record, kept in
// the repository's own index or merged.ini (which the holdings keep), in
// the upstream's index (which the caller keeps for as long as the
// holdings), or made for the holdings (Make). Lookups are positions.
class Holdings final : public IndexSource {
 public:
  // Reads what the repository holds. Throws what keeps the index from being
  // read, but that it is malformed or names a package outside the package
  // directory: that is told in indexDamage.
  explicit Holdings(const std::string &repository);
  Holdings(const Holdings &) = delete;
  Holdings &operator=(const Holdings &) = delete;

  // Every component held once: by its package file when that is there,
  // else by its member of a merged archive; products with what they hold,
  // and only that (Hold, Drop and Tidy keep it so).
  std::vector<const ComponentEntry *> components;
  std::vector<HeldProduct> products;
  // What the merged archives held when read: their members (path: the
  // archive, offset: the data) and their products.
  Index merged;
  // Components the index named that nothing holds any more.
  std::vector<const ComponentEntry *> gone;
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

  static constexpr uint32_t kNone = UINT32_MAX;
  uint32_t Position(std::string_view id) const { return byId_.Find(id); }
  const ComponentEntry *Find(std::string_view id) const;
  // The stamp of a package file held, as found when reading; null when the
  // component is held by a merged archive.
  const FileStamp *FileOf(std::string_view id) const;
  // The member of a merged archive with that id, as read.
  const ComponentEntry *Member(std::string_view id) const;
  // Adds or replaces a component; returns it. The record stays where it is
  // for as long as the holdings: one of an index they keep or the caller
  // does, or one made by Make.
  const ComponentEntry &Hold(const ComponentEntry &record);
  // A record of the holdings' own, as given.
  const ComponentEntry &Make(const ComponentEntry &record);
  // A string for a record made, kept as long as the holdings.
  std::string_view Keep(std::string text) { return strings_->Keep(std::move(text)); }
  // The strings of every record held or made, for whoever tells of them
  // after the holdings are gone.
  const std::shared_ptr<StringPool> &Strings() const { return strings_; }
  // Room for so many components, or products, in all.
  void Reserve(size_t count);
  void ReserveProducts(size_t count);
  // Drops the components, and their positions from the products.
  void Drop(const std::vector<const ComponentEntry *> &dropped);
  // Lists each component once per product.
  void Tidy();
  // The product with that identity, added without components when new;
  // like stays where it is for as long as the holdings.
  HeldProduct &Product(const ProductEntry &like);
  // Its position, kNone when not held.
  uint32_t FindProduct(const ProductEntry &like) const { return byKind_.Find(ProductKind::Of(like.entity)); }
  // Drops the products that hold nothing and that listed does not tell of;
  // whether any went. Positions of products taken before are stale then.
  bool ForgetEmptyProducts(const std::function<bool(const ProductEntry &)> &listed);
  // The archives merged.ini lists, sorted; set anew once it is rewritten.
  const std::vector<std::string_view> &Archives() const { return archives_; }
  void ListArchives(std::vector<std::string_view> archives) { archives_ = std::move(archives); }

  // As an index to write.
  void Components(const std::function<void(const ComponentEntry &)> &each) const override;
  void Products(const std::function<void(std::string_view, std::span<const std::string_view>)> &each) const override;

 private:
  struct IdOf {
    const std::vector<const ComponentEntry *> *records;
    std::string_view operator()(uint32_t at) const { return (*records)[at]->id; }
  };
  struct MemberIdOf {
    const std::vector<ComponentEntry> *records;
    std::string_view operator()(uint32_t at) const { return (*records)[at].id; }
  };
  struct KindOf {
    const std::vector<HeldProduct> *products;
    ProductKind operator()(uint32_t at) const { return ProductKind::Of((*products)[at].record->entity); }
  };

  std::shared_ptr<StringPool> strings_ = std::make_shared<StringPool>();
  Index own_;                           // the repository's index, as read
  std::deque<ComponentEntry> made_;     // records of the holdings' own
  std::unordered_map<std::string_view, FileStamp> files_;
  std::vector<std::string_view> archives_;
  PositionTable<std::string_view, IdOf> byId_{IdOf{&components}};
  PositionTable<std::string_view, MemberIdOf> members_{MemberIdOf{&merged.components}};
  PositionTable<ProductKind, KindOf, ProductKindHash> byKind_{KindOf{&products}};
  void Reindex();
};

// Whether the index or merged.ini names a file of the package directory (a
// path relative to the repository), as the holdings now say.
class NamedFiles {
 public:
  explicit NamedFiles(const Holdings &held);
  bool operator()(std::string_view path) const;

 private:
  static bool NamedFor(const ComponentEntry &held, std::string_view path);
  const Holdings &held_;
  // Package files held under a name not made from their component's.
  std::unordered_set<std::string_view> odd_;
};

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
// that holds the same. The upstream outlives the holdings.
void AdoptLeftovers(const std::string &repository, Holdings &held, const Index &upstream);
