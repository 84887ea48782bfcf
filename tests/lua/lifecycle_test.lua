-- The library's life as a script drives it: start-up, mode, shut-down, version.
-- The module's record of the last start-up is process-wide, so the order of
-- the tests in this file matters: the first one sees the module as loaded.
local double = require "zeldouble"
local update = require "update"

local function pack(...) return table.pack(...) end
local function mode() return pack(update.get_mode()) end

-- The Startup calls in the log.
local function startups()
  local n = 0
  for _, call in ipairs(double.calls()) do
    if call.call == "Startup" then n = n + 1 end
  end
  return n
end

before_each(function() double.reset() end)

describe("the library's life", function()
  it("is not started before any start-up", function()
    assert.same({ false, 0, 0, nil, 0, "status 0", n = 6 }, mode())
    assert.same({ { call = "GetStatusMessage", status = 0 } }, double.calls())
  end)

  it("starts up with the argument 0 and counts the start-up", function()
    assert.same({ true, 1, "status 1", n = 3 }, pack(update.startup()))
    assert.same({ call = "Startup", reserved = 0 }, double.calls()[1])
    assert.same({ true, 0, 1, true, 1, "status 1", n = 6 }, mode())
  end)

  it("counts as started only a start-up status of 1 or 2", function()
    local cases = {
      { 2, true, true }, { 3, true, false }, { 0, nil, false }, { -1, nil, false }, { 1, true, true },
    }
    for _, case in ipairs(cases) do
      local status, success, started = case[1], case[2], case[3]
      local count = mode()[3]
      double.status("Startup", status)
      local message = "status " .. status
      assert.same({ success, status, message, n = 3 }, pack(update.startup()), message)
      assert.same({ started, 0, count + 1, success, status, message, n = 6 }, mode(), message)
    end
  end)

  it("rejects any mode but 0 and 1, and reports the last start-up", function()
    double.status("Startup", 2)
    update.startup()
    double.status("Startup", -7)
    local before = mode()
    for _, rejected in ipairs { 2, -1, "x", "2", 4294967296, 4294967297, -4294967295, {} } do
      double.clear()
      assert.same({ true, 2, "status 2", n = 3 }, pack(update.set_mode(rejected)), tostring(rejected))
      assert.same(before, mode(), tostring(rejected))
      assert.equal(0, startups(), tostring(rejected))
    end
    assert.same({ true, 2, "status 2", n = 3 }, pack(update.set_mode()))
  end)

  it("starts up again in an accepted mode", function()
    local count = mode()[3]
    double.clear()
    double.status("Startup", 3)
    assert.same({ true, 3, "status 3", n = 3 }, pack(update.set_mode(1)))
    assert.same({ false, 1, count + 1, true, 3, "status 3", n = 6 }, mode())
    assert.same({ call = "Startup", reserved = 0 }, double.calls()[1])
    double.status("Startup", 1)
    assert.same({ true, 1, "status 1", n = 3 }, pack(update.set_mode("0")))
    assert.same({ true, 0, count + 2, true, 1, "status 1", n = 6 }, mode())
  end)

  it("keeps the record of the last start-up through a shut-down", function()
    update.startup()
    local before = mode()
    for _, status in ipairs { 1, -1 } do
      double.status("Shutdown", status)
      local success = status > 0 or nil
      assert.same({ success, status, "status " .. status, n = 3 }, pack(update.shutdown()))
      assert.same(before, mode())
    end
  end)
end)

describe("version", function()
  it("gives the library's numbers and their text", function()
    local cases = {
      { { 5, 12, 1034, 7 }, "5.12.1034" },
      { { 4294967295, 2147483648, 4294967296, 0 }, "-1.-2147483648.0" },
      { { "0x100000005", 0, 0, 0 }, "5.0.0" },
    }
    for _, case in ipairs(cases) do
      double.version(table.unpack(case[1]))
      local t, code, message = update.version()
      assert.equal(case[2], t.string)
      assert.equal(1, code)
      assert.equal("status 1", message)
    end
  end)

  it("holds every number as an integer", function()
    double.version(5, 12, 1034, 7)
    local t = update.version()
    assert.same({ major = 5, minor = 12, build = 1034, revision = 7, string = "5.12.1034" }, t)
  end)

  it("gives nil, the code and the message when the library fails", function()
    for _, status in ipairs { 0, -2 } do
      double.status("GetVersion", status)
      assert.same({ nil, status, "status " .. status, n = 3 }, pack(update.version()))
    end
  end)
end)
