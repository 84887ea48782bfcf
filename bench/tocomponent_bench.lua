-- tocomponent against its C floor (entityfloor.c: the same tables from
-- precomputed values) and a pure-Lua parser that builds the same tables, over
-- random identifiers, interleaved. Run as bench/run.sh does:
--   LUA_CPATH="$B/?.so;$B-bench/?.so;;" LD_LIBRARY_PATH=$B/zelrelay lua5.2 bench/tocomponent_bench.lua [count]
package.path = (arg[0]:match("^(.*/)") or "./") .. "?.lua;" .. package.path
local bench = require "benchlib"
local floor_module = require "entityfloor"
local update = require "update"

local COUNT = tonumber(arg and arg[1]) or 100000
local ROUNDS = 7

local sformat, tonumber, floor = string.format, tonumber, math.floor

-- Rendering rules, as a script would write them.
local class3 = {
  [0x00000004] = "%d.%d%d%d.%d%d", [0x04000000] = "%d.%d%d%d", [0x04000001] = "%d.%d%d%d",
  [0x20000020] = "%d.%d%d%d.%d%d", [0x20000040] = "%d.%d%d%d.%d%d", [0x20000400] = "%d.%d%d%d.%d%d",
  [0x40000010] = "%d.%d%d", [0x40800000] = "%d.%d%d%d.%d%d", [0x41000000] = "%d.%d%d%d.%d%d",
  [0x48000100] = "%d.%d%d%d%d%d", [0x48020000] = "%d.%d%d%d.%d%d", [0x48040024] = "%d.%d%d%d.%d%d",
  [0x48040025] = "%d.%d%d%d.%d%d", [0x48040066] = "%d.%d%d%d.%d%d", [0x48040181] = "%d.%d%d%d%d%d.%d%d",
  [0x48040193] = "%d.%d%d%d.%d%d", [0x48040233] = "%d.%d.%d%d%d%d",
}
local scan_engines = {
  [0x48000132] = true, [0x48000202] = true, [0x48000203] = true, [0x48000225] = true,
  [0x48000226] = true, [0x48000227] = true, [0x48000228] = true,
}
local by_language = {
  [4] = { [1] = "pelno_english", [2] = "pelno_china", [4] = "pelno_japan", other = "pelno_unknown" },
  [0x48008000] = { [1] = "tamri_english", [2] = "tamri_china", [4] = "tamri_japan", other = "tamri_unknown" },
}
local friendly3 = {
  [0x00000800] = "scrubo", [0x20000001] = "yarp", [0x20000020] = "gorsel_white", [0x20000040] = "gorsel_black",
  [0x20000400] = "pelno_spyware", [0x40000010] = "drovo", [0x40800000] = "brolt_white_list",
  [0x48040066] = "tarnip",
}

local function trim(s, n)
  while n > 0 and s:sub(-1) == "0" do s, n = s:sub(1, -2), n - 1 end
  return s
end

local function minor_left(m, n)
  if m == 0 then return "0" end
  return trim(sformat("%04d", m), n)
end

local function minor_right(m, n)
  local s = tostring(m)
  return trim(s .. ("0"):rep(4 - #s), n)
end

local function display(major, minor, build, n, show_build, right)
  local s = major .. "." .. (right and minor_right or minor_left)(minor, n)
  if show_build or build ~= 0 then s = s .. "." .. build end
  return s
end

local function class3_version(pattern, major)
  local digits = select(2, pattern:gsub("%%d", "")) - 1
  local values = { floor(major / 10 ^ digits) }
  for k = digits - 1, 0, -1 do values[#values + 1] = floor(major / 10 ^ k) % 10 end
  return sformat(pattern, table.unpack(values))
end

local function version(klass, type, major, minor, build)
  if klass == 3 and minor == 0 and build == 0 then return class3_version(class3[type] or "%d", major) end
  if klass == 2 and scan_engines[type] then return display(major, minor, build, 1, false, true) end
  if klass == 22 and type == 2213 then return display(major, minor, build, 1, false, false) end
  return display(major, minor, build, 3, false, false)
end

local function friendly(klass, type, language)
  if klass == 22 then return type == 2213 and "kvem" or nil end
  if klass ~= 3 then return nil end
  local names = by_language[type]
  if names then return names[language] or names.other end
  return friendly3[type]
end

local fields = { l = "language", p = "platform", r = "region", o = "oem" }

-- Enough of the grammar for well-formed identifiers.
local function lua_tocomponent(id)
  local klass, type, pos = id:match("^c(%d*)t(%d*)()")
  if not klass then error("invalid product class") end
  local t = { klass = tonumber(klass) or 0, type = tonumber(type) or 0, language = -1, platform = -1,
              region = -1, oem = -1 }
  local major, minor, build = 0, 0, 0
  local v, minor_digits, b, next_pos = id:match("^v(%d*)%.?(%d*)%.?(%d*)()", pos)
  if v then
    major, build, pos = tonumber(v) or 0, tonumber(b) or 0, next_pos
    minor = tonumber((minor_digits .. "0000"):sub(1, 4))
  end
  for letter, number in id:sub(pos):gmatch("([lpro])(%-?%d*)") do
    t[fields[letter]] = tonumber(number) or 0
  end
  if t.language == -10 or t.platform == -10 or t.region == -10 or t.oem == -10 then return nil end
  t.version = version(t.klass, t.type, major, minor, build)
  t.name = sformat("c%dt%dl%dp%dr%do%d", t.klass, t.type, t.language, t.platform, t.region, t.oem)
  t.extract = sformat("c%dt%dv%d.%s.%dl%dp%dr%do%d", t.klass, t.type, major, minor_left(minor, 0), build,
    t.language, t.platform, t.region, t.oem)
  t.friendly = friendly(t.klass, t.type, t.language)
  return t
end

local types = { 4, 2048, 0x20000020, 0x40000010, 0x48040181, 0x48040233, 0x48008000, 0x48000132, 0x48000226,
  2213, 2214, 7, 123456 }
local versions = { "", "v9.75.1008", "v1069300", "v1.05.3", "v10.5", "v3.0.1234", "v123456789" }
local qualifiers = { "", "l1", "l2p3", "o-5", "l1p2r3o4", "r12", "l4" }

math.randomseed(7)
local ids = {}
for i = 1, COUNT do
  local pick = function(list) return list[math.random(#list)] end
  local klass = pick { 1, 2, 3, 3, 3, 22 }
  ids[i] = "c" .. klass .. "t" .. pick(types) .. pick(versions) .. pick(qualifiers)
end

local function same(a, b)
  for k, v in pairs(a) do if b[k] ~= v then return false, k end end
  for k in pairs(b) do if a[k] == nil then return false, k end end
  return true
end
do
  local prepared = {}
  for i = 1, COUNT do prepared[i] = update.tocomponent(ids[i]) end
  floor_module.prepare(ids, prepared)
end
for i = 1, COUNT do
  local ours, theirs = update.tocomponent(ids[i]), floor_module.entity(ids[i])
  if (ours == nil) ~= (theirs == nil) or (ours and not same(ours, theirs)) then
    error(("the floor's table differs for %s"):format(ids[i]))
  end
  if i <= 2000 then
    local ok, key = same(ours, lua_tocomponent(ids[i]))
    if not ok then error(("tables differ for %s at %s"):format(ids[i], key)) end
  end
end

-- CPU time: nothing here waits, and preemption on these VMs would count.
local function time(f)
  collectgarbage()
  local start = os.clock()
  for i = 1, COUNT do f(ids[i]) end
  return (os.clock() - start) / COUNT * 1e9
end

local c, floor_times, lua = {}, {}, {}
bench.interleave(ROUNDS, {
  function() c[#c + 1] = time(update.tocomponent) end,
  function() floor_times[#floor_times + 1] = time(floor_module.entity) end,
  function() lua[#lua + 1] = time(lua_tocomponent) end,
})
local mc, mf, ml = bench.median(c), bench.median(floor_times), bench.median(lua)
print(("identifiers %d: tocomponent %.0f ns, C floor %.0f ns, pure Lua %.0f ns"):format(COUNT, mc, mf, ml))
bench.row("tocomponent", "tocomponent vs its C floor", "ns/id", mc, ml, mf, mc / mf, "floor", 1.2)
bench.row("tocomponent", "tocomponent vs pure Lua", "ns/id", mc, ml, mf, mc / ml, "peer", 0.3)
