-- Every allocation a module function makes, failed in turn: the call must end
-- in its results, in the allocation messages of the module, in -4 from a
-- selection, or in Lua's memory error; and leave nothing behind.
local double = require "zeldouble"
local update = require "update"
-- The counter lives in this build of update.so itself.
local allocfail = assert(package.loadlib(package.searchpath("update", package.cpath), "luaopen_allocfail"))()
local scratch = require "scratch"

local repository = scratch.repository("allocfail")

local PRODUCTS = {
  { klass = 1, type = 1, major = 6, components = {
      { klass = 3, type = 4, language = 1, major = 1069300 },
      { klass = 22, type = 2213, major = 1, minor = 500, build = 3 },
      { klass = 2, type = 0x48000132, major = 9, minor = 7500, build = 1008 },
  } },
  { klass = 5, type = 7, components = { { klass = 3, type = 0x48008000, language = 2 } } },
}

local EVENTS = {
  { event = 0, record = { information = "c3t4", total = 10, finished = 1 } },
  { event = 1, record = false },
  { event = 9, record = { total = 1, finished = 1 } },
}

local SOURCES = {
  { url = "http://127.0.0.1:1/a", proxy = { type = 1, host = "127.0.0.1", port = 8080, user = "u", password = "p" } },
  { url = "http://127.0.0.1:1/b" },
}

local function options()
  return {
    download = function(event) return event.type end,
    progress = function() return true end,
    unknown = function() end,
    maxbandwidth = 100,
    buildpatch = true,
    removeek = function(path) return path:find("keep", 1, true) end,
  }
end

local function scripted()
  os.remove("/dev/shm/sem.zelrelay")
  double.reset()
  double.information("GetInformation", PRODUCTS)
  double.information("Duplicate", PRODUCTS)
  double.events(EVENTS)
  scratch.fill(repository)
end

local REQUEST = { "c1t1", "c5t7l-1" }

-- name, function under test, arguments
local CASES = {
  { "startup", update.startup },
  { "shutdown", update.shutdown },
  { "version", update.version },
  { "get_mode", update.get_mode },
  { "set_mode", update.set_mode, 1 },
  { "ok", update.ok, "2" },
  { "tocomponent", update.tocomponent, "c3t4v1.5l1" },
  { "tocomponent nil", update.tocomponent, "c3t4l-10" },
  { "toproduct", update.toproduct, "c22t2213v1.05.3l1" },
  { "extract", update.extract, repository, "c3t4v1.5l1", repository .. "/out" },
  { "extract table", update.extract, repository, { extract = "c22t2213v1.0500.3l-1p-1r-1o-1" }, "/nowhere" },
  { "removeek", update.removeek, repository },
  { "removeek filter", update.removeek, repository, function(path) return path:find("keep", 1, true) end },
  { "list", update.list, repository, REQUEST, SOURCES, options },
  { "list string", update.list, repository, "c1t1", "http://127.0.0.1:1/" },
  { "everything", update.everything, repository, REQUEST, SOURCES, options },
  { "everything plain", update.everything, repository, "c1t1" },
  { "patterns", update.patterns, repository, REQUEST, SOURCES, options },
  { "patternsExceptPelno", update.patternsExceptPelno, repository, REQUEST, SOURCES },
  { "components", update.components, repository, REQUEST, SOURCES, options, { "c3t4", "c22t2213" } },
  { "components none", update.components, repository, {}, nil, nil },
}

local MESSAGES = {
  ["not enough memory"] = true,
  ["can't allocate product"] = true,
  ["can't allocate source"] = true,
}

local function arguments(case)
  local list = {}
  for i = 3, #case do
    local value = case[i]
    list[i - 2] = value == options and options() or value
  end
  return list, #case - 2
end

local function settled()
  collectgarbage("collect")
  collectgarbage("collect")
  local contexts, records = double.live()
  return contexts == 0 and records == 0 and not double.semaphore(), contexts, records
end

-- What a run ended in, or nil when that ending is acceptable.
local function judge(run)
  if not run.ok then
    local message = run[1]
    if type(message) == "string" and (MESSAGES[message] or message:find("not enough memory", 1, true)) then
      return nil
    end
    return "raised " .. tostring(message)
  end
  return nil
end

describe("allocation failures", function()
  it("end every module function soundly, without leaks", function()
    local problems, failed, tried = {}, 0, 0
    for _, case in ipairs(CASES) do
      local name, fn = case[1], case[2]
      local n = 0
      repeat
        n = n + 1
        scripted()
        local args, count = arguments(case)
        local before, descriptors = allocfail.live(), allocfail.descriptors()
        local run = allocfail.run(n, fn, table.unpack(args, 1, count))
        tried = tried + 1
        if run.failed then failed = failed + 1 end
        local fault = judge(run)
        if not run.failed and not run.ok then fault = "raised without a failed allocation: " .. tostring(run[1]) end
        local clean, contexts, records = settled()
        if not clean then
          fault = (fault or "") .. string.format(" left %d contexts, %d records, semaphore %s", contexts, records,
            tostring(double.semaphore()))
        end
        local live = allocfail.live()
        if live ~= before then fault = (fault or "") .. string.format(" leaked %d blocks", live - before) end
        local open = allocfail.descriptors() - descriptors
        if open ~= 0 then fault = (fault or "") .. string.format(" left %d descriptors open", open) end
        if fault then problems[#problems + 1] = string.format("%s, allocation %d: %s", name, n, fault) end
      until not run.failed or n > 2000
    end
    scratch.record("allocfail", { runs = tried, allocations_failed = failed })
    print(string.format("\nallocation failures: %d runs, %d allocations failed", tried, failed))
    assert.same({}, problems)
  end)
end)
