-- list over a 100,000-entity information record, against pure Lua building
-- tables of the same shape. Run against the recording double:
--   B=build; LUA_CPATH="$B/?.so;$B/tests/double/?.so;$B-bench/?.so;;" LD_LIBRARY_PATH=$B/tests/double \
--     lua5.2 bench/list_bench.lua [products] [components per product] [rounds]
package.path = (arg[0]:match("^(.*/)") or "./") .. "?.lua;" .. package.path
local bench = require "benchlib"
local double = require "zeldouble"
local update = require "update"

local productCount = tonumber(arg[1]) or 1000
local perProduct = tonumber(arg[2]) or 99
local rounds = tonumber(arg[3]) or 5

-- Components cycle through pattern types (several with friendly names),
-- kvem and a scan engine, with varied versions and qualifiers.
local kinds = { { 3, 4 }, { 3, 2048 }, { 3, 536870913 }, { 22, 2213 }, { 1, 1 }, { 3, 7 }, { 5, 9 } }
local products = {}
for p = 1, productCount do
  local components = {}
  for c = 1, perProduct do
    local kind = kinds[(p + c) % #kinds + 1]
    components[c] = { klass = kind[1], type = kind[2], language = c % 5, platform = p % 3,
                      major = c, minor = (p * 37) % 10000, build = p + c }
  end
  products[p] = { klass = 10 + p % 4, type = p, major = p % 9, minor = 5000, build = p, components = components }
end
double.information("GetInformation", products)

local friendlyOf = { ["3:4"] = "pelno_unknown", ["3:2048"] = "scrubo", ["3:536870913"] = "yarp", ["22:2213"] = "kvem" }

-- The same shape in Lua: ten keyed fields, three formatted strings, the
-- friendly alias, one array slot per entity.
local function entity(e, product)
  local t = { klass = e.klass, type = e.type, language = e.language or -1, platform = e.platform or -1,
              region = -1, oem = -1 }
  local minor = string.format("%04d", e.minor or 0)
  t.version = (e.major or 0) .. "." .. minor:sub(1, 2) .. "." .. (e.build or 0)
  if product then
    local pattern = string.format("c%dt%dv%%sl%dp%dr%do%d", t.klass, t.type, t.language, t.platform, -1, -1)
    t.name = string.format(pattern, t.version)
  else
    t.name = "c" .. t.klass .. "t" .. t.type .. "l" .. t.language .. "p" .. t.platform .. "r-1o-1"
  end
  t.extract = "c" .. t.klass .. "t" .. t.type .. "v" .. (e.major or 0) .. "." .. minor .. "." .. (e.build or 0) ..
              "l" .. t.language .. "p" .. t.platform .. "r-1o-1"
  t.friendly = friendlyOf[t.klass .. ":" .. t.type]
  return t
end

local function pure()
  local result = {}
  local key = 0
  for _, p in ipairs(products) do
    key = key + 1
    local t = entity(p, true)
    if t.friendly then result[t.friendly] = t end
    result[key] = t
    for _, c in ipairs(p.components) do
      key = key + 1
      t = entity(c, false)
      if t.friendly then result[t.friendly] = t end
      result[key] = t
    end
  end
  return result
end

local function module()
  local result = update.list("/srv/repo", "c10t1")
  double.clear()
  return result
end

local function timed(f)
  collectgarbage()
  collectgarbage("stop")
  local start = os.clock()
  local result = f()
  local elapsed = os.clock() - start
  collectgarbage("restart")
  assert(#result == productCount * (perProduct + 1))
  return elapsed
end

local times = { pure = {}, module = {} }
bench.interleave(rounds, {
  function() times.pure[#times.pure + 1] = timed(pure) end,
  function() times.module[#times.module + 1] = timed(module) end,
})
local entities = productCount * (perProduct + 1)
local pureTime, moduleTime = bench.median(times.pure), bench.median(times.module)
print(string.format("entities %d  pure Lua %.0f ns/entity  list %.0f ns/entity  ratio %.2f",
  entities, pureTime / entities * 1e9, moduleTime / entities * 1e9, moduleTime / pureTime))
bench.row("list", ("list of %s entities (recording double) vs pure Lua"):format(bench.count(entities)), "ns/entity",
  moduleTime / entities * 1e9, pureTime / entities * 1e9, nil, moduleTime / pureTime, "peer", 0.5)
