// Temporary repositories for the relay's tests.
#include "fixture.h"

#include <fcntl.h>

#include <fstream>
#include <sstream>

#include "base/files.h"
#include "base/digest.h"
#include "packages/zip.h"

TempDirectory::TempDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "relay-test-XXXXXX").string();
  path = mkdtemp(pattern.data());
}

TempDirectory::~TempDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

ZELRELAY_EntityItem Entity(const char *id) {
  ZELRELAY_EntityItem entity;
  EXPECT_TRUE(ParseIdentifier(id, entity)) << id;
  return entity;
}

std::string Slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Spill(const std::string &path, const std::string &content) {
  std::ofstream(path, std::ios::binary) << content;
}

namespace {

void WritePackage(const std::string &directory, Index &index, ComponentEntry &c, const std::string &text) {
  std::string file = directory + "/" + std::string(c.path);
  FileDescriptor out{open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
  WriteZip(out.fd, {ArchiveMember{std::string(c.id) + ".txt", {}, text}}, Compression::Deflated);
  c.sha256 = index.Keep(Sha256OfFile(file, &c.size));
}

}  // namespace

void PublishUpstream(const std::string &directory, const std::vector<ProductLayout> &products) {
  std::filesystem::create_directories(directory + "/packages");
  Index index;
  for (const ProductLayout &layout : products) {
    ProductEntry product{Entity(layout.id), index.Keep(ExtractName(Entity(layout.id))), {}, {}};
    for (const char *id : layout.components) {
      ComponentEntry c{Entity(id), index.Keep(ExtractName(Entity(id))), 0, {}, {}};
      c.path = index.Keep(PackagePath(c));
      product.components.push_back(c.id);
      if (FindComponent(index, c.id)) continue;
      WritePackage(directory, index, c, std::string(c.id));
      index.components.push_back(c);
    }
    index.products.push_back(product);
  }
  WriteIndex(directory, index);
}

void Republish(const std::string &directory, const char *component) {
  Index index = *ReadIndex(directory);
  std::string id = ExtractName(Entity(component));
  for (ComponentEntry &c : index.components)
    if (c.id == id) WritePackage(directory, index, c, id + " rebuilt " + std::string(c.sha256));
  WriteIndex(directory, index);
}
