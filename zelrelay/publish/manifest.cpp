// The publishing manifest.
#include "publish/manifest.h"

#include <map>

#include "base/entity.h"
#include "base/text.h"

void RefuseLine(int line, const std::string &why) { throw ManifestError("line " + std::to_string(line) + ": " + why); }

namespace {

ZELRELAY_EntityItem Identifier(std::string_view text, int line) {
  ZELRELAY_EntityItem entity;
  if (!ParseIdentifier(text, entity)) RefuseLine(line, "bad identifier \"" + std::string(text) + "\"");
  if (entity.version.minor >= 10000) RefuseLine(line, "minor version above 9999");
  return entity;
}

void SetComponentKey(ManifestComponent &c, std::string_view key, std::string_view value, int line) {
  if (key == "payload") {
    c.payload = value;
    c.payloadLine = line;
  } else if (key == "signature") {
    c.signature = value;
    c.signatureLine = line;
  } else {
    RefuseLine(line, "unknown component key \"" + std::string(key) + "\"");
  }
}

void SetProductKey(ManifestProduct &p, std::string_view key, std::string_view value, int line) {
  if (key != "components") RefuseLine(line, "unknown product key \"" + std::string(key) + "\"");
  for (std::string_view word = NextWord(value); !word.empty(); word = NextWord(value)) {
    p.components.push_back(Identifier(word, line));
    p.componentLines.push_back(line);
  }
}

// What the lines say together: each component once and with a payload,
// each product once and of components given.
void CheckWhole(const Manifest &manifest) {
  std::map<std::string, int> components, products;
  for (const ManifestComponent &c : manifest.components) {
    std::string id = ExtractName(c.entity);
    if (c.payload.empty()) RefuseLine(c.line, "component " + id + " has no payload");
    auto [at, added] = components.emplace(id, c.line);
    if (!added)
      RefuseLine(c.line, "component " + id + " given twice (first on line " + std::to_string(at->second) + ")");
  }
  for (const ManifestProduct &p : manifest.products) {
    std::string id = ExtractName(p.entity);
    auto [at, added] = products.emplace(id, p.line);
    if (!added) RefuseLine(p.line, "product " + id + " given twice (first on line " + std::to_string(at->second) + ")");
    for (size_t i = 0; i < p.components.size(); ++i)
      if (!components.count(ExtractName(p.components[i])))
        RefuseLine(p.componentLines[i], "product " + id + " names " + ExtractName(p.components[i]) +
                                        ", which no [component] section gives");
  }
}

}  // namespace

Manifest ParseManifest(std::string_view text) {
  Manifest manifest;
  enum { None, Component, Product } section = None;
  IniLine row;
  while (NextIniLine(text, row)) {
    int line = row.number;
    if (row.text.front() == '[') {
      if (row.kind == IniLine::Bad) RefuseLine(line, "unclosed section header");
      std::string_view header = Trim(row.text.substr(1, row.text.size() - 2));
      size_t space = header.find(' ');
      std::string_view kind = header.substr(0, space);
      std::string_view id = space == std::string_view::npos ? std::string_view{} : Trim(header.substr(space));
      if (kind == "component") {
        manifest.components.push_back({Identifier(id, line), line, {}, {}, 0, 0});
        section = Component;
      } else if (kind == "product") {
        manifest.products.push_back({Identifier(id, line), line, {}, {}});
        section = Product;
      } else {
        RefuseLine(line, "sections are [component ID] and [product ID]");
      }
      continue;
    }
    if (row.kind != IniLine::Entry || section == None) RefuseLine(line, "expected key = value in a section");
    if (section == Component) SetComponentKey(manifest.components.back(), row.key, row.value, line);
    else SetProductKey(manifest.products.back(), row.key, row.value, line);
  }
  CheckWhole(manifest);
  return manifest;
}
