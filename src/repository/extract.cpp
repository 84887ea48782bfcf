// extract: export one component of a repository into a directory.
#include <cstdlib>

#include "entity/entity.h"
#include "frame/frame.h"
#include "repository/repository.h"

int update_extract(lua_State *L) {
  const char *destination = lua_tolstring(L, 3, nullptr);
  if (destination == nullptr) return luaL_argerror(L, 3, "expected destination directory");
  if (lua_istable(L, 2)) {
    lua_getfield(L, 2, "extract");
    lua_replace(L, 2);
  }
  ZELRELAY_EntityItem entity;
  if (const char *message = StringToComponent(L, 2, &entity)) return luaL_argerror(L, 2, message);
  // No context exists until every argument is settled, and nothing between
  // here and DestroyContext can raise.
  ZELRELAY_Context handle = nullptr;
  if (OpenContext(L, &handle) != 0) return 3;
  wchar_t *wide = AtoW(destination);
  int32_t status = ZELRELAY_ExportComponent(handle, wide, entity);
  free(wide);
  DestroyContext(handle);
  return PushResult(L, status);
}
