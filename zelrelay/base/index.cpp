// The repository index "server.ini".
#include "base/index.h"

#include <algorithm>
#include <memory_resource>
#include <unordered_map>
#include <unordered_set>

#include "base/digest.h"
#include "base/entity.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/status.h"
#include "base/text.h"

namespace {

enum class Section { None, Components, Products, Other };

struct SectionName {
  std::string_view header;
  Section section;
};

constexpr SectionName kSections[] = {
    {"[PATTERN]", Section::Components},
    {"[ENGINE]", Section::Components},
    {"[All_Product]", Section::Products},
};

ZELRELAY_EntityItem EntityOf(std::string_view id) {
  ZELRELAY_EntityItem entity;
  if (!ParseIdentifier(id, entity)) Fail(RELAY_BAD_INDEX);
  return entity;
}

// The entity's key: the text as written when it is already the key, as in
// every index a relay or the publishing tool writes; else a string kept.
std::string_view KeyOf(Index &index, std::string_view written, const ZELRELAY_EntityItem &entity) {
  char buffer[kNameBuffer];
  std::string_view key = ExtractNameInto(entity, buffer);
  return key == written ? written : index.Keep(std::string(key));
}

// "ARCHIVE OFFSET" names a member of a merged archive; anything else is a
// package path, blanks and all.
void ReadArchiveOffset(std::string_view &path, ComponentEntry &entry) {
  size_t blank = path.rfind(' ');
  if (blank == std::string_view::npos) return;
  std::string_view archive = Trim(path.substr(0, blank)), digits = path.substr(blank + 1);
  std::optional<uint64_t> offset = ParseWhole(digits);
  if (!archive.ends_with(ZELRELAY_MERGED_SUFFIX) || !offset || *offset == kWholeFile) return;
  entry.offset = *offset;
  path = archive;
}

std::string_view Sha256Of(Index &index, std::string_view hex) {
  if (IsSha256Hex(hex)) return hex;
  std::string lower(hex);
  for (char &c : lower) c = char(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
  if (!IsSha256Hex(lower)) Fail(RELAY_BAD_INDEX);
  return index.Keep(std::move(lower));
}

ComponentEntry ParseComponent(Index &index, std::string_view key, std::string_view value) {
  ComponentEntry entry;
  entry.entity = EntityOf(key);
  entry.id = KeyOf(index, key, entry.entity);
  std::optional<uint64_t> size = ParseWhole(NextWord(value));
  if (!size) Fail(RELAY_BAD_INDEX);
  entry.size = *size;
  entry.sha256 = Sha256Of(index, NextWord(value));
  value = Trim(value);
  if (value.empty()) Fail(RELAY_BAD_INDEX);
  ReadArchiveOffset(value, entry);
  if (!IsSafePackagePath(value)) Fail(RELAY_UNSAFE_PACKAGE_PATH);
  entry.path = value;
  return entry;
}

ProductEntry ParseProduct(Index &index, std::string_view key, std::string_view value) {
  ProductEntry entry;
  entry.entity = EntityOf(key);
  entry.id = KeyOf(index, key, entry.entity);
  for (std::string_view word = NextWord(value); !word.empty(); word = NextWord(value))
    entry.components.push_back(KeyOf(index, word, EntityOf(word)));
  return entry;
}

std::string_view SectionHeader(Section section) {
  for (const SectionName &s : kSections)
    if (s.section == section) return s.header;
  return {};
}

Section SectionOf(std::string_view header) {
  for (const SectionName &s : kSections)
    if (s.header == header) return s.section;
  return Section::Other;
}

// Each component once, each product once, and every product's component
// listed: each product learns where its components are.
void CheckReferences(Index &index) {
  // Nodes from one arena, freed at once: a large index adds no malloc a record.
  std::pmr::monotonic_buffer_resource arena;
  std::pmr::unordered_map<std::string_view, uint32_t> seen(&arena);
  seen.reserve(index.components.size());
  for (size_t i = 0; i < index.components.size(); ++i)
    if (!seen.emplace(index.components[i].id, uint32_t(i)).second) Fail(RELAY_BAD_INDEX);
  std::pmr::unordered_set<std::string_view> products(&arena);
  // Writers list a product's components one after the other, as the
  // products list them: the record after the last one found is tried first.
  size_t next = 0;
  for (ProductEntry &p : index.products) {
    if (!products.insert(p.id).second) Fail(RELAY_BAD_INDEX);
    p.positions.reserve(p.components.size());
    for (std::string_view id : p.components) {
      if (next >= index.components.size() || index.components[next].id != id) {
        auto at = seen.find(id);
        if (at == seen.end()) Fail(RELAY_BAD_INDEX);
        next = at->second;
      }
      p.positions.push_back(uint32_t(next++));
    }
  }
}

}  // namespace

std::string_view StringPool::Keep(std::string text) {
  if (text.size() >= 1024) return long_.emplace_front(std::move(text));
  char *copy = static_cast<char *>(short_.allocate(text.size() + 1, 1));
  text.copy(copy, text.size());
  return {copy, text.size()};
}

void StringPool::Hold(const std::shared_ptr<StringPool> &other) {
  if (other.get() == this) return;
  for (const std::shared_ptr<StringPool> &held : held_)
    if (held == other) return;
  held_.push_back(other);
}

Index ParseIndex(std::string kept) {
  Index index;
  std::string_view text = index.Keep(std::move(kept)), whole = text;
  // About a record a line, components before the products' header as a
  // writer puts them: no slack at the size of a large index.
  size_t products = std::min(whole.find(SectionHeader(Section::Products)), whole.size());
  index.components.reserve(size_t(std::count(whole.begin(), whole.begin() + products, '\n')));
  index.products.reserve(size_t(std::count(whole.begin() + products, whole.end(), '\n')));
  Section section = Section::None;
  IniLine line;
  while (NextIniLine(text, line)) {
    if (line.kind == IniLine::Header) {
      section = SectionOf(line.text);
      continue;
    }
    if (line.kind == IniLine::Bad || section == Section::None) Fail(RELAY_BAD_INDEX);
    if (section == Section::Components) index.components.push_back(ParseComponent(index, line.key, line.value));
    if (section == Section::Products) index.products.push_back(ParseProduct(index, line.key, line.value));
  }
  CheckReferences(index);
  index.digest = Sha256OfBytes(whole.data(), whole.size());
  return index;
}

namespace {

void AppendDecimal(std::string &text, uint64_t value) {
  char number[24];
  text.append(number, size_t(PutDecimal(number, value) - number));
}

void AppendComponent(std::string &text, const ComponentEntry &c) {
  text += c.id;
  text += '=';
  AppendDecimal(text, c.size);
  text += ' ';
  text += c.sha256;
  text += ' ';
  text += c.path;
  if (c.InArchive()) {
    text += ' ';
    AppendDecimal(text, c.offset);
  }
  text += '\n';
}

// An index's text kept whole.
struct WholeText final : TextOut {
  void Take() override {}
};

}  // namespace

void IndexRecords::Components(const std::function<void(const ComponentEntry &)> &each) const {
  for (const ComponentEntry &c : index_.components) each(c);
}

void IndexRecords::Products(
    const std::function<void(std::string_view, std::span<const std::string_view>)> &each) const {
  for (const ProductEntry &p : index_.products) each(p.id, p.components);
}

// The writer's two sections of components, patterns first, then the
// products.
void WriteIndexText(TextOut &out, const IndexSource &index) {
  for (bool patterns : {true, false}) {
    out.text += patterns ? "[PATTERN]\n" : "\n[ENGINE]\n";
    index.Components([&](const ComponentEntry &c) {
      if (IsPatternEntity(c.entity) != patterns) return;
      AppendComponent(out.text, c);
      out.Spill();
    });
  }
  out.text += "\n[All_Product]\n";
  index.Products([&](std::string_view id, std::span<const std::string_view> components) {
    out.text += id;
    out.text += '=';
    for (size_t i = 0; i < components.size(); ++i) {
      if (i) out.text += ' ';
      out.text += components[i];
    }
    out.text += '\n';
    out.Spill();
  });
  out.text += '\n';
}

std::string IndexToText(const Index &index) {
  WholeText out;
  out.text.reserve(index.components.size() * 192 + index.products.size() * 64 + 64);
  WriteIndexText(out, IndexRecords(index));
  return std::move(out.text);
}

std::optional<Index> ReadIndexAt(int directory, const std::string &name) {
  FileDescriptor file = OpenBeneath(directory, name);
  if (file.fd < 0) return std::nullopt;
  return ParseIndex(ReadLimited(file.fd, kIndexLimit, RELAY_INDEX_TOO_LARGE));
}

std::optional<Index> ReadIndex(const std::string &directory) {
  FileDescriptor root = OpenDirectory(directory);
  if (root.fd < 0) return std::nullopt;
  return ReadIndexAt(root.fd, ZELRELAY_INDEX_FILE);
}

void WriteIndex(const std::string &directory, const Index &index) {
  WriteFileAtomically(JoinPath(directory, ZELRELAY_INDEX_FILE), IndexToText(index));
}

void PutPackagePath(std::string &path, std::string_view id) {
  path = ZELRELAY_PACKAGES_DIR "/";
  path += id;
  path += ".zip";
}

std::string PackagePath(const ComponentEntry &entry) {
  std::string path;
  PutPackagePath(path, entry.id);
  return path;
}

std::string TaggedPackagePath(const ComponentEntry &entry) {
  std::string path = ZELRELAY_PACKAGES_DIR "/";
  path += entry.id;
  path += '.';
  path += entry.sha256.substr(0, kNameTagDigits);
  path += ".zip";
  return path;
}

const ComponentEntry *FindComponent(const Index &index, std::string_view id) {
  for (const ComponentEntry &c : index.components)
    if (c.id == id) return &c;
  return nullptr;
}
