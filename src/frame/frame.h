// The frame every Lua function stands on: how a library status reaches Lua
// (the status triple) and how strings cross to the library's wide form.
#pragma once

#include <lua.hpp>

#include "zelrelay.h"

// Pushes the code as an integer, then the library's message for it (at most
// 63 characters, each above 127 as '?'). Raises only when Lua's memory runs out.
void PushStatus(lua_State *L, int32_t status);
// Pushes true (status above zero) or nil, then PushStatus's two; returns 3.
int PushResult(lua_State *L, int32_t status);
// A malloc'ed wide copy, each byte sign-extended, that the caller frees; NULL
// both for a NULL narrow and when memory runs out, which callers hand on unchecked.
wchar_t *AtoW(const char *narrow);
// Pushes wide as a Lua string, characters of 128 and above as '?', or nil
// for NULL; undoes AtoW byte for byte. Raises only when Lua's memory runs out.
void pushstringWtoA(lua_State *L, const wchar_t *wide);

// Lua: ok(code), whether code's low 32 bits, signed, are above zero; never raises.
int update_ok(lua_State *L);
