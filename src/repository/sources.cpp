// The sources argument as the library's source block: n source records, then
// n proxy slots, in one zeroed allocation.
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "frame/frame.h"
#include "repository/repository.h"

static const size_t kSourceBytes = sizeof(ZELRELAY_Source) + sizeof(ZELRELAY_Proxy);

// NaN and values outside 32 bits give 0, like the library's own readers.
static int32_t NumberToInt32(lua_State *L, int index) {
  lua_Number n = lua_tonumberx(L, index, nullptr);
  if (!(n > INT32_MIN - 1.0 && n < INT32_MAX + 1.0)) return 0;
  return static_cast<int32_t>(n);
}

// Every string is converted before the first AtoW, so nothing can raise
// while a fresh wide copy is not yet owned by the block.
static void FillProxy(lua_State *L, int proxy, ZELRELAY_Source *source, ZELRELAY_Proxy *slot) {
  lua_getfield(L, proxy, "type");
  lua_getfield(L, proxy, "host");
  lua_getfield(L, proxy, "user");
  lua_getfield(L, proxy, "password");
  lua_getfield(L, proxy, "port");
  const char *host = lua_tolstring(L, -4, nullptr);
  if (host == nullptr) return;
  const char *user = lua_tolstring(L, -3, nullptr);
  const char *password = lua_tolstring(L, -2, nullptr);
  lua_Number type = lua_tonumberx(L, -5, nullptr);
  slot->type = type != 0 ? 1 : 0;  // NaN counts as set
  slot->port = static_cast<uint16_t>(NumberToInt32(L, -1));
  slot->host = AtoW(host);
  slot->user = AtoW(user);
  slot->password = AtoW(password);
  source->proxy = slot;
}

static void FillSource(lua_State *L, int element, ZELRELAY_Source *source, ZELRELAY_Proxy *slot) {
  lua_getfield(L, element, "url");
  lua_getfield(L, element, "proxy");
  const char *url = lua_tolstring(L, -2, nullptr);
  source->url = AtoW(url);
  if (lua_istable(L, -1)) FillProxy(L, lua_gettop(L), source, slot);
}

// A length metamethod may report anything; only a count whose block can be
// sized and whose elements an int index reaches is taken.
static bool ReadSourceCount(lua_State *L, int index, unsigned long &count) {
  lua_len(L, index);
  int isnum = 0;
  lua_Number n = lua_tonumberx(L, -1, &isnum);
  lua_pop(L, 1);
  if (!isnum) luaL_error(L, "object length is not a number");
  if (!(n >= 0 && n <= INT_MAX && n == std::floor(n))) return false;
  count = static_cast<unsigned long>(n);
  return true;
}

static const char *TableToSources(lua_State *L, int index, ZELRELAY_Source **sources, unsigned long &count) {
  unsigned long n = 0;
  if (!ReadSourceCount(L, index, n)) return "can't allocate source";
  if (n == 0) return nullptr;
  auto *block = static_cast<ZELRELAY_Source *>(calloc(n, kSourceBytes));
  if (block == nullptr) return "can't allocate source";
  *sources = block;
  count = n;
  auto *slots = reinterpret_cast<ZELRELAY_Proxy *>(block + n);
  int top = lua_gettop(L);
  for (unsigned long i = 0; i < n; i++) {
    lua_rawgeti(L, index, static_cast<int>(i + 1));
    if (lua_istable(L, -1)) FillSource(L, top + 1, &block[i], &slots[i]);
    lua_settop(L, top);
  }
  return nullptr;
}

const char *LuaToSources(lua_State *L, int index, ZELRELAY_Source **sources, unsigned long &count) {
  *sources = nullptr;
  count = 0;
  if (lua_isnoneornil(L, index)) return nullptr;
  if (lua_istable(L, index)) return TableToSources(L, index, sources, count);
  const char *url = lua_tolstring(L, index, nullptr);
  if (url == nullptr) return "expected sources";
  auto *source = static_cast<ZELRELAY_Source *>(calloc(1, sizeof(ZELRELAY_Source)));
  if (source == nullptr) return "can't allocate source";
  source->url = AtoW(url);
  *sources = source;
  count = 1;
  return nullptr;
}

void DestroySources(ZELRELAY_Source *sources, unsigned long count) {
  for (unsigned long i = 0; sources != nullptr && i < count; i++) {
    free(sources[i].url);
    if (ZELRELAY_Proxy *proxy = sources[i].proxy) {
      free(proxy->host);
      free(proxy->user);
      free(proxy->password);
    }
  }
  free(sources);
}
