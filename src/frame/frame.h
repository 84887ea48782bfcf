// The frame every Lua function stands on: how a library status reaches Lua
// (the status triple) and how strings cross to the library's wide form.
#pragma once

#include <lua.hpp>

#include "zelrelay.h"

void PushStatus(lua_State *L, int32_t status);
int PushResult(lua_State *L, int32_t status);
wchar_t *AtoW(const char *narrow);
void pushstringWtoA(lua_State *L, const wchar_t *wide);

int update_ok(lua_State *L);
