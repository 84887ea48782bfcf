// Merged archives.
#include "repository/merge.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <map>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "base/digest.h"
#include "base/entity.h"
#include "base/files.h"
#include "base/served.h"
#include "base/listing.h"
#include "base/status.h"
#include "base/text.h"
#include "packages/storedzip.h"
#include "packages/zip.h"

namespace {

// Largest manifest read from a merged archive.
constexpr size_t kManifestLimit = size_t(16) << 20;

std::string InPackages(const std::string &name) { return std::string(ZELRELAY_PACKAGES_DIR) + "/" + name; }

// "<product>[_N]_merged.zip", or with ".<tag>" before "_merged.zip" while
// that name is taken.
std::string PartName(const std::string &repository, const ProductEntry &product, size_t part,
                     std::string_view manifest) {
  std::string base = ComponentName(product.entity);
  if (part > 0) base += "_" + std::to_string(part + 1);
  std::string plain = InPackages(base + ZELRELAY_MERGED_SUFFIX);
  if (!Exists(JoinPath(repository, plain))) return plain;
  std::string tag = Sha256OfBytes(manifest.data(), manifest.size()).substr(0, kNameTagDigits);
  return InPackages(base + "." + tag + ZELRELAY_MERGED_SUFFIX);
}

// Size and modification time: what tells that an archive changed since
// merged.ini described it (a writer killed between the two).
struct Stamp {
  uint64_t size = 0;
  int64_t modified = 0;
  bool operator==(const Stamp &) const = default;
};

bool StampOf(const std::string &path, Stamp &stamp) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return false;
  stamp = Stamp{uint64_t(info.st_size), int64_t(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec};
  return true;
}

// merged.ini ends in a section the index reader skips: each archive with
// the stamp it had when the file was written.
constexpr std::string_view kArchivesHeader = "[Archives]";

std::map<std::string, Stamp, std::less<>> ParseStamps(std::string_view text) {
  std::map<std::string, Stamp, std::less<>> stamps;
  bool inside = false;
  IniLine line;
  while (NextIniLine(text, line)) {
    if (line.kind == IniLine::Header) inside = line.text == kArchivesHeader;
    if (!inside || line.kind != IniLine::Entry) continue;
    std::string_view value = line.value, size = NextWord(value), modified = NextWord(value);
    Stamp stamp;
    std::from_chars(size.data(), size.data() + size.size(), stamp.size);
    std::from_chars(modified.data(), modified.data() + modified.size(), stamp.modified);
    stamps[std::string(line.key)] = stamp;
  }
  return stamps;
}

std::vector<std::string> ArchiveNames(const std::string &directory) {
  std::vector<std::string> names;
  ForEachName(directory, [&](std::string_view name) {
    if (IsMergedArchiveName(name)) names.push_back(InPackages(std::string(name)));
  });
  std::sort(names.begin(), names.end());
  return names;
}

// What the merged archives hold, as it is gathered: a component two
// products share is listed once, under both.
// The records it gathers point into the indexes they come from, which its
// index adopts.
struct Listing {
  Index index;
  std::unordered_set<std::string_view> components;
  std::unordered_map<std::string, size_t> products;  // by identity
  std::vector<std::unordered_set<std::string_view>> members;

  void Add(const ComponentEntry &member, const ProductEntry &owner) {
    if (components.insert(member.id).second) index.components.push_back(member);
    auto [at, added] = products.emplace(ComponentName(owner.entity), index.products.size());
    if (added) {
      index.products.push_back(ProductEntry{owner.entity, owner.id, {}, {}});
      members.emplace_back();
    }
    ProductEntry &product = index.products[at->second];
    if (!added && IsNewer(owner.entity.version, product.entity.version)) {
      product.entity = owner.entity;
      product.id = owner.id;
    }
    if (members[at->second].insert(member.id).second) product.components.push_back(member.id);
  }
};

// An archive's members from its own manifest; one that is not ours or is
// damaged holds nothing the relay can use.
void ScanArchive(const std::string &repository, std::string_view name, Listing &into) {
  std::string path = JoinPath(repository, name);
  try {
    Index manifest = ParseIndex(ReadMemberBytes(path, kMergedManifest, kManifestLimit));
    std::map<std::string, MemberSpan> spans = StoredMemberSpans(path);
    if (manifest.products.empty()) return;
    into.index.Adopt(manifest);
    std::string_view archive = into.index.Keep(std::string(name));
    for (ComponentEntry c : manifest.components) {
      auto span = spans.find(std::string(c.path));
      if (span == spans.end() || span->second.size != c.size) continue;
      c.path = archive;
      c.offset = span->second.offset;
      into.Add(c, manifest.products[0]);
    }
  } catch (const RelayError &) {
  }
}

}  // namespace

MergedBuild BuildMergedArchives(const std::string &repository, const ProductEntry &product,
                                const std::vector<MemberSource> &sources, int64_t maxmerge,
                                std::vector<ComponentEntry> &missing) {
  MergedBuild build{ProductEntry{product.entity, product.id, {}, {}}, {}, {}, {}, std::make_shared<StringPool>()};
  std::vector<const MemberSource *> kept;
  for (const MemberSource &source : sources) {
    if (!source.crc && !IsRegularFile(source.file)) {
      missing.push_back(source.entry);
      continue;
    }
    kept.push_back(&source);
    build.product.components.push_back(source.entry.id);
  }
  size_t per = maxmerge > 0 ? size_t(maxmerge) : std::max<size_t>(kept.size(), 1);
  for (size_t from = 0, part = 0; from < kept.size(); from += per, ++part) {
    size_t to = std::min(kept.size(), from + per);
    Index manifest;
    manifest.products.push_back(ProductEntry{product.entity, product.id, {}, {}});
    std::vector<StoredMember> members(1);
    members.reserve(to - from + 1);  // the manifest's records point at their names
    members[0].name = kMergedManifest;
    for (size_t i = from; i < to; ++i) {
      StoredMember &member = members.emplace_back();
      ComponentEntry entry = kept[i]->entry;
      member.name = PackagePath(entry);
      entry.path = member.name;
      entry.offset = kWholeFile;
      manifest.components.push_back(entry);
      manifest.products[0].components.push_back(entry.id);
      member.file = kept[i]->file;
      member.offset = kept[i]->offset;
      member.size = entry.size;
      member.crc = kept[i]->crc;
      if (!member.crc) member.sha256 = entry.sha256;
    }
    members[0].bytes = IndexToText(manifest);
    std::string_view name = build.strings->Keep(PartName(repository, product, part, members[0].bytes));
    TempFile temp = CreateTempFile(JoinPath(repository, name));
    std::vector<uint64_t> offsets = WriteStoredZip(temp.file.fd, members);
    for (size_t i = from; i < to; ++i) {
      ComponentEntry entry = kept[i]->entry;
      entry.path = name;
      entry.offset = offsets[i - from + 1];
      build.members.push_back(entry);
    }
    // Written: only its name waits for the commit. A run that rebuilds many
    // products would otherwise hold a descriptor for each.
    temp.file = FileDescriptor{};
    build.parts.push_back(std::move(temp));
    build.names.push_back(name);
  }
  return build;
}

void CommitMergedArchives(MergedBuild &build) {
  for (TempFile &part : build.parts) RenameTempFile(part);
}

namespace {

// merged.ini as it was found, and the archives it describes.
struct MergedIndexFile {
  Index index;
  bool read = false;
  std::map<std::string, Stamp, std::less<>> stamps;
  std::map<std::string_view, std::vector<const ComponentEntry *>> byArchive;
  std::unordered_map<std::string_view, const ProductEntry *> owners;
};

void ReadMergedIndexFile(const std::string &repository, MergedIndexFile &file) {
  try {
    FileDescriptor root = OpenDirectory(repository);
    FileDescriptor opened = root.fd < 0 ? FileDescriptor{} : OpenBeneath(root.fd, ZELRELAY_MERGED_INDEX);
    if (opened.fd < 0) return;
    std::string text = ReadLimited(opened.fd, kIndexLimit, RELAY_INDEX_TOO_LARGE);
    file.stamps = ParseStamps(text);
    file.index = ParseIndex(std::move(text));
    file.read = true;
  } catch (const RelayError &) {
    file = MergedIndexFile{};  // unreadable: the archives themselves still tell
    return;
  }
  for (const ComponentEntry &c : file.index.components) file.byArchive[c.path].push_back(&c);
  for (const ProductEntry &p : file.index.products)
    for (std::string_view id : p.components) file.owners[id] = &p;
}

// The archives to read: those merged.ini names, or when it could not be
// read every one not retired.
std::vector<std::string> Candidates(const std::string &repository, const MergedIndexFile &file,
                                    const Retired &retired) {
  if (!file.read) {
    std::vector<std::string> names = ArchiveNames(JoinPath(repository, ZELRELAY_PACKAGES_DIR));
    std::erase_if(names, [&](const std::string &name) { return retired.Has(name); });
    return names;
  }
  std::set<std::string> names;
  for (const auto &[name, stamp] : file.stamps) names.insert(name);
  for (const auto &[name, members] : file.byArchive) names.insert(std::string(name));
  return {names.begin(), names.end()};
}

// Whether merged.ini describes the archive as it is now, every member with
// its product.
bool Described(const std::string &repository, const MergedIndexFile &file, const std::string &name) {
  Stamp now;
  auto stamp = file.stamps.find(name);
  if (stamp == file.stamps.end() || !StampOf(JoinPath(repository, name), now) || !(now == stamp->second))
    return false;
  auto members = file.byArchive.find(name);
  if (members == file.byArchive.end()) return true;
  for (const ComponentEntry *c : members->second)
    if (!file.owners.count(c->id)) return false;
  return true;
}

}  // namespace

MergedListing ReadMergedArchives(const std::string &repository, const Retired &retired) {
  MergedIndexFile file;
  ReadMergedIndexFile(repository, file);
  MergedListing result;
  Listing merged;
  merged.index.Adopt(file.index);
  bool described = file.read || !Exists(JoinPath(repository, ZELRELAY_MERGED_INDEX));
  size_t archives = 0;
  for (const std::string &name : Candidates(repository, file, retired)) {
    if (!Exists(JoinPath(repository, name))) continue;
    archives++;
    if (!Described(repository, file, name)) {
      described = false;
      result.scanned.insert(name);
      ScanArchive(repository, name, merged);
      continue;
    }
    auto members = file.byArchive.find(name);
    if (members == file.byArchive.end()) continue;
    for (const ComponentEntry *c : members->second) {
      auto owner = file.owners.find(c->id);
      RELAY_ASSERT(owner != file.owners.end());  // Described saw to it
      merged.Add(*c, *owner->second);
    }
  }
  result.listed = described && archives == file.stamps.size();
  result.index = std::move(merged.index);
  return result;
}

std::vector<std::string_view> WriteMergedIndex(const std::string &repository, const IndexSource &members) {
  ServedFile file(repository, ZELRELAY_MERGED_INDEX);
  WriteIndexText(file, members);
  file.text += kArchivesHeader;
  file.text += '\n';
  std::vector<std::string_view> archives;
  members.Components([&](const ComponentEntry &c) {
    if (archives.empty() || archives.back() != c.path) archives.push_back(c.path);  // members come archive by archive
  });
  std::sort(archives.begin(), archives.end());
  archives.erase(std::unique(archives.begin(), archives.end()), archives.end());
  for (std::string_view name : archives) {
    Stamp stamp;
    if (!StampOf(JoinPath(repository, name), stamp)) continue;
    file.text += name;
    file.text += '=' + std::to_string(stamp.size) + ' ' + std::to_string(stamp.modified) + '\n';
    file.Spill();
  }
  file.Commit();
  return archives;
}

std::string ProductOfArchive(std::string_view archive) {
  std::string_view prefix = ZELRELAY_PACKAGES_DIR "/", suffix = ZELRELAY_MERGED_SUFFIX, name = archive;
  if (!name.starts_with(prefix) || !IsMergedArchiveName(archive)) return {};
  name = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
  // ".<tag>" ends a name of its own; no product's name holds a dot.
  if (size_t dot = name.rfind('.'); dot != std::string_view::npos) name = name.substr(0, dot);
  // "<product>_N" is part N; a product's name ends in "o<oem>", never in "_N".
  size_t part = name.rfind('_');
  if (part != std::string_view::npos && part + 1 < name.size() &&
      name.find_first_not_of("0123456789", part + 1) == std::string_view::npos)
    name = name.substr(0, part);
  return std::string(name);
}

bool IsArchiveOf(std::string_view archive, const ProductEntry &product) {
  return ProductOfArchive(archive) == ComponentName(product.entity);
}

bool IsMergedArchiveName(std::string_view name) {
  return name.ends_with(ZELRELAY_MERGED_SUFFIX);
}
