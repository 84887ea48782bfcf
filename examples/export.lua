-- Exports one component of a repository into a folder and lists its files.
-- usage: lua5.2 export.lua REPOSITORY COMPONENT DESTINATION
-- COMPONENT: an identifier; c3t4l1 takes the newest version held, c3t4v1.05.3l1 that one.
local update = require "update"

local repository, component, destination = ...
if not destination then error("usage: export.lua REPOSITORY COMPONENT DESTINATION") end
local entity = update.tocomponent(component)

assert(update.startup())
local ok, code, message = update.extract(repository, component, destination)
if not ok then error(string.format("relay status %d: %s", code, message)) end
print(string.format("exported %s into %s:", entity.friendly or entity.name, destination))
for name in io.popen('cd "' .. destination .. '" && find . -type f | sort'):lines() do print("  " .. name) end
update.shutdown()
