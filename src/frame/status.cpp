// How a library status reaches Lua: the status triple.
#include "frame/frame.h"

void PushStatus(lua_State *L, int32_t status) {
  // The library may write nothing, or no terminator: a zeroed buffer with a
  // forced last terminator keeps stack bytes out of Lua either way.
  wchar_t message[ZELRELAY_MESSAGE_CHARS] = {};
  lua_pushinteger(L, status);
  ZELRELAY_GetStatusMessage(message, status);
  message[ZELRELAY_MESSAGE_CHARS - 1] = 0;
  pushstringWtoA(L, message);
}

int PushResult(lua_State *L, int32_t status) {
  if (status > 0)
    lua_pushboolean(L, 1);
  else
    lua_pushnil(L);
  PushStatus(L, status);
  return 3;
}

int update_ok(lua_State *L) {
  int isnum = 0;
  lua_Integer code = lua_tointegerx(L, 1, &isnum);
  lua_pushboolean(L, isnum && static_cast<int32_t>(static_cast<uint32_t>(code)) > 0);
  return 1;
}
