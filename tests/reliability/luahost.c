/*
 * A plain Lua 5.2 interpreter: script path, then its arguments. Sanitized
 * and valgrind runs use it so the runtime is linked in, not preloaded.
 */
#include <stdio.h>

#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>

/* Kept reachable so that a leak check during os.exit sees the live state. */
static lua_State *g_state;

/* busted ends a failed run with error(): a nil error is an exit status. */
static int Traceback(lua_State *L) {
  if (lua_isnil(L, 1)) return 1;
  const char *message = lua_tostring(L, 1);
  luaL_traceback(L, L, message ? message : "(error object is not a string)", 1);
  return 1;
}

int main(int argc, char **argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s script [arguments]\n", argv[0]);
    return 2;
  }
  g_state = luaL_newstate();
  if (g_state == NULL) return 1;
  lua_State *L = g_state;
  luaL_openlibs(L);
  lua_createtable(L, argc - 2, 2);
  for (int i = 0; i < argc; i++) {
    lua_pushstring(L, argv[i]);
    lua_rawseti(L, -2, i - 1);
  }
  lua_setglobal(L, "arg");
  lua_pushcfunction(L, Traceback);
  int status = luaL_loadfile(L, argv[1]);
  if (status == LUA_OK) {
    for (int i = 2; i < argc; i++) lua_pushstring(L, argv[i]);
    status = lua_pcall(L, argc - 2, 0, 1);
  }
  if (status != LUA_OK && !lua_isnil(L, -1)) fprintf(stderr, "%s: %s\n", argv[0], lua_tostring(L, -1));
  lua_close(L);
  return status == LUA_OK ? 0 : 1;
}
