// zeldouble: the Lua side of the recording double. Scripts the double's
// state and reads back its call log. Lua values are written straight into
// the double's state, so no C++ object is alive when Lua raises.
#include <lua.hpp>

#include <cstdlib>
#include <cstring>

#include "double/double.h"

using namespace zeldouble;

// 64-bit values come as numbers, or as strings ("0x..." or decimal) where a
// Lua number cannot hold them.
static uint64_t ToUnsigned(lua_State *L, int index) {
  if (lua_type(L, index) == LUA_TSTRING) return strtoull(lua_tostring(L, index), nullptr, 0);
  lua_Number n = lua_tonumber(L, index);
  return n < 0 ? static_cast<uint64_t>(static_cast<int64_t>(n)) : static_cast<uint64_t>(n);
}

static uint64_t FieldUnsigned(lua_State *L, int table, const char *key, uint64_t missing) {
  lua_getfield(L, table, key);
  uint64_t value = lua_isnil(L, -1) ? missing : ToUnsigned(L, -1);
  lua_pop(L, 1);
  return value;
}

static Call CheckCall(lua_State *L, int index) { return static_cast<Call>(luaL_checkoption(L, index, nullptr, kCallNames)); }

// A string gives one character per byte, unsigned; a table its code points.
static void ReadWide(lua_State *L, int index, std::wstring *out) {
  out->clear();
  if (lua_type(L, index) == LUA_TSTRING) {
    size_t n = 0;
    const char *s = lua_tolstring(L, index, &n);
    for (size_t i = 0; i < n; i++) out->push_back(static_cast<unsigned char>(s[i]));
    return;
  }
  size_t n = lua_rawlen(L, index);
  for (size_t i = 1; i <= n; i++) {
    lua_rawgeti(L, index, static_cast<int>(i));
    out->push_back(static_cast<wchar_t>(lua_tointeger(L, -1)));
    lua_pop(L, 1);
  }
}

static void ReadEntity(lua_State *L, int table, ZELRELAY_EntityItem *entity) {
  auto *bytes = reinterpret_cast<unsigned char *>(entity);
  for (const EntityField &field : kEntityFields) {
    uint64_t value = FieldUnsigned(L, table, field.key, static_cast<uint64_t>(int64_t{field.missing}));
    if (field.wide) {
      memcpy(bytes + field.offset, &value, sizeof value);
    } else {
      auto narrow = static_cast<int32_t>(value);
      memcpy(bytes + field.offset, &narrow, sizeof narrow);
    }
  }
}

static void ReadProduct(lua_State *L, int table, Product *product) {
  ReadEntity(L, table, &product->entity);
  lua_getfield(L, table, "components");
  product->whole = !lua_istable(L, -1);
  int components = lua_gettop(L);
  size_t n = product->whole ? 0 : lua_rawlen(L, components);
  for (size_t i = 1; i <= n; i++) {
    lua_rawgeti(L, components, static_cast<int>(i));
    ReadEntity(L, lua_gettop(L), &product->components.emplace_back());
    lua_pop(L, 1);
  }
  lua_pop(L, 1);
}

static void ReadRecord(lua_State *L, int table, Event *event) {
  lua_getfield(L, table, "information");
  event->informed = !lua_isnil(L, -1);
  if (event->informed) ReadWide(L, lua_gettop(L), &event->information);
  lua_pop(L, 1);
  event->total = FieldUnsigned(L, table, "total", 0);
  event->finished = FieldUnsigned(L, table, "finished", 0);
}

static int double_reset(lua_State *) {
  Reset();
  return 0;
}

static int double_status(lua_State *L) {
  Call call = CheckCall(L, 1);
  SetStatus(call, static_cast<int32_t>(luaL_checkinteger(L, 2)));
  return 0;
}

static int double_version(lua_State *L) {
  SetVersion(ToUnsigned(L, 1), ToUnsigned(L, 2), ToUnsigned(L, 3), ToUnsigned(L, 4));
  return 0;
}

static int double_message(lua_State *L) {
  static const char *const modes[] = {"text", "fill", nullptr};
  auto code = static_cast<int32_t>(luaL_checkinteger(L, 1));
  int fill = luaL_checkoption(L, 3, "text", modes);
  int type = lua_type(L, 2);
  if (type <= LUA_TNIL) {
    DefaultMessage(code);
    return 0;
  }
  bool nothing = type == LUA_TBOOLEAN && !lua_toboolean(L, 2);
  luaL_argcheck(L, nothing || type == LUA_TSTRING || type == LUA_TTABLE, 2, "false, string or table expected");
  Message &message = ScriptMessage(code);
  message.mode = nothing ? Message::NOTHING : fill ? Message::FILL : Message::TEXT;
  if (!nothing) ReadWide(L, 2, &message.text);
  return 0;
}

static int double_information(lua_State *L) {
  Call call = CheckCall(L, 1);
  luaL_argcheck(L, call == GET_INFORMATION || call == DUPLICATE, 1, "GetInformation or Duplicate expected");
  if (lua_isnoneornil(L, 2)) {
    DefaultInformation(call);
    return 0;
  }
  luaL_checktype(L, 2, LUA_TTABLE);
  std::vector<Product> &products = ScriptInformation(call);
  size_t n = lua_rawlen(L, 2);
  for (size_t i = 1; i <= n; i++) {
    lua_rawgeti(L, 2, static_cast<int>(i));
    ReadProduct(L, lua_gettop(L), &products.emplace_back());
    lua_pop(L, 1);
  }
  return 0;
}

static int double_events(lua_State *L) {
  luaL_checktype(L, 1, LUA_TTABLE);
  size_t n = lua_rawlen(L, 1);
  for (size_t i = 1; i <= n; i++) {
    lua_rawgeti(L, 1, static_cast<int>(i));
    int table = lua_gettop(L);
    luaL_argcheck(L, lua_istable(L, table), 1, "event tables expected");
    lua_getfield(L, table, "on");
    Call on = lua_isnil(L, -1) ? CALL_COUNT : CheckCall(L, -1);
    luaL_argcheck(L, on == CALL_COUNT || on == GET_INFORMATION || on == DUPLICATE || on == EXPORT_COMPONENT, 1,
                  "on names no operation");
    lua_getfield(L, table, "record");
    Event &event = QueueEvent();
    event.on = on;
    event.event = static_cast<int32_t>(FieldUnsigned(L, table, "event", 0));
    event.record = lua_istable(L, -1);
    if (event.record) ReadRecord(L, lua_gettop(L), &event);
    lua_settop(L, table - 1);
  }
  return 0;
}

static void PushValue(lua_State *L, const Value &value) {
  switch (value.kind) {
  case Value::FLAG:
    lua_pushboolean(L, value.number != 0);
    break;
  case Value::NUMBER:
    lua_pushinteger(L, static_cast<lua_Integer>(value.number));
    break;
  case Value::TEXT:
    lua_pushlstring(L, value.text.data(), value.text.size());
    break;
  case Value::LIST:
    lua_createtable(L, static_cast<int>(value.items.size()), 0);
    for (size_t i = 0; i < value.items.size(); i++) {
      PushValue(L, value.items[i]);
      lua_rawseti(L, -2, static_cast<int>(i + 1));
    }
    break;
  case Value::TABLE:
    lua_createtable(L, 0, static_cast<int>(value.items.size()));
    for (const Value &field : value.items) {
      PushValue(L, field);
      lua_setfield(L, -2, field.key.c_str());
    }
    break;
  }
}

static int double_calls(lua_State *L) {
  const std::vector<Value> &log = Calls();
  lua_createtable(L, static_cast<int>(log.size()), 0);
  for (size_t i = 0; i < log.size(); i++) {
    PushValue(L, log[i]);
    lua_rawseti(L, -2, static_cast<int>(i + 1));
  }
  return 1;
}

static int double_clear(lua_State *) {
  ClearCalls();
  return 0;
}

static int double_live(lua_State *L) {
  lua_pushinteger(L, static_cast<lua_Integer>(LiveContexts()));
  lua_pushinteger(L, static_cast<lua_Integer>(LiveRecords()));
  return 2;
}

static int double_semaphore(lua_State *L) {
  lua_pushboolean(L, SemaphoreExists());
  return 1;
}

static const luaL_Reg kFunctions[] = {
    {"reset", double_reset},
    {"status", double_status},
    {"version", double_version},
    {"message", double_message},
    {"information", double_information},
    {"events", double_events},
    {"calls", double_calls},
    {"clear", double_clear},
    {"live", double_live},
    {"semaphore", double_semaphore},
    {nullptr, nullptr},
};

extern "C" __attribute__((visibility("default"))) int luaopen_zeldouble(lua_State *L) {
  luaL_newlib(L, kFunctions);
  return 1;
}
