// The module's entry point and its function table.
#include "entity/entity.h"
#include "frame/frame.h"
#include "module/export.h"
#include "module/module.h"
#include "repository/repository.h"

const int32_t _lib_version = 1;

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
  luaL_newlib(L, kFunctions);
  return 1;
}
