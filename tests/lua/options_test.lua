-- The options table: what it sets on the context, what it refuses, and the
-- events it forwards to the script's handlers.
local support = require "repository_support"
local double, update = support.double, support.update

local list = support.list

local function noop() end

-- The Event log entries' results, in firing order.
local function event_results()
  local results = {}
  for i, call in ipairs(support.calls("Event")) do results[i] = call.result end
  return results
end

before_each(function() double.reset() end)
after_each(function() support.assert_released() end)

describe("ParseOptions", function()
  it("sets nothing without options", function()
    list("/r", "c3t4")
    list("/r", "c3t4", nil, nil)
    list("/r", "c3t4", nil, {})
    assert.same({}, support.calls("SetOption"))
    assert.same({}, support.calls("SubscribeEvent"))
  end)

  it("sets typed options with the library's ids", function()
    list("/r", "c3t4", nil, { maxbandwidth = 100 })
    list("/r", "c3t4", nil, { maxmerge = "100" })
    list("/r", "c3t4", nil, { diffcount = 2.75 })
    list("/r", "c3t4", nil, { keepcount = -3, httpslevel = 2 ^ 40 })
    list("/r", "c3t4", nil, { buildpatch = true })
    list("/r", "c3t4", nil, { buildpatch = false })
    list("/r", "c3t4", nil, { dupdigisign = false })
    local set = {}
    for _, call in ipairs(support.calls("SetOption")) do set[#set + 1] = { call.id, call.value } end
    table.sort(set, function(a, b) return a[1] < b[1] or a[1] == b[1] and a[2] < b[2] end)
    assert.same({ { 0, 100 }, { 9, 0 }, { 9, 1 }, { 10, 100 }, { 11, 2 }, { 12, -3 }, { 15, 2 ^ 40 }, { 19, 0 } }, set)
  end)

  it("subscribes each handler's event with the callback and the state", function()
    list("/r", "c3t4", nil, { download = noop, downloadend = noop, unknown = noop })
    local events = {}
    for _, call in ipairs(support.calls("SubscribeEvent")) do
      assert.is_true(call.callback and call.user)
      assert.equal(support.last("CreateContext").context, call.context)
      events[#events + 1] = call.event
    end
    table.sort(events)
    assert.same({ 0, 5 }, events)
  end)

  it("refuses a bad entry with its message, after closing the context", function()
    local cases = {
      { 5, "not a table of options" },
      { "fast", "not a table of options" },
      { { maxbandwidth = "lots" }, "maxbandwidth must be a integer" },
      { { maxbandwidth = true }, "maxbandwidth must be a integer" },
      { { buildpatch = 1 }, "buildpatch must be a boolean" },
      { { download = true }, "download must be a function" },
      { { Download = noop }, "Download is not a valid option" },
      { { noop }, "1 is not a valid option" },
      { { [2.5] = noop }, "2.5 is not a valid option" },
      { { [true] = 1 }, "options must be named" },
      { { ek = 1 }, "ek must be boolean" },
      { { removeek = true }, "removeek must be a function" },
      { { unknown = 5 }, "unknown must be a function" },
      { { ["download\0x"] = true }, "download must be a function" },
    }
    for _, case in ipairs(cases) do
      double.clear()
      assert.has_error(function() list("/r", "c3t4", nil, case[1]) end, case[2])
      assert.same("DestroyContext", support.names()[#support.names()])
      assert.same({}, support.calls("GetInformation"))
      support.assert_released()
    end
  end)
end)

describe("the clean-up mode", function()
  local repository
  before_each(function() repository = support.repository("index", { "package0001.zip" }) end)
  after_each(function() support.remove(repository) end)

  -- Whether everything's clean-up ran, and what its filter saw.
  local function cleanup_after(options)
    local seen = {}
    if options and options.removeek then
      options.removeek = function(path) seen[#seen + 1] = path return true end
    end
    update.everything(repository, "c3t4", nil, options)
    return support.read(repository .. "/server.ini") == support.skeleton, #seen
  end

  it("follows ek and removeek whatever their order", function()
    local cases = {
      { nil, true, 0 },
      { {}, true, 0 },
      { { ek = true }, false, 0 },
      { { ek = false }, true, 0 },
      { { removeek = true }, true, 1 },
      { { ek = true, removeek = true }, false, 0 },
      { { ek = false, removeek = true }, true, 1 },
    }
    for i, case in ipairs(cases) do
      support.write(repository .. "/server.ini", "index")
      support.write(repository .. "/packages/package0001.zip", "zip")
      assert.same({ case[2], case[3] }, { cleanup_after(case[1]) }, "case " .. i)
    end
  end)
end)

describe("OnLibraryEvent", function()
  it("hands the handler a fresh table per event", function()
    local seen = {}
    double.events({
      { event = 0 },
      { event = 1, record = { total = 10, finished = 4 } },
      { event = 5, record = { information = "c3t4.zip", total = "18446744073709551615", finished = 0 } },
    })
    local handler = function(event) seen[#seen + 1] = event end
    list("/r", "c3t4", nil, { download = handler, progress = handler, downloadend = handler })
    assert.same({
      { type = "download" },
      { type = "progress", total = 10, finished = 4 },
      { type = "downloadend", information = "c3t4.zip", total = 2 ^ 64, finished = 0 },
    }, seen)
    assert.is_true(seen[3].total > 1.8e19)
  end)

  it("turns the handler's first result, or its error value, into 0 or 1", function()
    local results = {
      function() return true end, function() return 0 end, function() return "s" end,
      function() error("raised") end, function() error({}) end,
      function() return false end, function() return nil end, function() end,
      function() error(nil) end, function() error(false) end,
    }
    local index = 0
    local events = {}
    for i = 1, #results do events[i] = { event = 1 } end
    double.events(events)
    list("/r", "c3t4", nil, { progress = function(...)
      index = index + 1
      return results[index](...)
    end })
    assert.same({ 0, 0, 0, 0, 0, 1, 1, 1, 1, 1 }, event_results())
  end)

  it("routes unnamed events to unknown", function()
    local types = {}
    double.events({ { event = 6 }, { event = -1 } })
    list("/r", "c3t4", nil, { download = noop, unknown = function(e) types[#types + 1] = e.type return true end })
    assert.same({ "unknown", "unknown" }, types)
    assert.same({ 0, 0 }, event_results())
    double.clear()
    double.events({ { event = 6 } })
    list("/r", "c3t4", nil, { download = function() return true end })
    assert.same({ 1 }, event_results())
  end)

  it("looks the handler up anew at every event", function()
    local calls = {}
    local options = {}
    options.download = function()
      calls[#calls + 1] = "first"
      options.download = function() calls[#calls + 1] = "second" options.download = nil return true end
      return true
    end
    double.events({ { event = 0 }, { event = 0 }, { event = 0 } })
    list("/r", "c3t4", nil, options)
    assert.same({ "first", "second" }, calls)
    assert.same({ 0, 0, 1 }, event_results())
  end)

  it("keeps a raising handler lookup inside the callback", function()
    local options = setmetatable({},
      { __index = function(_, name) error(name == "progress" and "lookup" or false) end })
    options.download = function() options.download = nil return false end
    double.events({ { event = 0 }, { event = 0 }, { event = 1 } })
    local result, code = list("/r", "c3t4", nil, options)
    assert.same({ nil, 1 }, { result, code })
    -- Subscribed to event 0 only: event 1 reaches the first subscription.
    assert.same({ 1, 1, 0 }, event_results())
  end)

  it("lets a handler re-enter the module", function()
    local inner = {}
    double.information("GetInformation", { { klass = 3, type = 4, language = 1 } })
    double.events({ { event = 0, on = "GetInformation" } })
    local result = list("/outer", "c3t4", nil, { download = function()
      inner.component = update.tocomponent("c3t4l1").friendly
      inner.result = update.list("/inner", "c22t2213")
      local contexts = double.live()
      inner.contexts = contexts
      return true
    end })
    assert.equal("pelno_english", inner.component)
    assert.equal("pelno_english", inner.result[1].friendly)
    assert.equal(1, inner.contexts)
    assert.equal("pelno_english", result[1].friendly)
    local contexts = support.calls("CreateContext")
    assert.same({ "/outer", "/inner" }, { contexts[1].path, contexts[2].path })
    assert.same({ 0 }, event_results())
    assert.equal(2, #support.calls("DestroyData"))
  end)
end)
