// Index text, identifiers and the path policy.
#include <gtest/gtest.h>

#include "base/compression.h"
#include "base/digest.h"
#include "base/patch.h"
#include "base/paths.h"
#include "base/status.h"
#include "base/text.h"
#include "fixture.h"
#include "base/index.h"
#include "sources/directory.h"

namespace {

const std::string kSha(64, 'a');

RelayStatus ParseStatus(const std::string &text) {
  try {
    ParseIndex(text);
    return RELAY_OK;
  } catch (const RelayError &e) {
    return e.status;
  }
}

TEST(Index, WritesTheThreeSectionsAndReadsItsOwnTextBack) {
  Index index;
  index.components.push_back({Entity("c2t1207959858v10.2.1p1"), "", 9, kSha, "packages/e.zip"});
  index.components.push_back({Entity("c3t4v1.05.3l1"), "", 7, kSha, "packages/sub/p.zip"});
  index.components.push_back({Entity("c22t2213v1.05.3"), "", 5, kSha, "packages/k.zip"});
  for (ComponentEntry &c : index.components) c.id = index.Keep(ExtractName(c.entity));
  index.products.push_back({Entity("c3t4v1.05.3"), "c3t4v1.0500.3l-1p-1r-1o-1", {index.components[1].id}, {}});
  index.products.push_back({Entity("c9t9"), "c9t9v0.0000.0l-1p-1r-1o-1", {}, {}});
  std::string text = IndexToText(index);
  EXPECT_EQ(text,
            "[PATTERN]\n"
            "c3t4v1.0500.3l1p-1r-1o-1=7 " + kSha + " packages/sub/p.zip\n"
            "c22t2213v1.0500.3l-1p-1r-1o-1=5 " + kSha + " packages/k.zip\n"
            "\n[ENGINE]\n"
            "c2t1207959858v10.2000.1l-1p1r-1o-1=9 " + kSha + " packages/e.zip\n"
            "\n[All_Product]\n"
            "c3t4v1.0500.3l-1p-1r-1o-1=c3t4v1.0500.3l1p-1r-1o-1\n"
            "c9t9v0.0000.0l-1p-1r-1o-1=\n\n");
  EXPECT_EQ(IndexToText(ParseIndex(text)), text);
}

TEST(Index, EmptyIndexIsTheStrippedSkeleton) {
  EXPECT_EQ(IndexToText(Index{}), "[PATTERN]\n\n[ENGINE]\n\n[All_Product]\n\n");
  Index parsed = ParseIndex("[PATTERN]\n\n[ENGINE]\n\n[All_Product]\n\n");
  EXPECT_TRUE(parsed.components.empty() && parsed.products.empty());
}

TEST(Index, ReadsLooselyWrittenText) {
  Index index = ParseIndex("; comment\r\n[ENGINE]\r\n  c3t4l1 = 3  " + std::string(64, 'A') +
                           "  packages/a b.zip \r\n[Other]\nanything=goes\n[All_Product]\nc3t4 = c3t4v0.0l1\n");
  ASSERT_EQ(index.components.size(), 1u);
  EXPECT_EQ(index.components[0].id, "c3t4v0.0000.0l1p-1r-1o-1");
  EXPECT_EQ(index.components[0].sha256, kSha);
  EXPECT_EQ(index.components[0].path, "packages/a b.zip");
  EXPECT_EQ(index.products[0].components[0], "c3t4v0.0000.0l1p-1r-1o-1");
}

TEST(Index, RefusesMalformedAndHostileText) {
  const std::string line = "c3t4=1 " + kSha + " ";
  const struct {
    std::string text;
    RelayStatus status;
  } cases[] = {
      {"c3t4=1 " + kSha + " packages/a.zip\n", RELAY_BAD_INDEX},  // before any section
      {"[PATTERN\n", RELAY_BAD_INDEX},
      {"[PATTERN]\nno equals sign\n", RELAY_BAD_INDEX},
      {"[PATTERN]\nx3t4=1 " + kSha + " packages/a.zip\n", RELAY_BAD_INDEX},
      {"[PATTERN]\nc3t4=-1 " + kSha + " packages/a.zip\n", RELAY_BAD_INDEX},
      {"[PATTERN]\nc3t4=1 abc packages/a.zip\n", RELAY_BAD_INDEX},
      {"[PATTERN]\nc3t4=1 " + kSha + "\n", RELAY_BAD_INDEX},
      {"[PATTERN]\n" + line + "packages/a.zip\n" + line + "packages/b.zip\n", RELAY_BAD_INDEX},
      {"[All_Product]\nc3t4=c3t4l1\n", RELAY_BAD_INDEX},  // names a component it does not list
      {"[PATTERN]\n" + line + "/etc/passwd\n", RELAY_UNSAFE_PACKAGE_PATH},
      {"[PATTERN]\n" + line + "packages/../../evil.zip\n", RELAY_UNSAFE_PACKAGE_PATH},
      {"[PATTERN]\n" + line + "server.ini\n", RELAY_UNSAFE_PACKAGE_PATH},
      {"[ENGINE]\n" + line + "packages/\n", RELAY_UNSAFE_PACKAGE_PATH},
  };
  for (const auto &c : cases) EXPECT_EQ(ParseStatus(c.text), c.status) << c.text;
}

TEST(Paths, PackagePathPolicy) {
  const struct {
    const char *path;
    bool safe;
  } cases[] = {
      {"packages/a.zip", true},     {"packages/x/y.zip", true},  {"packages", false},
      {"packages/", false},         {"/packages/a.zip", false},  {"packages/../a.zip", false},
      {"packages/./a.zip", false},  {"packages//a.zip", false},  {"packagesx/a.zip", false},
      {"other/a.zip", false},       {"packages/a/..", false},    {"packages/..a.zip", true},
  };
  for (const auto &c : cases) EXPECT_EQ(IsSafePackagePath(c.path), c.safe) << c.path;
}

TEST(Paths, SourcesAreDirectoriesOrFileUrls) {
  const struct {
    const char *url;
    const char *directory;
    RelayStatus status;
  } cases[] = {
      {"/srv/up", "/srv/up", RELAY_OK},
      {"relative/up", "relative/up", RELAY_OK},
      {"file:///srv/my%20up", "/srv/my up", RELAY_OK},
      {"FILE://localhost/srv/up", "/srv/up", RELAY_OK},
      {"file://server/srv/up", "", RELAY_MALFORMED_URL},
      {"ftp://127.0.0.1/up", "", RELAY_NETWORK_SOURCE},
      {"SFTP://127.0.0.1/up", "", RELAY_NETWORK_SOURCE},
      {"gopher://x/y", "", RELAY_BAD_SOURCE},
  };
  for (const auto &c : cases) {
    try {
      EXPECT_EQ(SourceDirectory(c.url), c.directory);
      EXPECT_EQ(c.status, RELAY_OK);
    } catch (const RelayError &e) {
      EXPECT_EQ(e.status, c.status) << c.url;
    }
  }
}

TEST(Paths, WideTextKeepsTheModulesBytes) {
  const wchar_t widened[] = {L'a', wchar_t(-23), wchar_t(-1), 0};  // bytes 0xE9 0xFF as the module widens them
  EXPECT_EQ(WideToNarrow(widened), "a\xE9\xFF");
  EXPECT_EQ(NarrowToWide("a\xE9"), std::wstring(widened, 2));
  EXPECT_EQ(WideToNarrow(L"\u00e9"), "\xC3\xA9");
}

TEST(Entity, ExtractNamesParseBackAndRequestsMatch) {
  EXPECT_EQ(ExtractName(Entity("c3t4v1.05.3l1")), "c3t4v1.0500.3l1p-1r-1o-1");
  EXPECT_EQ(ExtractName(Entity("c3t4v1.0005")), "c3t4v1.0005.0l-1p-1r-1o-1");
  EXPECT_EQ(ExtractName(Entity("c2147483647t1v2147483647.0.2147483647")),
            "c2147483647t1v2147483647.0000.2147483647l-1p-1r-1o-1");
  ZELRELAY_EntityItem e;
  // Numbers the key would print as negative, or wrapped, are no repository key.
  for (const char *bad : {"", "C3t4", "c3", "c3t4v1.123456", "c3t4 l1", "c3t4l1p2r3o4l5", "c4294967299t1",
                          "c3t2147483648", "c1t1v2147483648", "c1t1v1.0.2147483648"})
    EXPECT_FALSE(ParseIdentifier(bad, e)) << bad;
  const struct {
    const char *request, *entity;
    bool match;
  } cases[] = {
      {"c3t4", "c3t4v1.05.3l1", true},          {"c3t4l1", "c3t4v1.05.3l1", true},
      {"c3t4l2", "c3t4v1.05.3l1", false},       {"c3t5", "c3t4", false},
      {"c3t4v1.05.3", "c3t4v1.05.3l4", true},   {"c3t4v1.05.4", "c3t4v1.05.3", false},
      {"c3t4v1.05.3.9", "c3t4v1.05.3", true},   {"c2t4", "c3t4", false},
  };
  for (const auto &c : cases) EXPECT_EQ(RequestMatches(Entity(c.request), Entity(c.entity)), c.match) << c.request;
}

}  // namespace

namespace {

std::string Sha(const std::string &text) { return Sha256OfBytes(text.data(), text.size()); }

// Whatever the two versions, the patch makes exactly the second of the
// first, and of nothing else; a patch changed on the way makes nothing.
TEST(Patch, MakesExactlyTheNextVersionAndNothingElse) {
  const std::string base = "[PATTERN]\na=1\nb=2\nc=3\n\n[All_Product]\np=a b c\n";
  const struct {
    const char *what;
    std::string to;
  } cases[] = {
      {"the same", base},
      {"a line changed", "[PATTERN]\na=1\nb=22\nc=3\n\n[All_Product]\np=a b c\n"},
      {"lines added at both ends", "# new\n" + base + "[Other]\nx=1\n"},
      {"lines deleted", "[PATTERN]\nc=3\n\n[All_Product]\np=c\n"},
      {"everything new", "[ENGINE]\nz=9\n"},
      {"nothing left", ""},
  };
  for (const auto &c : cases) {
    std::optional<std::string> patch = MakePatch(base, c.to);
    ASSERT_TRUE(patch) << c.what;
    EXPECT_EQ(ApplyPatch(base, Sha(base), *patch), c.to) << c.what;
    EXPECT_EQ(ApplyPatch(base + "d=4\n", Sha(base + "d=4\n"), *patch), std::nullopt) << c.what;
    std::string changed = *patch;
    changed[changed.rfind('\n', changed.size() - 2) + 1] ^= 1;  // the last line it carries
    EXPECT_EQ(ApplyPatch(base, Sha(base), changed), std::nullopt) << c.what;
  }
  EXPECT_EQ(MakePatch(base, "no line feed at the end"), std::nullopt);
  EXPECT_EQ(ApplyPatch(base, Sha(base), "not a patch"), std::nullopt);
}

TEST(Compression, ZstdReadsBackOnlyWholeFramesWithinTheLimit) {
  std::string text(100000, 'x');
  std::string frame = ZstdCompress(text);
  EXPECT_EQ(ZstdDecompress(frame, text.size()), text);
  EXPECT_EQ(ZstdDecompress(frame, text.size() - 1), std::nullopt);
  EXPECT_EQ(ZstdDecompress(frame.substr(0, frame.size() - 4), text.size()), std::nullopt);
  EXPECT_EQ(ZstdDecompress("garbage", text.size()), std::nullopt);
}

}  // namespace
