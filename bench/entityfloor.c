/* The floor of update.tocomponent: a C function that parses and formats
 * nothing, and only builds the same entity table, with the same keys and the
 * same string values, precomputed. Keys are upvalues, the table presized.
 *   floor.prepare(ids, tables)  records tables[i] (tocomponent's) for ids[i]
 *   floor.entity(id)            the table for one of those ids, built anew */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <lauxlib.h>
#include <lua.h>

enum { INTEGERS = 6, STRINGS = 4, TEXT = 64 };
static const char *const kIntegerKeys[INTEGERS] = {"klass", "type", "language", "platform", "region", "oem"};
static const char *const kStringKeys[STRINGS] = {"version", "name", "extract", "friendly"};

struct Record {
  const char *id; /* the Lua string's own bytes: its address is the key */
  int present;
  lua_Integer integers[INTEGERS];
  unsigned char length[STRINGS]; /* 0: absent (friendly only) */
  char text[STRINGS][TEXT];
};

static struct Record *g_records;
static size_t *g_slots, g_mask;

static size_t slot_of(const char *id) { return (size_t)(((uintptr_t)id * 0x9E3779B97F4A7C15ull) >> 32); }

static int prepare(lua_State *L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  luaL_checktype(L, 2, LUA_TTABLE);
  size_t count = lua_rawlen(L, 1);
  free(g_records);
  free(g_slots);
  g_records = calloc(count + 1, sizeof *g_records);
  for (g_mask = 1; g_mask < 2 * count; g_mask <<= 1) {}
  g_slots = calloc(g_mask, sizeof *g_slots);
  g_mask--;
  if (g_records == NULL || g_slots == NULL) return luaL_error(L, "no memory");
  for (size_t i = 1; i <= count; i++) {
    struct Record *r = &g_records[i];
    lua_rawgeti(L, 1, (int)i);
    r->id = lua_tostring(L, -1);
    lua_pop(L, 1);
    lua_rawgeti(L, 2, (int)i);
    r->present = lua_istable(L, -1);
    for (int k = 0; r->present && k < INTEGERS; k++) {
      lua_getfield(L, -1, kIntegerKeys[k]);
      r->integers[k] = lua_tointeger(L, -1);
      lua_pop(L, 1);
    }
    for (int k = 0; r->present && k < STRINGS; k++) {
      lua_getfield(L, -1, kStringKeys[k]);
      size_t n = 0;
      const char *s = lua_tolstring(L, -1, &n);
      if (s != NULL && n >= TEXT) return luaL_error(L, "string too long for the floor");
      if (s != NULL) memcpy(r->text[k], s, n);
      r->length[k] = (unsigned char)n;
      lua_pop(L, 1);
    }
    lua_pop(L, 1);
    size_t slot = slot_of(r->id) & g_mask;
    while (g_slots[slot] != 0) slot = (slot + 1) & g_mask;
    g_slots[slot] = i;
  }
  return 0;
}

static int entity(lua_State *L) {
  const char *id = lua_tostring(L, 1);
  size_t slot = slot_of(id) & g_mask, i;
  while ((i = g_slots[slot]) != 0 && g_records[i].id != id) slot = (slot + 1) & g_mask;
  if (i == 0) return luaL_argerror(L, 1, "not prepared");
  const struct Record *r = &g_records[i];
  if (!r->present) {
    lua_pushnil(L);
    return 1;
  }
  lua_createtable(L, 0, INTEGERS + STRINGS - (r->length[STRINGS - 1] == 0));
  for (int k = 0; k < INTEGERS; k++) {
    lua_pushvalue(L, lua_upvalueindex(k + 1));
    lua_pushinteger(L, r->integers[k]);
    lua_rawset(L, -3);
  }
  for (int k = 0; k < STRINGS; k++) {
    if (r->length[k] == 0) continue;
    lua_pushvalue(L, lua_upvalueindex(INTEGERS + k + 1));
    lua_pushlstring(L, r->text[k], r->length[k]);
    lua_rawset(L, -3);
  }
  return 1;
}

LUALIB_API int luaopen_entityfloor(lua_State *L) {
  lua_createtable(L, 0, 2);
  lua_pushcfunction(L, prepare);
  lua_setfield(L, -2, "prepare");
  for (int k = 0; k < INTEGERS; k++) lua_pushstring(L, kIntegerKeys[k]);
  for (int k = 0; k < STRINGS; k++) lua_pushstring(L, kStringKeys[k]);
  lua_pushcclosure(L, entity, INTEGERS + STRINGS);
  lua_setfield(L, -2, "entity");
  return 1;
}
