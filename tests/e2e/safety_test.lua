-- Unfit upstreams and concurrent writers, through the module and the local relay.
local update = require "update"
local fixture = dofile("fixture.lua")

local products = { "c3t4", "c2t1207959858" }

describe("the local relay", function()
  local upstream, repository

  setup(function() update.startup() end)
  before_each(function()
    upstream = fixture.publish()
    repository = fixture.tmpdir()
  end)
  after_each(function()
    fixture.remove(upstream)
    fixture.remove(repository)
  end)

  it("refuses a corrupted upstream package and keeps nothing of it", function()
    local bad = fixture.package(upstream, "c3t4v1.05.3l2")
    local bytes = fixture.read(bad)
    fixture.write(bad, bytes:sub(1, 40) .. "X" .. bytes:sub(42))
    local ok, code, message = update.everything(repository, products, upstream, { ek = true })
    assert.are.same({ nil, -12, "package size or SHA-256 does not match the index" }, { ok, code, message })
    local report = require("cjson").decode(fixture.read(repository .. "/.zelrelay.report.json"))
    local failed = {}
    for _, package in ipairs(report.packages) do
      if package.outcome == "failed" then failed[#failed + 1] = { package.path, package.source, package.status } end
    end
    assert.are.same({ { "packages/c3t4v1.0500.3l2p-1r-1o-1.zip", upstream, -12 } }, failed)
    assert.is_nil(fixture.read(fixture.package(repository, "c3t4v1.05.3l2")))
    assert.is_truthy(fixture.read(fixture.package(repository, "c3t4v1.05.3l1")))
    for _, name in ipairs(fixture.ls(repository .. "/packages")) do
      assert.is_nil(name:find("^%.zelrelay%-"))
    end
  end)

  it("never cleans up an upstream given as the repository, however it is spelled", function()
    local index = fixture.read(upstream .. "/server.ini")
    local packages = fixture.ls(upstream .. "/packages")
    local spellings = { upstream, { { url = "file://" .. upstream .. "/" } }, "file://localhost" .. upstream }
    for _, spelled in ipairs(spellings) do
      assert.are.equal(-26, select(2, update.everything(upstream .. "/.", products, spelled)))
      local now = { fixture.read(upstream .. "/server.ini"), fixture.ls(upstream .. "/packages") }
      assert.are.same({ index, packages }, now)
    end
  end)

  it("refuses a hostile index and writes nothing outside the repository", function()
    local victim = fixture.tmpdir()
    for _, path in ipairs({ victim .. "/owned.zip", "packages/../../owned.zip", "packages/../server.ini" }) do
      fixture.write(upstream .. "/server.ini", "[PATTERN]\nc3t4l1=4 " .. string.rep("a", 64) .. " " .. path ..
        "\n\n[All_Product]\nc3t4=c3t4l1\n")
      local ok, code, message = update.everything(repository, products, upstream, { ek = true })
      assert.are.same({ nil, -11, "index names a package outside \"packages\"" }, { ok, code, message })
      assert.are.same({ ".zelrelay.report.json" }, fixture.ls(repository))
    end
    assert.are.same({}, fixture.ls(victim))
    fixture.remove(victim)
  end)

  it("keeps two processes mirroring into one repository apart", function()
    -- Each writes a different product, slowly enough to overlap: writers
    -- not kept apart would each replace the index with their own product.
    local child = os.tmpname()
    fixture.write(child, string.format([[
      local update = require "update"
      update.startup()
      local _, code = update.everything(%q, "c3t4", %q, { ek = true, maxbandwidth = 2000 })
      io.write(code)
    ]], repository, upstream))
    local other = io.popen("lua5.2 " .. child)
    local _, code, message = update.everything(repository, "c2t1207959858", upstream, { ek = true, maxbandwidth = 400 })
    local childCode = other:read("*a")
    other:close()
    os.remove(child)
    assert.are.equal(1, code, message)
    assert.are.equal("1", childCode)
    local index = fixture.read(repository .. "/server.ini")
    assert.is_truthy(index:find("\nc3t4v1.0500.3l-1p-1r-1o-1=", 1, true))
    assert.is_truthy(index:find("\nc2t1207959858v10.2000.1l-1p-1r-1o-1=", 1, true))
    -- the result is a whole repository: another relay mirrors from it
    local chained = fixture.tmpdir()
    local result, chainedCode = update.everything(chained, products, repository, { ek = true })
    assert.are.equal(1, chainedCode)
    assert.are.equal(8, #result)
    fixture.remove(chained)
  end)

  it("refuses a handler that re-enters the repository as busy, and its clean-up loses nothing", function()
    local inner
    local _, code, message = update.everything(repository, products, upstream, { progress = function()
      inner = inner or { update.everything(repository, products, upstream) }
    end })
    assert.are.equal(1, code, message)
    assert.are.same({ nil, -24 }, { inner[1], inner[2] })
    local chained = fixture.tmpdir()
    local result = update.everything(chained, products, repository, { ek = true })
    assert.are.equal(8, #result)
    fixture.remove(chained)
  end)

  it("never makes a writer wait for the writer of another repository", function()
    local other, child = fixture.tmpdir(), os.tmpname()
    fixture.write(child, string.format([[
      local update = require "update"
      update.startup()
      update.everything(%q, "c3t4", %q, { ek = true, maxbandwidth = 600,
        downloadbegin = function() io.open(%q, "w"):close() end })
      io.open(%q, "w"):close()
    ]], other, upstream, other .. ".started", other .. ".done"))
    os.execute("lua5.2 " .. child .. " &")
    for _ = 1, 200 do
      if fixture.read(other .. ".started") then break end
      os.execute("sleep 0.05")
    end
    assert.is_truthy(fixture.read(other .. ".started"), "the other writer never started")
    local _, code, message = update.everything(repository, products, upstream, { ek = true })
    assert.are.equal(1, code, message)
    assert.is_nil(fixture.read(other .. ".done"), "waited for the other repository's writer")
    for _ = 1, 300 do
      if fixture.read(other .. ".done") then break end
      os.execute("sleep 0.1")
    end
    os.remove(child)
    fixture.remove(other)
    os.remove(other .. ".started")
    os.remove(other .. ".done")
  end)
end)
