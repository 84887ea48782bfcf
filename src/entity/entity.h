// Component identifiers and their renderings: parser, display versions,
// names, friendly names and entity tables.
#pragma once

#include <lua.hpp>

#include "zelrelay.h"
#include "zelrelay_shared.h"

// Parses the identifier at index into *entity, qualifiers not given -1:
// null on success, else a static message. Never raises, but a number is
// converted in place by lua_tolstring, which allocates its text.
const char *StringToComponent(lua_State *L, int32_t index, ZELRELAY_EntityItem *entity);
// Reads an optional '-' and the digits at *position and moves past them;
// returns their low 32 bits, negated after '-' (no digits: 0).
int32_t ReadNumberField(const char **position);

enum MINOR_VERSION_TYPE : int32_t { MINOR_VERSION_PAD_LEFT = 0, MINOR_VERSION_PAD_RIGHT = 1 };

// A minor text never exceeds 13 characters (ten digits and three zeros), so
// it lives in a fixed buffer: nothing to free when a Lua call raises.
struct MinorText {
  char text[16];
};

// Class 2 and one of the seven scan-engine types.
bool IsScanEngine(int32_t klass, int32_t type);
// The two minor texts (ten-thousandths, low 32 bits) differ only in where
// the zeros go that bring a value below 1000 to four digits, before up to
// trim trailing zeros are removed (trim <= 0 removes none). Left: 5 is
// "0005"; 0 is "0", never trimmed.
MinorText FormatMinorVersion(uint64_t minor, int32_t trim);
// Right: 5, 50 and 500 are all "5000"; 0 is "0000" before trimming.
MinorText FormatMinorVersion2(uint64_t minor, int32_t trim);
// Pushes "major.minor", then ".build" when alwaysShowBuild or build is not
// 0; minor padded right for MINOR_VERSION_PAD_RIGHT, left for any other
// style; numbers as their low 32 bits. Raises only when memory runs out.
void FormatVersion(lua_State *L, uint64_t major, uint64_t minor, uint64_t build, int32_t trim,
                   bool alwaysShowBuild, MINOR_VERSION_TYPE style);
// Pushes the version for people that class and type call for (docs/api.md,
// "The entity table"). Raises only when memory runs out.
void ConvertVersionFormatEK2UI(lua_State *L, int32_t klass, int32_t type, const ZEL_Version &version);

// The renderers push one value each and raise only when memory runs out,
// except where a product's name is made: its version goes through the
// script's string.format, looked up at every call, and what that raises
// reaches the caller.
// Pushes the component name "c3t4l1p-1r-1o-1" and returns Lua's copy.
const char *ComponentToString(lua_State *L, const ZELRELAY_EntityItem &entity);
// Pushes the product name "c3t4v1.05.3l-1p-1r-1o-1" (raises what string.format raises).
void ProductToString(lua_State *L, const ZELRELAY_EntityItem &entity);
// Pushes the extract name "c3t4v1.0500.3l1p-1r-1o-1", which StringToComponent reads back.
void EntityToString(lua_State *L, const ZELRELAY_EntityItem &entity);
// A static friendly name such as "pelno_english", or null.
const char *EntityFriendlyName(const ZELRELAY_EntityItem &entity);
// Push the entity table with a component's name, or nil for an entity with
// a -10 qualifier, which scripts never see.
void ComponentToLua(lua_State *L, const ZELRELAY_EntityItem &entity);
// The same with a product's name (raises what string.format raises).
void ProductToLua(lua_State *L, const ZELRELAY_EntityItem &entity);

// Lua: tocomponent(id), the entity table (nil for a hidden entity); the
// parser's message raises as bad argument #1.
int update_tocomponent(lua_State *L);
// Lua: toproduct(id), the product name; raises as tocomponent does, and what
// string.format raises.
int update_toproduct(lua_State *L);
