// The few symbols that update.so shows the host; everything else stays hidden.
#pragma once

#include <cstdint>

#define UPDATE_VISIBLE __attribute__((visibility("default")))

struct lua_State;

extern "C" {
// require "update": pushes a new table of the module's fifteen functions and
// returns 1; sets no global. Raises only when Lua's memory runs out.
UPDATE_VISIBLE int luaopen_update(lua_State *L);
UPDATE_VISIBLE extern const int32_t _lib_version;
// The relay reads g_zel_mode from the loaded module; the rest records the
// last start-up for get_mode. The misspelt name is the one peers look for.
UPDATE_VISIBLE extern uint32_t g_zel_mode;
UPDATE_VISIBLE extern bool g_zel_startup;
UPDATE_VISIBLE extern int32_t g_zel_startup_count;
UPDATE_VISIBLE extern int32_t g_zel_starup_status;
}
