// Digests, atomic writes, archives, merging and pruning.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>

#include "base/files.h"
#include "base/status.h"
#include "fixture.h"
#include "packages/digest.h"
#include "packages/zip.h"
#include "repository/merge.h"
#include "repository/prune.h"

namespace {

namespace fs = std::filesystem;

TEST(Digest, KnownValuesForBytesAndFiles) {
  EXPECT_EQ(Sha256OfBytes("", 0), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  TempDirectory dir;
  std::string big(300000, 'x');  // crosses copy chunks
  Spill(dir / "f", big);
  uint64_t size = 0;
  EXPECT_EQ(Sha256OfFile(dir / "f", &size), Sha256OfBytes(big.data(), big.size()));
  EXPECT_EQ(size, big.size());
  EXPECT_THROW(Sha256OfFile(dir / "missing"), RelayError);
}

TEST(AtomicWrite, ReplacesWholeAndLeavesNoTemporaryBehind) {
  TempDirectory dir;
  Spill(dir / "server.ini", "old");
  WriteFileAtomically(dir / "server.ini", "new");
  EXPECT_EQ(Slurp(dir / "server.ini"), "new");
  {
    TempFile abandoned = CreateTempFile(dir / "server.ini");
    WriteAll(abandoned.file.fd, "partial", 7);
  }
  EXPECT_EQ(Slurp(dir / "server.ini"), "new");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

std::vector<std::string> Extracted(const std::string &root) {
  std::vector<std::string> names;
  for (const auto &entry : fs::recursive_directory_iterator(root))
    names.push_back(fs::relative(entry.path(), root).string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(Zip, ExtractsIntoTheDestinationOnly) {
  TempDirectory dir;
  fs::create_directories(dir / "out");
  FileDescriptor zip{open((dir / "p.zip").c_str(), O_RDWR | O_CREAT, 0644)};
  WriteZip(zip.fd, {{"a.txt", {}, "A"}, {"sub/b.txt", {}, "B"}}, true);
  ExtractArchive(zip.fd, dir / "out");
  EXPECT_EQ(Extracted(dir / "out"), (std::vector<std::string>{"a.txt", "sub", "sub/b.txt"}));
  EXPECT_EQ(Slurp(dir / "out/sub/b.txt"), "B");
}

TEST(Zip, RefusesEntriesThatLeaveBeforeWritingAny) {
  for (const char *hostile : {"../escape.txt", "/tmp/relay-absolute.txt", "a/../../escape.txt"}) {
    TempDirectory dir;
    fs::create_directories(dir / "out");
    FileDescriptor zip{open((dir / "p.zip").c_str(), O_RDWR | O_CREAT, 0644)};
    WriteZip(zip.fd, {{"first.txt", {}, "1"}, {hostile, {}, "x"}}, false);
    try {
      ExtractArchive(zip.fd, dir / "out");
      ADD_FAILURE() << hostile;
    } catch (const RelayError &e) {
      EXPECT_EQ(e.status, RELAY_UNSAFE_ARCHIVE_ENTRY) << hostile;
    }
    EXPECT_TRUE(Extracted(dir / "out").empty()) << hostile;
    EXPECT_FALSE(fs::exists(dir / "escape.txt"));
  }
}

Index Versions(const std::vector<const char *> &ids) {
  Index index;
  ProductEntry product{Entity("c3t4"), "c3t4v0.0000.0l-1p-1r-1o-1", {}};
  for (const char *id : ids) {
    ComponentEntry c{Entity(id), ExtractName(Entity(id)), 1, std::string(64, 'a'), {}};
    c.path = "packages/" + c.id + ".zip";
    product.components.push_back(c.id);
    index.components.push_back(c);
  }
  index.products.push_back(product);
  return index;
}

// As a duplication prunes: drop the superseded, then delete what no kept
// component uses.
std::vector<std::string> Prune(Index &index, int64_t keep) {
  std::vector<ComponentEntry> dropped = SupersededVersions(index, keep);
  for (const ComponentEntry &d : dropped) {
    std::erase_if(index.components, [&](const ComponentEntry &c) { return c.id == d.id; });
    for (ProductEntry &p : index.products) std::erase(p.components, d.id);
  }
  return UnusedPackageFiles(index, dropped);
}

TEST(Prune, KeepsTheNewestVersionsOfEachComponent) {
  Index index = Versions({"c3t4v1.1l1", "c3t4v1.3l1", "c3t4v1.2l1", "c3t4v1.1l2", "c3t4v1.05l1"});
  std::vector<std::string> removed = Prune(index, 2);
  EXPECT_EQ(removed, (std::vector<std::string>{"packages/c3t4v1.1000.0l1p-1r-1o-1.zip",
                                               "packages/c3t4v1.0500.0l1p-1r-1o-1.zip"}));
  EXPECT_EQ(index.products[0].components,
            (std::vector<std::string>{"c3t4v1.3000.0l1p-1r-1o-1", "c3t4v1.2000.0l1p-1r-1o-1",
                                      "c3t4v1.1000.0l2p-1r-1o-1"}));
  Index all = Versions({"c3t4v1.1l1", "c3t4v1.3l1"});
  EXPECT_TRUE(Prune(all, 0).empty());
  EXPECT_EQ(all.components.size(), 2u);
}

TEST(Prune, SparesAPackageThatAKeptEntryStillUses) {
  Index index = Versions({"c3t4v1.1l1", "c3t4v1.2l1"});
  index.components[0].path = index.components[1].path;
  EXPECT_TRUE(Prune(index, 1).empty());
  EXPECT_EQ(index.components.size(), 1u);
}

TEST(Merge, SplitsByMaxmergeAndListsWhereEachMembersBytesLie) {
  TempDirectory repo;
  PublishUpstream(repo.path.string(), {{"c3t4v1.05.3", {"c3t4v1.05.3l1", "c3t4v1.05.3l2", "c3t4v1.05.3l4"}}});
  Index index = *ReadIndex(repo.path.string());
  Spill(repo / "packages/c3t4l-1p-1r-1o-1_3_merged.zip", "stale");
  std::vector<MemberSource> sources;
  for (const ComponentEntry &c : index.components) sources.push_back({c, repo / c.path, 0});
  std::vector<ComponentEntry> missing;
  MergedBuild build = BuildMergedArchives(repo.path.string(), index.products[0], sources, 2, missing);
  CommitMergedArchives(repo.path.string(), build);
  EXPECT_FALSE(fs::exists(repo / "packages/c3t4l-1p-1r-1o-1_3_merged.zip"));
  Index second =
      ParseIndex(ReadMemberBytes(repo / "packages/c3t4l-1p-1r-1o-1_2_merged.zip", kMergedManifest, 1 << 20));
  ASSERT_EQ(second.components.size(), 1u);
  EXPECT_EQ(second.components[0].id, "c3t4v1.0500.3l4p-1r-1o-1");
  EXPECT_EQ(second.products[0].id, "c3t4v1.0500.3l-1p-1r-1o-1");
  // Scanned from the archives, then read back from merged.ini: the same
  // members, each at an offset whose bytes are the package.
  Index scanned = ReadMergedArchives(repo.path.string());
  WriteMergedIndex(repo.path.string(), scanned);
  Index cached = ReadMergedArchives(repo.path.string());
  EXPECT_EQ(IndexToText(cached), IndexToText(scanned));
  ASSERT_EQ(cached.components.size(), 3u);
  for (const ComponentEntry &c : cached.components) {
    FileDescriptor archive{open((repo / c.path).c_str(), O_RDONLY)};
    EXPECT_EQ(Sha256OfRange(archive.fd, c.offset, c.size), c.sha256) << c.id << " in " << c.path;
  }
}

}  // namespace
