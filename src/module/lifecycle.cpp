// The library's one process-wide life: start-up, mode, shut-down and version.
#include "frame/frame.h"
#include "module/export.h"
#include "module/module.h"

uint32_t g_zel_mode = 0;
bool g_zel_startup = false;
int32_t g_zel_startup_count = 0;
int32_t g_zel_starup_status = 0;

static int32_t RunStartup() {
  int32_t status = ZELRELAY_Startup(0);
  g_zel_startup_count++;
  g_zel_startup = status == 1 || status == 2;
  g_zel_starup_status = status;
  return status;
}

int update_startup(lua_State *L) { return PushResult(L, RunStartup()); }

int update_shutdown(lua_State *L) { return PushResult(L, ZELRELAY_Shutdown()); }

int update_set_mode(lua_State *L) {
  int isnum = 0;
  // lua_Unsigned is 32-bit in 5.2: it would take 2^32 + 1 for mode 1.
  auto mode = static_cast<uint64_t>(lua_tointegerx(L, 1, &isnum));
  if (isnum && mode <= 1) {
    g_zel_mode = static_cast<uint32_t>(mode);
    RunStartup();
  }
  return PushResult(L, g_zel_starup_status);
}

int update_get_mode(lua_State *L) {
  lua_pushboolean(L, g_zel_startup);
  lua_pushinteger(L, g_zel_mode);
  lua_pushinteger(L, g_zel_startup_count);
  return 3 + PushResult(L, g_zel_starup_status);
}

static void SetIntegerField(lua_State *L, const char *key, uint64_t value) {
  lua_pushinteger(L, static_cast<lua_Integer>(value));
  lua_setfield(L, -2, key);
}

int update_version(lua_State *L) {
  uint64_t major = 0, minor = 0, build = 0, revision = 0;
  int32_t status = ZELRELAY_GetVersion(&major, &minor, &build, &revision);
  if (status <= 0) return PushResult(L, status);
  lua_createtable(L, 0, 5);
  SetIntegerField(L, "major", major);
  SetIntegerField(L, "minor", minor);
  SetIntegerField(L, "build", build);
  SetIntegerField(L, "revision", revision);
  lua_pushfstring(L, "%d.%d.%d", static_cast<int>(major), static_cast<int>(minor), static_cast<int>(build));
  lua_setfield(L, -2, "string");
  PushStatus(L, status);
  return 3;
}
