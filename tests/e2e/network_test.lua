-- The local relay against real web servers and proxies on 127.0.0.1.
local update = require "update"
local fixture = dofile("fixture.lua")
local servers = require "servers"

local products = { "c3t4", "c2t1207959858" }
local authority = assert(os.getenv("CURL_CA_BUNDLE"))
local bigId = fixture.big:match("^c%d+t%d+")
local big  -- its package's path, as the upstream's index gives it

local function mirror(repository, sources, options)
  return update.everything(repository, products, sources, options or { ek = true })
end

local function code(...) return (select(2, ...)) end

-- What a server was asked for one path.
local function requests(server, path)
  local found = {}
  for _, entry in ipairs(server.log()) do
    if entry.uri == "/" .. path then found[#found + 1] = entry end
  end
  return found
end

local function via(proxy, type, password)
  return { type = type, host = "127.0.0.1", port = proxy.port, user = "relay", password = password or "secret" }
end

local function stamp(path)
  local pipe = io.popen("stat -c '%i %Y.%y' " .. path)
  local text = pipe:read("*a")
  pipe:close()
  return text
end

describe("mirroring from web servers", function()
  local upstream, web, tiny, socks, repository

  setup(function()
    update.startup()
    upstream = fixture.publish(true)
    big = fixture.read(upstream .. "/server.ini"):match(" (packages/" .. bigId .. "[^\n]*%.zip)")
    web = servers.nginx(upstream)
    tiny, socks = servers.tinyproxy("relay", "secret"), servers.microsocks("relay", "secret")
  end)
  teardown(function()
    servers.stop_all()
    fixture.remove(upstream)
  end)
  before_each(function() repository = fixture.tmpdir() end)
  after_each(function() fixture.remove(repository) end)

  it("mirrors over http and https, through proxies, and past a dead or corrupt first source", function()
    local tls = servers.nginx(upstream, { ca = authority })
    local wrong = servers.fault(upstream, "wrong", { match = "packages/", times = 100 })
    local cases = {
      { "http", web.url },
      { "https", tls.url },
      { "an http proxy", { { url = web.url, proxy = via(tiny, 0) } } },
      { "a socks5 proxy, to https", { { url = tls.url, proxy = via(socks, 1) } } },
      { "a dead first source", { { url = "http://127.0.0.1:9/" }, { url = web.url } } },
      { "a first source with corrupt packages", { { url = wrong.url }, { url = web.url } } },
    }
    for _, case in ipairs(cases) do
      local into = fixture.tmpdir()
      local result, status, message = mirror(into, case[2])
      assert.are.equal(1, status, case[1] .. ": " .. tostring(message))
      assert.are.equal(9, #result, case[1])
      assert.are.equal(fixture.read(upstream .. "/" .. big), fixture.read(into .. "/" .. big), case[1])
      fixture.remove(into)
    end
  end)

  it("fails with a status that says why", function()
    local untrusted = servers.nginx(upstream, { ca = repository .. "/other-authority.pem" })
    local cases = {
      { untrusted.url, -36, "upstream TLS certificate is not trusted" },
      { { { url = web.url, proxy = via(tiny, 0, "wrong") } }, -37, "proxy refused the credentials" },
      { { { url = web.url, proxy = via(socks, 1, "wrong") } }, -37, "proxy refused the credentials" },
      { web.url, -34, "plain http:// source refused by httpslevel", { httpslevel = 1 } },
      { "http://127.0.0.1:9/", -35, "upstream host cannot be reached" },
      { web.url .. "nowhere/", -1404, "upstream answered HTTP 404" },
    }
    for _, case in ipairs(cases) do
      assert.are.same({ nil, case[2], case[3] }, { mirror(repository, case[1], case[4]) })
      assert.are.same({}, fixture.ls(repository .. "/packages"))
    end
  end)

  it("goes on where a cut transfer stopped, in the same run and the next, and starts over when it must", function()
    local cut = servers.fault(upstream, "cut", { match = bigId })
    assert.are.equal(1, code(mirror(repository, cut.url)))
    local asked = requests(cut, big)
    assert.are.equal("bytes=" .. asked[1].bytes .. "-", asked[2].range)
    assert.are.equal(206, asked[2].status)

    local twice, other = servers.fault(upstream, "cut", { match = bigId, times = 2 }), fixture.tmpdir()
    assert.are.equal(-40, code(mirror(other, twice.url)))
    assert.is_truthy(fixture.read(other .. "/" .. big .. ".partial"))
    assert.are.equal(1, code(mirror(other, twice.url)))
    asked = requests(twice, big)
    assert.are.same({ "bytes=" .. asked[1].bytes + asked[2].bytes .. "-", 206 }, { asked[3].range, asked[3].status })
    assert.is_nil(fixture.read(other .. "/" .. big .. ".partial"))

    local stubborn, third = servers.fault(upstream, "cut,norange", { match = bigId }), fixture.tmpdir()
    assert.are.equal(1, code(mirror(third, stubborn.url)))
    local again = requests(stubborn, big)[2]
    assert.are.same({ true, 200 }, { again.range ~= nil, again.status })
    assert.are.equal(fixture.read(upstream .. "/" .. big), fixture.read(third .. "/" .. big))
    assert.is_nil(fixture.read(third .. "/" .. big .. ".partial"))
    fixture.remove(other)
    fixture.remove(third)
  end)

  it("asks once whether the index changed, and touches nothing when it did not", function()
    assert.are.equal(1, code(mirror(repository, web.url)))
    local seen, index = #web.log(), fixture.read(repository .. "/server.ini")
    local merged = stamp(repository .. "/packages/c3t4l-1p-1r-1o-1_merged.zip")
    assert.are.equal(1, code(mirror(repository, web.url)))
    local log = web.log()
    assert.are.same({ seen + 1, "/server.ini", 304 }, { #log, log[#log].uri, log[#log].status })
    assert.are.equal(index, fixture.read(repository .. "/server.ini"))
    assert.are.equal(merged, stamp(repository .. "/packages/c3t4l-1p-1r-1o-1_merged.zip"))
  end)

  it("waits as a busy server asks, and fails a stalled one or stops when the script cancels", function()
    local busy = servers.fault(upstream, "retry", { match = "packages/" })
    assert.are.equal(1, code(mirror(repository, busy.url)))
    local asked = requests(busy, big)
    assert.are.same({ 503, 200 }, { asked[1].status, asked[2].status })

    local stalled, other = servers.fault(upstream, "stall", { match = bigId, times = 100 }), fixture.tmpdir()
    assert.are.equal(-39, code(mirror(other, stalled.url)))
    local start = os.time()
    local cancel = { ek = true, progress = function() return os.time() - start >= 1 end }
    assert.are.equal(-13, code(mirror(other, stalled.url, cancel)))
    assert.is_true(os.time() - start <= 2)
    fixture.remove(other)
  end)

  it("keeps all transfers together within the bandwidth limit", function()
    local start = os.time()
    assert.are.equal(1, code(mirror(repository, web.url, { ek = true, maxbandwidth = 262144 })))
    assert.is_true(os.time() - start >= 3)
  end)

  it("refuses at once a mirror that would not fit", function()
    if not os.execute("mount -t tmpfs -o size=512k tmpfs " .. repository .. " 2>/dev/null") then
      return pending("cannot mount a tmpfs here")
    end
    local outcome = { mirror(repository, web.url) }
    local index, packages = fixture.read(repository .. "/server.ini"), fixture.ls(repository .. "/packages")
    os.execute("umount " .. repository)
    assert.are.same({ nil, -30, "not enough space on the file system" }, outcome)
    assert.are.same({ nil, {} }, { index, packages })
  end)

  it("mirrors from another relay's repository, with its index and after the clean-up", function()
    assert.are.equal(1, code(mirror(repository, web.url)))
    local relay = servers.nginx(repository)
    for _, strip in ipairs({ false, true }) do
      if strip then update.removeek(repository) end
      local into = fixture.tmpdir()
      local result, status = mirror(into, relay.url)
      assert.are.same({ 1, 9 }, { status, #result })
      assert.are.equal(fixture.read(upstream .. "/" .. big), fixture.read(into .. "/" .. big))
      fixture.remove(into)
    end
    local ranged = 0
    for _, entry in ipairs(relay.log()) do
      if entry.uri:find("_merged.zip", 1, true) and entry.status == 206 then ranged = ranged + 1 end
    end
    assert.are.equal(7, ranged)
  end)
end)
