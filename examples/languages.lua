-- Mirrors the sample's products and keeps the package files of the chosen
-- languages only, and those of no language: the clean-up's removeek filter
-- spares them. The merged archives, which the clean-up always spares, keep
-- every language.
-- usage: lua5.2 languages.lua UPSTREAM REPOSITORY LANGUAGE...
-- LANGUAGE: a language number, such as 1 (English), 2 (Chinese), 4 (Japanese).
local update = require "update"

local upstream, repository = ...
if select("#", ...) < 3 then error("usage: languages.lua UPSTREAM REPOSITORY LANGUAGE...") end
local keep = { [-1] = true }
for i = 3, select("#", ...) do keep[assert(tonumber((select(i, ...))), "a language is a number")] = true end

local kept = {}
local function spare(path)
  local language = tonumber(path:match("l(%-?%d+)p%-?%d+r%-?%d+o%-?%d+%.zip$"))
  if keep[language] then kept[#kept + 1] = path:match("[^/]+$") end
  return keep[language]
end

assert(update.startup())
local result, code, message = update.everything(repository, { "c3t4", "c3t1207992320" }, upstream,
  { removeek = spare })
if not result then error(string.format("relay status %d: %s", code, message)) end
table.sort(kept)
print("kept " .. table.concat(kept, " "))
update.shutdown()
