-- tocomponent and toproduct as a script sees them.
local update = require "update"

-- Called through the module table, not as a tail call, so that argument
-- errors name the function.
local function tocomponent(...) local t = update.tocomponent(...) return t end
local function toproduct(...) local s = update.toproduct(...) return s end

-- Swaps string.format (or the whole string table) for one call; the real one
-- is back before any assertion runs, since busted formats with it.
local function with_global(set, restore, f, ...)
  set()
  local result = table.pack(pcall(f, ...))
  restore()
  return table.unpack(result, 1, result.n)
end

local real_string, real_format = string, string.format
local function with_format(format, f, ...)
  return with_global(function() string.format = format end,
    function() string.format = real_format end, f, ...)
end

describe("tocomponent", function()
  it("renders every field of a pelno component", function()
    assert.same({
      klass = 3, type = 4, language = 1, platform = -1, region = -1, oem = -1,
      version = "0.000.00", name = "c3t4l1p-1r-1o-1", extract = "c3t4v0.0.0l1p-1r-1o-1",
      friendly = "pelno_english",
    }, tocomponent("c3t4l1"))
  end)

  it("renders versions, names and extract names", function()
    local cases = {
      { "c22t2213v1.05.3", "1.050.3", "c22t2213l-1p-1r-1o-1", "c22t2213v1.0500.3l-1p-1r-1o-1" },
      { "c1t1", "0.0", "c1t1l-1p-1r-1o-1", "c1t1v0.0.0l-1p-1r-1o-1" },
      { "c3t4v1.2.3.4", "1.2.3", "c3t4l-1p-1r-1o-1", "c3t4v1.2000.3l-1p-1r-1o-1" },
      { "c3t4v1069300", "10.693.00", "c3t4l-1p-1r-1o-1", "c3t4v1069300.0.0l-1p-1r-1o-1" },
      { "c3t4v4294967295.0001", "4294967295.0001", "c3t4l-1p-1r-1o-1", "c3t4v-1.0001.0l-1p-1r-1o-1" },
      { "c3t1v4294967295", "-1", "c3t1l-1p-1r-1o-1", "c3t1v-1.0.0l-1p-1r-1o-1" },
      { "c2t1207960102v9.005.1008", "9.500.1008", "c2t1207960102l-1p-1r-1o-1",
        "c2t1207960102v9.0050.1008l-1p-1r-1o-1" },
      { "c2147483648t4294967295o-2147483648", "0.0", "c-2147483648t-1l-1p-1r-1o-2147483648",
        "c-2147483648t-1v0.0.0l-1p-1r-1o-2147483648" },
    }
    for _, c in ipairs(cases) do
      local t = tocomponent(c[1])
      assert.same({ c[1], c[2], c[3], c[4] }, { c[1], t.version, t.name, t.extract })
    end
  end)

  it("gives friendly names by class, type and language only", function()
    local cases = {
      c3t4l2 = "pelno_china", c3t4l4p7 = "pelno_japan", c3t4l3 = "pelno_unknown", c3t4 = "pelno_unknown",
      c3t1207992320l1 = "tamri_english", c3t1207992320 = "tamri_unknown", c3t2048v5l9 = "scrubo",
      c22t2213 = "kvem", c22t2214 = false, c1t1 = false, c3t5 = false, c2t4l1 = false,
    }
    for id, friendly in pairs(cases) do
      assert.same({ id, friendly }, { id, tocomponent(id).friendly or false })
    end
  end)

  it("returns nil for a -10 qualifier", function()
    for _, id in ipairs { "c3t4l-10", "c3t4p-10", "c3t4r-10", "c3t4o-10", "c3t4l1p2r3o-10" } do
      local ok, t = pcall(tocomponent, id)
      assert.same({ id, true, nil }, { id, ok, t })
    end
    assert.is_table(tocomponent("c3t4l-100"))
  end)

  it("reads its extract name back", function()
    local t = tocomponent("c3t4v2147483647.0005.2147483647l1p2r3o4")
    assert.equal("c3t4v2147483647.0005.2147483647l1p2r3o4", t.extract)
    assert.same(t, tocomponent(t.extract))
  end)
end)

describe("toproduct", function()
  it("puts the product version into the name", function()
    local cases = {
      ["c3t4v9.5"] = "c3t4v9.5.0l-1p-1r-1o-1",
      ["c22t2213v1.05.3l1"] = "c22t2213v1.05.3l1p-1r-1o-1",
      ["c3t4l-10"] = "c3t4v0.0.0l-10p-1r-1o-1",
      ["c3t4v6.0001"] = "c3t4v6.0001.0l-1p-1r-1o-1",
      ["c2t1207959858v9.75.1008"] = "c2t1207959858v9.75.1008l-1p-1r-1o-1",
    }
    for id, name in pairs(cases) do assert.same({ id, name }, { id, toproduct(id) }) end
  end)

  it("formats through the script's current string.format", function()
    local seen
    local ok, name = with_format(function(...) seen = { ... } return "mine" end, toproduct, "c3t4v9.5l1")
    assert.same({ true, "mine" }, { ok, name })
    assert.same({ "c3t4v%sl1p-1r-1o-1", "9.5.0" }, seen)
    assert.equal("c3t4v9.5.0l1p-1r-1o-1", toproduct("c3t4v9.5l1"))
  end)

  it("passes on the errors of string.format", function()
    local failure = setmetatable({}, { __tostring = function() return "failure" end })
    local ok, err = with_format(function() error(failure) end, toproduct, "c3t4")
    assert.is_false(ok)
    assert.equal(failure, err)
    ok, err = with_format(function() error("boom", 0) end, toproduct, "c3t4")
    assert.same({ false, "boom" }, { ok, err })
  end)

  it("raises when string.format cannot be called", function()
    local ok, err = with_format(42, toproduct, "c3t4")
    assert.is_false(ok)
    assert.matches("attempt to call", err)
  end)

  it("raises without the string table, while tocomponent needs none", function()
    local remove = function() _G.string = nil end
    local restore = function() _G.string = real_string end
    local ok, err = with_global(remove, restore, toproduct, "c3t4")
    assert.is_false(ok)
    assert.matches("attempt to index", err)
    local ok2, t = with_global(remove, restore, tocomponent, "c3t4l1")
    assert.same({ true, "c3t4l1p-1r-1o-1" }, { ok2, t.name })
  end)
end)

describe("argument errors", function()
  it("are Lua's standard argument errors for argument 1", function()
    local cases = {
      { "expected product id string", function(f) return f(nil) end },
      { "expected product id string", function(f) return f({}) end },
      { "expected product id string", function(f) return f() end },
      { "expected product id string", function(f) return f(true) end },
      { "invalid product class", function(f) return f("x") end },
      { "invalid product class", function(f) return f("") end },
      { "invalid product class", function(f) return f(34) end },
      { "invalid product type", function(f) return f("c3x4") end },
      { "minor version too large", function(f) return f("c3t4v1.123456") end },
      { "invalid field", function(f) return f("c3t4 l1") end },
      { "invalid field", function(f) return f("c3t4l1\0") end },
      { "too many fields", function(f) return f("c3t4l1p2r3o4l5") end },
    }
    for _, name in ipairs { "tocomponent", "toproduct" } do
      local wrapped = name == "tocomponent" and tocomponent or toproduct
      for _, c in ipairs(cases) do
        local ok, err = pcall(c[2], wrapped)
        -- Lua puts the caller's position in front: the wrapper's line.
        local where, text = tostring(err):match("^(.-entity_test%.lua:%d+): (.*)$")
        assert.same({ false, "bad argument #1 to '" .. name .. "' (" .. c[1] .. ")" }, { ok, text })
        assert.is_string(where)
      end
    end
  end)
end)
