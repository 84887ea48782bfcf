/*
 * Allocation-failure injection for update.so. The module's own malloc,
 * calloc and realloc reach it through -Wl,--wrap, and Lua's allocations
 * through a wrapped lua_Alloc; both count only while run() is inside the
 * function it calls, so the test decides which call's allocations fail.
 */
#include <dirent.h>
#include <stddef.h>
#include <stdint.h>

#include <lauxlib.h>
#include <lua.h>

#define EXPORT __attribute__((visibility("default")))

void *__real_malloc(size_t size);
void *__real_calloc(size_t count, size_t size);
void *__real_realloc(void *block, size_t size);
void __real_free(void *block);

static int g_armed;
static int64_t g_fail_at; /* 1-based index of the allocation to fail; 0: none */
static int64_t g_count;   /* allocations seen since arming */
static int g_failed;
static int64_t g_live;    /* the module's blocks not yet freed */

/* Lua retries a failed allocation once after a full collection: the retry
 * (same block, same sizes) must fail as well, or the failure is absorbed. */
static struct {
  void *block;
  size_t osize, nsize;
  int pending;
} g_retry;

static lua_Alloc g_lua_alloc;
static void *g_lua_ud;

static int Refuse(void) {
  if (!g_armed) return 0;
  g_count++;
  if (g_count != g_fail_at) return 0;
  g_failed = 1;
  return 1;
}

void *__wrap_malloc(size_t size) {
  if (Refuse()) return NULL;
  void *block = __real_malloc(size);
  if (block) g_live++;
  return block;
}

void *__wrap_calloc(size_t count, size_t size) {
  if (Refuse()) return NULL;
  void *block = __real_calloc(count, size);
  if (block) g_live++;
  return block;
}

void *__wrap_realloc(void *block, size_t size) {
  if (Refuse()) return NULL;
  void *moved = __real_realloc(block, size);
  if (moved && !block) g_live++;
  return moved;
}

void __wrap_free(void *block) {
  if (block) g_live--;
  __real_free(block);
}

static void *CountingAlloc(void *ud, void *block, size_t osize, size_t nsize) {
  (void)ud;
  int grows = nsize > 0 && (block == NULL || nsize > osize);
  if (grows && g_armed) {
    if (g_retry.pending && g_retry.block == block && g_retry.osize == osize && g_retry.nsize == nsize) {
      g_retry.pending = 0;
      return NULL;
    }
    g_retry.pending = 0;
    if (Refuse()) {
      g_retry.block = block;
      g_retry.osize = osize;
      g_retry.nsize = nsize;
      g_retry.pending = 1;
      return NULL;
    }
  }
  return g_lua_alloc(g_lua_ud, block, osize, nsize);
}

/* run(n, f, ...): calls f(...) in protected mode with allocation n failing
 * (0: none) and returns a table { ok=, count=, failed=, n=, results... }. */
static int Run(lua_State *L) {
  lua_Integer n = luaL_checkinteger(L, 1);
  luaL_checktype(L, 2, LUA_TFUNCTION);
  /* Installed for this call only: the state outlives this library. */
  g_lua_alloc = lua_getallocf(L, &g_lua_ud);
  lua_setallocf(L, CountingAlloc, NULL);
  int base = 2;
  int arguments = lua_gettop(L) - base;
  g_fail_at = n;
  g_count = 0;
  g_failed = 0;
  g_retry.pending = 0;
  g_armed = 1;
  int status = lua_pcall(L, arguments, LUA_MULTRET, 0);
  g_armed = 0;
  lua_setallocf(L, g_lua_alloc, g_lua_ud);
  int results = lua_gettop(L) - 1;
  lua_createtable(L, results, 4);
  lua_pushboolean(L, status == LUA_OK);
  lua_setfield(L, -2, "ok");
  lua_pushnumber(L, (lua_Number)g_count);
  lua_setfield(L, -2, "count");
  lua_pushboolean(L, g_failed);
  lua_setfield(L, -2, "failed");
  lua_pushinteger(L, results);
  lua_setfield(L, -2, "n");
  for (int i = results; i >= 1; i--) {
    lua_pushvalue(L, 1 + i);
    lua_rawseti(L, -2, i);
  }
  return 1;
}

static int Live(lua_State *L) {
  lua_pushnumber(L, (lua_Number)g_live);
  return 1;
}

/* Open descriptors: a directory stream or file left open shows here. */
static int Descriptors(lua_State *L) {
  DIR *directory = opendir("/proc/self/fd");
  if (directory == NULL) return luaL_error(L, "cannot list /proc/self/fd");
  lua_Integer count = -1; /* the listing's own descriptor */
  while (readdir(directory) != NULL) count++;
  closedir(directory);
  lua_pushinteger(L, count - 2); /* "." and ".." */
  return 1;
}

static const luaL_Reg kControl[] = {
    {"run", Run},
    {"live", Live},
    {"descriptors", Descriptors},
    {NULL, NULL},
};

EXPORT int luaopen_allocfail(lua_State *L) {
  luaL_newlib(L, kControl);
  return 1;
}
