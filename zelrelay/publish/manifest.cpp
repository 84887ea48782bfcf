// The publishing manifest.
#include "publish/manifest.h"

#include "base/entity.h"
#include "base/text.h"

namespace {

[[noreturn]] void Refuse(int line, const std::string &why) {
  throw ManifestError("line " + std::to_string(line) + ": " + why);
}

ZELRELAY_EntityItem Identifier(std::string_view text, int line) {
  ZELRELAY_EntityItem entity;
  if (!ParseIdentifier(text, entity)) Refuse(line, "bad identifier \"" + std::string(text) + "\"");
  if (entity.version.minor >= 10000) Refuse(line, "minor version above 9999");
  return entity;
}

void SetComponentKey(ManifestComponent &c, std::string_view key, std::string_view value, int line) {
  if (key == "payload") c.payload = value;
  else if (key == "signature") c.signature = value;
  else Refuse(line, "unknown component key \"" + std::string(key) + "\"");
}

void SetProductKey(ManifestProduct &p, std::string_view key, std::string_view value, int line) {
  if (key != "components") Refuse(line, "unknown product key \"" + std::string(key) + "\"");
  for (std::string_view word = NextWord(value); !word.empty(); word = NextWord(value))
    p.components.push_back(Identifier(word, line));
}

}  // namespace

Manifest ParseManifest(std::string_view text) {
  Manifest manifest;
  enum { None, Component, Product } section = None;
  IniLine row;
  while (NextIniLine(text, row)) {
    int line = row.number;
    if (row.text.front() == '[') {
      if (row.kind == IniLine::Bad) Refuse(line, "unclosed section header");
      std::string_view header = Trim(row.text.substr(1, row.text.size() - 2));
      size_t space = header.find(' ');
      std::string_view kind = header.substr(0, space);
      std::string_view id = space == std::string_view::npos ? std::string_view{} : Trim(header.substr(space));
      if (kind == "component") {
        manifest.components.push_back({Identifier(id, line), {}, {}});
        section = Component;
      } else if (kind == "product") {
        manifest.products.push_back({Identifier(id, line), {}});
        section = Product;
      } else {
        Refuse(line, "sections are [component ID] and [product ID]");
      }
      continue;
    }
    if (row.kind != IniLine::Entry || section == None) Refuse(line, "expected key = value in a section");
    if (section == Component) SetComponentKey(manifest.components.back(), row.key, row.value, line);
    else SetProductKey(manifest.products.back(), row.key, row.value, line);
  }
  for (const ManifestComponent &c : manifest.components)
    if (c.payload.empty()) throw ManifestError("component " + ExtractName(c.entity) + " has no payload");
  return manifest;
}
