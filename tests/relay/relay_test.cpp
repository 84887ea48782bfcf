// The relay's calls end to end, against temporary repositories.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include <fcntl.h>
#include <rapidjson/document.h>

#include "base/files.h"
#include "base/status.h"
#include "fixture.h"
#include "base/digest.h"
#include "repository/holdings.h"
#include "repository/merge.h"
#include "zelrelay.h"

extern "C" {
__attribute__((visibility("default"))) uint32_t g_zel_mode = 0;
}

namespace {

namespace fs = std::filesystem;

// The events of one package copied, and of the run's end.
constexpr int kBegin = ZELRELAY_EVENT_DOWNLOADBEGIN, kProgress = ZELRELAY_EVENT_PROGRESS,
              kCopied = ZELRELAY_EVENT_DOWNLOAD, kEnd = ZELRELAY_EVENT_DOWNLOADEND;

struct Seen {
  int event;
  std::string information;
  uint64_t total, finished;
};

// Records events; cancels at the event numbered cancelAt (counted from 0).
struct Recorder {
  std::vector<Seen> events;
  int cancelAt = -1;
  std::function<void()> during;
};

int Record(int event, ZELRELAY_Event *record, void *user) {
  auto *recorder = static_cast<Recorder *>(user);
  std::string information;
  for (const wchar_t *c = record->information; c && *c; ++c) information += char(*c);
  recorder->events.push_back({event, information, record->total, record->finished});
  if (recorder->during) recorder->during();
  return int(recorder->events.size()) - 1 != recorder->cancelAt;
}

std::wstring Wide(const std::string &text) { return std::wstring(text.begin(), text.end()); }

std::vector<std::string> Listing(const fs::path &directory) {
  std::vector<std::string> names;
  for (const auto &entry : fs::directory_iterator(directory)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<ProductLayout> SampleProducts() {
  return {{"c3t4v1.05.3", {"c3t4v1.05.3l1", "c3t4v1.05.3l2", "c22t2213v1.05.3"}},
          {"c2t1207959858v10.2.1", {"c2t1207959858v10.2.1p1", "c2t1207959859v3.0.4"}}};
}

class Relay : public ::testing::Test {
 protected:
  TempDirectory upstream, repo;
  std::wstring url;
  ZELRELAY_Source source{};
  ZELRELAY_Context context = nullptr;
  Recorder recorder;

  void SetUp() override {
    g_zel_mode = 0;
    ASSERT_EQ(ZELRELAY_Startup(0), RELAY_OK);
    PublishUpstream(upstream.path.string(), SampleProducts());
    url = L"file://" + Wide(upstream.path.string());
    source.url = url.data();
    context = Open(repo.path.string());
  }
  void TearDown() override {
    if (context) ZELRELAY_DestroyContext(context);
    ZELRELAY_Shutdown();
  }
  ZELRELAY_Context Open(const std::string &path) {
    std::wstring wide(path.begin(), path.end());
    ZELRELAY_Context handle = nullptr;
    EXPECT_EQ(ZELRELAY_CreateContext(&handle, wide.c_str()), RELAY_OK);
    for (int event = 0; event < 6; ++event) ZELRELAY_SubscribeEvent(handle, event, Record, &recorder);
    return handle;
  }
  int32_t Duplicate(std::vector<ZELRELAY_Product> products, ZELRELAY_Context on = nullptr) {
    ZELRELAY_Information *information = nullptr;
    int32_t status =
        ZELRELAY_Duplicate(on ? on : context, products.data(), products.size(), &source, 1, &information);
    if (information) ZELRELAY_DestroyData(information);
    return status;
  }
  static ZELRELAY_Product Product(const char *id) { return ZELRELAY_Product{Entity(id), nullptr, 0}; }
  std::vector<int> EventKinds() const {
    std::vector<int> kinds;
    for (const Seen &s : recorder.events) kinds.push_back(s.event);
    return kinds;
  }
  std::string Package(const char *id) const { return repo / ("packages/" + ExtractName(Entity(id)) + ".zip"); }
  int32_t Export(const char *id, const std::string &destination) {
    std::wstring wide(destination.begin(), destination.end());
    return ZELRELAY_ExportComponent(context, wide.c_str(), Entity(id));
  }
  std::vector<std::string> SeenAs(int event) const {
    std::vector<std::string> seen;
    for (const struct Seen &s : recorder.events)
      if (s.event == event) seen.push_back(s.information);
    return seen;
  }
  int32_t DuplicateFrom(const std::string &from, ZELRELAY_Context on, const char *product) {
    std::wstring wide = Wide(from);
    ZELRELAY_Source elsewhere{wide.data(), nullptr, nullptr, nullptr};
    ZELRELAY_Product request = Product(product);
    ZELRELAY_Information *information = nullptr;
    int32_t status = ZELRELAY_Duplicate(on, &request, 1, &elsewhere, 1, &information);
    if (information) ZELRELAY_DestroyData(information);
    return status;
  }
  bool Holds(const char *id) const { return Holdings(repo.path.string()).Find(ExtractName(Entity(id))); }
  // A new, empty repository for one case of a table; the fixture's own
  // comes back when it goes.
  struct Afresh {
    Relay &relay;
    TempDirectory directory;
    explicit Afresh(Relay &on) : relay(on) { relay.Swap(directory); }
    ~Afresh() { relay.Swap(directory); }
  };
  void Swap(TempDirectory &other) {
    ZELRELAY_DestroyContext(context);
    repo.path.swap(other.path);
    context = Open(repo.path.string());
  }
  void Strip() {  // what the module's clean-up leaves
    Spill(repo / "server.ini", "[PATTERN]\n\n[ENGINE]\n\n[All_Product]\n\n");
    for (const auto &entry : fs::directory_iterator(repo / "packages"))
      if (!IsMergedArchiveName(entry.path().filename().string())) fs::remove(entry.path());
  }
  // The outcome the last run's report gives the component.
  std::string Outcome(const char *id) const {
    rapidjson::Document report;
    report.Parse(Slurp(repo / ".zelrelay.report.json").c_str());
    for (const auto &package : report["packages"].GetArray())
      if (package["component"].GetString() == ExtractName(Entity(id))) return package["outcome"].GetString();
    return "none";
  }
  // Each component of a report with its outcome.
  static std::map<std::string, std::string> Outcomes(const std::string &path) {
    rapidjson::Document report;
    report.Parse(Slurp(path).c_str());
    std::map<std::string, std::string> outcomes;
    for (const auto &package : report["packages"].GetArray())
      outcomes[package["component"].GetString()] = package["outcome"].GetString();
    return outcomes;
  }
  // The components the last run's report tells of, in its order.
  std::vector<std::string> Reported() const {
    rapidjson::Document report;
    report.Parse(Slurp(repo / ".zelrelay.report.json").c_str());
    std::vector<std::string> components;
    for (const auto &package : report["packages"].GetArray()) components.push_back(package["component"].GetString());
    return components;
  }
  // Every component the repository holds, in the bytes its index names.
  bool Whole() const {
    Holdings held(repo.path.string());
    return held.indexDamage == RELAY_OK &&
           std::all_of(held.components.begin(), held.components.end(),
                       [&](const ComponentEntry *c) { return BytesMatch(repo.path.string(), *c); });
  }
};

// One byte changed in place, the file's time of change kept when asked.
void Damage(const std::string &path, uint64_t at, bool keepTime) {
  struct stat before;
  stat(path.c_str(), &before);
  FileDescriptor file{open(path.c_str(), O_WRONLY)};
  char byte = 'X';
  ASSERT_EQ(pwrite(file.fd, &byte, 1, off_t(at)), 1);
  timespec times[2] = {before.st_atim, before.st_mtim};
  if (keepTime) futimens(file.fd, times);
}

struct VerifyAll {
  VerifyAll() { setenv("ZELRELAY_VERIFY", "1", 1); }
  ~VerifyAll() { unsetenv("ZELRELAY_VERIFY"); }
};

TEST(Lifecycle, CallsBeforeStartupFailAsNotStarted) {
  ZELRELAY_Context handle = nullptr;
  ZELRELAY_Information *information = nullptr;
  EXPECT_EQ(ZELRELAY_CreateContext(&handle, L"/tmp"), RELAY_NOT_STARTED);
  EXPECT_EQ(ZELRELAY_SetOption(handle, 0, 1), RELAY_NOT_STARTED);
  EXPECT_EQ(ZELRELAY_SubscribeEvent(handle, 0, nullptr, nullptr), RELAY_NOT_STARTED);
  EXPECT_EQ(ZELRELAY_GetInformation(handle, nullptr, 0, nullptr, 0, &information), RELAY_NOT_STARTED);
  EXPECT_EQ(ZELRELAY_Duplicate(handle, nullptr, 0, nullptr, 0, &information), RELAY_NOT_STARTED);
  EXPECT_EQ(ZELRELAY_ExportComponent(handle, L"/tmp", ZELRELAY_EntityItem{}), RELAY_NOT_STARTED);
  EXPECT_EQ(ZELRELAY_Shutdown(), RELAY_NOT_STARTED);
  wchar_t message[ZELRELAY_MESSAGE_CHARS];
  EXPECT_EQ(ZELRELAY_GetStatusMessage(message, RELAY_NETWORK_SOURCE), RELAY_OK);
  EXPECT_EQ(std::wstring(message), L"only file, http and https sources are supported");
}

TEST(Lifecycle, EveryStatusHasAMessageThatFits) {
  wchar_t message[ZELRELAY_MESSAGE_CHARS];
  std::vector<int32_t> statuses;
  for (size_t i = 0; i < kStatusRowCount; ++i) {
    statuses.push_back(kStatusRows[i].status);
    EXPECT_LT(strlen(kStatusRows[i].message), size_t(ZELRELAY_MESSAGE_CHARS) - 1) << kStatusRows[i].status;
  }
  std::sort(statuses.begin(), statuses.end());
  EXPECT_EQ(std::adjacent_find(statuses.begin(), statuses.end()), statuses.end());
  const struct {
    int32_t status;
    const wchar_t *message;
  } cases[] = {{HttpStatus(404), L"upstream answered HTTP 404"}, {HttpStatus(99), L"unknown status"},
               {-3, L"unknown status"}, {HttpStatus(600), L"unknown status"}};
  for (const auto &c : cases) {
    ZELRELAY_GetStatusMessage(message, c.status);
    EXPECT_EQ(std::wstring(message), c.message) << c.status;
  }
}

TEST_F(Relay, RefusesBadContextsOptionsAndEvents) {
  ZELRELAY_Context handle = nullptr;
  Spill(repo / "file", "x");
  std::wstring file = Wide(repo / "file");
  EXPECT_EQ(ZELRELAY_CreateContext(&handle, nullptr), RELAY_INVALID_ARGUMENT);
  EXPECT_EQ(ZELRELAY_CreateContext(&handle, L"/nonexistent/repo"), RELAY_NOT_WRITABLE);
  EXPECT_EQ(ZELRELAY_CreateContext(&handle, file.c_str()), RELAY_NOT_WRITABLE);
  EXPECT_EQ(ZELRELAY_SetOption(context, 7, 1), RELAY_UNKNOWN_OPTION);
  EXPECT_EQ(ZELRELAY_SetOption(context, ZELRELAY_OPTION_KEEPCOUNT, -1), RELAY_BAD_OPTION_VALUE);
  EXPECT_EQ(ZELRELAY_SetOption(context, ZELRELAY_OPTION_DUPDIGISIGN, 2), RELAY_BAD_OPTION_VALUE);
  EXPECT_EQ(ZELRELAY_SetOption(context, ZELRELAY_OPTION_HTTPSLEVEL, 2), RELAY_OK);
  EXPECT_EQ(ZELRELAY_SubscribeEvent(context, 6, Record, nullptr), RELAY_UNKNOWN_EVENT);
  int stale = 0;
  EXPECT_EQ(ZELRELAY_SetOption(reinterpret_cast<ZELRELAY_Context>(&stale), 0, 1), RELAY_BAD_CONTEXT);
}

TEST_F(Relay, InformationCoversWhatTheRequestMatches) {
  const struct {
    std::vector<ZELRELAY_Product> request;
    std::vector<size_t> components;  // per product returned
    int32_t status = RELAY_OK;
  } cases[] = {
      {{}, {3, 2}},
      {{Product("c3t4")}, {3}},
      {{Product("c3t4"), Product("c3t4v1.05.3")}, {3}},
      {{Product("c2t1207959858v10.2.1")}, {2}},
      {{Product("c2t1207959858v9.0.0")}, {}, RELAY_NOTHING_MATCHES},
      {{Product("c3t4l2")}, {}, RELAY_NOTHING_MATCHES},
      {{Product("c3t4"), Product("c3t5")}, {}, RELAY_NOTHING_MATCHES},
  };
  for (const auto &c : cases) {
    ZELRELAY_Information *information = nullptr;
    auto request = c.request;
    ASSERT_EQ(ZELRELAY_GetInformation(context, request.data(), request.size(), &source, 1, &information), c.status);
    if (c.status != RELAY_OK) continue;
    ASSERT_EQ(information->productCount, c.components.size());
    for (size_t p = 0; p < c.components.size(); ++p)
      EXPECT_EQ(information->products[p].componentCount, c.components[p]);
    ZELRELAY_DestroyData(information);
  }
  ZELRELAY_EntityItem listed[] = {Entity("c22t2213"), Entity("c3t4l2")};
  ZELRELAY_Product limited{Entity("c3t4"), listed, 2};
  ZELRELAY_Information *information = nullptr;
  ASSERT_EQ(ZELRELAY_GetInformation(context, &limited, 1, &source, 1, &information), RELAY_OK);
  ASSERT_EQ(information->products[0].componentCount, 2u);
  EXPECT_EQ(ExtractName(information->products[0].components[0]), "c3t4v1.0500.3l2p-1r-1o-1");
  EXPECT_EQ(ExtractName(information->products[0].components[1]), "c22t2213v1.0500.3l-1p-1r-1o-1");
  ZELRELAY_DestroyData(information);
}

TEST_F(Relay, SourcesAreTriedInOrder) {
  std::wstring missing = L"/nonexistent/upstream", network = L"http://127.0.0.1:9/up";
  const struct {
    std::vector<const wchar_t *> urls;
    int32_t status;
  } cases[] = {
      {{}, RELAY_NO_SOURCES},
      {{network.c_str()}, RELAY_HOST_UNREACHABLE},
      {{L"HTTP://127.0.0.1:9/up"}, RELAY_HOST_UNREACHABLE},
      {{L"ftp://127.0.0.1/up"}, RELAY_NETWORK_SOURCE},
      {{missing.c_str()}, RELAY_NO_SOURCE_ANSWERED},
      {{network.c_str(), missing.c_str(), url.c_str()}, RELAY_OK},
      {{L"gopher://x"}, RELAY_BAD_SOURCE},
      {{nullptr}, RELAY_NO_URL},
      {{L""}, RELAY_NO_URL},
      {{L"http://"}, RELAY_MALFORMED_URL},
      {{L"https://127.0.0.1:99999/"}, RELAY_MALFORMED_URL},
      {{L"file://srv/upstream"}, RELAY_MALFORMED_URL},
  };
  for (const auto &c : cases) {
    std::vector<ZELRELAY_Source> sources;
    for (const wchar_t *u : c.urls) sources.push_back(ZELRELAY_Source{const_cast<wchar_t *>(u), nullptr, nullptr, nullptr});
    ZELRELAY_Information *information = nullptr;
    EXPECT_EQ(ZELRELAY_GetInformation(context, nullptr, 0, sources.empty() ? nullptr : sources.data(), sources.size(),
                                      &information),
              c.status);
    if (information) ZELRELAY_DestroyData(information);
  }
}

TEST_F(Relay, DuplicatesVerifiesMergesAndReportsProgress) {
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  EXPECT_EQ(EventKinds(), (std::vector<int>{kBegin, kProgress, kCopied, kBegin, kProgress, kCopied, kBegin, kProgress, kCopied, kEnd}));
  EXPECT_EQ(recorder.events[0].information, "packages/c3t4v1.0500.3l1p-1r-1o-1.zip");
  const Seen &end = recorder.events.back();
  EXPECT_EQ(end.finished, end.total);
  EXPECT_EQ(recorder.events[7].finished, end.total);
  EXPECT_EQ(Slurp(Package("c3t4v1.05.3l2")), Slurp(upstream / ("packages/" + ExtractName(Entity("c3t4v1.05.3l2")) + ".zip")));
  Index local = *ReadIndex(repo.path.string());
  ASSERT_EQ(local.products.size(), 1u);
  EXPECT_EQ(local.products[0].components.size(), 3u);
  EXPECT_TRUE(fs::exists(repo / "packages/c3t4l-1p-1r-1o-1_merged.zip"));

  recorder.events.clear();
  ASSERT_EQ(Duplicate({Product("c3t4"), Product("c2t1207959858")}), RELAY_OK);
  EXPECT_EQ(EventKinds(), (std::vector<int>{kBegin, kProgress, kCopied, kBegin, kProgress, kCopied, kEnd}));  // only the engine's two are new
  EXPECT_EQ(ReadIndex(repo.path.string())->products.size(), 2u);
  for (const auto &entry : fs::directory_iterator(repo / "packages"))
    EXPECT_NE(entry.path().filename().string().rfind(".zelrelay-", 0), 0u) << entry.path();
}

TEST_F(Relay, EmptyDuplicationCopiesNothing) {
  ASSERT_EQ(Duplicate({}), RELAY_OK);
  EXPECT_EQ(EventKinds(), (std::vector<int>{kEnd}));
  EXPECT_TRUE(ReadIndex(repo.path.string())->components.empty());
}

// What a cancelled run finished is in the index and in its product's
// merged archive, so the module's clean-up keeps it.
TEST_F(Relay, CancellingStopsCleanlyAndKeepsWhatItFinished) {
  recorder.cancelAt = 4;  // the second package's first progress event
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_CANCELLED);
  EXPECT_EQ(EventKinds(), (std::vector<int>{kBegin, kProgress, kCopied, kBegin, kProgress}));
  Index local = *ReadIndex(repo.path.string());
  ASSERT_EQ(local.components.size(), 1u);
  EXPECT_EQ(local.products[0].components, std::vector<std::string_view>{local.components[0].id});
  EXPECT_FALSE(fs::exists(Package("c3t4v1.05.3l2")));
  EXPECT_EQ(std::distance(fs::directory_iterator(repo / "packages"), fs::directory_iterator()), 2);
  Index merged = *ReadIndexAt(OpenDirectory(repo.path.string()).fd, "merged.ini");
  ASSERT_EQ(merged.components.size(), 1u);
  EXPECT_EQ(merged.components[0].id, local.components[0].id);
  Strip();
  recorder = Recorder{};
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  EXPECT_EQ(SeenAs(kCopied).size(), 2u);
  EXPECT_EQ(Outcome("c3t4v1.05.3l1"), "present");
}

// Bytes the repository holds that no longer match what its index says are
// copied again and told as repaired, never as present; the index names
// intact bytes from then on, and the next run finds them present.
TEST_F(Relay, DamagedBytesAreRepaired) {
  const struct {
    const char *what;
    bool strip, keepTime, verify;
  } cases[] = {
      {"a package file", false, false, true},
      {"a member of a merged archive changed since merged.ini", true, false, false},
      {"a member whose archive kept its time, under ZELRELAY_VERIFY", true, true, true},
  };
  for (const auto &c : cases) {
    Afresh afresh(*this);
    ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
    if (c.strip) Strip();
    {
      Holdings held(repo.path.string());  // whose strings the record's are
      const ComponentEntry &damaged = *held.Find(ExtractName(Entity("c3t4v1.05.3l1")));
      Damage(repo / std::string(damaged.path), (damaged.InArchive() ? damaged.offset : 0) + 10, c.keepTime);
    }
    std::optional<VerifyAll> verify;
    if (c.verify) verify.emplace();
    ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK) << c.what;
    EXPECT_EQ(Outcome("c3t4v1.05.3l1"), "repaired") << c.what;
    EXPECT_TRUE(Whole()) << c.what;
    ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK) << c.what;
    EXPECT_EQ(Outcome("c3t4v1.05.3l1"), "present") << c.what;
  }
}

// Under keepcount, what the upstream now offers under a held identifier, and
// what replaces damaged bytes, is copied rather than counted as pruned.
TEST_F(Relay, KeepcountNeverKeepsTheWrongBytes) {
  const struct {
    const char *what;
    std::function<void()> change;
    const char *outcome;
  } cases[] = {
      {"republished", [&] { Republish(upstream.path.string(), "c3t4v1.05.3l1"); }, "copied"},
      {"damaged", [&] { Damage(Package("c3t4v1.05.3l1"), 10, false); }, "repaired"},
  };
  VerifyAll verify;
  for (const auto &c : cases) {
    Afresh afresh(*this);
    ZELRELAY_SetOption(context, ZELRELAY_OPTION_KEEPCOUNT, 1);
    PublishUpstream(upstream.path.string(), SampleProducts());
    ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
    c.change();
    std::string before = Slurp(Package("c3t4v1.05.3l1"));
    ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK) << c.what;
    EXPECT_EQ(Outcome("c3t4v1.05.3l1"), c.outcome) << c.what;
    EXPECT_TRUE(Whole()) << c.what;
    // The file the old index named was never written over: it is retired.
    EXPECT_EQ(Slurp(Package("c3t4v1.05.3l1")), before) << c.what;
    EXPECT_TRUE(ReadRetired(repo.path.string()).Has("packages/" + ExtractName(Entity("c3t4v1.05.3l1")) + ".zip"))
        << c.what;
  }
}

// A damaged index is rebuilt from what the repository holds: the merged
// archives, and the package files that hold what the upstream lists;
// nothing is copied again and nothing is left unlisted.
TEST_F(Relay, AMalformedOwnIndexIsRebuiltFromWhatTheRepositoryHolds) {
  ASSERT_EQ(Duplicate({Product("c3t4"), Product("c2t1207959858")}), RELAY_OK);
  std::string index = Slurp(repo / "server.ini");
  Spill(repo / "server.ini", index.substr(0, index.size() / 2));
  recorder = Recorder{};
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  EXPECT_TRUE(SeenAs(kCopied).empty());
  EXPECT_TRUE(Whole());
  Index rebuilt = *ReadIndex(repo.path.string());
  EXPECT_EQ(rebuilt.components.size(), 5u);
  for (const ComponentEntry &c : rebuilt.components) EXPECT_FALSE(c.InArchive()) << c.id;
  EXPECT_FALSE(fs::exists(repo / ".zelrelay.retired"));
}

TEST_F(Relay, RefusesACorruptedPackageAndKeepsTheRest) {
  std::string bad = upstream / ("packages/" + ExtractName(Entity("c3t4v1.05.3l2")) + ".zip");
  std::string bytes = Slurp(bad);
  bytes[bytes.size() / 2] ^= 0x55;
  Spill(bad, bytes);
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_PACKAGE_MISMATCH);
  EXPECT_FALSE(fs::exists(Package("c3t4v1.05.3l2")));
  EXPECT_TRUE(fs::exists(Package("c3t4v1.05.3l1")));
  EXPECT_EQ(ReadIndex(repo.path.string())->components.size(), 2u);
}

TEST_F(Relay, RefusesAHostileIndexAndWritesNothing) {
  for (const char *path : {"/etc/passwd", "packages/../../outside.zip", "server.ini"}) {
    Spill(upstream / "server.ini",
          std::string("[PATTERN]\nc3t4l1=4 ") + std::string(64, 'a') + " " + path + "\n[All_Product]\nc3t4=c3t4l1\n");
    EXPECT_EQ(Duplicate({Product("c3t4")}), RELAY_UNSAFE_PACKAGE_PATH) << path;
    EXPECT_EQ(Listing(repo.path), std::vector<std::string>{".zelrelay.report.json"}) << path;
  }
}

TEST_F(Relay, DryRunReportsAndWritesNothing) {
  g_zel_mode = 1;
  EXPECT_EQ(ZELRELAY_Startup(0), RELAY_ALREADY_STARTED);
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  g_zel_mode = 0;
  ZELRELAY_Startup(0);
  EXPECT_EQ(EventKinds(), (std::vector<int>{kBegin, kProgress, kCopied, kBegin, kProgress, kCopied, kBegin, kProgress, kCopied, kEnd}));
  EXPECT_EQ(std::distance(fs::directory_iterator(repo.path), fs::directory_iterator()), 0);
}

TEST_F(Relay, ExportsFromTheIndexAndAfterTheCleanUp) {
  ZELRELAY_SetOption(context, ZELRELAY_OPTION_MAXMERGE, 2);
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  ASSERT_EQ(Export("c3t4v1.05.3l2", repo / "out/nested"), RELAY_OK);
  EXPECT_EQ(Slurp(repo / "out/nested/c3t4v1.0500.3l2p-1r-1o-1.txt"), "c3t4v1.0500.3l2p-1r-1o-1");
  Strip();
  ASSERT_EQ(Export("c22t2213v1.05.3", repo / "after"), RELAY_OK);  // in the second merged part
  EXPECT_EQ(Slurp(repo / "after/c22t2213v1.0500.3l-1p-1r-1o-1.txt"), "c22t2213v1.0500.3l-1p-1r-1o-1");
  ASSERT_EQ(Export("c3t4l1", repo / "any-version"), RELAY_OK);
  EXPECT_EQ(Export("c3t4v1.05.4l1", repo / "none"), RELAY_NOT_FOUND);
  EXPECT_EQ(Export("c2t1207959858", repo / "none"), RELAY_NOT_FOUND);
}

TEST_F(Relay, ExportRefusesATamperedPackage) {
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  std::string bytes = Slurp(Package("c3t4v1.05.3l1"));
  bytes[bytes.size() / 2] ^= 0x55;
  Spill(Package("c3t4v1.05.3l1"), bytes);
  EXPECT_EQ(Export("c3t4v1.05.3l1", repo / "out"), RELAY_PACKAGE_MISMATCH);
  EXPECT_FALSE(fs::exists(repo / "out/c3t4v1.0500.3l1p-1r-1o-1.txt"));
}

TEST_F(Relay, KeepcountPrunesSupersededVersions) {
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  PublishUpstream(upstream.path.string(), {{"c3t4v1.06.0", {"c3t4v1.06.0l1", "c3t4v1.06.0l2", "c22t2213v1.06.0"}}});
  ZELRELAY_SetOption(context, ZELRELAY_OPTION_KEEPCOUNT, 1);
  recorder.events.clear();
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  std::vector<std::string> removed;
  for (const Seen &s : recorder.events)
    if (s.event == ZELRELAY_EVENT_REMOVEBEGIN) removed.push_back(s.information);
  EXPECT_EQ(removed.size(), 3u);
  EXPECT_TRUE(ReadRetired(repo.path.string()).Has("packages/" + ExtractName(Entity("c3t4v1.05.3l1")) + ".zip"));
  EXPECT_TRUE(fs::exists(Package("c3t4v1.06.0l1")));
  Index local = *ReadIndex(repo.path.string());
  EXPECT_EQ(local.components.size(), 3u);
  EXPECT_EQ(ExtractName(local.products[0].entity), "c3t4v1.0600.0l-1p-1r-1o-1");
  // An upstream that offers both versions: only the kept one is copied.
  TempDirectory fresh;
  ZELRELAY_Context other = Open(fresh.path.string());
  ZELRELAY_SetOption(other, ZELRELAY_OPTION_KEEPCOUNT, 1);
  PublishUpstream(upstream.path.string(), {{"c3t4v1.06.0", {"c3t4v1.05.3l1", "c3t4v1.06.0l1"}}});
  recorder.events.clear();
  ASSERT_EQ(Duplicate({Product("c3t4")}, other), RELAY_OK);
  EXPECT_EQ(SeenAs(ZELRELAY_EVENT_DOWNLOADBEGIN), std::vector<std::string>{"packages/c3t4v1.0600.0l1p-1r-1o-1.zip"});
  ZELRELAY_DestroyContext(other);
}

// What a dry run says goes is what the run removes: the versions beyond
// keepcount that the repository held and, when asked, what the upstream no
// longer lists. A version it never held is skipped, not pruned, in this run
// and in every later one.
TEST_F(Relay, ADryRunTellsWhatTheRunRemoves) {
  ASSERT_EQ(Duplicate({Product("c3t4"), Product("c2t1207959858")}), RELAY_OK);
  PublishUpstream(upstream.path.string(), {{"c3t4v1.06.0", {"c3t4v1.06.0l1", "c3t4v1.04.0l1", "c22t2213v1.06.0"}},
                                           {"c3t4v1.05.3", {"c3t4v1.05.3l1", "c3t4v1.05.3l2", "c22t2213v1.05.3"}}});
  ZELRELAY_SetOption(context, ZELRELAY_OPTION_KEEPCOUNT, 1);
  TempDirectory reports;
  setenv("ZELRELAY_DELETE_UNLISTED", "1", 1);
  setenv("ZELRELAY_REPORT", (reports / "dry.json").c_str(), 1);
  g_zel_mode = 1;
  ZELRELAY_Startup(0);
  EXPECT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  g_zel_mode = 0;
  ZELRELAY_Startup(0);
  unsetenv("ZELRELAY_REPORT");
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  unsetenv("ZELRELAY_DELETE_UNLISTED");
  auto name = [](const char *id) { return ExtractName(Entity(id)); };
  std::map<std::string, std::string> expected = {
      {name("c3t4v1.06.0l1"), "copied"},     {name("c22t2213v1.06.0"), "copied"},
      {name("c3t4v1.04.0l1"), "skipped"},    {name("c3t4v1.05.3l1"), "pruned"},
      {name("c22t2213v1.05.3"), "pruned"},   {name("c3t4v1.05.3l2"), "present"},
      {name("c2t1207959858v10.2.1p1"), "withdrawn"}, {name("c2t1207959859v3.0.4"), "withdrawn"}};
  EXPECT_EQ(Outcomes(reports / "dry.json"), expected);
  EXPECT_EQ(Outcomes(repo / ".zelrelay.report.json"), expected);
  EXPECT_EQ(ReadIndex(repo.path.string())->products.size(), 1u);  // the engine's is gone
  EXPECT_EQ(ReadIndexAt(OpenDirectory(repo.path.string()).fd, "merged.ini")->products.size(), 1u);
  // Unchanged, and after the clean-up: nothing more goes, and what went is
  // skipped from now on.
  expected = {{name("c3t4v1.06.0l1"), "present"},  {name("c22t2213v1.06.0"), "present"},
              {name("c3t4v1.04.0l1"), "skipped"},  {name("c3t4v1.05.3l1"), "skipped"},
              {name("c22t2213v1.05.3"), "skipped"}, {name("c3t4v1.05.3l2"), "present"}};
  for (bool strip : {false, true}) {
    if (strip) Strip();
    ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
    EXPECT_EQ(Outcomes(repo / ".zelrelay.report.json"), expected) << strip;
  }
}

// Every refusal names its line, and leaves no output behind.
TEST(Publish, NamesTheLineOfEveryRefusalAndWritesNothing) {
  const struct {
    const char *manifest, *error;
  } cases[] = {
      {"[component c3t4v1l1]\npayload = p\n[thing x]\n", "line 3: sections are [component ID] and [product ID]"},
      {"[component c3t4v1l1]\n\npaylod = p\n", "line 3: unknown component key \"paylod\""},
      {"[component c3t4v1l1]\n; none\n", "line 1: component c3t4v1.0000.0l1p-1r-1o-1 has no payload"},
      {"[component c3t4v1l1]\npayload = p\n[component c3t4v1.0l1]\npayload = p\n",
       "line 3: component c3t4v1.0000.0l1p-1r-1o-1 given twice (first on line 1)"},
      {"[component c3t4v1l1]\npayload = p\n[product c3t4v1]\ncomponents = c3t4v1l1 c3t4v1l2\n",
       "line 4: product c3t4v1.0000.0l-1p-1r-1o-1 names c3t4v1.0000.0l2p-1r-1o-1, which no [component] section gives"},
      {"[component c3t4v1l1]\npayload = p\n[product c3t4v1]\n[product c3t4v1]\n",
       "line 4: product c3t4v1.0000.0l-1p-1r-1o-1 given twice (first on line 3)"},
      {"[component c3t4v1l1]\n\npayload = missing\n", "line 3: payload folder $DIR/missing cannot be read"},
      {"[component c3t4v1l1]\npayload = empty\n", "line 2: payload folder $DIR/empty holds no file"},
      {"[component c3t4v1l1]\npayload = p\nsignature = none.sig\n",
       "line 3: signature file $DIR/none.sig cannot be read"},
  };
  TempDirectory dir;
  fs::create_directories(dir / "p");
  fs::create_directories(dir / "empty");
  Spill(dir / "p/file.txt", "payload");
  for (const auto &c : cases) {
    Spill(dir / "manifest.ini", c.manifest);
    std::string command = std::string(PUBLISH_TOOL) + " " + (dir / "manifest.ini") + " " + (dir / "out") + " 2>&1";
    FILE *pipe = popen(command.c_str(), "r");
    std::string said(4096, '\0');
    said.resize(fread(said.data(), 1, said.size(), pipe));
    EXPECT_EQ(WEXITSTATUS(pclose(pipe)), 1) << c.manifest;
    std::string error = c.error;
    if (size_t at = error.find("$DIR"); at != std::string::npos) error.replace(at, 4, dir.path.string());
    EXPECT_EQ(said, std::string(PUBLISH_TOOL) + ": " + (dir / "manifest.ini") + ": " + error + "\n");
    EXPECT_FALSE(fs::exists(dir / "out")) << c.manifest;
  }
}

TEST_F(Relay, CopiesSignaturesWhenAsked) {
  Spill(upstream / ("packages/" + ExtractName(Entity("c3t4v1.05.3l1")) + ".zip.sig"), "signed");
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  EXPECT_FALSE(fs::exists(Package("c3t4v1.05.3l1") + ".sig"));
  fs::remove_all(repo / "packages");
  ZELRELAY_SetOption(context, ZELRELAY_OPTION_DUPDIGISIGN, 1);
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  EXPECT_EQ(Slurp(Package("c3t4v1.05.3l1") + ".sig"), "signed");
}

TEST_F(Relay, AHandlerReenteringTheSameRepositoryGetsBusyNotADeadlock) {
  TempDirectory other;
  ZELRELAY_Context second = Open(repo.path.string());
  ZELRELAY_Context elsewhere = Open(other.path.string());
  int32_t nested = 0, nestedElsewhere = 0;
  bool entered = false;
  recorder.during = [&] {
    if (entered) return;
    entered = true;
    nested = Duplicate({Product("c3t4")}, second);
    nestedElsewhere = Duplicate({Product("c2t1207959858")}, elsewhere);
  };
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  EXPECT_EQ(nested, RELAY_BUSY);
  EXPECT_EQ(nestedElsewhere, RELAY_OK);
  EXPECT_EQ(ReadIndex(other.path.string())->components.size(), 2u);
  ZELRELAY_DestroyContext(second);
  ZELRELAY_DestroyContext(elsewhere);
}

TEST_F(Relay, AfterTheCleanUpTheMergedArchivesAreTheRepository) {
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  Strip();
  // A later run of one component rebuilds the archive from all it holds.
  ZELRELAY_EntityItem one[] = {Entity("c22t2213")};
  ASSERT_EQ(Duplicate({ZELRELAY_Product{Entity("c3t4"), one, 1}}), RELAY_OK);
  Strip();
  for (const char *id : {"c3t4v1.05.3l1", "c3t4v1.05.3l2", "c22t2213v1.05.3"})
    EXPECT_EQ(Export(id, repo / "out"), RELAY_OK) << id;
  // Stripped, it is still a whole upstream for another relay.
  TempDirectory downstream;
  ZELRELAY_Context other = Open(downstream.path.string());
  EXPECT_EQ(DuplicateFrom(repo.path.string(), other, "c3t4"), RELAY_OK);
  EXPECT_EQ(ReadIndex(downstream.path.string())->components.size(), 3u);
  ZELRELAY_DestroyContext(other);
  // A new version replaces the old ones in the archive, and only through pruning.
  PublishUpstream(upstream.path.string(), {{"c3t4v1.06.0", {"c3t4v1.06.0l1", "c3t4v1.06.0l2", "c22t2213v1.06.0"}}});
  ZELRELAY_SetOption(context, ZELRELAY_OPTION_KEEPCOUNT, 1);
  recorder.events.clear();
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  EXPECT_EQ(SeenAs(ZELRELAY_EVENT_REMOVEBEGIN).size(), 3u);
  Index merged = ReadMergedArchives(repo.path.string(), Retired{}).index;
  ASSERT_EQ(merged.components.size(), 3u);
  for (const ComponentEntry &c : merged.components) EXPECT_EQ(c.entity.version.minor, 600u) << c.id;
}

TEST_F(Relay, APackageFileThatIsGoneIsAbsentNotAFault) {
  const struct {
    bool archiveGone;
    const char *then;
    bool held, reported;
  } cases[] = {
      {false, "c2t1207959858", true, false},  // its merged archive still holds it
      {true, "c2t1207959858", false, true},   // nothing does: dropped, and the script hears of it
      {true, "c3t4", true, false},            // asked for again: copied again
  };
  for (const auto &c : cases) {
    Afresh afresh(*this);
    ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
    fs::remove(Package("c3t4v1.05.3l1"));
    if (c.archiveGone) fs::remove(repo / "packages/c3t4l-1p-1r-1o-1_merged.zip");
    recorder.events.clear();
    EXPECT_EQ(Duplicate({Product(c.then)}), RELAY_OK) << c.then;
    EXPECT_EQ(Holds("c3t4v1.05.3l1"), c.held) << c.then;
    std::vector<std::string> failed = SeenAs(ZELRELAY_EVENT_REMOVEFAILED);
    EXPECT_EQ(std::count(failed.begin(), failed.end(), "packages/c3t4v1.0500.3l1p-1r-1o-1.zip"), c.reported);
  }
}

// A clean-up that runs meanwhile can take the only copy of a component the
// run counted as held: a run that succeeds holds it all the same.
TEST_F(Relay, AComponentThatVanishesDuringTheRunIsFetchedAgain) {
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  fs::remove(repo / "packages/c3t4l-1p-1r-1o-1_merged.zip");
  PublishUpstream(upstream.path.string(),
                  {{"c3t4v1.05.3", {"c3t4v1.05.3l1", "c3t4v1.05.3l2", "c22t2213v1.05.3", "c3t4v1.05.3l4"}}});
  bool taken = false;
  recorder.during = [&] {
    if (recorder.events.back().event == kCopied && !std::exchange(taken, true)) fs::remove(Package("c3t4v1.05.3l1"));
  };
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  EXPECT_TRUE(taken);
  EXPECT_TRUE(Holds("c3t4v1.05.3l1"));
  // Told of twice, once a run: the report gives each package once.
  std::vector<std::string> reported = Reported();
  EXPECT_EQ(reported.size(), 4u);
  EXPECT_EQ(std::set<std::string>(reported.begin(), reported.end()).size(), reported.size());
  EXPECT_EQ(Outcome("c3t4v1.05.3l1"), "copied");
}

// A component two products share is one member of merged.ini, also when
// one product's archive is rebuilt and the other's, which merged.ini lists
// it in, is kept.
TEST_F(Relay, ASharedComponentIsOneMemberOfBothProducts) {
  PublishUpstream(upstream.path.string(), {{"c3t4v1.05.3", {"c3t4v1.05.3l1", "c22t2213v1.05.3"}},
                                            {"c3t5v1.05.3", {"c3t5v1.05.3l1", "c22t2213v1.05.3"}}});
  ASSERT_EQ(Duplicate({Product("c3t4"), Product("c3t5")}), RELAY_OK);
  Republish(upstream.path.string(), "c3t5v1.05.3l1");
  ASSERT_EQ(Duplicate({Product("c3t5")}), RELAY_OK);
  std::optional<Index> merged = ReadIndexAt(OpenDirectory(repo.path.string()).fd, "merged.ini");
  ASSERT_TRUE(merged);
  EXPECT_EQ(merged->components.size(), 3u);
  EXPECT_EQ(merged->products.size(), 2u);
  EXPECT_TRUE(Whole());
}

TEST_F(Relay, RefusesTheRepositoryAsItsOwnSourceBeforeTouchingIt) {
  for (std::string spelled : {repo.path.string(), repo / ".", "file://" + repo.path.string() + "/"}) {
    EXPECT_EQ(DuplicateFrom(spelled, context, "c3t4"), RELAY_SOURCE_IS_REPOSITORY) << spelled;
    EXPECT_TRUE(fs::is_empty(repo.path)) << spelled;
  }
}

TEST_F(Relay, HostileUpstreamFilesAreRefusedAtOnce) {
  TempDirectory outside;
  std::string index = Slurp(upstream / "server.ini"), package = ExtractName(Entity("c3t4v1.05.3l2")) + ".zip";
  Spill(outside / "server.ini", index);
  Spill(outside / "package.zip", Slurp(upstream / ("packages/" + package)));
  const struct {
    std::string file;
    std::function<void(const std::string &)> make;
    int32_t status;
  } cases[] = {
      {"server.ini", [](const std::string &at) { mkfifo(at.c_str(), 0644); }, RELAY_NOT_REGULAR_FILE},
      {"server.ini", [&](const std::string &at) { fs::create_symlink(outside / "server.ini", at); },
       RELAY_LINK_LEAVES_UPSTREAM},
      {"server.ini", [](const std::string &at) { fs::resize_file(at, (size_t(64) << 20) + 1); },
       RELAY_INDEX_TOO_LARGE},
      {"packages/" + package, [](const std::string &at) { mkfifo(at.c_str(), 0644); }, RELAY_NOT_REGULAR_FILE},
      {"packages/" + package, [&](const std::string &at) { fs::create_symlink(outside / "package.zip", at); },
       RELAY_LINK_LEAVES_UPSTREAM},
      {"packages/" + package, [&](const std::string &at) { fs::create_symlink("../packages/../packages/x", at); },
       RELAY_OK},
  };
  for (const auto &c : cases) {
    PublishUpstream(upstream.path.string(), SampleProducts());
    std::string at = upstream / c.file;
    if (c.status == RELAY_OK) fs::rename(at, upstream / "packages/x");
    else if (c.file != "server.ini" || c.status != RELAY_INDEX_TOO_LARGE) fs::remove(at);
    c.make(at);
    EXPECT_EQ(Duplicate({Product("c3t4")}), c.status) << c.file << " " << c.status;
    fs::remove(at);
  }
  EXPECT_TRUE(Holds("c3t4v1.05.3l1"));
}

TEST_F(Relay, CancelsPromptlyUnderALowBandwidthLimit) {
  ZELRELAY_SetOption(context, ZELRELAY_OPTION_MAXBANDWIDTH, 1);
  recorder.cancelAt = 3;  // downloadbegin, then the third progress event
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(Duplicate({Product("c3t4")}), RELAY_CANCELLED);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

// Another writer holds the lock: the subscriber hears progress that names
// it while the run waits, and so can give up.
TEST_F(Relay, CancelsWhileWaitingForAnotherWriter) {
  FileDescriptor held{open((repo / ".zelrelay.lock").c_str(), O_RDWR | O_CREAT, 0644)};
  ASSERT_EQ(flock(held.fd, LOCK_EX), 0);
  recorder.cancelAt = 3;
  EXPECT_EQ(Duplicate({Product("c3t4")}), RELAY_CANCELLED);
  EXPECT_EQ(EventKinds(), (std::vector<int>{kProgress, kProgress, kProgress, kProgress}));
  EXPECT_EQ(SeenAs(kProgress), std::vector<std::string>(4, ".zelrelay.lock"));
}

TEST_F(Relay, ARefusedOptionFailsTheOperationInsteadOfBeingIgnored) {
  EXPECT_EQ(ZELRELAY_SetOption(context, ZELRELAY_OPTION_KEEPCOUNT, -1), RELAY_BAD_OPTION_VALUE);
  EXPECT_EQ(Duplicate({Product("c3t4")}), RELAY_BAD_OPTION_VALUE);
  EXPECT_TRUE(fs::is_empty(repo.path));
}

TEST_F(Relay, AFullFileSystemIsNoSpaceAndKeepsTheIndex) {
  // One package that fits, and no room left for its merged archive.
  std::string payload(20000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = char((i * 2654435761u) >> 13);
  Spill(upstream / "packages/big.zip", payload);
  Spill(upstream / "server.ini", "[ENGINE]\nc2t1=" + std::to_string(payload.size()) + " " +
                                     Sha256OfBytes(payload.data(), payload.size()) +
                                     " packages/big.zip\n[All_Product]\nc2t1=c2t1\n");
  TempDirectory small;
  if (mount("tmpfs", small.path.c_str(), "tmpfs", 0, "size=32k") != 0) GTEST_SKIP() << "cannot mount a tmpfs here";
  ZELRELAY_Context full = Open(small.path.string());
  EXPECT_EQ(DuplicateFrom(upstream.path.string(), full, "c2t1"), RELAY_NO_SPACE);
  EXPECT_FALSE(fs::exists(small / "server.ini"));
  rapidjson::Document report;
  report.Parse(Slurp(small / ".zelrelay.report.json").c_str());
  EXPECT_EQ(report["space"]["needed"].GetUint64(), 2 * payload.size());
  EXPECT_LT(report["space"]["available"].GetUint64(), 2 * payload.size());
  ZELRELAY_DestroyContext(full);
  umount(small.path.c_str());
}

TEST_F(Relay, MaxbandwidthThrottlesCopying) {
  std::string payload(200000, '\0');
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = char((i * 2654435761u) >> 13);
  std::string package = upstream / "packages/big.zip";
  Spill(package, payload);
  Spill(upstream / "server.ini", "[ENGINE]\nc2t1=" + std::to_string(payload.size()) + " " +
                                     Sha256OfBytes(payload.data(), payload.size()) +
                                     " packages/big.zip\n[All_Product]\nc2t1=c2t1\n");
  ZELRELAY_SetOption(context, ZELRELAY_OPTION_MAXBANDWIDTH, 1000000);
  auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Duplicate({Product("c2t1")}), RELAY_OK);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(180));
}

}  // namespace

namespace {

TEST_F(Relay, AShortFileInPlaceOfTheSemaphoreIsReplacedNotMapped) {
  ZELRELAY_DestroyContext(context);
  Spill("/dev/shm/sem.zelrelay", "");
  context = Open(repo.path.string());
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
}

}  // namespace

namespace {

// The tests' own file server on a free loopback port, stopped on every way out.
struct FileServer {
  pid_t pid = -1;
  int port = 0;
  explicit FileServer(const std::string &root) {
    int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof address;
    bind(probe, reinterpret_cast<sockaddr *>(&address), length);
    getsockname(probe, reinterpret_cast<sockaddr *>(&address), &length);
    close(probe);
    port = ntohs(address.sin_port);
    std::string portText = std::to_string(port);
    pid = fork();
    if (pid == 0) {
      execlp("python3", "python3", FAULT_SERVER, portText.c_str(), root.c_str(), "normal", "/dev/null", nullptr);
      _exit(127);
    }
    for (int i = 0; i < 200 && !Answers(address); ++i) usleep(50000);
  }
  static bool Answers(const sockaddr_in &address) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    bool up = connect(s, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(s);
    return up;
  }
  ~FileServer() {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
  }
};

// A listing and the duplication after it share one fetch of the index; a
// context kept open must still see the upstream change afterwards.
TEST_F(Relay, AContextKeptOpenSeesTheUpstreamChange) {
  FileServer server(upstream.path.string());
  std::wstring http = L"http://127.0.0.1:" + Wide(std::to_string(server.port)) + L"/";
  source.url = http.data();
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  PublishUpstream(upstream.path.string(), {{"c3t4v1.06.1", {"c3t4v1.06.1l1"}}});
  ASSERT_EQ(Duplicate({Product("c3t4")}), RELAY_OK);
  EXPECT_TRUE(Holds("c3t4v1.06.1l1"));
}

}  // namespace
