// Entities rendered for scripts: component, product and extract names, and
// the entity table.
#include "entity/digits.h"
#include "entity/entity.h"

enum { HIDDEN_QUALIFIER = -10 };

// "c<klass>t<type>" and "l<language>p<platform>r<region>o<oem>": every name
// of an entity starts and ends with them, so they are formatted once.
struct EntityParts {
  char head[2 * (1 + DIGITS_MAX)];
  size_t headLength;
  char tail[4 * (1 + DIGITS_MAX)];
  size_t tailLength;
};

static void SplitEntity(const ZELRELAY_EntityItem &entity, EntityParts *parts) {
  char *p = parts->head;
  *p++ = 'c';
  p = PutSigned(p, entity.klass);
  *p++ = 't';
  p = PutSigned(p, entity.type);
  parts->headLength = static_cast<size_t>(p - parts->head);
  p = parts->tail;
  *p++ = 'l';
  p = PutSigned(p, entity.language);
  *p++ = 'p';
  p = PutSigned(p, entity.platform);
  *p++ = 'r';
  p = PutSigned(p, entity.region);
  *p++ = 'o';
  p = PutSigned(p, entity.oem);
  parts->tailLength = static_cast<size_t>(p - parts->tail);
}

// head + middle + tail, pushed as one string.
static const char *PushJoined(lua_State *L, const EntityParts &parts, const char *middle, size_t middleLength) {
  char text[sizeof parts.head + 2 * (DIGITS_MAX + 2) + sizeof(MinorText) + sizeof parts.tail];
  char *p = text;
  memcpy(p, parts.head, parts.headLength);
  p += parts.headLength;
  memcpy(p, middle, middleLength);
  p += middleLength;
  memcpy(p, parts.tail, parts.tailLength);
  p += parts.tailLength;
  return lua_pushlstring(L, text, static_cast<size_t>(p - text));
}

static const char *PushComponentName(lua_State *L, const EntityParts &parts) { return PushJoined(L, parts, "", 0); }

static void PushProductName(lua_State *L, const EntityParts &parts, const ZEL_Version &version) {
  lua_getglobal(L, "string");
  lua_getfield(L, -1, "format");
  lua_remove(L, -2);
  PushJoined(L, parts, "v%s", 3);
  FormatVersion(L, version.major, version.minor, version.build, 3, true, MINOR_VERSION_PAD_LEFT);
  lua_call(L, 2, 1);
}

// Major and build as "%d" would write their low 32 bits.
static void PushExtractName(lua_State *L, const EntityParts &parts, const ZEL_Version &version) {
  char middle[2 * (DIGITS_MAX + 2) + sizeof(MinorText)];
  char *p = middle;
  *p++ = 'v';
  p = PutSigned(p, Low32Signed(version.major));
  *p++ = '.';
  MinorText minor = FormatMinorVersion(version.minor, 0);
  size_t minorLength = strlen(minor.text);
  memcpy(p, minor.text, minorLength);
  p += minorLength;
  *p++ = '.';
  p = PutSigned(p, Low32Signed(version.build));
  PushJoined(L, parts, middle, static_cast<size_t>(p - middle));
}

const char *ComponentToString(lua_State *L, const ZELRELAY_EntityItem &entity) {
  EntityParts parts;
  SplitEntity(entity, &parts);
  return PushComponentName(L, parts);
}

void ProductToString(lua_State *L, const ZELRELAY_EntityItem &entity) {
  EntityParts parts;
  SplitEntity(entity, &parts);
  PushProductName(L, parts, entity.version);
}

void EntityToString(lua_State *L, const ZELRELAY_EntityItem &entity) {
  EntityParts parts;
  SplitEntity(entity, &parts);
  PushExtractName(L, parts, entity.version);
}

// The entity table's keys, in the order they are set. Each state makes them
// once and keeps them in a registry table, so building a table hashes none.
enum EntityKey { KLASS = 1, TYPE, LANGUAGE, PLATFORM, REGION, OEM, VERSION, NAME, EXTRACT, FRIENDLY };
static const char *const kEntityKeys[] = {"klass", "type", "language", "platform", "region",
                                          "oem", "version", "name", "extract", "friendly"};
enum { ENTITY_KEYS = sizeof kEntityKeys / sizeof kEntityKeys[0] };
static const char kKeysTag = 0;  // its address keys the registry

// Pushes the key table and returns its stack index.
static int PushKeys(lua_State *L) {
  lua_rawgetp(L, LUA_REGISTRYINDEX, &kKeysTag);
  if (!lua_istable(L, -1)) {
    lua_pop(L, 1);
    lua_createtable(L, ENTITY_KEYS, 0);
    for (int i = 0; i < ENTITY_KEYS; i++) {
      lua_pushstring(L, kEntityKeys[i]);
      lua_rawseti(L, -2, i + 1);
    }
    lua_pushvalue(L, -1);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &kKeysTag);
  }
  return lua_gettop(L);
}

// The entity table is on top; the key goes above it, then its value.
static inline void PushKey(lua_State *L, int keys, EntityKey key) { lua_rawgeti(L, keys, key); }

static inline void SetInteger(lua_State *L, int keys, EntityKey key, int32_t value) {
  PushKey(L, keys, key);
  lua_pushinteger(L, value);
  lua_rawset(L, -3);
}

static bool HasHiddenQualifier(const ZELRELAY_EntityItem &entity) {
  return entity.language == HIDDEN_QUALIFIER || entity.platform == HIDDEN_QUALIFIER ||
         entity.region == HIDDEN_QUALIFIER || entity.oem == HIDDEN_QUALIFIER;
}

// The one field in which a product's table differs from a component's.
enum NameKind { COMPONENT_NAME, PRODUCT_NAME };

static void EntityToLua(lua_State *L, const ZELRELAY_EntityItem &entity, NameKind name) {
  if (HasHiddenQualifier(entity)) {
    lua_pushnil(L);
    return;
  }
  EntityParts parts;
  SplitEntity(entity, &parts);
  int keys = PushKeys(L);
  // Room for every key it may get: sized for eight, it would be resized.
  lua_createtable(L, 0, ENTITY_KEYS);
  SetInteger(L, keys, KLASS, entity.klass);
  SetInteger(L, keys, TYPE, entity.type);
  SetInteger(L, keys, LANGUAGE, entity.language);
  SetInteger(L, keys, PLATFORM, entity.platform);
  SetInteger(L, keys, REGION, entity.region);
  SetInteger(L, keys, OEM, entity.oem);
  PushKey(L, keys, VERSION);
  ConvertVersionFormatEK2UI(L, entity.klass, entity.type, entity.version);
  lua_rawset(L, -3);
  PushKey(L, keys, NAME);
  if (name == PRODUCT_NAME)
    PushProductName(L, parts, entity.version);
  else
    PushComponentName(L, parts);
  lua_rawset(L, -3);
  PushKey(L, keys, EXTRACT);
  PushExtractName(L, parts, entity.version);
  lua_rawset(L, -3);
  if (const char *friendly = EntityFriendlyName(entity)) {
    PushKey(L, keys, FRIENDLY);
    lua_pushstring(L, friendly);
    lua_rawset(L, -3);
  }
  lua_remove(L, keys);
}

void ComponentToLua(lua_State *L, const ZELRELAY_EntityItem &entity) { EntityToLua(L, entity, COMPONENT_NAME); }

void ProductToLua(lua_State *L, const ZELRELAY_EntityItem &entity) { EntityToLua(L, entity, PRODUCT_NAME); }

int update_tocomponent(lua_State *L) {
  ZELRELAY_EntityItem entity;
  const char *message = StringToComponent(L, 1, &entity);
  if (message != nullptr) return luaL_argerror(L, 1, message);
  ComponentToLua(L, entity);
  return 1;
}

int update_toproduct(lua_State *L) {
  ZELRELAY_EntityItem entity;
  const char *message = StringToComponent(L, 1, &entity);
  if (message != nullptr) return luaL_argerror(L, 1, message);
  ProductToString(L, entity);
  return 1;
}
