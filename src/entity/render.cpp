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

// The version goes through the script's current string.format, looked up at
// every call; its errors reach the script.
static void PushProductName(lua_State *L, const EntityParts &parts, const ZEL_Version &version) {
  lua_getglobal(L, "string");
  lua_getfield(L, -1, "format");
  lua_remove(L, -2);
  PushJoined(L, parts, "v%s", 3);
  FormatVersion(L, version.major, version.minor, version.build, 3, true, MINOR_VERSION_PAD_LEFT);
  lua_call(L, 2, 1);
}

// Read back by extract: major and build as "%d" would write their low 32 bits.
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

template <size_t N>
static inline void SetInteger(lua_State *L, const char (&key)[N], int32_t value) {
  lua_pushlstring(L, key, N - 1);
  lua_pushinteger(L, value);
  lua_rawset(L, -3);
}

static bool HasHiddenQualifier(const ZELRELAY_EntityItem &entity) {
  return entity.language == HIDDEN_QUALIFIER || entity.platform == HIDDEN_QUALIFIER ||
         entity.region == HIDDEN_QUALIFIER || entity.oem == HIDDEN_QUALIFIER;
}

static void EntityToLua(lua_State *L, const ZELRELAY_EntityItem &entity, bool product) {
  if (HasHiddenQualifier(entity)) {
    lua_pushnil(L);
    return;
  }
  EntityParts parts;
  SplitEntity(entity, &parts);
  lua_createtable(L, 0, 8);
  SetInteger(L, "klass", entity.klass);
  SetInteger(L, "type", entity.type);
  SetInteger(L, "language", entity.language);
  SetInteger(L, "platform", entity.platform);
  SetInteger(L, "region", entity.region);
  SetInteger(L, "oem", entity.oem);
  lua_pushliteral(L, "version");
  ConvertVersionFormatEK2UI(L, entity.klass, entity.type, entity.version);
  lua_rawset(L, -3);
  lua_pushliteral(L, "name");
  if (product)
    PushProductName(L, parts, entity.version);
  else
    PushComponentName(L, parts);
  lua_rawset(L, -3);
  lua_pushliteral(L, "extract");
  PushExtractName(L, parts, entity.version);
  lua_rawset(L, -3);
  const char *friendly = EntityFriendlyName(entity);
  if (friendly != nullptr) {
    lua_pushliteral(L, "friendly");
    lua_pushstring(L, friendly);
    lua_rawset(L, -3);
  }
}

void ComponentToLua(lua_State *L, const ZELRELAY_EntityItem &entity) { EntityToLua(L, entity, false); }

void ProductToLua(lua_State *L, const ZELRELAY_EntityItem &entity) { EntityToLua(L, entity, true); }

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
