// removeek: rewrite a repository's index to an empty skeleton and delete its
// package archives, sparing merged ones and whatever the filter spares.
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "repository/repository.h"
#include "zelrelay_shared.h"

static const char kSkeleton[] = ZELRELAY_EMPTY_INDEX;
static const char kMerged[] = ZELRELAY_MERGED_SUFFIX;
static const char kZip[] = ".zip";
static const char kDirectoryGuard[] = "update.directory";

static bool EndsWith(const char *name, size_t length, const char *suffix, size_t suffixLength) {
  return length >= suffixLength && memcmp(name + length - suffixLength, suffix, suffixLength) == 0;
}

static bool IsCandidate(const char *name) {
  size_t length = strlen(name);
  return length >= sizeof kMerged - 1 && EndsWith(name, length, kZip, sizeof kZip - 1) &&
         !EndsWith(name, length, kMerged, sizeof kMerged - 1);
}

// Pushes the path, its separator and the name, as one string.
static void PushRepositoryFile(lua_State *L, const char *path, size_t length, const char *name) {
  luaL_Buffer b;
  luaL_buffinit(L, &b);
  luaL_addlstring(&b, path, length);
  if (length == 0 || path[length - 1] != '/') luaL_addchar(&b, '/');
  luaL_addstring(&b, name);
  luaL_pushresult(&b);
}

// Pushes io.close and io.open, looked up afresh as a script may change them.
static void PushIoFunctions(lua_State *L) {
  lua_getglobal(L, "io");
  lua_getfield(L, -1, "close");
  lua_getfield(L, -2, "open");
  lua_remove(L, -3);
}

// Returns false when the index cannot be opened for reading.
static bool RewriteIndex(lua_State *L, int index) {
  int top = lua_gettop(L);
  PushIoFunctions(L);
  lua_pushvalue(L, index);
  lua_pushliteral(L, "r");
  lua_call(L, 2, 1);
  if (lua_isnil(L, -1)) return false;
  lua_call(L, 1, 0);
  PushIoFunctions(L);
  lua_pushvalue(L, index);
  lua_pushliteral(L, "w");
  lua_call(L, 2, 1);
  if (!lua_isnil(L, -1)) {
    lua_getfield(L, -1, "write");
    lua_pushvalue(L, -2);
    lua_pushlstring(L, kSkeleton, sizeof kSkeleton - 1);
    lua_call(L, 2, 0);
    lua_call(L, 1, 0);
  }
  lua_settop(L, top);
  return true;
}

// Idempotent: the scan's own close and the collector's may both come.
static void CloseStream(DIR **stream) {
  if (*stream != nullptr) closedir(*stream);
  *stream = nullptr;
}

static int CloseDirectory(lua_State *L) {
  CloseStream(static_cast<DIR **>(luaL_checkudata(L, 1, kDirectoryGuard)));
  return 0;
}

// The stream belongs to a userdata before it exists, so a raise anywhere in
// the scan leaves it to the collector to close. The metatable is registered
// only once complete: one that lost its __gc to a memory error would stay.
static DIR **PushDirectoryGuard(lua_State *L) {
  auto *stream = static_cast<DIR **>(lua_newuserdata(L, sizeof(DIR *)));
  *stream = nullptr;
  luaL_getmetatable(L, kDirectoryGuard);
  if (lua_isnil(L, -1)) {
    lua_pop(L, 1);
    lua_createtable(L, 0, 1);
    lua_pushcfunction(L, CloseDirectory);
    lua_setfield(L, -2, "__gc");
    lua_pushvalue(L, -1);
    lua_setfield(L, LUA_REGISTRYINDEX, kDirectoryGuard);
  }
  lua_setmetatable(L, -2);
  return stream;
}

// The filter's first result, or its error value, spares the file when true.
static bool FilterSpares(lua_State *L, const char *directory, size_t length, const char *name) {
  lua_pushvalue(L, 2);
  PushRepositoryFile(L, directory, length, name);
  lua_pcall(L, 1, 1, 0);
  bool spare = lua_toboolean(L, -1);
  lua_pop(L, 1);
  return spare;
}

// Deletes relative to the stream's own descriptor, so a path swapped during
// the scan cannot redirect a deletion; unlinkat without AT_REMOVEDIR leaves a
// directory named like an archive in place. A filter that reaches the guard
// (through the debug library) may close the stream: the scan then stops.
static void DeleteArchives(lua_State *L, DIR **stream, const char *directory, size_t length, bool filter) {
  int descriptor = dirfd(*stream);
  while (struct dirent *entry = readdir(*stream)) {
    if (!IsCandidate(entry->d_name)) continue;
    if (filter) {
      bool spare = FilterSpares(L, directory, length, entry->d_name);
      if (*stream == nullptr) return;
      if (spare) continue;
    }
    unlinkat(descriptor, entry->d_name, 0);
  }
}

int update_removeek(lua_State *L) {
  size_t length = 0;
  const char *path = lua_tolstring(L, 1, &length);
  if (path == nullptr) return luaL_argerror(L, 1, "expected repository path");
  bool filter = !lua_isnoneornil(L, 2);
  if (filter && !lua_isfunction(L, 2)) return luaL_argerror(L, 2, "expected function");
  lua_settop(L, 2);
  PushRepositoryFile(L, path, length, ZELRELAY_INDEX_FILE);
  if (!RewriteIndex(L, 3)) {
    lua_pushnil(L);
    lua_pushfstring(L, "%s is not a repository", path);
    return 2;
  }
  PushRepositoryFile(L, path, length, ZELRELAY_PACKAGES_DIR);
  size_t directoryLength = 0;
  const char *directory = lua_tolstring(L, 4, &directoryLength);
  DIR **stream = PushDirectoryGuard(L);
  *stream = opendir(directory);
  if (*stream != nullptr) DeleteArchives(L, stream, directory, directoryLength, filter);
  CloseStream(stream);
  lua_pushboolean(L, 1);
  return 1;
}
