-- One mirror through whichever update.so and libzelrelay.so the paths find.
-- usage: lua5.2 mirror.lua UPSTREAM REPOSITORY
local update = require "update"
local upstream, repository = ...
assert(update.startup())
local result, code, message = update.everything(repository, "c3t4", upstream)
print("status " .. code .. " " .. message .. ", " .. (result and #result or 0) .. " entities")
