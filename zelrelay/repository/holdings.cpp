// What a repository holds.
#include "repository/holdings.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <unordered_set>

#include "base/digest.h"
#include "base/entity.h"
#include "base/environment.h"
#include "base/files.h"
#include "base/listing.h"
#include "repository/merge.h"

namespace {

// A package file that is there with the size the index gave: whether its
// bytes still match is checked where they are read.
bool PackageFileThere(const std::string &repository, const ComponentEntry &entry, struct stat &info) {
  return stat(JoinPath(repository, entry.path).c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         uint64_t(info.st_size) == entry.size;
}

// The component a package file's name stands for, "<id>.zip" or
// "<id>.<tag>.zip"; empty for another name.
std::string_view ComponentOfFile(std::string_view name) {
  if (!name.ends_with(".zip") || IsMergedArchiveName(name)) return {};
  name.remove_suffix(4);
  size_t dot = name.rfind('.');
  if (dot != std::string_view::npos && name.size() - dot - 1 == kNameTagDigits &&
      name.find_first_not_of("0123456789abcdef", dot + 1) == std::string_view::npos)
    name = name.substr(0, dot);
  return name;
}

}  // namespace

size_t ProductKindHash::operator()(const ProductKind &kind) const noexcept {
  size_t hash = 0;
  for (int32_t field : {kind.klass, kind.type, kind.language, kind.platform, kind.region, kind.oem})
    hash = hash * 1000003 ^ std::hash<int32_t>{}(field);
  return hash;
}

const FileStamp *Holdings::FileOf(std::string_view id) const {
  auto at = files_.find(id);
  const ComponentEntry *held = Find(id);
  return at == files_.end() || held == nullptr || held->InArchive() ? nullptr : &at->second;
}

const ComponentEntry *Holdings::Find(std::string_view id) const {
  uint32_t at = Position(id);
  return at == kNone ? nullptr : components[at];
}

const ComponentEntry *Holdings::Member(std::string_view id) const {
  uint32_t at = members_.Find(id);
  return at == kNone ? nullptr : &merged.components[at];
}

const ComponentEntry &Holdings::Hold(const ComponentEntry &record) {
  components.push_back(&record);  // where the table reads its id
  uint32_t added = uint32_t(components.size() - 1), at = byId_.Insert(added);
  if (at != added) {
    components.pop_back();
    components[at] = &record;
  }
  return record;
}

const ComponentEntry &Holdings::Make(const ComponentEntry &record) { return made_.emplace_back(record); }

void Holdings::Reserve(size_t count) {
  components.reserve(count);
  byId_.Reserve(count);
}

void Holdings::ReserveProducts(size_t count) {
  products.reserve(count);
  byKind_.Reserve(count);
}

void Holdings::Drop(const std::vector<const ComponentEntry *> &dropped) {
  if (dropped.empty()) return;
  std::vector<bool> out(components.size());
  for (const ComponentEntry *c : dropped)
    if (uint32_t at = Position(c->id); at != kNone) out[at] = true;
  std::vector<uint32_t> moved(components.size(), kNone);
  size_t kept = 0;
  for (size_t i = 0; i < components.size(); ++i)
    if (!out[i]) {
      moved[i] = uint32_t(kept);
      components[kept++] = components[i];
    }
  components.resize(kept);
  for (HeldProduct &p : products) {
    std::erase_if(p.components, [&](uint32_t at) { return out[at]; });
    for (uint32_t &at : p.components) at = moved[at];
  }
  Reindex();
}

HeldProduct &Holdings::Product(const ProductEntry &like) {
  products.push_back(HeldProduct{&like, {}, nullptr});  // where the table reads its kind
  uint32_t added = uint32_t(products.size() - 1), at = byKind_.Insert(added);
  if (at != added) products.pop_back();
  return products[at];
}

bool Holdings::ForgetEmptyProducts(const std::function<bool(const ProductEntry &)> &listed) {
  size_t before = products.size();
  std::erase_if(products, [&](const HeldProduct &p) { return p.components.empty() && !listed(*p.record); });
  if (products.size() == before) return false;
  byKind_.Refill(products.size());
  return true;
}

void Holdings::Tidy() {
  std::vector<bool> seen(components.size());
  for (HeldProduct &p : products) {
    std::erase_if(p.components, [&](uint32_t at) { return seen[at] ? true : (seen[at] = true, false); });
    for (uint32_t at : p.components) seen[at] = false;
  }
}

void Holdings::Components(const std::function<void(const ComponentEntry &)> &each) const {
  for (const ComponentEntry *c : components) each(*c);
}

void Holdings::Products(const std::function<void(std::string_view, std::span<const std::string_view>)> &each) const {
  std::vector<std::string_view> ids;
  for (const HeldProduct &p : products) {
    ids.clear();
    for (uint32_t at : p.components) ids.push_back(components[at]->id);
    each(p.record->id, ids);
  }
}

void Holdings::Reindex() { byId_.Refill(components.size()); }

Holdings::Holdings(const std::string &repository) {
  retired = ReadRetired(repository);
  MergedListing listing = ReadMergedArchives(repository, retired);
  merged = std::move(listing.index);
  mergedListed = listing.listed;
  unverified = std::move(listing.scanned);
  strings_->Hold(merged.strings);
  members_.Reserve(merged.components.size());
  for (size_t i = 0; i < merged.components.size(); ++i) {
    members_.Insert(uint32_t(i));
    archives_.push_back(merged.components[i].path);
  }
  std::sort(archives_.begin(), archives_.end());
  archives_.erase(std::unique(archives_.begin(), archives_.end()), archives_.end());
  try {
    own_ = ReadIndex(repository).value_or(Index{});
  } catch (const RelayError &e) {
    if (e.status != RELAY_BAD_INDEX && e.status != RELAY_UNSAFE_PACKAGE_PATH) throw;
    indexDamage = e.status;
  }
  strings_->Hold(own_.strings);
  Reserve(own_.components.size() + merged.components.size());
  ReserveProducts(own_.products.size() + merged.products.size());
  for (const ComponentEntry &c : own_.components) {
    const ComponentEntry *member = Member(c.id);
    struct stat info;
    if (!c.InArchive() && PackageFileThere(repository, c, info)) {
      Hold(c);
      files_[c.id] = FileStamp::Of(info);
    } else if (member != nullptr && member->sha256 == c.sha256) {
      Hold(*member);
    } else {
      gone.push_back(&c);
    }
  }
  for (const ComponentEntry &m : merged.components)
    if (!Find(m.id)) Hold(m);
  for (const Index *from : {&own_, &merged})
    for (const ProductEntry &p : from->products) {
      HeldProduct &into = Product(p);
      if (IsNewer(p.entity.version, into.record->entity.version)) into.record = &p;
      for (std::string_view id : p.components)
        if (uint32_t at = Position(id); at != kNone) into.components.push_back(at);
    }
  for (const ProductEntry &p : merged.products)
    if (uint32_t at = FindProduct(p); at != kNone) products[at].archived = &p;
  Tidy();
}

NamedFiles::NamedFiles(const Holdings &held) : held_(held) {
  for (const ComponentEntry *c : held.components)
    if (!c->InArchive() && !NamedFor(*c, c->path)) odd_.insert(c->path);
}

bool NamedFiles::NamedFor(const ComponentEntry &held, std::string_view path) {
  constexpr std::string_view prefix = ZELRELAY_PACKAGES_DIR "/";
  return path.starts_with(prefix) && ComponentOfFile(path.substr(prefix.size())) == held.id;
}

bool NamedFiles::operator()(std::string_view path) const {
  const std::vector<std::string_view> &archives = held_.Archives();
  if (std::binary_search(archives.begin(), archives.end(), path)) return true;
  constexpr std::string_view prefix = ZELRELAY_PACKAGES_DIR "/";
  const ComponentEntry *held = path.starts_with(prefix) ? held_.Find(ComponentOfFile(path.substr(prefix.size())))
                                                        : nullptr;
  return (held != nullptr && !held->InArchive() && held->path == path) || odd_.count(path) > 0;
}

bool BytesMatch(const std::string &repository, const ComponentEntry &entry) {
  FileDescriptor file{open(JoinPath(repository, entry.path).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)};
  try {
    return file.fd >= 0 && Sha256OfRange(file.fd, entry.InArchive() ? entry.offset : 0, entry.size) == entry.sha256;
  } catch (const RelayError &) {
    return false;
  }
}

bool HeldIntact(const std::string &repository, const Holdings &held, const ComponentEntry &mine) {
  if (!mine.InArchive()) return PackagePresent(JoinPath(repository, mine.path), mine, held.FileOf(mine.id));
  if (!VerifyRequested() && !held.unverified.count(mine.path)) return true;
  return BytesMatch(repository, mine);
}

void AdoptLeftovers(const std::string &repository, Holdings &held, const Index &upstream) {
  NamedFiles named(held);
  std::unordered_map<std::string_view, const ComponentEntry *> offered;
  std::unordered_multimap<std::string_view, const ProductEntry *> listing;
  ForEachName(JoinPath(repository, ZELRELAY_PACKAGES_DIR), [&](std::string_view name) {
    std::string path = std::string(ZELRELAY_PACKAGES_DIR) + "/" + std::string(name);
    std::string_view id = ComponentOfFile(name);
    const ComponentEntry *mine = id.empty() ? nullptr : held.Find(id);
    if (id.empty() || named(path) || held.retired.Has(path) || (mine && !mine->InArchive())) return;
    if (offered.empty()) {  // only once there is something to adopt
      for (const ComponentEntry &c : upstream.components) offered.emplace(c.id, &c);
      for (const ProductEntry &p : upstream.products)
        for (std::string_view c : p.components) listing.emplace(c, &p);
    }
    auto wanted = offered.find(id);
    if (wanted == offered.end()) return;
    ComponentEntry entry = *wanted->second;
    if ((mine && mine->sha256 != entry.sha256) || (path != PackagePath(entry) && path != TaggedPackagePath(entry)))
      return;
    if (!PackagePresent(JoinPath(repository, path), entry)) return;
    entry.path = held.Keep(path);
    entry.offset = kWholeFile;
    held.Hold(held.Make(entry));
    auto [from, to] = listing.equal_range(entry.id);
    for (auto at = from; at != to; ++at) held.Product(*at->second).components.push_back(held.Position(entry.id));
  });
  held.Tidy();
}
