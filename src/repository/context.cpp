// One library context per repository call.
#include <cstdlib>
#include <unistd.h>

#include "frame/frame.h"
#include "repository/repository.h"
#include "zelrelay_shared.h"


int OpenContext(lua_State *L, ZELRELAY_Context *handle) {
  const char *path = lua_tolstring(L, REPOSITORY_SLOT, nullptr);
  if (path == nullptr) return luaL_argerror(L, REPOSITORY_SLOT, "expected repository path");
  wchar_t *wide = AtoW(path);
  int32_t status = ZELRELAY_CreateContext(handle, wide);
  free(wide);
  if (status > 0) return 0;
  unlink(ZELRELAY_SEMAPHORE_FILE);
  lua_pushnil(L);
  PushStatus(L, status);
  return 3;
}

void DestroyContext(ZELRELAY_Context &handle) {
  ZELRELAY_DestroyContext(handle);
  // The library leaves its named semaphore behind; nobody else removes it.
  unlink(ZELRELAY_SEMAPHORE_FILE);
}
