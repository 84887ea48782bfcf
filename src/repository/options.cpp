// The options table: event subscriptions, typed library options, the
// clean-up; and the callback that hands events to the script.
#include <cstring>

#include "frame/frame.h"
#include "repository/repository.h"
#include "zelrelay_shared.h"

enum OptionKind { OPTION_INTEGER, OPTION_BOOLEAN };

struct OptionRow {
  const char *name;
  OptionKind kind;
  int32_t id;
};

static const OptionRow kOptions[] = {
    {"maxbandwidth", OPTION_INTEGER, ZELRELAY_OPTION_MAXBANDWIDTH},
    {"buildpatch", OPTION_BOOLEAN, ZELRELAY_OPTION_BUILDPATCH},
    {"maxmerge", OPTION_INTEGER, ZELRELAY_OPTION_MAXMERGE},
    {"diffcount", OPTION_INTEGER, ZELRELAY_OPTION_DIFFCOUNT},
    {"keepcount", OPTION_INTEGER, ZELRELAY_OPTION_KEEPCOUNT},
    {"httpslevel", OPTION_INTEGER, ZELRELAY_OPTION_HTTPSLEVEL},
    {"dupdigisign", OPTION_BOOLEAN, ZELRELAY_OPTION_DUPDIGISIGN},
};

// Indexed by the library's event number.
static const char *const kEventNames[ZELRELAY_EVENT_COUNT] = {
    "download", "progress", "removebegin", "removefailed", "downloadbegin", "downloadend",
};
static const char kUnknownEvent[] = "unknown";

static int FindEvent(const char *key) {
  for (int i = 0; i < ZELRELAY_EVENT_COUNT; i++)
    if (strcmp(key, kEventNames[i]) == 0) return i;
  return -1;
}

static const OptionRow *FindOption(const char *key) {
  for (const OptionRow &row : kOptions)
    if (strcmp(key, row.name) == 0) return &row;
  return nullptr;
}

// The value is on top of the stack.
static const char *SetOption(lua_State *L, ZELRELAY_Context handle, const OptionRow &row, const char *key) {
  if (row.kind == OPTION_BOOLEAN) {
    if (!lua_isboolean(L, -1)) return lua_pushfstring(L, "%s must be a boolean", key);
    ZELRELAY_SetOption(handle, row.id, lua_toboolean(L, -1));
    return nullptr;
  }
  int isnum = 0;
  lua_Integer value = lua_tointegerx(L, -1, &isnum);
  if (!isnum) return lua_pushfstring(L, "%s must be a integer", key);
  ZELRELAY_SetOption(handle, row.id, value);
  return nullptr;
}

static int OnLibraryEvent(int event, ZELRELAY_Event *record, void *user);

// ek = true switches the clean-up off, whatever else the table holds; ek =
// false leaves the choice as it is, but a filter named while it was off
// takes effect.
static Cleanup AfterEk(bool ek, Cleanup cleanup) {
  if (ek) return CLEANUP_NONE;
  return cleanup == CLEANUP_NONE_FILTERED ? CLEANUP_FILTERED : cleanup;
}

// A removeek filter takes effect unless ek = true came first.
static Cleanup AfterFilter(Cleanup cleanup) {
  return cleanup == CLEANUP_NONE ? CLEANUP_NONE_FILTERED : CLEANUP_FILTERED;
}

// The key is at -2 and the value on top.
static const char *ApplyOption(lua_State *L, ZELRELAY_Context handle, Cleanup *cleanup) {
  int keyType = lua_type(L, -2);
  if (keyType != LUA_TSTRING && keyType != LUA_TNUMBER) return "options must be named";
  // A number key is converted in place, which would upset lua_next; it never
  // matches a name, so the walk always stops at it.
  const char *key = lua_tolstring(L, -2, nullptr);
  int event = FindEvent(key);
  if (event >= 0) {
    if (!lua_isfunction(L, -1)) return lua_pushfstring(L, "%s must be a function", key);
    ZELRELAY_SubscribeEvent(handle, event, OnLibraryEvent, L);
    return nullptr;
  }
  if (const OptionRow *row = FindOption(key)) return SetOption(L, handle, *row, key);
  if (strcmp(key, "ek") == 0) {
    if (!lua_isboolean(L, -1)) return "ek must be boolean";
    *cleanup = AfterEk(lua_toboolean(L, -1), *cleanup);
    return nullptr;
  }
  if (strcmp(key, "removeek") == 0) {
    if (!lua_isfunction(L, -1)) return "removeek must be a function";
    *cleanup = AfterFilter(*cleanup);
    return nullptr;
  }
  if (strcmp(key, kUnknownEvent) == 0) return lua_isfunction(L, -1) ? nullptr : "unknown must be a function";
  return lua_pushfstring(L, "%s is not a valid option", key);
}

const char *ParseOptions(lua_State *L, ZELRELAY_Context handle, Cleanup *cleanup) {
  if (lua_isnoneornil(L, OPTIONS_SLOT)) return nullptr;
  if (!lua_istable(L, OPTIONS_SLOT)) return "not a table of options";
  lua_pushnil(L);
  while (lua_next(L, OPTIONS_SLOT)) {
    if (const char *message = ApplyOption(L, handle, cleanup)) return message;
    lua_pop(L, 1);
  }
  return nullptr;
}

// Runs protected: the handler lookup may meet an __index metamethod, and any
// of it may raise. Arguments: options table, event name, event record.
static int DeliverEvent(lua_State *L) {
  auto *name = static_cast<const char *>(lua_touserdata(L, 2));
  auto *record = static_cast<const ZELRELAY_Event *>(lua_touserdata(L, 3));
  lua_getfield(L, 1, name);
  if (!lua_isfunction(L, -1)) return 0;
  lua_createtable(L, 0, 4);
  lua_pushstring(L, name);
  lua_setfield(L, -2, "type");
  if (record != nullptr) {
    lua_pushnumber(L, static_cast<lua_Number>(record->total));
    lua_setfield(L, -2, "total");
    lua_pushnumber(L, static_cast<lua_Number>(record->finished));
    lua_setfield(L, -2, "finished");
    if (record->information != nullptr) {
      pushstringWtoA(L, record->information);
      lua_setfield(L, -2, "information");
    }
  }
  lua_call(L, 1, 1);
  return 1;
}

// Called from inside the library: no Lua error may unwind through it, so
// only calls that cannot raise stay outside the protected call.
static int OnLibraryEvent(int event, ZELRELAY_Event *record, void *user) {
  auto *L = static_cast<lua_State *>(user);
  const char *name = event >= 0 && event < ZELRELAY_EVENT_COUNT ? kEventNames[event] : kUnknownEvent;
  int top = lua_gettop(L);
  if (!lua_checkstack(L, 4)) return 1;
  lua_pushcfunction(L, DeliverEvent);
  lua_pushvalue(L, OPTIONS_SLOT);
  lua_pushlightuserdata(L, const_cast<char *>(name));
  lua_pushlightuserdata(L, record);
  lua_pcall(L, 3, 1, 0);
  int keep = lua_toboolean(L, -1);
  lua_settop(L, top);
  return keep ? 0 : 1;
}
