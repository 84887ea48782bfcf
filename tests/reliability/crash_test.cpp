// Crash safety of the local relay: a mirror killed at random moments leaves
// a repository whose index and packages agree, and a write that fails leaves
// the previous content as it was.
#include <gtest/gtest.h>

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

namespace fs = std::filesystem;

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

}  // namespace
