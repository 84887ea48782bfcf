// Repository operations: contexts, request records, options and events, the
// clean-up, extraction and the operation drivers.
#pragma once

#include <lua.hpp>

#include "zelrelay.h"

// A repository call's arguments keep their stack slots for the whole call:
// the event callback finds the options table at OPTIONS_SLOT.
enum ArgumentSlot { REPOSITORY_SLOT = 1, PRODUCTS_SLOT, SOURCES_SLOT, OPTIONS_SLOT, COMPONENTS_SLOT };

// What follows a duplication, as the options table chooses it.
enum Cleanup : int32_t {
  CLEANUP_NONE_FILTERED = -2,  // none: a removeek filter came after ek = true
  CLEANUP_NONE = 0,            // none: ek = true
  CLEANUP_ALL = 1,             // removeek(repository): every package file goes
  CLEANUP_FILTERED = 2,        // removeek(repository, options.removeek)
};

// Opens a context on the repository at REPOSITORY_SLOT (a string or number,
// else bad argument #1, "expected repository path"). 0: *handle is open and
// the caller closes it with DestroyContext once. 3: the library refused, its
// nil, code and message are pushed, the semaphore file is gone, and there is
// no context.
int OpenContext(lua_State *L, ZELRELAY_Context *handle);
// Destroys the context and removes the semaphore file; never raises.
void DestroyContext(ZELRELAY_Context &handle);

// The converters return null or a static message (the identifier parser's
// among them); they never raise one themselves, and on a message leave
// nothing allocated, the outputs null and 0. index is absolute.
//
// One identifier, or a table of them (raw length, raw elements), as malloc'ed
// product records without component lists, for DestroyProducts. The array
// is handed out before its first element is read: when converting a number
// element raises (out of memory), the caller finds it there to free it.
const char *LuaToProducts(lua_State *L, int index, ZELRELAY_Product **products, unsigned long &count);
// Frees an array of LuaToProducts; null is accepted, count is not needed.
void DestroyProducts(ZELRELAY_Product *products, unsigned long count);
// nil (none: null, 0), one URL, or a table of source tables, its length and
// fields read with metamethods, as the library's source block, for
// DestroySources. The block is handed out before its first element is read,
// as a metamethod may raise; a length that is not a number raises "object
// length is not a number".
const char *LuaToSources(lua_State *L, int index, ZELRELAY_Source **sources, unsigned long &count);
// Frees the strings of the first count records, then the block; null is accepted.
void DestroySources(ZELRELAY_Source *sources, unsigned long count);

// Applies the options table at OPTIONS_SLOT (nil: nothing) to the context:
// event subscriptions, library options and *cleanup (docs/api.md, "The
// clean-up"). Null when every entry
// was applied; else the first refused entry's message, static or a Lua
// string left on the stack until the caller raises it, with the entries
// before it applied. Raises only when memory runs out.
const char *ParseOptions(lua_State *L, ZELRELAY_Context handle, Cleanup *cleanup);

// The Lua functions; docs/api.md gives their arguments, results and errors.
// extract(repository, component, destination): the export's status triple.
int update_extract(lua_State *L);
// removeek(repository [, filter]): true, or nil and a message; needs no library.
int update_removeek(lua_State *L);
// list(repository, products, sources [, options]): the result table or nil,
// code and message; never cleans up.
int update_list(lua_State *L);
// everything(repository, products, sources [, options]): as list, copying
// the products whole, then the clean-up the options chose (none in a dry
// run, nor on one of the call's own directory sources).
int update_everything(lua_State *L);
// patterns(...): as everything, copying only the pattern components.
int update_patterns(lua_State *L);
// patternsExceptPelno(...): as patterns, leaving out pelno's.
int update_patternsExceptPelno(lua_State *L);
// components(repository, products, sources, options, components): as list,
// duplicating the listed kinds; never cleans up.
int update_components(lua_State *L);
