// The repository index "server.ini".
#include "base/index.h"

#include <algorithm>
#include <charconv>
#include <unordered_map>

#include "base/entity.h"
#include "base/files.h"
#include "base/paths.h"
#include "base/status.h"
#include "base/text.h"
#include "base/digest.h"

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

// "ARCHIVE OFFSET" names a member of a merged archive; anything else is a
// package path, blanks and all.
void ReadArchiveOffset(std::string_view &path, ComponentEntry &entry) {
  size_t blank = path.rfind(' ');
  if (blank == std::string_view::npos) return;
  std::string_view archive = Trim(path.substr(0, blank)), digits = path.substr(blank + 1);
  if (!archive.ends_with(ZELRELAY_MERGED_SUFFIX)) return;
  uint64_t offset = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), offset);
  if (error != std::errc() || end != digits.data() + digits.size() || offset == kWholeFile) return;
  entry.offset = offset;
  path = archive;
}

ComponentEntry ParseComponent(std::string_view key, std::string_view value) {
  ComponentEntry entry;
  entry.entity = EntityOf(key);
  entry.id = ExtractName(entry.entity);
  std::string_view size = NextWord(value);
  auto [end, error] = std::from_chars(size.data(), size.data() + size.size(), entry.size);
  if (error != std::errc() || end != size.data() + size.size() || size.empty()) Fail(RELAY_BAD_INDEX);
  entry.sha256 = std::string(NextWord(value));
  std::transform(entry.sha256.begin(), entry.sha256.end(), entry.sha256.begin(),
                 [](char c) { return char(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c); });
  if (!IsSha256Hex(entry.sha256)) Fail(RELAY_BAD_INDEX);
  value = Trim(value);
  if (value.empty()) Fail(RELAY_BAD_INDEX);
  ReadArchiveOffset(value, entry);
  if (!IsSafePackagePath(value)) Fail(RELAY_UNSAFE_PACKAGE_PATH);
  entry.path = std::string(value);
  return entry;
}

ProductEntry ParseProduct(std::string_view key, std::string_view value) {
  ProductEntry entry;
  entry.entity = EntityOf(key);
  entry.id = ExtractName(entry.entity);
  for (std::string_view word = NextWord(value); !word.empty(); word = NextWord(value))
    entry.components.push_back(ExtractName(EntityOf(word)));
  return entry;
}

Section SectionOf(std::string_view header) {
  for (const SectionName &s : kSections)
    if (s.header == header) return s.section;
  return Section::Other;
}

void CheckReferences(const Index &index) {
  std::unordered_map<std::string_view, int> seen;
  for (const ComponentEntry &c : index.components)
    if (seen[c.id]++) Fail(RELAY_BAD_INDEX);
  std::unordered_map<std::string_view, int> products;
  for (const ProductEntry &p : index.products) {
    if (products[p.id]++) Fail(RELAY_BAD_INDEX);
    for (const std::string &id : p.components)
      if (!seen.count(id)) Fail(RELAY_BAD_INDEX);
  }
}

}  // namespace

Index ParseIndex(std::string_view text) {
  std::string_view whole = text;
  Index index;
  Section section = Section::None;
  std::string_view line;
  while (NextLine(text, line)) {
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      if (line.back() != ']') Fail(RELAY_BAD_INDEX);
      section = SectionOf(line);
      continue;
    }
    size_t equals = line.find('=');
    if (equals == std::string_view::npos || section == Section::None) Fail(RELAY_BAD_INDEX);
    std::string_view key = Trim(line.substr(0, equals)), value = Trim(line.substr(equals + 1));
    if (section == Section::Components) index.components.push_back(ParseComponent(key, value));
    if (section == Section::Products) index.products.push_back(ParseProduct(key, value));
  }
  CheckReferences(index);
  index.digest = Sha256OfBytes(whole.data(), whole.size());
  return index;
}

namespace {

void AppendComponents(std::string &text, const Index &index, bool patterns) {
  for (const ComponentEntry &c : index.components)
    if (IsPatternEntity(c.entity) == patterns)
      text += c.id + "=" + std::to_string(c.size) + " " + c.sha256 + " " + c.path +
              (c.InArchive() ? " " + std::to_string(c.offset) : "") + "\n";
}

}  // namespace

std::string IndexToText(const Index &index) {
  std::string text = "[PATTERN]\n";
  AppendComponents(text, index, true);
  text += "\n[ENGINE]\n";
  AppendComponents(text, index, false);
  text += "\n[All_Product]\n";
  for (const ProductEntry &p : index.products) {
    text += p.id + "=";
    for (size_t i = 0; i < p.components.size(); ++i) text += (i ? " " : "") + p.components[i];
    text += "\n";
  }
  text += "\n";
  return text;
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

void WriteIndexIfChanged(const std::string &directory, const Index &index) {
  WriteFileIfChanged(JoinPath(directory, ZELRELAY_INDEX_FILE), IndexToText(index));
}

std::string PackagePath(const ComponentEntry &entry) {
  return std::string(ZELRELAY_PACKAGES_DIR) + "/" + entry.id + ".zip";
}

const ComponentEntry *FindComponent(const Index &index, const std::string &id) {
  for (const ComponentEntry &c : index.components)
    if (c.id == id) return &c;
  return nullptr;
}
