-- The module frame: its table, ok, and how a status and its message reach Lua.
local double = require "zeldouble"
local update = require "update"

-- The status triple of a shutdown that returns code; shutdown touches no
-- module state, so it serves any code.
local function triple(code)
  double.status("Shutdown", code)
  return table.pack(update.shutdown())
end

before_each(function() double.reset() end)

describe("the module table", function()
  it("holds every function its registration table names, and nothing else", function()
    local source = assert(io.open("../../src/module/module.cpp")):read("*a")
    local registered = {}
    for name in source:gmatch('{"([%w_]+)", update_[%w_]+}') do registered[#registered + 1] = name end
    local names = {}
    for name, f in pairs(update) do
      assert.equal("function", type(f), name)
      names[#names + 1] = name
    end
    table.sort(registered)
    table.sort(names)
    assert.equal(15, #names)
    assert.same(registered, names)
  end)

  it("has each function documented under its own heading in docs/api.md", function()
    local doc = assert(io.open("../../docs/api.md")):read("*a")
    for name in pairs(update) do
      assert.is_truthy(doc:find("\n### update%." .. name .. "%("), name)
    end
  end)

  it("is a new table with the same functions on every load", function()
    package.loaded.update = nil
    local again = require "update"
    assert.are_not.equal(update, again)
    local names = 0
    for name, f in pairs(update) do
      assert.equal(f, again[name], name)
      names = names + 1
    end
    for _ in pairs(again) do names = names - 1 end
    assert.equal(0, names)
  end)
end)

describe("ok", function()
  it("reads the low 32 bits of an integer as signed", function()
    local cases = {
      { 1, true }, { "2", true }, { 4294967297, true }, { 2 ^ 31 - 1, true },
      { 0, false }, { -3, false }, { "x", false }, { nil, false },
      { 2 ^ 31, false }, { 2 ^ 31 + 2 ^ 32, false }, { 2 ^ 32, false }, { -2 ^ 32 + 5, true },
    }
    for i, case in ipairs(cases) do
      assert.equal(case[2], update.ok(case[1]), "case " .. i .. ": " .. tostring(case[1]))
    end
  end)

  it("is false with no argument at all", function()
    assert.is_false(update.ok())
    assert.equal(1, select("#", update.ok()))
  end)
end)

describe("the status triple", function()
  it("is true or nil, the code and the library's message", function()
    local cases = {
      { 1, { true, 1, "status 1", n = 3 } },
      { 0, { nil, 0, "status 0", n = 3 } },
      { -4, { nil, -4, "status -4", n = 3 } },
      { 2147483647, { true, 2147483647, "status 2147483647", n = 3 } },
      { -2147483648, { nil, -2147483648, "status -2147483648", n = 3 } },
    }
    for _, case in ipairs(cases) do assert.same(case[2], triple(case[1])) end
  end)

  it("asks the library for the message of that very code", function()
    triple(-4)
    local calls = double.calls()
    assert.same({ { call = "Shutdown" }, { call = "GetStatusMessage", status = -4 } }, calls)
  end)

  it("relays the library's message as narrow text", function()
    local cases = {
      { "wide 0xE9 becomes ?", { 0x41, 0xE9, 0x42 }, "A?B" },
      { "wide 128 and above become ?", { 0x80, 0x100, 0x7FFFFFFF, 0x7F }, "???\127" },
      { "sign-extended bytes come back as bytes", { -23, -1, -128, 0x41 }, "\233\255\128A" },
      { "nothing written is empty", false, "" },
      { "a terminator ends it early", { 0x41, 0, 0x42 }, "A" },
      { "longer text is cut by the library", ("m"):rep(80), ("m"):rep(63) },
    }
    for _, case in ipairs(cases) do
      double.message(-4, case[2])
      assert.equal(case[3], triple(-4)[3], case[1])
    end
  end)

  it("keeps 63 characters of a message without terminator", function()
    double.message(1, "abc", "fill")
    assert.equal(("abc"):rep(21), triple(1)[3])
  end)

  it("is what every later call reports too, code by code", function()
    double.message(3, "three")
    assert.same({ true, 3, "three", n = 3 }, triple(3))
    assert.same({ true, 2, "status 2", n = 3 }, triple(2))
  end)
end)
