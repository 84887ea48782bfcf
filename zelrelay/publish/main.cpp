// zelrelay-publish MANIFEST OUTPUT: turns payload folders described by a
// manifest into an upstream repository that relays can mirror.
#include <algorithm>
#include <cstdio>
#include <map>

#include "base/entity.h"
#include "base/files.h"
#include "base/listing.h"
#include "base/status.h"
#include "base/digest.h"
#include "packages/zip.h"
#include "publish/manifest.h"
#include "base/index.h"

namespace {

// Files below a payload folder, as member names relative to it, sorted so
// that archives come out the same every time.
void CollectFiles(const std::string &root, const std::string &relative, std::vector<ArchiveMember> &members) {
  std::string directory = relative.empty() ? root : JoinPath(root, relative);
  if (!IsDirectory(directory)) throw ManifestError("cannot read payload folder " + directory);
  std::vector<std::string> names = ListDirectory(directory);
  std::sort(names.begin(), names.end());
  for (const std::string &name : names) {
    std::string member = relative.empty() ? name : relative + "/" + name;
    std::string full = JoinPath(root, member);
    if (IsDirectory(full)) CollectFiles(root, member, members);
    else if (IsRegularFile(full)) members.push_back(ArchiveMember{member, full, {}});
  }
}

ComponentEntry PackComponent(const ManifestComponent &component, const std::string &base, const std::string &output) {
  ComponentEntry entry{component.entity, ExtractName(component.entity), 0, {}, {}};
  entry.path = std::string(ZELRELAY_PACKAGES_DIR) + "/" + entry.id + ".zip";
  std::vector<ArchiveMember> members;
  CollectFiles(JoinPath(base, component.payload), {}, members);
  if (members.empty()) throw ManifestError("payload folder " + component.payload + " holds no file");
  std::string target = JoinPath(output, entry.path);
  TempFile temp = CreateTempFile(target);
  WriteZip(temp.file.fd, members, true);
  CommitTempFile(temp);
  entry.sha256 = Sha256OfFile(target, &entry.size);
  if (!component.signature.empty()) {
    std::optional<std::string> signature = ReadWholeFile(JoinPath(base, component.signature));
    if (!signature) throw ManifestError("missing signature file " + component.signature);
    WriteFileAtomically(target + ".sig", *signature);
  }
  return entry;
}

ProductEntry ToProduct(const ManifestProduct &product, const Index &index) {
  ProductEntry entry{product.entity, ExtractName(product.entity), {}};
  for (const ZELRELAY_EntityItem &component : product.components) {
    std::string id = ExtractName(component);
    if (!FindComponent(index, id)) throw ManifestError("product " + entry.id + " names unknown component " + id);
    entry.components.push_back(id);
  }
  return entry;
}

int Run(const std::string &manifestPath, const std::string &output) {
  std::optional<std::string> text = ReadWholeFile(manifestPath);
  if (!text) throw ManifestError("cannot read " + manifestPath);
  Manifest manifest = ParseManifest(*text);
  std::string base = ParentOf(manifestPath);
  MakeDirectory(output);
  MakeDirectory(JoinPath(output, ZELRELAY_PACKAGES_DIR));
  Index index;
  for (const ManifestComponent &component : manifest.components) {
    index.components.push_back(PackComponent(component, base, output));
    if (std::count_if(index.components.begin(), index.components.end(),
                      [&](const ComponentEntry &c) { return c.id == index.components.back().id; }) > 1)
      throw ManifestError("component " + index.components.back().id + " appears twice");
  }
  for (const ManifestProduct &product : manifest.products) index.products.push_back(ToProduct(product, index));
  WriteIndex(output, index);
  printf("published %zu components in %zu products to %s\n", index.components.size(), index.products.size(),
         output.c_str());
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s MANIFEST OUTPUT-DIRECTORY\n", argv[0]);
    return 2;
  }
  try {
    return Run(argv[1], argv[2]);
  } catch (const ManifestError &e) {
    fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], e.what());
  } catch (const RelayError &e) {
    fprintf(stderr, "%s: cannot write %s (status %d)\n", argv[0], argv[2], int(e.status));
  } catch (const std::exception &e) {
    fprintf(stderr, "%s: %s\n", argv[0], e.what());
  }
  return 1;
}
