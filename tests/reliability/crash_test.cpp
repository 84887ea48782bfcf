// Crash safety of the local relay: a mirror killed at random moments leaves
// a repository whose index and packages agree, and a write that fails leaves
// the previous content as it was.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <set>

#include "../relay/fixture.h"
#include "base/files.h"
#include "base/status.h"
#include "base/digest.h"
#include "repository/retired.h"

namespace fs = std::filesystem;

// Every rename and unlink of the process passes here once armed: a test can
// kill it at the Nth, or check before each what a reader would find, since
// what a web server hands out changes only there.
namespace {

int g_steps = 0;
int g_killAt = 0;         // the step to die at; 0: none
std::string g_watched;    // a repository to check before each step
void CheckWatched();

void Step() {
  if (g_killAt == 0 && g_watched.empty()) return;
  ++g_steps;
  if (g_steps == g_killAt) raise(SIGKILL);
  if (!g_watched.empty()) CheckWatched();
}

template <class Real>
Real RealCall(const char *name) {
  return reinterpret_cast<Real>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int rename(const char *from, const char *to) {
  static auto real = RealCall<int (*)(const char *, const char *)>("rename");
  Step();
  return real(from, to);
}

extern "C" int unlink(const char *path) {
  static auto real = RealCall<int (*)(const char *)>("unlink");
  Step();
  return real(path);
}

namespace {

constexpr int kProducts = 80;
constexpr int kComponentsPerProduct = 4;
constexpr int kKillsWanted = 20;

std::vector<std::string> g_ids;  // owns the strings the layouts point to

std::vector<ProductLayout> Catalogue() {
  g_ids.clear();
  g_ids.reserve(kProducts * (kComponentsPerProduct + 1));
  std::vector<ProductLayout> layouts;
  for (int p = 0; p < kProducts; ++p) {
    g_ids.push_back("c1t" + std::to_string(100 + p) + "v1.5.1");
    ProductLayout layout{g_ids.back().c_str(), {}};
    for (int c = 0; c < kComponentsPerProduct; ++c) {
      g_ids.push_back("c3t" + std::to_string(1000 + p * kComponentsPerProduct + c) + "v2.25.7l1");
      layout.components.push_back(g_ids.back().c_str());
    }
    layouts.push_back(layout);
  }
  return layouts;
}

// The whole catalogue, as the module would request it: every product by
// class and type alone.
std::vector<ZELRELAY_Product> Request() {
  std::vector<ZELRELAY_Product> products;
  for (int p = 0; p < kProducts; ++p) {
    ZELRELAY_Product product{};
    product.entity = Entity(("c1t" + std::to_string(100 + p)).c_str());
    products.push_back(product);
  }
  return products;
}

int32_t Mirror(const std::string &repository, const std::string &upstream) {
  ZELRELAY_Startup(0);
  std::wstring path(repository.begin(), repository.end()), url(upstream.begin(), upstream.end());
  ZELRELAY_Context context = nullptr;
  int32_t status = ZELRELAY_CreateContext(&context, path.c_str());
  if (status <= 0) return status;
  ZELRELAY_Source source{url.data(), nullptr, nullptr, nullptr};
  std::vector<ZELRELAY_Product> products = Request();
  ZELRELAY_Information *information = nullptr;
  status = ZELRELAY_Duplicate(context, products.data(), products.size(), &source, 1, &information);
  if (information) ZELRELAY_DestroyData(information);
  ZELRELAY_DestroyContext(context);
  return status;
}

// As the module does after every context: a writer killed while holding the
// named semaphore must not make the next one wait for it.
void ForgetSemaphore() { unlink("/dev/shm/sem.zelrelay"); }

// The invariant after any interruption: the index reads, every package it
// names is there with its digest, and every file under a package's final
// name is a complete package of the upstream.
void ExpectConsistent(const std::string &repository, const Index &upstream, const std::string &when) {
  std::optional<Index> local;
  try {
    local = ReadIndex(repository);
  } catch (const RelayError &e) {
    FAIL() << when << ": index unreadable, status " << e.status;
  }
  std::set<std::string_view> digests;
  for (const ComponentEntry &c : upstream.components) digests.insert(c.sha256);
  if (local) {
    for (const ComponentEntry &c : local->components) {
      std::string path = repository + "/" + std::string(c.path);
      FileDescriptor file{open(path.c_str(), O_RDONLY)};
      ASSERT_GE(file.fd, 0) << when << ": the index names a missing " << c.path;
      uint64_t at = c.InArchive() ? c.offset : 0;
      EXPECT_EQ(Sha256OfRange(file.fd, at, c.size), c.sha256) << when << ": " << c.path << " at " << at;
      if (!c.InArchive()) {
        EXPECT_EQ(uint64_t(fs::file_size(path)), c.size) << when << ": " << c.path;
      }
    }
  }
  fs::path packages = fs::path(repository) / "packages";
  if (!fs::exists(packages)) return;
  for (const fs::directory_entry &entry : fs::directory_iterator(packages)) {
    std::string name = entry.path().filename().string();
    if (name.size() < 4 || name.compare(name.size() - 4, 4, ".zip") != 0 || name.find("_merged") != std::string::npos)
      continue;
    EXPECT_TRUE(digests.count(Sha256OfFile(entry.path().string()))) << when << ": partial package " << name;
  }
}

struct Figures {
  int kills = 0;
  int completed = 0;
};

TEST(CrashSafety, MirrorKilledAtRandomMomentsStaysConsistentAndCompletes) {
  TempDirectory upstream, work;
  PublishUpstream(upstream.path.string(), Catalogue());
  Index published = *ReadIndex(upstream.path.string());
  std::string repository = work / "repository";

  // How long one whole mirror takes here, to aim the kills inside it.
  fs::create_directories(work / "timing");
  ForgetSemaphore();
  auto start = std::chrono::steady_clock::now();
  ASSERT_GT(Mirror(work / "timing", upstream.path.string()), 0);
  auto whole = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start);

  std::mt19937 random(20240611);
  Figures figures;
  for (int attempt = 0; figures.kills < kKillsWanted && attempt < 400; ++attempt) {
    fs::create_directories(repository);
    ForgetSemaphore();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) _exit(Mirror(repository, upstream.path.string()) > 0 ? 0 : 1);
    std::uniform_int_distribution<long> moment(0, std::max<long>(1000, whole.count() / 2));
    usleep(useconds_t(moment(random)));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    std::string when = "attempt " + std::to_string(attempt);
    ExpectConsistent(repository, published, when);
    if (WIFSIGNALED(status)) {
      figures.kills++;
    } else {
      ASSERT_EQ(WEXITSTATUS(status), 0) << when << ": the mirror failed";
      figures.completed++;
      fs::remove_all(repository);  // start over, so later kills land mid-way again
    }
  }
  ASSERT_GE(figures.kills, kKillsWanted);

  ForgetSemaphore();
  ASSERT_GT(Mirror(repository, upstream.path.string()), 0) << "the run after the last kill";
  ExpectConsistent(repository, published, "after the last run");
  for (const fs::path &directory : {fs::path(repository), fs::path(repository) / "packages"})
    for (const fs::directory_entry &entry : fs::directory_iterator(directory))
      EXPECT_TRUE(entry.path().filename().string().rfind(".zelrelay-", 0) != 0 && entry.path().extension() != ".partial")
          << "left behind: " << entry.path();
  Index local = *ReadIndex(repository);
  EXPECT_EQ(local.components.size(), published.components.size());
  EXPECT_EQ(local.products.size(), published.products.size());
  RecordProperty("kills", figures.kills);
  printf("crash safety: %d kills survived, %d runs completed before their kill\n", figures.kills, figures.completed);
  if (const char *scratch = getenv("RELIABILITY_SCRATCH")) {
    if (FILE *out = fopen((std::string(scratch) + "/figures-crash.txt").c_str(), "w")) {
      fprintf(out, "kills=%d\ncompleted=%d\n", figures.kills, figures.completed);
      fclose(out);
    }
  }
}

// A run holds descriptors for what is in flight, not for each product it
// rebuilds: hundreds of products mirror under a limit of 64.
TEST(CrashSafety, ManyProductsWithFewDescriptors) {
  TempDirectory upstream, work;
  PublishUpstream(upstream.path.string(), Catalogue());
  std::string repository = work / "repository";
  fs::create_directories(repository);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    rlimit limit{64, 64};
    setrlimit(RLIMIT_NOFILE, &limit);
    _exit(Mirror(repository, upstream.path.string()) > 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(CrashSafety, WriteBeyondTheFileSizeLimitFailsAndKeepsTheRepository) {
  TempDirectory upstream, work;
  PublishUpstream(upstream.path.string(), Catalogue());
  std::string repository = work / "repository";
  fs::create_directories(repository);
  ForgetSemaphore();
  ASSERT_GT(Mirror(repository, upstream.path.string()), 0);
  std::string before = Slurp(repository + "/server.ini");

  // Upstream grows: new products whose packages and index exceed the limit.
  std::vector<ProductLayout> grown = Catalogue();
  grown.push_back({"c1t999v1.5.1", {"c3t9990v1.0.1l1", "c3t9991v1.0.1l1"}});
  PublishUpstream(upstream.path.string(), grown);
  Index published = *ReadIndex(upstream.path.string());

  ForgetSemaphore();
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails with EFBIG instead
    rlimit limit{64, 64};
    setrlimit(RLIMIT_FSIZE, &limit);
    ZELRELAY_Startup(0);
    std::wstring path(repository.begin(), repository.end());
    std::string up = upstream.path.string();
    std::wstring url(up.begin(), up.end());
    ZELRELAY_Context context = nullptr;
    if (ZELRELAY_CreateContext(&context, path.c_str()) <= 0) _exit(100);
    ZELRELAY_Source source{url.data(), nullptr, nullptr, nullptr};
    ZELRELAY_Product product{};
    product.entity = Entity("c1t999");
    ZELRELAY_Information *information = nullptr;
    int32_t status = ZELRELAY_Duplicate(context, &product, 1, &source, 1, &information);
    ZELRELAY_DestroyContext(context);
    _exit(status > 0 ? 101 : -status);
  }
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(WIFEXITED(status)) << "the relay died on a failed write";
  EXPECT_NE(WEXITSTATUS(status), 101) << "the failed write was reported as success";
  EXPECT_NE(WEXITSTATUS(status), 100) << "no context";
  printf("failed write: status -%d\n", WEXITSTATUS(status));
  EXPECT_EQ(Slurp(repository + "/server.ini"), before);
  ExpectConsistent(repository, published, "after the failed write");
}

// What a reader finds in the repository right now: each index that is
// there reads, and every file it names holds the bytes it names. Empty
// when whole, else what is wrong.
std::string Broken(const std::string &repository) {
  for (const char *name : {"server.ini", "merged.ini"}) {
    std::optional<Index> index;
    try {
      index = ReadIndexAt(OpenDirectory(repository).fd, name);
    } catch (const RelayError &e) {
      return std::string(name) + " does not read: status " + std::to_string(e.status);
    }
    for (const ComponentEntry &c : index ? index->components : std::vector<ComponentEntry>{}) {
      FileDescriptor file{open((repository + "/" + std::string(c.path)).c_str(), O_RDONLY)};
      if (file.fd < 0) return std::string(name) + " names a missing " + std::string(c.path);
      if (Sha256OfRange(file.fd, c.InArchive() ? c.offset : 0, c.size) != c.sha256)
        return std::string(name) + " names other bytes at " + std::string(c.path) +
               (c.InArchive() ? "@" + std::to_string(c.offset) : "");
    }
  }
  return {};
}

void CheckWatched() {
  std::string watched = std::exchange(g_watched, {});  // the check's own reads are no steps
  std::string broken = Broken(watched);
  if (!broken.empty()) {
    fprintf(stderr, "before step %d: %s\n", g_steps, broken.c_str());
    _exit(3);
  }
  g_watched = watched;
}

struct Options {
  int64_t keepcount = 0, maxmerge = 0;
};

int32_t DuplicateAll(const std::string &repository, const std::string &upstream, const Options &options) {
  ZELRELAY_Startup(0);
  std::wstring path(repository.begin(), repository.end()), url(upstream.begin(), upstream.end());
  ZELRELAY_Context context = nullptr;
  int32_t status = ZELRELAY_CreateContext(&context, path.c_str());
  if (status <= 0) return status;
  ZELRELAY_SetOption(context, ZELRELAY_OPTION_KEEPCOUNT, options.keepcount);
  ZELRELAY_SetOption(context, ZELRELAY_OPTION_MAXMERGE, options.maxmerge);
  ZELRELAY_Source source{url.data(), nullptr, nullptr, nullptr};
  std::vector<ZELRELAY_Product> products;
  for (const char *id : {"c1t1", "c1t2", "c1t3"}) products.push_back(ZELRELAY_Product{Entity(id), nullptr, 0});
  status = ZELRELAY_Duplicate(context, products.data(), products.size(), &source, 1, nullptr);
  ZELRELAY_DestroyContext(context);
  ForgetSemaphore();
  return status;
}

// In a child: killed at step killAt (0: never), or checked before every
// step. Returns how the child ended.
int RunChild(const std::string &repository, const std::string &upstream, const Options &options, int killAt,
             bool watch) {
  pid_t child = fork();
  if (child == 0) {
    g_steps = 0;
    g_killAt = killAt;
    if (watch) g_watched = repository;
    _exit(DuplicateAll(repository, upstream, options) > 0 ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return status;
}

// As the module's clean-up leaves it: the index an empty skeleton, only the
// merged archives left.
void CleanUp(const std::string &repository) {
  Spill(repository + "/server.ini", "[PATTERN]\n\n[ENGINE]\n\n[All_Product]\n\n");
  for (const fs::directory_entry &entry : fs::directory_iterator(repository + "/packages")) {
    std::string name = entry.path().filename();
    if (name.ends_with(".zip") && !name.ends_with("_merged.zip")) fs::remove(entry.path());
  }
}

// Each writing step of a repository's second day, from the state the one
// before left: a reader checked before every rename and unlink finds the
// repository whole, a kill at any of them leaves it whole, and the next run
// completes it with no hand repair.
TEST(CrashSafety, EveryRenameAndUnlinkOfARebuildLeavesAWholeRepository) {
  TempDirectory upstream, work;
  std::string up = upstream.path.string(), base = work / "base", attempt = work / "attempt";
  std::vector<ProductLayout> catalogue = {{"c1t1v1.0.1", {"c3t11v1.0.1l1", "c3t12v1.0.1l1", "c3t13v1.0.1l1"}},
                                          {"c1t2v1.0.1", {"c3t21v1.0.1l1", "c3t22v1.0.1l1"}},
                                          {"c1t3v1.0.1", {"c3t31v1.0.1l1"}}};
  const struct {
    const char *what;
    std::function<void()> change;  // upstream, or the repository itself
    Options options;
  } steps[] = {
      {"first mirror", [&] { PublishUpstream(up, catalogue); }, {0, 2}},
      {"republished", [&] { Republish(up, "c3t12v1.0.1l1"); Republish(up, "c3t31v1.0.1l1"); }, {0, 2}},
      {"pruned", [&] {
         catalogue[0] = {"c1t1v1.1.0", {"c3t11v1.1.0l1", "c3t12v1.1.0l1", "c3t13v1.0.1l1"}};
         PublishUpstream(up, catalogue);
       }, {1, 2}},
      {"after the clean-up", [&] { CleanUp(base); Republish(up, "c3t21v1.0.1l1"); }, {1, 0}},
  };
  fs::create_directories(base);
  int kills = 0;
  for (const auto &step : steps) {
    step.change();
    Index published = *ReadIndex(up);
    auto fresh = [&] {
      fs::remove_all(attempt);
      ASSERT_EQ(system(("cp -a " + base + " " + attempt).c_str()), 0);
    };
    fresh();
    int status = RunChild(attempt, up, step.options, 0, true);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << step.what << ": a reader found it broken";
    for (int at = 1;; ++at) {
      fresh();
      status = RunChild(attempt, up, step.options, at, false);
      if (!WIFSIGNALED(status)) break;  // it ran to its end before step at
      kills++;
      std::string when = std::string(step.what) + ", killed at step " + std::to_string(at);
      ASSERT_EQ(Broken(attempt), "") << when;
      ASSERT_GT(DuplicateAll(attempt, up, step.options), 0) << when << ": the next run failed";
      ASSERT_EQ(Broken(attempt), "") << when << ", then run again";
      EXPECT_EQ(ReadIndex(attempt)->components.size(), published.components.size()) << when;
    }
    ASSERT_GT(DuplicateAll(base, up, step.options), 0) << step.what;
  }
  printf("crash safety: killed at %d renames and unlinks\n", kills);
}

}  // namespace
