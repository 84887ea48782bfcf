// Repository calls when the interpreter runs out of memory at every possible
// allocation: whatever was built is released, and no error crosses the
// library's frames.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "double/double.h"
#include "repository/repository.h"

namespace {

// Fails every allocation or growth once the budget is spent.
struct Budget {
  long left = LONG_MAX;
};

void *BudgetAllocator(void *user, void *block, size_t oldSize, size_t newSize) {
  auto *budget = static_cast<Budget *>(user);
  if (newSize == 0) {
    free(block);
    return nullptr;
  }
  if (block == nullptr || newSize > oldSize) {
    if (budget->left <= 0) return nullptr;
    budget->left--;
  }
  return realloc(block, newSize);
}

int OpenDescriptors() {
  int count = 0;
  DIR *directory = opendir("/proc/self/fd");
  while (readdir(directory) != nullptr) count++;
  closedir(directory);
  return count;
}

// One state for every run, as in a host: what a failed run leaves in the
// registry meets the next run.
struct Host {
  Budget limit;
  lua_State *L = nullptr;
  Host() {
    L = lua_newstate(BudgetAllocator, &limit);
    luaL_openlibs(L);
  }
  ~Host() { lua_close(L); }
};

// Runs the chunk, which leaves the function's arguments on the stack, then
// calls the function with the given budget and collects what it dropped.
// Returns the call's status.
int RunWithBudget(Host &host, lua_CFunction function, const char *arguments, long budget) {
  lua_State *L = host.L;
  lua_settop(L, 0);
  lua_pushcfunction(L, function);
  EXPECT_EQ(LUA_OK, luaL_loadstring(L, arguments));
  EXPECT_EQ(LUA_OK, lua_pcall(L, 0, LUA_MULTRET, 0));
  host.limit.left = budget;
  int status = lua_pcall(L, lua_gettop(L) - 1, LUA_MULTRET, 0);
  host.limit.left = LONG_MAX;
  lua_settop(L, 0);
  lua_gc(L, LUA_GCCOLLECT, 0);
  return status;
}

void ScriptRepository() {
  zeldouble::Reset();
  zeldouble::Product product;
  product.entity = {3, 4, 1, -1, -1, -1, {1, 5000, 2}, 0};
  product.whole = false;
  product.components.push_back({22, 2213, -1, -1, -1, -1, {1, 500, 3}, 0});
  product.components.push_back({3, 2048, -1, -1, -1, -1, {0, 0, 0}, 0});
  zeldouble::ScriptInformation(zeldouble::GET_INFORMATION).push_back(product);
  zeldouble::ScriptInformation(zeldouble::DUPLICATE).push_back(product);
  zeldouble::Event &event = zeldouble::QueueEvent();
  event.event = 1;
  event.record = true;
  event.informed = true;
  event.information = L"c3t4.zip";
}

const char kOperationArguments[] =
    "return '/srv/repo', {'c3t4l1', 'c22t2213'},"
    " {{url = 'http://127.0.0.1/', proxy = {host = '127.0.0.1', user = 'u', password = 'p', port = 3128}}},"
    " {progress = function(e) return e.information end, ek = true}";

TEST(RepositoryOutOfMemory, ReleasesEverythingAtEveryAllocation) {
  const struct {
    const char *name;
    lua_CFunction function;
  } operations[] = {{"list", update_list}, {"everything", update_everything}, {"patterns", update_patterns}};
  Host host;
  for (const auto &operation : operations) {
    int status = LUA_ERRMEM;
    long budget = 0;
    for (; status != LUA_OK && budget < 5000; budget++) {
      ScriptRepository();
      status = RunWithBudget(host, operation.function, kOperationArguments, budget);
      ASSERT_EQ(0u, zeldouble::LiveContexts()) << operation.name << " budget " << budget;
      ASSERT_EQ(0u, zeldouble::LiveRecords()) << operation.name << " budget " << budget;
      ASSERT_FALSE(zeldouble::SemaphoreExists()) << operation.name << " budget " << budget;
    }
    EXPECT_EQ(LUA_OK, status) << operation.name;
    EXPECT_GT(budget, 10) << operation.name;
  }
}

TEST(RepositoryOutOfMemory, ClosesThePackageDirectoryAtEveryAllocation) {
  char root[] = "/tmp/update_oom.XXXXXX";
  ASSERT_NE(nullptr, mkdtemp(root));
  std::string repository = root;
  std::string arguments = "return '" + repository + "', function(path) return path:find('keep') end";
  Host host;
  int before = OpenDescriptors();
  int status = LUA_ERRMEM;
  for (long budget = 0; status != LUA_OK && budget < 5000; budget++) {
    // Enough candidates that a run failing just after the stream opened
    // still has allocations to fail in the scan.
    std::string command = "mkdir -p " + repository + "/packages && cd " + repository + " && touch server.ini";
    for (char i = '1'; i <= '8'; i++) command += std::string(" packages/keep0000") + i + ".zip packages/drop0000" + i + ".zip";
    ASSERT_EQ(0, system(command.c_str()));
    status = RunWithBudget(host, update_removeek, arguments.c_str(), budget);
    ASSERT_EQ(before, OpenDescriptors()) << "budget " << budget;
  }
  EXPECT_EQ(LUA_OK, status);
  EXPECT_EQ(0, system(("rm -rf " + repository).c_str()));
}

}  // namespace
