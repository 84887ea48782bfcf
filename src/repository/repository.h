// Repository operations: contexts, request records, options and events, the
// clean-up, extraction and the operation drivers.
#pragma once

#include <lua.hpp>

#include "relay/zelrelay.h"

// Context on the repository at argument 1: 0 when open, else 3 values pushed.
int OpenContext(lua_State *L, ZELRELAY_Context *handle);
void DestroyContext(ZELRELAY_Context &handle);

// Converters return null or a message; they never raise one themselves.
const char *LuaToProducts(lua_State *L, int index, ZELRELAY_Product **products, unsigned long &count);
const char *StringToProduct(lua_State *L, int32_t index, ZELRELAY_Product *product);
void DestroyProducts(ZELRELAY_Product *products, unsigned long count);
const char *LuaToSources(lua_State *L, int index, ZELRELAY_Source **sources, unsigned long &count);
void DestroySources(ZELRELAY_Source *sources, unsigned long count);

// The options table is at stack slot 4 for the whole operation.
const char *ParseOptions(lua_State *L, ZELRELAY_Context handle, int32_t *cleanup);
int OnLibraryEvent(int event, ZELRELAY_Event *record, void *user);

typedef int32_t (*RepositoryOperation)(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                                       ZELRELAY_Source *sources, uint64_t sourceCount,
                                       ZELRELAY_Information **information);
typedef int (*ComponentFilter)(const ZELRELAY_EntityItem *component, const void *extra, uint64_t extraCount);

int IsPatternComponent(const ZELRELAY_EntityItem *component, const void *extra, uint64_t extraCount);
int IsPatternExceptPelno(const ZELRELAY_EntityItem *component, const void *extra, uint64_t extraCount);
int MatchesListedType(const ZELRELAY_EntityItem *component, const void *extra, uint64_t extraCount);
int32_t SelectAndDuplicate(ComponentFilter filter, ZELRELAY_Context handle, ZELRELAY_Product *products,
                           uint64_t productCount, ZELRELAY_Source *sources, uint64_t sourceCount,
                           ZELRELAY_Information **information, const void *extra, uint64_t extraCount);
int32_t DuplicatePatterns(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                          ZELRELAY_Source *sources, uint64_t sourceCount, ZELRELAY_Information **information);
int32_t DuplicatePatternsExceptPelno(ZELRELAY_Context handle, ZELRELAY_Product *products, uint64_t productCount,
                                     ZELRELAY_Source *sources, uint64_t sourceCount,
                                     ZELRELAY_Information **information);

int RunRepositoryOperation(lua_State *L, RepositoryOperation operation, bool list);
int InformationToLua(lua_State *L, const ZELRELAY_Information *information);
void AddFriendlyAlias(lua_State *L);

int update_extract(lua_State *L);
int update_removeek(lua_State *L);
int update_list(lua_State *L);
int update_everything(lua_State *L);
int update_patterns(lua_State *L);
int update_patternsExceptPelno(lua_State *L);
int update_components(lua_State *L);
