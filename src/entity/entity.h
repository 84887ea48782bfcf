// Component identifiers and their renderings: parser, display versions,
// names, friendly names and entity tables.
#pragma once

#include <lua.hpp>

#include "zelrelay.h"
#include "zelrelay_shared.h"

// Parser: null on success, else a static message. Never raises; a number
// argument is converted in place by lua_tolstring, which allocates its text.
const char *StringToComponent(lua_State *L, int32_t index, ZELRELAY_EntityItem *entity);
int32_t ReadNumberField(const char **position);

enum MINOR_VERSION_TYPE : int32_t { MINOR_VERSION_PAD_LEFT = 0, MINOR_VERSION_PAD_RIGHT = 1 };

// A minor text never exceeds 13 characters (ten digits and three zeros), so
// it lives in a fixed buffer: nothing to free when a Lua call raises.
struct MinorText {
  char text[16];
};

bool IsScanEngine(int32_t klass, int32_t type);
MinorText FormatMinorVersion(uint64_t minor, int32_t trim);
MinorText FormatMinorVersion2(uint64_t minor, int32_t trim);
void FormatVersion(lua_State *L, uint64_t major, uint64_t minor, uint64_t build, int32_t trim,
                   bool alwaysShowBuild, MINOR_VERSION_TYPE style);
void ConvertVersionFormatEK2UI(lua_State *L, int32_t klass, int32_t type, const ZEL_Version &version);

const char *ComponentToString(lua_State *L, const ZELRELAY_EntityItem &entity);
void ProductToString(lua_State *L, const ZELRELAY_EntityItem &entity);
void EntityToString(lua_State *L, const ZELRELAY_EntityItem &entity);
const char *EntityFriendlyName(const ZELRELAY_EntityItem &entity);
void ComponentToLua(lua_State *L, const ZELRELAY_EntityItem &entity);
void ProductToLua(lua_State *L, const ZELRELAY_EntityItem &entity);

int update_tocomponent(lua_State *L);
int update_toproduct(lua_State *L);
