// Digests, atomic writes, archives, merging and pruning.
#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <optional>

#include "base/compression.h"
#include "base/files.h"
#include "base/patch.h"
#include "base/served.h"
#include "base/status.h"
#include "fixture.h"
#include "base/digest.h"
#include "packages/extract.h"
#include "packages/partial.h"
#include "packages/storedzip.h"
#include "packages/zip.h"
#include "repository/merge.h"
#include "repository/prune.h"
#include "repository/rebuild.h"

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

// A partial that shrank since it was found cannot be gone on from: the
// transfer starts over, and what was summed of it must not count.
TEST(Partial, StartingOverForgetsWhatWasSummed) {
  TempDirectory dir;
  std::string whole(kWorthResuming + 1000, 'p');
  ComponentEntry entry;
  entry.size = whole.size();
  std::string digest = Sha256OfBytes(whole.data(), whole.size());
  entry.sha256 = digest;
  std::string target = dir / "c3t4.zip", partial = target + kPartialSuffix;
  Spill(partial, whole.substr(0, 4096));
  std::string state = "sha256=" + digest + "\nsize=" + std::to_string(entry.size) + "\nurl=u\nvalidator=v\n";
  if (setxattr(partial.c_str(), "user.zelrelay.resume", state.data(), state.size(), 0) != 0)
    GTEST_SKIP() << "no user extended attributes here";
  Meter meter;
  PartialFile file(target, entry, true, meter);
  ASSERT_EQ(file.Have(), 4096u);
  truncate(partial.c_str(), 100);
  file.Begin(ByteSink::Start::Resumed, "u", "v");
  ASSERT_EQ(file.Have(), 0u);
  file.Receive(whole.data(), whole.size());
  EXPECT_NO_THROW(file.Complete());
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

ino_t Inode(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? info.st_ino : 0;
}

// A file replaced as its text is made: unchanged, it is left as it was
// (the same file, never rewritten); changed anywhere, even past the first
// chunk compared, it is replaced whole.
TEST(AtomicWrite, AStreamedReplacementWritesOnlyWhatChanged) {
  std::string big(3 * kCopyChunk + 17, 'x');
  const struct {
    const char *what;
    std::optional<std::string> before;
    std::string after;
    bool replaced;
  } cases[] = {
      {"absent", std::nullopt, "new", true},
      {"the same", big, big, false},
      {"changed past the first chunk", big, big.substr(0, 2 * kCopyChunk) + "y" + big.substr(2 * kCopyChunk + 1), true},
      {"longer", big, big + "z", true},
      {"shorter", big, big.substr(0, big.size() - 1), true},
  };
  for (const auto &c : cases) {
    TempDirectory dir;
    if (c.before) Spill(dir / "merged.ini", *c.before);
    ino_t inode = Inode(dir / "merged.ini");
    FileReplacement file(dir / "merged.ini");
    for (size_t at = 0; at < c.after.size(); at += 1000) {  // as a writer gives it, in pieces
      file.text.append(c.after, at, 1000);
      file.Spill();
    }
    EXPECT_EQ(file.Commit(), c.replaced) << c.what;
    EXPECT_EQ(Slurp(dir / "merged.ini"), c.after) << c.what;
    EXPECT_EQ(Inode(dir / "merged.ini") != inode, c.replaced) << c.what;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1) << c.what;
  }
}

std::vector<std::string> Extracted(const std::string &root) {
  std::vector<std::string> names;
  for (const auto &entry : fs::recursive_directory_iterator(root))
    names.push_back(fs::relative(entry.path(), root).string());
  std::sort(names.begin(), names.end());
  return names;
}

// The status ExtractPackage ends with, in a child whose files cannot grow
// past 16 KiB: to bigger members the file system looks full.
int32_t Extract(const std::string &package, const std::string &destination) {
  pid_t child = fork();
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);  // EFBIG instead
    rlimit limit{16 << 10, 16 << 10};
    FileDescriptor file{open(package.c_str(), O_RDONLY | O_CLOEXEC)};
    int32_t status = RELAY_OK;
    try {
      if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(0);
      ExtractPackage({file.fd, 0, uint64_t(fs::file_size(package))}, destination);
    } catch (const RelayError &e) {
      status = e.status;
    }
    _exit(128 + status);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WEXITSTATUS(status) - 128;
}

TEST(Zip, ExtractsIntoTheDestinationOnly) {
  TempDirectory dir;
  fs::create_directories(dir / "out");
  FileDescriptor zip{open((dir / "p.zip").c_str(), O_RDWR | O_CREAT, 0644)};
  WriteZip(zip.fd, {{"a.txt", {}, "A"}, {"sub/b.txt", {}, "B"}}, Compression::Deflated);
  ASSERT_EQ(Extract(dir / "p.zip", dir / "out"), RELAY_OK);
  EXPECT_EQ(Extracted(dir / "out"), (std::vector<std::string>{"a.txt", "sub", "sub/b.txt"}));
  EXPECT_EQ(Slurp(dir / "out/sub/b.txt"), "B");
}

TEST(Zip, RefusesEntriesThatLeaveBeforeWritingAny) {
  for (const char *hostile : {"../escape.txt", "/tmp/relay-absolute.txt", "a/../../escape.txt"}) {
    TempDirectory dir;
    fs::create_directories(dir / "out");
    FileDescriptor zip{open((dir / "p.zip").c_str(), O_RDWR | O_CREAT, 0644)};
    WriteZip(zip.fd, {{"first.txt", {}, "1"}, {hostile, {}, "x"}}, Compression::Stored);
    EXPECT_EQ(Extract(dir / "p.zip", dir / "out"), RELAY_UNSAFE_ARCHIVE_ENTRY) << hostile;
    EXPECT_TRUE(Extracted(dir / "out").empty()) << hostile;
    EXPECT_FALSE(fs::exists(dir / "escape.txt"));
  }
}

constexpr time_t kMemberTime = 1000000000;

struct Member {
  Member(std::string n, std::string d, mode_t m = AE_IFREG | 0644, std::string l = {})
      : name(std::move(n)), data(std::move(d)), mode(m), link(std::move(l)) {}
  std::string name, data;
  mode_t mode;
  std::string link;  // a symbolic link's target
};

// Stored, so that a test can find a member's bytes and forge them; a zip or,
// by the name, a tar.gz.
void WritePackage(const std::string &path, const std::vector<Member> &members) {
  std::unique_ptr<archive, int (*)(archive *)> writer(archive_write_new(), archive_write_free);
  archive *w = writer.get();
  archive_write_set_format_filter_by_ext(w, path.c_str());
  archive_write_set_options(w, "zip:compression=store");
  ASSERT_EQ(archive_write_open_filename(w, path.c_str()), ARCHIVE_OK);
  for (const Member &m : members) {
    std::unique_ptr<archive_entry, void (*)(archive_entry *)> entry(archive_entry_new(), archive_entry_free);
    archive_entry_set_pathname(entry.get(), m.name.c_str());
    archive_entry_set_mode(entry.get(), m.mode);
    if (!m.link.empty()) archive_entry_set_symlink(entry.get(), m.link.c_str());
    archive_entry_set_size(entry.get(), la_int64_t(m.data.size()));
    archive_entry_set_mtime(entry.get(), kMemberTime, 0);
    ASSERT_EQ(archive_write_header(w, entry.get()), ARCHIVE_OK) << m.name;
    archive_write_data(w, m.data.data(), m.data.size());
  }
  archive_write_close(w);
}

// A member's compressed and uncompressed sizes, side by side as zip headers hold them.
std::string Sizes(uint32_t compressed, uint32_t uncompressed) {
  std::string bytes;
  for (uint32_t size : {compressed, uncompressed})
    for (int shift = 0; shift < 32; shift += 8) bytes += char(size >> shift & 0xff);
  return bytes;
}

// A destination that already holds a file and a directory.
std::string Destination(const TempDirectory &dir) {
  fs::create_directories(dir / "out/old");
  Spill(dir / "out/old/kept.txt", "kept");
  Spill(dir / "out/note", "old note");
  return dir / "out";
}

TEST(Zip, ExtractsPlainFilesWithSafeModesAndMergesIntoTheDestination) {
  TempDirectory dir;
  std::string out = Destination(dir);
  WritePackage(dir / "p.zip",
               {{"./f.txt", "F"}, {"a/./b", "B"}, {"setuid", "S", AE_IFREG | 04777},
                {"writable", "W", AE_IFREG | 06666}, {"d", "", AE_IFDIR | 01777}, {"old/new.txt", "N"},
                {"note", "new note"}});
  ASSERT_EQ(Extract(dir / "p.zip", out), RELAY_OK);
  EXPECT_EQ(Extracted(out), (std::vector<std::string>{"a", "a/b", "d", "f.txt", "note", "old", "old/kept.txt",
                                                      "old/new.txt", "setuid", "writable"}));
  EXPECT_EQ(Slurp(out + "/note"), "new note");
  const std::pair<const char *, mode_t> modes[] = {
      {"f.txt", 0644}, {"setuid", 0755}, {"writable", 0644}, {"d", 0755}, {"a", 0755}};
  for (auto [name, mode] : modes) {
    struct stat info {};
    ASSERT_EQ(stat((out + "/" + name).c_str(), &info), 0) << name;
    EXPECT_EQ(info.st_mode & 07777, mode) << name;
    EXPECT_TRUE(S_ISDIR(info.st_mode) || info.st_mtime == kMemberTime) << name;
  }
}

TEST(Zip, RefusesUnsoundPackagesAndLeavesTheDestinationAsItWas) {
  std::string longName(300, 'n');
  const struct {
    const char *what;
    std::vector<Member> members;
    std::string from, to;  // forged in the written package
    int32_t status;
  } cases[] = {
      {"links", {{"y", "", AE_IFLNK | 0777, "."}, {"s", "", AE_IFLNK | 0777, "y/../outside"}}, "", "",
       RELAY_UNSUPPORTED_MEMBER},
      {"bad CRC", {{"a.txt", "A"}, {"f.txt", "payload"}}, "payload", "paxload", RELAY_ARCHIVE_ERROR},
      {"longer than declared", {{"f.txt", "0123456789"}}, Sizes(10, 10), Sizes(10, 4), RELAY_ARCHIVE_ERROR},
      // the long name would fail first if sizes were judged only when written
      {"bomb", {{longName, "A"}, {"f.txt", "bomb"}}, Sizes(4, 4), Sizes(4, 0x7ffffff0), RELAY_ARCHIVE_ERROR},
      {"long name", {{"a.txt", "A"}, {longName, "x"}}, "", "", RELAY_NAME_TOO_LONG},
      {"full", {{"a.txt", "A"}, {"big", std::string(65536, 'b')}}, "", "", RELAY_NO_SPACE},
      {"tar.gz", {{"a.txt", "A"}}, "", "", RELAY_NOT_A_ZIP},
      // whatever order the directory lists them in, nothing moves before the clash
      {"file over a directory", {{"old", "x"}, {"a", "A"}, {"b", "B"}, {"c", "C"}}, "", "", RELAY_BAD_DESTINATION},
      {"directory over a file", {{"note/x", "x"}, {"a", "A"}, {"b", "B"}, {"c", "C"}}, "", "", RELAY_BAD_DESTINATION},
  };
  for (const auto &c : cases) {
    TempDirectory dir;
    std::string out = Destination(dir), package = dir / (c.status == RELAY_NOT_A_ZIP ? "p.tar.gz" : "p.zip");
    WritePackage(package, c.members);
    std::string bytes = Slurp(package);
    for (size_t at = bytes.find(c.from); !c.from.empty() && at != std::string::npos; at = bytes.find(c.from, at + 1))
      bytes.replace(at, c.from.size(), c.to);
    Spill(package, bytes);
    EXPECT_EQ(Extract(package, out), c.status) << c.what;
    EXPECT_EQ(Extracted(out), (std::vector<std::string>{"note", "old", "old/kept.txt"})) << c.what;
    EXPECT_EQ(Slurp(out + "/note"), "old note") << c.what;
  }
}

Index Versions(const std::vector<const char *> &ids) {
  Index index;
  ProductEntry product{Entity("c3t4"), "c3t4v0.0000.0l-1p-1r-1o-1", {}, {}};
  for (const char *id : ids) {
    ComponentEntry c{Entity(id), index.Keep(ExtractName(Entity(id))), 1, index.Keep(std::string(64, 'a')), {}};
    c.path = index.Keep(PackagePath(c));
    product.components.push_back(c.id);
    index.components.push_back(c);
  }
  index.products.push_back(product);
  return index;
}

// As a duplication prunes: drops the superseded, and tells their files.
std::vector<std::string> Prune(Index &index, int64_t keep) {
  std::vector<const ComponentEntry *> records;
  for (const ComponentEntry &c : index.components) records.push_back(&c);
  std::vector<std::string> files;
  std::set<std::string_view> ids;  // of the pool, not of the records that go
  for (const ComponentEntry *d : SupersededVersions(records, keep)) {
    files.emplace_back(d->path);
    ids.insert(d->id);
  }
  std::erase_if(index.components, [&](const ComponentEntry &c) { return ids.count(c.id) > 0; });
  for (ProductEntry &p : index.products) std::erase_if(p.components, [&](std::string_view id) { return ids.count(id); });
  return files;
}

TEST(Prune, KeepsTheNewestVersionsOfEachComponent) {
  Index index = Versions({"c3t4v1.1l1", "c3t4v1.3l1", "c3t4v1.2l1", "c3t4v1.1l2", "c3t4v1.05l1"});
  std::vector<std::string> removed = Prune(index, 2);
  EXPECT_EQ(removed, (std::vector<std::string>{"packages/c3t4v1.1000.0l1p-1r-1o-1.zip",
                                               "packages/c3t4v1.0500.0l1p-1r-1o-1.zip"}));
  EXPECT_EQ(index.products[0].components,
            (std::vector<std::string_view>{"c3t4v1.3000.0l1p-1r-1o-1", "c3t4v1.2000.0l1p-1r-1o-1",
                                      "c3t4v1.1000.0l2p-1r-1o-1"}));
  Index all = Versions({"c3t4v1.1l1", "c3t4v1.3l1"});
  EXPECT_TRUE(Prune(all, 0).empty());
  EXPECT_EQ(all.components.size(), 2u);
}

// What nothing names any more is retired with its signature, and deleted
// only once its grace period has passed; what is named, a signature whose
// package the clean-up took, partials and temporaries are never touched.
TEST(Retired, OnlyWhatNothingNamesGoesAndOnlyAfterItsGrace) {
  TempDirectory repo;
  fs::create_directories(repo / "packages");
  for (const char *name : {"a.zip", "a.zip.sig", "b.zip", "b.zip.sig", "c.zip.sig", "p_merged.zip", "q_merged.zip",
                           "d.zip.partial", ".zelrelay-x"})
    Spill((repo.path / "packages" / name).string(), "x");
  Retired retired;
  Unretire(retired, "packages/b.zip");
  std::set<std::string_view> named = {"packages/a.zip", "packages/p_merged.zip"};
  RetireUnnamed(repo.path.string(), [&](std::string_view path) { return named.count(path) > 0; }, retired, 100);
  WriteRetired(repo.path.string(), retired);
  retired = ReadRetired(repo.path.string());
  std::vector<std::string> listed;
  for (const auto &[path, since] : retired.since) listed.push_back(path + "@" + std::to_string(since));
  EXPECT_EQ(listed, (std::vector<std::string>{"packages/b.zip@100", "packages/b.zip.sig@100",
                                              "packages/q_merged.zip@100"}));
  SweepRetired(repo.path.string(), retired, 699, 600);
  EXPECT_TRUE(fs::exists(repo / "packages/b.zip"));
  SweepRetired(repo.path.string(), retired, 700, 600);
  WriteRetired(repo.path.string(), retired);
  std::vector<std::string> left;
  for (const auto &entry : fs::directory_iterator(repo / "packages")) left.push_back(entry.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".zelrelay-x", "a.zip", "a.zip.sig", "c.zip.sig", "d.zip.partial",
                                            "p_merged.zip"}));
  EXPECT_FALSE(fs::exists(repo / ".zelrelay.retired"));
}

TEST(Merge, SplitsByMaxmergeAndListsWhereEachMembersBytesLie) {
  TempDirectory repo;
  PublishUpstream(repo.path.string(), {{"c3t4v1.05.3", {"c3t4v1.05.3l1", "c3t4v1.05.3l2", "c3t4v1.05.3l4"}}});
  Index index = *ReadIndex(repo.path.string());
  std::vector<MemberSource> sources;
  for (const ComponentEntry &c : index.components) sources.push_back({c, repo / c.path, 0, std::nullopt});
  std::vector<ComponentEntry> missing;
  MergedBuild build = BuildMergedArchives(repo.path.string(), index.products[0], sources, 2, missing);
  CommitMergedArchives(build);
  Index second =
      ParseIndex(ReadMemberBytes(repo / "packages/c3t4l-1p-1r-1o-1_2_merged.zip", kMergedManifest, 1 << 20));
  ASSERT_EQ(second.components.size(), 1u);
  EXPECT_EQ(second.components[0].id, "c3t4v1.0500.3l4p-1r-1o-1");
  EXPECT_EQ(second.products[0].id, "c3t4v1.0500.3l-1p-1r-1o-1");
  // Scanned from the archives, then read back from merged.ini: the same
  // members, each at an offset whose bytes are the package.
  Index scanned = ReadMergedArchives(repo.path.string(), Retired{}).index;
  WriteMergedIndex(repo.path.string(), IndexRecords(scanned));
  Index cached = ReadMergedArchives(repo.path.string(), Retired{}).index;
  EXPECT_EQ(IndexToText(cached), IndexToText(scanned));
  ASSERT_EQ(cached.components.size(), 3u);
  for (const ComponentEntry &c : cached.components) {
    FileDescriptor archive{open((repo / c.path).c_str(), O_RDONLY)};
    EXPECT_EQ(Sha256OfRange(archive.fd, c.offset, c.size), c.sha256) << c.id << " in " << c.path;
    EXPECT_EQ(c.offset % 4096, 0u) << c.id << " in " << c.path;
    std::string bytes = Slurp(repo / c.path).substr(c.offset, c.size);
    EXPECT_EQ(RecordedCrc(archive.fd, c.offset, c.size, PackagePath(c).size()), Crc32(0, bytes.data(), bytes.size()));
  }
}

// Copied members start on a block, so file systems that share extents can
// clone them, and still read back. Each lead puts the first copied member's
// data on a block, 1, 3 or 4 bytes short of one (too short for a field), or far.
TEST(StoredZip, CopiedMembersStartOnABlockAndReadBack) {
  std::string source;
  for (size_t i = 0; source.size() < 20000; ++i) source += "PK\3\4 " + std::to_string(i);
  for (size_t lead : {4007, 4006, 4004, 4003, 0}) {
    SCOPED_TRACE(lead);
    TempDirectory dir;
    Spill(dir / "source", source);
    std::vector<StoredMember> members = {{"zelrelay.ini", "", std::string(lead, 'i'), 0, 0, {}, {}}};
    for (uint64_t size : {4097, 0, 1, 4096, 7})  // at offset size; CRC known when even
      members.push_back({"packages/" + std::to_string(size) + ".zip", dir / "source", "", size, size,
                         size % 2 ? std::nullopt : std::optional(Crc32(0, source.data() + size, size)), {}});
    FileDescriptor zip{open((dir / "m.zip").c_str(), O_RDWR | O_CREAT, 0644)};
    std::vector<uint64_t> offsets = WriteStoredZip(zip.fd, members);
    std::map<std::string, MemberSpan> spans = StoredMemberSpans(dir / "m.zip");
    for (size_t i = 0; i < members.size(); ++i) {
      const StoredMember &m = members[i];
      std::string bytes = i == 0 ? m.bytes : source.substr(m.offset, m.size);
      EXPECT_EQ(offsets[i] % 4096, i == 0 ? 42u : 0u) << m.name;  // from memory: not padded
      EXPECT_EQ(spans[m.name].offset, offsets[i]) << m.name;
      EXPECT_EQ(ReadMemberBytes(dir / "m.zip", m.name, 1 << 20), bytes) << m.name;
      std::optional<uint32_t> crc = Crc32(0, bytes.data(), bytes.size());
      EXPECT_EQ(RecordedCrc(zip.fd, offsets[i], bytes.size(), m.name.size()), crc) << m.name;
      EXPECT_EQ(RecordedCrc(zip.fd, offsets[i] + 1, bytes.size(), m.name.size()), std::nullopt) << m.name;
    }
  }
}

TEST(StoredZip, ZipSixtyFourWhereTheMemberCountNeedsIt) {
  TempDirectory dir;
  std::vector<StoredMember> members(70000);
  for (size_t i = 0; i < members.size(); ++i) {
    members[i].name = "m" + std::to_string(i);
    members[i].bytes = std::to_string(i * 7);
  }
  for (size_t i : {65535, 69999}) {  // past the 16-bit count, copied so padded
    Spill(dir / members[i].name, members[i].bytes);
    members[i].file = dir / members[i].name;
    members[i].size = members[i].bytes.size();
  }
  FileDescriptor zip{open((dir / "big.zip").c_str(), O_RDWR | O_CREAT, 0644)};
  std::vector<uint64_t> offsets = WriteStoredZip(zip.fd, members);
  EXPECT_EQ(ReadMemberBytes(dir / "big.zip", "m69999", 64), std::to_string(69999 * 7));
  std::map<std::string, MemberSpan> spans = StoredMemberSpans(dir / "big.zip");
  ASSERT_EQ(spans.size(), members.size());
  EXPECT_EQ(spans["m69999"].offset, offsets.back());
  for (size_t i : {65535, 69999}) {
    EXPECT_EQ(offsets[i] % 4096, 0u);
    EXPECT_EQ(RecordedCrc(zip.fd, offsets[i], members[i].size, members[i].name.size()),
              Crc32(0, members[i].bytes.data(), members[i].size));
  }
}

}  // namespace

namespace {

// A served text keeps its last versions, each with a patch to the current
// one, and compressed copies of it; a version nobody here wrote (the
// module's clean-up rewrites the index) joins them.
TEST(Served, KeepsTheLastVersionsEachWithAPatchToTheCurrentOne) {
  TempDirectory dir;
  setenv("ZELRELAY_PATCH_VERSIONS", "3", 1);
  // Long enough that a patch says less than the compressed text.
  auto version = [](int n) {
    std::string text = "[PATTERN]\nx=" + std::to_string(n) + "\n";
    for (int line = 0; line < 300; ++line) text += "c" + std::to_string(line) + "=" + Sha256OfBytes(&line, 4) + "\n";
    return text;
  };
  auto patched = [&](const std::string &from) -> std::optional<std::string> {
    std::string sha = Sha256OfBytes(from.data(), from.size());
    std::optional<std::string> patch = ZstdDecompress(Slurp(dir / ("patches/merged.ini/" + sha + ".zst")), 1 << 20);
    return patch ? ApplyPatch(from, sha, *patch) : std::nullopt;
  };
  for (int n = 1; n <= 5; ++n) ServeText(dir.path.string(), "merged.ini", version(n));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / "patches/merged.ini"), fs::directory_iterator()), 2);
  EXPECT_EQ(patched(version(3)), version(5));
  EXPECT_EQ(patched(version(4)), version(5));
  EXPECT_EQ(ZstdDecompress(Slurp(dir / "merged.ini.zst"), 1 << 20), version(5));
  Spill(dir / "merged.ini", version(40));
  ServeText(dir.path.string(), "merged.ini", version(6));
  EXPECT_EQ(patched(version(40)), version(6));
  EXPECT_EQ(patched(version(5)), version(6));
  std::string dropped = version(4);
  EXPECT_FALSE(fs::exists(dir / ("patches/merged.ini/" + Sha256OfBytes(dropped.data(), dropped.size()) + ".zst")));
  unsetenv("ZELRELAY_PATCH_VERSIONS");
}

std::string Gunzip(const std::string &path) {
  std::string text;
  gzFile file = gzopen(path.c_str(), "rb");
  char buffer[1 << 16];
  for (int got; file != nullptr && (got = gzread(file, buffer, sizeof buffer)) > 0;) text.append(buffer, size_t(got));
  if (file != nullptr) gzclose(file);
  return text;
}

// A text served as it is made: its copies, and its version in the history,
// hold exactly it. Unchanged with its copy in place, it is only read;
// unchanged and never served, it gets its copies and stays as it was.
TEST(Served, AStreamedTextIsCopiedAsItIsMade) {
  std::string big;
  for (int line = 0; big.size() < 3 * kCopyChunk; ++line) big += "c" + std::to_string(line) + "=x\n";
  std::string changed = big + "d=1\n";  // past the chunks compared
  const struct {
    const char *what;
    std::optional<std::string> before;
    bool served;
    const std::string &after;
    bool replaced, copied;
  } cases[] = {
      {"absent", std::nullopt, false, big, true, true},
      {"the same, served", big, true, big, false, false},
      {"the same, never served", big, false, big, false, true},
      {"changed past the first chunk", big, true, changed, true, true},
  };
  for (const auto &c : cases) {
    TempDirectory dir;
    std::string text = dir / "server.ini";
    if (c.before && c.served) ServeText(dir.path.string(), "server.ini", *c.before);
    else if (c.before) Spill(text, *c.before);
    ino_t inode = Inode(text), zst = Inode(text + ".zst");
    ServedFile file(dir.path.string(), "server.ini");
    for (size_t at = 0; at < c.after.size(); at += 1000) {
      file.text.append(c.after, at, 1000);
      file.Spill();
    }
    file.Commit();
    EXPECT_EQ(Slurp(text), c.after) << c.what;
    EXPECT_EQ(Inode(text) != inode, c.replaced) << c.what;
    EXPECT_EQ(Inode(text + ".zst") != zst, c.copied) << c.what;
    EXPECT_EQ(ZstdDecompress(Slurp(text + ".zst"), 1 << 24), c.after) << c.what;
    EXPECT_EQ(Gunzip(text + ".gz"), c.after) << c.what;
    std::string newest = "1." + Sha256OfBytes(c.after.data(), c.after.size()) + ".zst";
    if (c.before && c.before != c.after) newest[0] = '2';
    EXPECT_EQ(ZstdDecompress(Slurp(dir / (".zelrelay.history/server.ini/" + newest)), 1 << 24), c.after) << c.what;
    for (const auto &entry : fs::directory_iterator(dir.path))
      EXPECT_FALSE(entry.path().filename().string().starts_with(".zelrelay-")) << c.what;
  }
}

// A copy put in place stays there: a run whose rebuild failed after that
// puts its copies in place again (KeepFinished) without renaming it twice.
TEST(Rebuild, ACopyIsPutInPlaceOnce) {
  TempDirectory repo;
  fs::create_directories(repo / "packages");
  Spill(repo / "packages/a.zip.partial", "a");
  Holdings held(repo.path.string());
  ComponentEntry entry;
  entry.id = "a";
  entry.path = "packages/a.zip";
  CopiedPackages copied;
  copied.Add(entry, CopiedPackage{0});
  PutInPlace(repo.path.string(), held, copied);
  EXPECT_NO_THROW(PutInPlace(repo.path.string(), held, copied));
  EXPECT_EQ(Slurp(repo / "packages/a.zip"), "a");
}

}  // namespace
