// Lua's narrow strings against the library's 32-bit wide strings.
#include <cstdlib>
#include <cstring>

#include "frame/frame.h"

wchar_t *AtoW(const char *narrow) {
  if (narrow == nullptr) return nullptr;
  size_t n = strlen(narrow);
  auto *wide = static_cast<wchar_t *>(malloc(sizeof(wchar_t) * (n + 1)));
  if (wide == nullptr) return nullptr;
  // Sign extension is what the library expects.
  for (size_t i = 0; i < n; i++) wide[i] = static_cast<signed char>(narrow[i]);
  wide[n] = 0;
  return wide;
}

void pushstringWtoA(lua_State *L, const wchar_t *wide) {
  if (wide == nullptr) {
    lua_pushnil(L);
    return;
  }
  size_t n = wcslen(wide);
  luaL_Buffer b;
  char *out = luaL_buffinitsize(L, &b, n + 1);
  for (size_t i = 0; i < n; i++) out[i] = wide[i] >= 128 ? '?' : static_cast<char>(wide[i]);
  luaL_pushresultsize(&b, n);
}
