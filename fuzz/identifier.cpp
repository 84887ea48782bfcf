// Identifier parser: any bytes parse or are refused without a fault, every
// accepted identifier renders, and its extract name parses back to the same
// record wherever the extract name can hold the numbers.
#include <cstdlib>

#include "entity/entity.h"

static lua_State *State() {
  static lua_State *L = [] {
    lua_State *state = luaL_newstate();
    luaL_openlibs(state);
    return state;
  }();
  return L;
}

static bool SameRecord(const ZELRELAY_EntityItem &a, const ZELRELAY_EntityItem &b) {
  return a.klass == b.klass && a.type == b.type && a.language == b.language && a.platform == b.platform &&
         a.region == b.region && a.oem == b.oem && a.version.major == b.version.major &&
         a.version.minor == b.version.minor && a.version.build == b.version.build && b.revision == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  lua_State *L = State();
  lua_settop(L, 0);
  lua_pushlstring(L, reinterpret_cast<const char *>(data), size);
  ZELRELAY_EntityItem entity;
  if (StringToComponent(L, 1, &entity) != nullptr) return 0;
  if (entity.version.minor > 9999) abort();
  ComponentToLua(L, entity);
  ProductToLua(L, entity);
  EntityToString(L, entity);
  ZELRELAY_EntityItem back;
  const char *message = StringToComponent(L, -1, &back);
  // Class and type are read as unsigned digits: a negative one has no extract name.
  bool representable = entity.klass >= 0 && entity.type >= 0 && entity.version.major < 0x80000000u && entity.version.build < 0x80000000u;
  if (representable && (message != nullptr || !SameRecord(entity, back))) abort();
  return 0;
}
