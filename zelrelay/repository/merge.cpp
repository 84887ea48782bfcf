// Merged archives.
#include "repository/merge.h"

#include <algorithm>

#include "base/entity.h"
#include "base/files.h"
#include "packages/zip.h"

namespace {

std::string PartName(const ProductEntry &product, size_t part) {
  std::string base = ComponentName(product.entity);
  return part == 0 ? base + ZELRELAY_MERGED_SUFFIX : base + "_" + std::to_string(part + 1) + ZELRELAY_MERGED_SUFFIX;
}

void WritePart(const std::string &repository, const ProductEntry &product,
               const std::vector<const ComponentEntry *> &members, size_t part) {
  Index manifest;
  manifest.products.push_back(ProductEntry{product.entity, product.id, {}});
  std::vector<ArchiveMember> files(1);
  for (const ComponentEntry *c : members) {
    manifest.components.push_back(*c);
    manifest.products[0].components.push_back(c->id);
    files.push_back(ArchiveMember{c->path, JoinPath(repository, c->path), {}});
  }
  files[0] = ArchiveMember{kMergedManifest, {}, IndexToText(manifest)};
  TempFile temp = CreateTempFile(JoinPath(JoinPath(repository, ZELRELAY_PACKAGES_DIR), PartName(product, part)));
  WriteZip(temp.file.fd, files, false);
  CommitTempFile(temp);
}

}  // namespace

void BuildMergedArchives(const std::string &repository, const Index &index, const ProductEntry &product,
                         int64_t maxmerge) {
  std::vector<const ComponentEntry *> components;
  for (const std::string &id : product.components)
    if (const ComponentEntry *c = FindComponent(index, id)) components.push_back(c);
  size_t per = maxmerge > 0 ? size_t(maxmerge) : std::max<size_t>(components.size(), 1);
  size_t parts = (components.size() + per - 1) / per;
  for (size_t part = 0; part < parts; ++part) {
    size_t from = part * per, to = std::min(components.size(), from + per);
    WritePart(repository, product,
              std::vector<const ComponentEntry *>(components.begin() + long(from), components.begin() + long(to)),
              part);
  }
  std::string directory = JoinPath(repository, ZELRELAY_PACKAGES_DIR);
  for (size_t part = parts; IsRegularFile(JoinPath(directory, PartName(product, part))); ++part)
    RemoveFile(JoinPath(directory, PartName(product, part)));
}

bool IsMergedArchiveName(const std::string &name) {
  std::string_view suffix = ZELRELAY_MERGED_SUFFIX;
  return name.size() >= suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}
