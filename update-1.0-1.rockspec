-- luarocks --lua-version=5.2 make: builds update.so and the local relay from
-- this checkout and installs them into a LuaRocks tree.
rockspec_format = "3.0"
package = "update"
version = "1.0-1"
-- luarocks make builds the checkout it runs in; nothing is fetched.
source = { url = "." }
description = {
  summary = "Mirrors update repositories from Lua, with its own relay library",
  detailed = [[
update drives an update-relay library, libzelrelay.so, from Lua 5.2: it lists,
mirrors and exports update repositories. The rock brings the project's own
relay library, its publishing tool, zelrelay-publish, and update-mirror, the
command that keeps the mirrors a configuration file describes.]],
  license = "MIT",
}
-- update-mirror's; Debian's lua-argparse, lua-cjson and lua-posix provide them too, and
-- luarocks does not know Debian's packages: README.md says how to install
-- without fetching them.
dependencies = { "lua >= 5.2, < 5.3", "argparse >= 0.7", "lua-cjson >= 2.1", "luaposix >= 33" }
-- update.so and libzelrelay.so both go into the tree's C module folder,
-- where update.so finds the library through its $ORIGIN run path;
-- update-mirror's modules into the rock's lua folder, which LuaRocks deploys.
build = {
  type = "cmake",
  variables = {
    CMAKE_BUILD_TYPE = "Release",
    CMAKE_INSTALL_PREFIX = "$(PREFIX)",
    CMAKE_INSTALL_LIBDIR = "lib",
    CMAKE_INSTALL_BINDIR = "bin",
    UPDATE_LUA_CMOD_DIR = "$(LIBDIR)",
    UPDATE_LUA_DIR = "$(LUADIR)",
    UPDATE_ROCK = "ON",
    BUILD_TESTING = "OFF",
  },
}
