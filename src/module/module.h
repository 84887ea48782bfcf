// The module frame: how library statuses and strings reach Lua, and the Lua
// functions of the library's life. Everything here is internal to update.so.
#pragma once

#include <lua.hpp>

#include "relay/zelrelay.h"

enum { EVENT_NAME_COUNT = 6 };
extern const char *const kEventNames[EVENT_NAME_COUNT];

void PushStatus(lua_State *L, int32_t status);
int PushResult(lua_State *L, int32_t status);
wchar_t *AtoW(const char *narrow);
void pushstringWtoA(lua_State *L, const wchar_t *wide);
int32_t RunStartup();

int update_ok(lua_State *L);
int update_startup(lua_State *L);
int update_shutdown(lua_State *L);
int update_set_mode(lua_State *L);
int update_get_mode(lua_State *L);
int update_version(lua_State *L);
