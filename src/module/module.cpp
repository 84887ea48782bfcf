// The module's entry point and its function table.
#include "entity/entity.h"
#include "module/export.h"
#include "module/module.h"
#include "repository/repository.h"

// Indexed by the library's event number.
const char *const kEventNames[EVENT_NAME_COUNT] = {
    "download", "progress", "removebegin", "removefailed", "downloadbegin", "downloadend",
};

const int32_t _lib_version = 1;

// Registered in this order: startup, shutdown, version, tocomponent,
// toproduct, extract, removeek, list, everything, patterns,
// patternsExceptPelno, components, ok, get_mode, set_mode.
static const luaL_Reg kFunctions[] = {
    {"startup", update_startup},
    {"shutdown", update_shutdown},
    {"version", update_version},
    {"tocomponent", update_tocomponent},
    {"toproduct", update_toproduct},
    {"extract", update_extract},
    {"removeek", update_removeek},
    {"list", update_list},
    {"everything", update_everything},
    {"patterns", update_patterns},
    {"patternsExceptPelno", update_patternsExceptPelno},
    {"components", update_components},
    {"ok", update_ok},
    {"get_mode", update_get_mode},
    {"set_mode", update_set_mode},
    {nullptr, nullptr},
};

int luaopen_update(lua_State *L) {
  lua_createtable(L, 0, 15);
  luaL_setfuncs(L, kFunctions, 0);
  return 1;
}
