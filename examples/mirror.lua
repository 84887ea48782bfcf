-- Mirrors an upstream repository into a local one and shows what it holds.
-- usage: lua5.2 mirror.lua UPSTREAM-URL REPOSITORY PATTERNS-REPOSITORY EXPORT-DIRECTORY
-- UPSTREAM-URL: http://, https://, file:// or a directory.
local update = require "update"

local upstream, repository, patternsRepository, exportDirectory = ...
assert(exportDirectory, "usage: mirror.lua UPSTREAM-URL REPOSITORY PATTERNS-REPOSITORY EXPORT-DIRECTORY")
local sources = { { url = upstream } }
local products = { "c3t4", "c3t1207992320", "c2t1207959858" }

local function check(result, code, message)
  if not result then error(string.format("relay status %d: %s", code, message), 2) end
  return result
end

local function isProduct(entity)
  return entity.name:find("v", 1, true) ~= nil
end

local function kib(bytes)
  return string.format("%.1f KiB", bytes / 1024)
end

-- On a terminal, one line redrawn in place while packages arrive; into a
-- file or a pipe, a plain line per package copied instead.
local terminal = os.execute("test -t 1") == true

local function progressBar(event)
  local width = 30
  local share = event.total > 0 and event.finished / event.total or 1
  local filled = math.floor(share * width + 0.5)
  io.write(string.format("\r  [%s%s] %3d%%  %s of %s", string.rep("#", filled), string.rep(".", width - filled),
    math.floor(share * 100 + 0.5), kib(event.finished), kib(event.total)))
  io.flush()
end

local function printTable(entities)
  local format = "  %-16s %-38s %-10s %s\n"
  io.write(string.format(format, "friendly", "name", "version", "kind"))
  for _, entity in ipairs(entities) do
    local product = isProduct(entity)
    io.write(string.format(format, entity.friendly or "-", (product and "" or "  ") .. entity.name, entity.version,
      product and "product" or "component"))
  end
end

check(update.startup())

print("Upstream " .. upstream .. " offers:")
local listed = check(update.list(repository, products, sources))
local productCount = 0
for _, entity in ipairs(listed) do
  if isProduct(entity) then productCount = productCount + 1 end
end
print(string.format("  %d products, %d components", productCount, #listed - productCount))

print("\nMirroring into " .. repository .. ":")
local copied = 0
local mirrored = check(update.everything(repository, products, sources, {
  dupdigisign = true,
  keepcount = 2,
  -- progress with nothing to count comes while the relay waits (for the
  -- lock, for an index), so that a handler can cancel a wait.
  progress = terminal and function(event) if event.total > 0 then progressBar(event) end end or nil,
  download = function(event)
    copied = copied + 1
    if not terminal then print(string.format("  %s  %s", event.information, kib(event.total))) end
  end,
  downloadend = function(event)
    -- A fast copy may end before the first progress event: the bar is drawn
    -- once more with the run's final counts.
    if terminal then progressBar(event) end
    io.write(string.format("%s  %d packages, %s copied\n", terminal and "\n" or "", copied, kib(event.finished)))
  end,
}))
print("")
printTable(mirrored)

print("\nAfter the clean-up the package folder keeps the merged archives and the signatures:")
local names = {}
for name in io.popen('ls "' .. repository .. '/packages"'):lines() do names[#names + 1] = "  " .. name end
print(table.concat(names, "\n"))

local component = mirrored.pelno_english
check(update.extract(repository, component, exportDirectory))
print(string.format("\nExported %s (%s) into %s:", component.friendly, component.version, exportDirectory))
for name in io.popen('cd "' .. exportDirectory .. '" && find . -type f | sort'):lines() do print("  " .. name) end

print("\nPatterns only, into " .. patternsRepository .. ":")
local patterns = check(update.patterns(patternsRepository, products, sources, { ek = true }))
local kept = {}
for _, entity in ipairs(patterns) do
  if not isProduct(entity) then kept[#kept + 1] = entity.friendly or entity.name end
end
print("  " .. table.concat(kept, ", "))

check(update.shutdown())
