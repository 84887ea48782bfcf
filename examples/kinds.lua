-- Mirrors only the listed kinds of component of the sample's products: a
-- kind is a class and a type, such as c3t4 (pelno) or c22t2213 (kvem).
-- components keeps the repository's index layout: it runs no clean-up.
-- usage: lua5.2 kinds.lua UPSTREAM REPOSITORY KIND...
local update = require "update"

local upstream, repository = ...
local kinds = { select(3, ...) }
if #kinds == 0 then error("usage: kinds.lua UPSTREAM REPOSITORY KIND...") end
local products = { "c3t4", "c3t1207992320", "c2t1207959858" }

assert(update.startup())
local result, code, message = update.components(repository, products, upstream, nil, kinds)
if not result then error(string.format("relay status %d: %s", code, message)) end
for _, entity in ipairs(result) do
  if not entity.name:find("v", 1, true) then print("copied " .. entity.extract) end
end
update.shutdown()
