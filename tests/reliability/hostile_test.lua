-- All fifteen functions called with random arguments against the double:
-- every call ends in values or in a Lua error with a readable message, and
-- nothing outlives the run. Seeded, so a failure replays with its seed.
local double = require "zeldouble"
local update = require "update"
local scratch = require "scratch"

local SEED = tonumber(os.getenv("HOSTILE_SEED") or "") or 20240611
local CALLS = tonumber(os.getenv("HOSTILE_CALLS") or "") or 20000
local repository = scratch.repository("hostile")

local FUNCTIONS = {
  "startup", "shutdown", "version", "tocomponent", "toproduct", "extract", "removeek", "list", "everything",
  "patterns", "patternsExceptPelno", "components", "ok", "get_mode", "set_mode",
}

local random = math.random

local function pick(list) return list[random(#list)] end

-- Raised by the traps below: an error the script made, passed through as is.
local TRAP = setmetatable({}, { __tostring = function() return "trap" end })

local NUMBERS = {
  0, 1, -1, 2, 3, 5, 7, 22, 2213, 65536, 70000, 0.5, -0.5, 2 ^ 31, 2 ^ 31 - 1, -2 ^ 31, 2 ^ 32 + 1, 2 ^ 53,
  2 ^ 63, -2 ^ 63, 2 ^ 64, 1e308, -1e308, math.huge, -math.huge, 0 / 0, 4294967295, 1e10,
}

local IDENTIFIERS = {
  "c3t4", "c3t4l1", "c22t2213v1.05.3", "c2t1207959858v9.7500.1008", "c3t4l-10", "ct", "c3t4v1.123456",
  "c3t4l1p2r3o4l5", "C3t4", "", "c4294967299t1", "c3t4\0l1", "c3t4v99999999999999999999999.1.2.3",
}

local value

local function text()
  local kind = random(8)
  if kind <= 3 then return pick(IDENTIFIERS) end
  if kind == 4 then return repository end
  if kind == 5 then return string.rep("c3t4", random(1, 64)) .. "\0" .. string.rep("x", random(0, 8)) end
  if kind == 6 and random(200) == 1 then return string.rep("\255", 1048576) end
  local bytes = {}
  for i = 1, random(0, 24) do bytes[i] = string.char(random(0, 255)) end
  return table.concat(bytes)
end

-- Functions the module may call: handlers, filters, string.format stand-ins.
local function callback()
  local kind = random(7)
  if kind == 1 then return function() error("handler failed") end end
  if kind == 2 then return function() error(TRAP) end end
  if kind == 3 then return function() return coroutine.yield(1) end end
  if kind == 4 then return function() error() end end
  if kind == 5 then
    -- Re-enters the module from inside a library callback.
    return function() return update.list(repository, "c1t1") end
  end
  return function(...) return value(2), ... end
end

local function trapped()
  local raise = function() error(random(2) == 1 and TRAP or "metamethod failed") end
  local mt = {}
  for _, event in ipairs({ "__index", "__newindex", "__len", "__call", "__eq", "__lt", "__concat", "__tostring" }) do
    if random(2) == 1 then mt[event] = raise end
  end
  local t = {}
  for i = 1, random(0, 3) do t[i] = value(2) end
  return setmetatable(t, mt)
end

local OPTION_KEYS = {
  "download", "progress", "removebegin", "removefailed", "downloadbegin", "downloadend", "maxbandwidth",
  "buildpatch", "maxmerge", "diffcount", "keepcount", "httpslevel", "dupdigisign", "ek", "removeek", "unknown",
  "Download", 1, true,
}

local function options(depth)
  local t = {}
  for _ = 1, random(0, 6) do
    local key = pick(OPTION_KEYS)
    local kind = random(4)
    t[key] = kind == 1 and callback() or kind == 2 and (random(2) == 1) or value(depth)
  end
  return t
end

local function sources(depth)
  local list = {}
  for i = 1, random(0, 4) do
    if random(5) == 1 then
      list[i] = value(depth)
    else
      list[i] = { url = random(4) > 1 and text() or value(depth), proxy = random(2) == 1 and {
        type = value(depth), host = random(3) > 1 and text() or value(depth), port = pick(NUMBERS),
        user = text(), password = value(depth) } or nil }
    end
  end
  if random(8) == 1 then return setmetatable(list, { __len = function() return random(0, 6) end }) end
  return list
end

local function products(depth)
  local list = {}
  for i = 1, random(0, 5) do list[i] = random(6) > 1 and pick(IDENTIFIERS) or value(depth) end
  return list
end

function value(depth)
  depth = (depth or 0) + 1
  local kind = random(depth > 2 and 6 or 13)
  if kind == 1 then return nil end
  if kind == 2 then return random(2) == 1 end
  if kind == 3 then return pick(NUMBERS) end
  if kind <= 5 then return text() end
  if kind == 6 then return pick({ io.stdout, coroutine.create(print), print }) end
  if kind == 7 then return callback() end
  if kind == 8 then return trapped() end
  if kind == 9 then return options(depth) end
  if kind == 10 then return sources(depth) end
  if kind == 11 then return products(depth) end
  if kind == 12 then return { extract = value(depth) } end
  return update.tocomponent("c3t4v1.5l1")
end

local function entity()
  return { klass = pick({ 1, 2, 3, 22, -1, 0x7fffffff }), type = pick({ 1, 4, 2213, 0x48000132, 0x48008000 }),
           language = pick({ -1, 1, 2, -10 }), major = pick({ 0, 5, 1069300, "18446744073709551615" }),
           minor = pick({ 0, 5, 5000, 12345 }), build = pick({ 0, 1, 4294967295 }) }
end

local function information()
  local list = {}
  for i = 1, random(0, 4) do
    local product = entity()
    product.components = {}
    for j = 1, random(0, 5) do product.components[j] = entity() end
    list[i] = product
  end
  return list
end

local CALL_NAMES = { "Startup", "Shutdown", "GetVersion", "CreateContext", "GetInformation", "Duplicate",
                     "ExportComponent" }

local function script()
  double.reset()
  for _ = 1, random(0, 3) do double.status(pick(CALL_NAMES), pick({ 1, 2, 0, -4, -1, 3 })) end
  if random(2) == 1 then double.information("GetInformation", information()) end
  if random(2) == 1 then double.information("Duplicate", information()) end
  if random(2) == 1 then
    local events = {}
    for i = 1, random(0, 4) do
      events[i] = { event = pick({ 0, 1, 2, 3, 4, 5, 6, -1 }),
                    record = random(3) == 1 and false or { information = random(2) == 1 and text() or nil,
                                                          total = pick({ 0, 1, "18446744073709551615" }),
                                                          finished = 1 } }
    end
    double.events(events)
  end
  if random(4) == 1 then double.message(pick({ 1, 0, -4 }), random(2) == 1 and { 0x41, 0xE9, 0x10FFFF } or false) end
end

local function argumentsFor(name)
  local args = {}
  local n = random(0, 6)
  for i = 1, n do args[i] = value() end
  -- Mostly well-formed in front, so the deeper paths run as well.
  if random(3) > 1 then
    if name == "extract" then
      args[1], args[2], args[3] = repository, pick(IDENTIFIERS), repository .. "/out"
    elseif name == "removeek" then
      args[1] = repository
    elseif name == "tocomponent" or name == "toproduct" then
      args[1] = pick(IDENTIFIERS)
    else
      args[1], args[2], args[3] = repository, products(0), sources(0)
      n = math.max(n, 3)
    end
  end
  return args, n
end

-- A readable message: text, or a value the script itself raised.
local function clear(err)
  if err == TRAP then return true end
  return type(err) == "string" and #err > 0 and #err < 4096
end

local saved = { format = string.format, io = io }

local function hostileWorld()
  if random(40) == 1 then string.format = function() error("format is gone") end end
  if random(40) == 1 then _G.io = nil end
end

local function restoreWorld()
  string.format = saved.format
  _G.io = saved.io
end

describe("hostile Lua", function()
  it("gets values or clear errors from every function, and leaves nothing behind", function()
    math.randomseed(SEED)
    os.remove("/dev/shm/sem.zelrelay")
    for _, name in ipairs(FUNCTIONS) do assert.is_function(update[name], name) end
    local problems, raised = {}, 0
    for call = 1, CALLS do
      local name = pick(FUNCTIONS)
      local args, n = argumentsFor(name)
      script()
      hostileWorld()
      local ok, err
      if random(6) == 1 then
        local co = coroutine.create(function() return update[name](table.unpack(args, 1, n)) end)
        ok, err = coroutine.resume(co)
      else
        ok, err = pcall(update[name], table.unpack(args, 1, n))
      end
      restoreWorld()
      if not ok then
        raised = raised + 1
        if not clear(err) and #problems < 20 then
          problems[#problems + 1] = string.format("call %d %s: unclear error %s", call, name, tostring(err))
        end
      end
      if call % 500 == 0 then collectgarbage("collect") end
    end
    collectgarbage("collect")
    collectgarbage("collect")
    local contexts, records = double.live()
    assert.same({}, problems)
    assert.same({ 0, 0, false }, { contexts, records, double.semaphore() })
    assert.equal("c3t4l1p-1r-1o-1", update.tocomponent("c3t4l1").name)
    scratch.record("hostile", { seed = SEED, calls = CALLS, raised = raised })
    print(string.format("\nhostile Lua: seed %d, %d calls, %d raised", SEED, CALLS, raised))
  end)
end)
