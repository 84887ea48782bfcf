// Repository operations: contexts, request records, options and events, the
// clean-up, extraction and the operation drivers.
#pragma once

#include <lua.hpp>

#include "zelrelay.h"

// Context on the repository at argument 1: 0 when open, else 3 values pushed.
int OpenContext(lua_State *L, ZELRELAY_Context *handle);
void DestroyContext(ZELRELAY_Context &handle);

// Converters return null or a message; they never raise one themselves.
const char *LuaToProducts(lua_State *L, int index, ZELRELAY_Product **products, unsigned long &count);
void DestroyProducts(ZELRELAY_Product *products, unsigned long count);
const char *LuaToSources(lua_State *L, int index, ZELRELAY_Source **sources, unsigned long &count);
void DestroySources(ZELRELAY_Source *sources, unsigned long count);

// The options table is at stack slot 4 for the whole operation.
const char *ParseOptions(lua_State *L, ZELRELAY_Context handle, int32_t *cleanup);

int update_extract(lua_State *L);
int update_removeek(lua_State *L);
int update_list(lua_State *L);
int update_everything(lua_State *L);
int update_patterns(lua_State *L);
int update_patternsExceptPelno(lua_State *L);
int update_components(lua_State *L);
