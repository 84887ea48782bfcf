-- The context of a repository call and its request records, as the library
-- receives them.
local support = require "repository_support"
local double = support.double

local list = support.list

local function request()
  return support.last("GetInformation")
end

before_each(function() double.reset() end)
after_each(function() support.assert_released() end)

describe("the context", function()
  it("is created on the repository and destroyed once", function()
    assert.same({ nil, 1, "status 1" }, { list("/srv/repo", "c3t4") })
    assert.same({ "CreateContext", "GetInformation", "GetStatusMessage", "DestroyContext" }, support.names())
    assert.equal("/srv/repo", support.last("CreateContext").path)
    assert.equal(support.last("CreateContext").context, support.last("DestroyContext").context)
  end)

  it("takes a number as the repository path", function()
    list(42, "c3t4")
    assert.equal("42", support.last("CreateContext").path)
  end)

  it("refuses a path that is no string", function()
    for _, path in ipairs({ {}, true }) do
      assert.has_error(function() list(path, "c3t4") end, "bad argument #1 to 'list' (expected repository path)")
    end
    assert.has_error(function() list() end, "bad argument #1 to 'list' (expected repository path)")
    assert.same({}, support.names())
  end)

  it("returns the refusal and never examines the other arguments", function()
    double.status("CreateContext", -3)
    assert.same({ nil, -3, "status -3" }, { list("/srv/repo", true, false, 5) })
    assert.same({ "CreateContext", "GetStatusMessage" }, support.names())
  end)
end)

describe("products", function()
  it("become records in list order with no component list", function()
    list("/r", { "c3t4l1", "c22t2213v1.05.3", "c1t1o-5" })
    local call = request()
    assert.equal(3, call.count)
    assert.same({
      support.product({ klass = 3, type = 4, language = 1 }),
      support.product({ klass = 22, type = 2213, major = 1, minor = 500, build = 3 }),
      support.product({ klass = 1, type = 1, oem = -5 }),
    }, call.products)
  end)

  it("take one identifier string, or a number, as one product", function()
    list("/r", "c3t4v1.2.3.4")
    assert.same({ support.product({ klass = 3, type = 4, major = 1, minor = 2000, build = 3, revision = 4 }) },
      request().products)
    assert.has_error(function() list("/r", 34) end, "invalid product class")
  end)

  it("may be an empty table", function()
    list("/r", {})
    assert.equal(0, request().count)
  end)

  it("are read by raw length and raw elements", function()
    local products = setmetatable({ "c3t4" }, {
      __len = function() return 2 end,
      __index = function() error("read through a metamethod") end,
    })
    list("/r", products)
    assert.equal(1, request().count)
  end)

  it("refuse what is no identifier, after closing the context", function()
    local cases = {
      { nil, "expected products" },
      { true, "expected products" },
      { { "c3t4", true }, "expected product id string" },
      { { "c3t4", "c3" }, "invalid product type" },
      { "C3t4", "invalid product class" },
    }
    for _, case in ipairs(cases) do
      double.clear()
      assert.has_error(function() list("/r", case[1]) end, case[2])
      assert.same({ "CreateContext", "DestroyContext" }, support.names())
      support.assert_released()
    end
  end)
end)

describe("sources", function()
  local function sources(value)
    list("/r", "c3t4", value)
    local call = request()
    return call.sources, call.source_count
  end

  it("absent, nil or empty give none", function()
    list("/r", "c3t4")
    assert.same({ nil, 0 }, { request().sources, request().source_count })
    assert.same({ nil, 0 }, { sources(nil) })
    assert.same({ nil, 0 }, { sources({}) })
  end)

  it("refuse what is neither a string nor a table", function()
    for _, value in ipairs({ false, true }) do
      assert.has_error(function() list("/r", "c3t4", value) end, "expected sources")
      support.assert_released()
    end
  end)

  it("take one URL as one source without proxy", function()
    local list_, count = sources("http://127.0.0.1:8080/u")
    assert.equal(1, count)
    assert.same({ { url = "http://127.0.0.1:8080/u", reserved1 = 0, reserved2 = 0 } }, list_)
  end)

  it("put each proxy in its own slot after the records", function()
    local list_, count = sources({
      { url = "http://127.0.0.1/a" },
      { url = "http://127.0.0.1/b", proxy = { type = 1, host = "127.0.0.1", port = 3128, user = "u", password = "p" } },
    })
    assert.equal(2, count)
    assert.same({ url = "http://127.0.0.1/a", reserved1 = 0, reserved2 = 0 }, list_[1])
    assert.same({ offset = 32 * 2 + 40 * 1, type = 1, gap1 = 0, host = "127.0.0.1", port = 3128, gap2 = 0,
                  user = "u", password = "p" }, list_[2].proxy)
  end)

  it("leave out a proxy without host, and keep one without url", function()
    local list_ = sources({
      { url = "http://127.0.0.1/a", proxy = { user = "u", password = "p" } },
      { proxy = { host = "127.0.0.1" } },
      "http://127.0.0.1/not-a-table",
      { url = {}, proxy = "127.0.0.1" },
    })
    assert.same({ reserved1 = 0, reserved2 = 0, url = "http://127.0.0.1/a" }, list_[1])
    assert.is_nil(list_[2].url)
    assert.same({ offset = 32 * 4 + 40, type = 0, gap1 = 0, host = "127.0.0.1", port = 0, gap2 = 0 }, list_[2].proxy)
    assert.same({ reserved1 = 0, reserved2 = 0 }, list_[3])
    assert.same({ reserved1 = 0, reserved2 = 0 }, list_[4])
  end)

  it("store the port's low 16 bits and the type as 0 or 1", function()
    local ports = { { 8080, 8080 }, { "8080", 8080 }, { 70000, 4464 }, { -1, 65535 }, { 1e10, 0 },
                    { 0 / 0, 0 }, { "x", 0 }, { 65537.9, 1 } }
    local types = { { 0, 0 }, { "x", 0 }, { 1, 1 }, { 2, 1 }, { -1, 1 }, { 0.5, 1 }, { "3", 1 }, { 0 / 0, 1 } }
    local given = {}
    for i, case in ipairs(ports) do given[i] = { proxy = { host = "h", port = case[1] } } end
    for i, case in ipairs(types) do given[#ports + i] = { proxy = { host = "h", type = case[1] } } end
    given[#given + 1] = { proxy = { host = "h" } }
    local list_ = sources(given)
    for i, case in ipairs(ports) do assert.equal(case[2], list_[i].proxy.port, "port " .. tostring(case[1])) end
    for i, case in ipairs(types) do
      assert.equal(case[2], list_[#ports + i].proxy.type, "type " .. tostring(case[1]))
    end
    assert.same({ 0, 0 }, { list_[#given].proxy.type, list_[#given].proxy.port })
  end)

  it("honour a length metamethod and field metamethods", function()
    local fields = setmetatable({}, { __index = { url = "http://127.0.0.1/m", proxy = { host = "p" } } })
    local list_, count = sources(setmetatable({ fields }, { __len = function() return 2 end }))
    assert.equal(2, count)
    assert.equal("http://127.0.0.1/m", list_[1].url)
    assert.equal("p", list_[1].proxy.host)
    assert.same({ reserved1 = 0, reserved2 = 0 }, list_[2])
  end)

  it("refuse a length that cannot size the block, allocating nothing", function()
    for _, length in ipairs({ -1, 1.5, 2 ^ 60, 1 / 0, 0 / 0, 1e300 }) do
      double.clear()
      local sized = setmetatable({}, { __len = function() return length end })
      assert.has_error(function() list("/r", "c3t4", sized) end, "can't allocate source")
      assert.same({ "CreateContext", "DestroyContext" }, support.names())
      support.assert_released()
    end
  end)

  it("pass the interpreter's error for a length that is no number", function()
    local sized = setmetatable({}, { __len = function() return "many" end })
    assert.has_error(function() list("/r", "c3t4", sized) end, "object length is not a number")
  end)

  it("release everything when a metamethod raises mid-way", function()
    local raising = setmetatable({}, { __index = function(_, key)
      if key == "proxy" then error("no proxy here", 0) end
    end })
    local given = { { url = "http://127.0.0.1/a", proxy = { host = "h", user = "u" } }, raising }
    assert.has_error(function() list("/r", "c3t4", given) end, "no proxy here")
    assert.same({ "CreateContext", "DestroyContext" }, support.names())
  end)
end)
