-- The operation drivers: result tables, selections, clean-up, and release of
-- everything a call built on every path.
local support = require "repository_support"
local double, update = support.double, support.update

local function run(name, ...)
  local result, code, message = update[name](...)
  return result, code, message
end

local pelno = { klass = 3, type = 4, language = 1 }
local scrubo = { klass = 3, type = 2048 }
local kvem = { klass = 22, type = 2213 }
local engine = { klass = 1, type = 1 }

-- Two products: the first with pelno, an engine and kvem, the second with
-- scrubo and another pelno.
local function script(call)
  double.information(call, {
    { klass = 10, type = 1, components = { pelno, engine, kvem } },
    { klass = 11, type = 2, major = 2, components = { scrubo, { klass = 3, type = 4, language = 2 } } },
  })
end

-- What the duplication was asked for: per product, its klass and its
-- components' klass/type pairs.
local function duplicated()
  local call = support.last("Duplicate")
  local asked = {}
  for i, product in ipairs(call.products or {}) do
    local pairs_ = {}
    for j, component in ipairs(product.components or {}) do pairs_[j] = { component.klass, component.type } end
    asked[i] = { product.klass, pairs_, product.componentCount }
  end
  return asked, call.count
end

local repository
before_each(function()
  double.reset()
  repository = support.repository("index", { "package0001.zip" })
end)
after_each(function()
  support.remove(repository)
  support.assert_released()
end)

local function cleaned()
  return support.read(repository .. "/server.ini") == support.skeleton
end

describe("list", function()
  it("returns each product followed by its components", function()
    script("GetInformation")
    local result, code, message = run("list", repository, "c10t1", nil, { ek = false })
    assert.same({ 1, "status 1" }, { code, message })
    local shape = {}
    for i, entity in ipairs(result) do shape[i] = { entity.klass, entity.type } end
    assert.same({ { 10, 1 }, { 3, 4 }, { 1, 1 }, { 22, 2213 }, { 11, 2 }, { 3, 2048 }, { 3, 4 } }, shape)
    assert.matches("^c10t1v", result[1].name)
    assert.equal("c3t4l1p-1r-1o-1", result[2].name)
    assert.same({ "CreateContext", "GetInformation", "DestroyData", "GetStatusMessage", "DestroyContext" },
      support.names())
    assert.is_true(support.last("DestroyData").known)
    assert.is_false(cleaned())
  end)

  it("stores each friendly entity under its name too, the last one winning", function()
    script("GetInformation")
    local result = run("list", repository, "c10t1")
    assert.equal(result[4], result.kvem)
    assert.equal(result[6], result.scrubo)
    assert.equal(result[2], result.pelno_english)
    assert.equal(result[7], result.pelno_china)
    double.information("GetInformation", { { klass = 3, type = 2048, components = { scrubo } } })
    result = run("list", repository, "c10t1")
    assert.equal(result[2], result.scrubo)
  end)

  it("leaves a hole for an entity it declines to describe", function()
    double.information("GetInformation", { { klass = 10, type = 1, components = { { klass = 3, type = 4, oem = -10 },
                                                                                   kvem } } })
    local result = run("list", repository, "c10t1")
    assert.is_nil(result[2])
    assert.equal(2213, result[3].type)
  end)

  it("gives nil for a success without a record, and for a failure", function()
    assert.same({ nil, 1, "status 1" }, { run("list", repository, "c10t1") })
    script("GetInformation")
    double.status("GetInformation", -7)
    assert.same({ nil, -7, "status -7" }, { run("list", repository, "c10t1") })
    assert.same({}, support.calls("DestroyData"))
  end)
end)

describe("the selections", function()
  local cases = {
    { "patterns", {}, { { 10, { { 3, 4 }, { 22, 2213 } }, 2 }, { 11, { { 3, 2048 }, { 3, 4 } }, 2 } } },
    { "patternsExceptPelno", {}, { { 10, { { 22, 2213 } }, 1 }, { 11, { { 3, 2048 } }, 1 } } },
    { "components", { "c3t4v9.9l7p7r7o7" }, { { 10, { { 3, 4 } }, 1 }, { 11, { { 3, 4 } }, 1 } } },
    { "components", { { "c1t1", "c3t2048" } }, { { 10, { { 1, 1 } }, 1 }, { 11, { { 3, 2048 } }, 1 } } },
    { "components", { { "c22t2213" } }, { { 10, { { 22, 2213 } }, 1 } } },
    { "components", {}, {} },
  }

  it("duplicate the kept components of the products that keep any", function()
    for _, case in ipairs(cases) do
      double.clear()
      script("GetInformation")
      run(case[1], repository, "c10t1", nil, { ek = true }, table.unpack(case[2]))
      local asked, count = duplicated()
      assert.same(case[3], asked, case[1])
      assert.equal(#case[3], count)
      assert.same({ "CreateContext", "GetInformation", "DestroyData", "Duplicate", "GetStatusMessage",
                    "DestroyContext" }, support.names())
      assert.is_true(support.last("Duplicate").info_null)
    end
  end)

  it("copy whole entities, revision included", function()
    double.information("GetInformation", { { klass = 10, type = 1, revision = 9, oem = 4,
      components = { { klass = 3, type = 7, major = "18446744073709551615", revision = 5, region = 2 } } } })
    run("patterns", repository, "c10t1", nil, { ek = true })
    local product = support.last("Duplicate").products[1]
    assert.same({ support.entity({ klass = 3, type = 7, major = "18446744073709551615", revision = 5, region = 2 }) },
      product.components)
    product.components = nil
    assert.same(support.product({ klass = 10, type = 1, revision = 9, oem = 4, componentCount = 1 }), product)
  end)

  it("rebuild more products than the request named", function()
    local products = {}
    for i = 1, 5 do products[i] = { klass = 10 + i, type = 1, components = { scrubo } } end
    double.information("GetInformation", products)
    run("patterns", repository, {}, nil, { ek = true })
    local asked, count = duplicated()
    assert.equal(0, support.last("GetInformation").count)
    assert.equal(5, count)
    assert.same({ 15, { { 3, 2048 } }, 1 }, asked[5])
  end)

  it("request an empty duplication for a success without a record", function()
    run("patterns", repository, "c10t1", nil, { ek = true })
    assert.same({ {}, 0 }, { duplicated() })
    assert.same({}, support.calls("DestroyData"))
  end)

  it("return a failed information call without duplicating, and still clean up", function()
    double.status("GetInformation", -5)
    assert.same({ nil, -5, "status -5" }, { run("patterns", repository, "c10t1") })
    assert.same({}, support.calls("Duplicate"))
    assert.is_true(cleaned())
  end)

  it("render the duplication's record", function()
    script("GetInformation")
    double.information("Duplicate", { kvem })
    local result = run("patterns", repository, "c10t1", nil, { ek = true })
    assert.same({ 22, 2213 }, { result[1].klass, result[1].type })
    assert.equal(2, #support.calls("DestroyData"))
  end)

  it("raise a bad component list after releasing the rest", function()
    script("GetInformation")
    assert.has_error(function() run("components", repository, "c10t1", nil, nil, true) end, "expected products")
    assert.has_error(function() run("components", repository, "c10t1", nil, nil, { "c3" }) end,
      "invalid product type")
    assert.same({}, support.calls("GetInformation"))
  end)
end)

describe("the clean-up", function()
  it("runs after everything, patterns and patternsExceptPelno, never after list or components", function()
    local runs = { everything = true, patterns = true, patternsExceptPelno = true, list = false, components = false }
    for name, expected in pairs(runs) do
      support.write(repository .. "/server.ini", "index")
      run(name, repository, "c10t1")
      assert.equal(expected, cleaned(), name)
    end
  end)

  it("runs after a failed duplication, with the results untouched", function()
    double.status("Duplicate", -2)
    assert.same({ nil, -2, "status -2" }, { run("everything", repository, "c10t1") })
    assert.is_true(cleaned())
    assert.same({}, support.listing(repository .. "/packages"))
  end)

  it("uses the module's own removeek and the options' filter", function()
    local real = update.removeek
    update.removeek = function() error("replaced") end
    local seen = {}
    run("everything", repository .. "/", "c10t1", nil, { removeek = function(path) seen[#seen + 1] = path end })
    update.removeek = real
    assert.same({ repository .. "/packages/package0001.zip" }, seen)
    assert.is_true(cleaned())
  end)

  it("keeps the results when the clean-up raises", function()
    local real = _G.io
    _G.io = nil
    local result, code, message = run("everything", repository, "c10t1")
    _G.io = real
    assert.same({ nil, 1, "status 1" }, { result, code, message })
    assert.is_false(cleaned())
  end)

  it("does not run when an argument is refused or the context is", function()
    assert.has_error(function() run("everything", repository, true) end, "expected products")
    double.status("CreateContext", -1)
    run("everything", repository, "c10t1")
    assert.is_false(cleaned())
  end)
end)

describe("a raise while the call runs", function()
  it("releases the record, the arrays and the context, then propagates", function()
    local format = string.format
    for _, name in ipairs({ "list", "everything", "patterns" }) do
      double.reset()
      script("GetInformation")
      script("Duplicate")
      string.format = function() error("format failed", 0) end
      local ok, message = pcall(run, name, repository, { "c10t1" },
        { { url = "http://127.0.0.1/", proxy = { host = "127.0.0.1", user = "u" } } }, { ek = false })
      string.format = format
      assert.same({ false, "format failed" }, { ok, message })
      local destroyed = support.calls("DestroyData")
      assert.equal(name == "patterns" and 2 or 1, #destroyed, name)
      for _, call in ipairs(destroyed) do assert.is_true(call.known) end
      assert.same({}, support.calls("GetStatusMessage"))
      assert.equal(1, #support.calls("DestroyContext"))
      support.assert_released()
    end
    assert.is_false(cleaned())
  end)

  it("releases the component list of components too", function()
    script("GetInformation")
    double.information("Duplicate", { { klass = 10, type = 1 } })
    local format = string.format
    string.format = function() error("late", 0) end
    local ok, message = pcall(run, "components", repository, "c10t1", nil, nil, { "c3t4", "c22t2213" })
    string.format = format
    assert.same({ false, "late" }, { ok, message })
    assert.same({ "CreateContext", "GetInformation", "DestroyData", "Duplicate", "DestroyData", "DestroyContext" },
      support.names())
  end)
end)
