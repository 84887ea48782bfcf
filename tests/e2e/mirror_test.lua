-- The module's repository operations against the local relay.
local update = require "update"
local fixture = dofile("fixture.lua")

local products = { "c3t4", "c2t1207959858" }

local function names(result)
  local list = {}
  for _, entity in ipairs(result) do list[#list + 1] = entity.name end
  return list
end

describe("mirroring through the module", function()
  local upstream, repository, sources

  setup(function()
    update.startup()
    upstream = fixture.publish()
    sources = { { url = "file://" .. upstream } }
  end)
  teardown(function() fixture.remove(upstream) end)
  before_each(function() repository = fixture.tmpdir() end)
  after_each(function() fixture.remove(repository) end)

  it("lists products followed by their components and writes nothing", function()
    local result, code = update.list(repository, "c3t4", upstream)
    assert.are.equal(1, code)
    assert.are.same({ "c3t4v1.05.3l-1p-1r-1o-1", "c3t4l1p-1r-1o-1", "c3t4l2p-1r-1o-1", "c3t4l4p-1r-1o-1",
      "c3t2048l-1p-1r-1o-1", "c22t2213l-1p-1r-1o-1" }, names(result))
    assert.are.equal(result[2], result.pelno_english)
    assert.are.same({}, fixture.ls(repository))
    assert.are.equal(9, #update.list(repository, {}, sources) + 1)
  end)

  it("duplicates everything, then strips the layout and keeps the merged archives", function()
    local result, code, message = update.everything(repository, products, sources)
    assert.are.equal(1, code, message)
    assert.are.equal(8, #result)
    assert.are.equal(fixture.skeleton, fixture.read(repository .. "/server.ini"))
    assert.are.same({ "c2t1207959858l-1p-1r-1o-1_merged.zip", "c3t4l-1p-1r-1o-1_merged.zip" },
      fixture.ls(repository .. "/packages"))
  end)

  it("keeps the index layout when ek is true, and removeek strips it later", function()
    assert.is_table(update.everything(repository, products, sources, { ek = true }))
    assert.is_truthy(fixture.read(fixture.package(repository, "c3t4v1.05.3l1")))
    local index = fixture.read(repository .. "/server.ini")
    local products_at = assert(index:find("[All_Product]\n", 1, true))
    assert.is_truthy(index:find("\nc3t4v1.0500.3l-1p-1r-1o-1=", products_at, true))
    assert.is_true(update.removeek(repository))
    assert.are.equal(fixture.skeleton, fixture.read(repository .. "/server.ini"))
    assert.is_nil(fixture.read(fixture.package(repository, "c3t4v1.05.3l1")))
  end)

  it("selects patterns, patterns without pelno, and listed components", function()
    local cases = {
      { run = update.patterns, copied = { "c22t2213", "c3t2048", "c3t4l1", "c3t4l2", "c3t4l4" } },
      { run = update.patternsExceptPelno, copied = { "c22t2213", "c3t2048" } },
      { run = update.components, extra = { "c3t4l2", "c2t1207959858" },
        copied = { "c2t1207959858p1", "c3t4l1", "c3t4l2", "c3t4l4" } },
      { run = update.components, copied = {} },
    }
    for _, case in ipairs(cases) do
      local into = fixture.tmpdir()
      local _, code, message = case.run(into, products, sources, { ek = true }, case.extra)
      assert.are.equal(1, code, message)
      local full = {}
      for key in fixture.read(into .. "/server.ini"):gmatch("\n(c[^=]+)=%d+ %x+ packages/") do
        full[#full + 1] = key:gsub("v[%d.]+", ""):gsub("[lpro]%-1", "")
      end
      table.sort(full)
      assert.are.same(case.copied, full)
      fixture.remove(into)
    end
  end)

  it("keeps every component across runs that copy less, each followed by the clean-up", function()
    assert.is_table(update.everything(repository, products, sources))
    assert.is_table(update.patterns(repository, "c3t4", sources))
    assert.is_table(update.components(repository, "c3t4", sources, nil, { "c22t2213" }))
    for id, text in pairs(fixture.components) do
      local into = repository .. "/out/" .. id
      assert.is_true(update.extract(repository, id, into), id)
      assert.are.equal(text, fixture.read(into .. "/" .. id .. ".txt"))
    end
    assert.are.equal(8, #update.list(repository, products, repository))
  end)

  it("extracts a component before and after the clean-up", function()
    assert.is_table(update.everything(repository, products, sources, { ek = true }))
    local before = repository .. "/before"
    assert.is_true(update.extract(repository, "c3t4v1.05.3l2", before))
    assert.are.equal("pelno china", fixture.read(before .. "/c3t4v1.05.3l2.txt"))
    update.removeek(repository)
    local after = repository .. "/after"
    local component = update.tocomponent("c2t1207959858v10.2.1p1")
    assert.is_true(update.extract(repository, component, after))
    assert.are.equal("engine", fixture.read(after .. "/c2t1207959858v10.2.1p1.txt"))
    local ok, code, message = update.extract(repository, "c3t4v9.9l1", after)
    assert.are.same({ nil, -14, "component not found in the repository" }, { ok, code, message })
  end)

  it("reports progress and stops cleanly when a handler cancels", function()
    local seen = {}
    local options = { ek = true }
    for _, name in ipairs({ "downloadbegin", "progress", "download", "downloadend" }) do
      options[name] = function(event)
        seen[#seen + 1] = event.type
        return event.type == "progress" and #seen > 4
      end
    end
    local ok, code, message = update.everything(repository, products, sources, options)
    assert.are.same({ nil, -13, "cancelled" }, { ok, code, message })
    assert.are.same({ "downloadbegin", "progress", "download", "downloadbegin", "progress" }, seen)
    local index = fixture.read(repository .. "/server.ini")
    local _, entries = index:gsub("%.zip\n", "")
    assert.are.equal(1, entries)
    -- What it finished is kept in its product's merged archive too.
    local packages = fixture.ls(repository .. "/packages")
    assert.are.equal(2, #packages)
    local _, members = fixture.read(repository .. "/merged.ini"):gsub("_merged%.zip %d+\n", "")
    assert.are.equal(1, members)
  end)

  it("reports a dry run through its events and writes nothing, not even the clean-up", function()
    assert.is_table(update.everything(repository, "c3t4", sources, { ek = true }))
    local before = { fixture.read(repository .. "/server.ini"), fixture.ls(repository .. "/packages") }
    update.set_mode(1)
    local begun = 0
    local result, code = update.everything(repository, products, sources,
      { downloadbegin = function() begun = begun + 1 end })
    update.set_mode(0)
    assert.are.same({ 1, 1, 8 }, { code, begun, #result })
    assert.are.same(before, { fixture.read(repository .. "/server.ini"), fixture.ls(repository .. "/packages") })
  end)

  it("refuses sources and options with a status that names the cause", function()
    local cases = {
      { "ftp://127.0.0.1/upstream", nil, -6, "only file, http and https sources are supported" },
      { nil, nil, -5, "no sources given" },
      { { upstream }, nil, -42, "source has no URL" },  -- each string stands for an empty record
      { { { uri = upstream } }, nil, -42, "source has no URL" },
      { "file://srv" .. upstream, nil, -43, "source URL is malformed" },
      { sources, { keepcount = -1 }, -20, "option value out of range" },
    }
    for _, case in ipairs(cases) do
      assert.are.same({ nil, case[3], case[4] }, { update.everything(repository, products, case[1], case[2]) })
    end
    assert.are.same({}, fixture.ls(repository .. "/packages"))
  end)

  it("fails a request that matches nothing, copies the rest, and reports every package", function()
    local cases = {  -- request, status, packages copied, products that matched nothing
      { { "c3t5" }, -41, 0, { "c3t5" } },
      { { "c3t4", "c3t4v9.9" }, -41, 5, { "c3t4v9.9000.0" } },
      { products, 1, 6, {} },
    }
    for _, case in ipairs(cases) do
      local into = fixture.tmpdir()
      local _, code = update.everything(into, case[1], sources, { ek = true })
      local report = require("cjson").decode(fixture.read(into .. "/.zelrelay.report.json"))
      local copied, unmatched = 0, {}
      for _, package in ipairs(report.packages) do
        if package.outcome == "copied" and package.source == sources[1].url then copied = copied + 1 end
      end
      for _, request in ipairs(report.requested) do
        if not request.matched then unmatched[#unmatched + 1] = request.product end
      end
      assert.are.same({ case[2], case[2], case[3], case[3], case[4] },
        { code, report.status, copied, report.totals.copied, unmatched })
      fixture.remove(into)
    end
  end)
end)
