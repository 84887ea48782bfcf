// The Lua functions of the library's process-wide life. Each returns its
// count of results and raises only when Lua's memory runs out; docs/api.md
// gives the values.
#pragma once

#include <lua.hpp>

// startup(): the status triple of ZELRELAY_Startup, recorded for get_mode.
int update_startup(lua_State *L);
// shutdown(): the status triple of ZELRELAY_Shutdown; get_mode's record stays.
int update_shutdown(lua_State *L);
// set_mode(mode): for a mode of 0 or 1, sets g_zel_mode and starts the
// library again; any other argument changes nothing. The last start-up's triple.
int update_set_mode(lua_State *L);
// get_mode(): started, mode, start-up count, then the last start-up's triple.
int update_get_mode(lua_State *L);
// version(): the version table, code and message; nil, code and message on a failure.
int update_version(lua_State *L);
