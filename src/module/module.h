// The Lua functions of the library's process-wide life.
#pragma once

#include <lua.hpp>

int update_startup(lua_State *L);
int update_shutdown(lua_State *L);
int update_set_mode(lua_State *L);
int update_get_mode(lua_State *L);
int update_version(lua_State *L);
