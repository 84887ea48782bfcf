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

-- The report of the last run into a repository.
local function report(repository)
  return require("cjson").decode(fixture.read(repository .. "/.zelrelay.report.json"))
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
    -- SSL_CERT_FILE names the bundle as CURL_CA_BUNDLE does.
    local script = repository .. "/list.lua"
    fixture.write(script, ('local u = require "update" u.startup() ' ..
      'os.exit(select(2, u.list("%s", "c3t4", "%s")) == 1 and 0 or 1)'):format(repository, tls.url))
    assert.is_true(os.execute(("env -u CURL_CA_BUNDLE SSL_CERT_FILE=%s lua5.2 %s"):format(authority, script)))
  end)

  -- The suite runs with no_proxy naming 127.0.0.1: a source's proxy record
  -- decides all the same, so wrong credentials still reach the proxy.
  it("fails with a status that says why", function()
    local untrusted = servers.nginx(upstream, { ca = repository .. "/other-authority.pem" })
    local index = { match = "server.ini", times = 100 }
    local function redirect(to) return servers.fault(upstream, "redirect", { match = "server.ini", to = to }) end
    local downgrade = servers.nginx(upstream, { ca = authority, conf = "location = /server.ini { return 302 " ..
      web.url .. "server.ini; }" })
    local cases = {
      { untrusted.url, -36, "upstream TLS certificate is not trusted" },
      { { { url = web.url, proxy = via(tiny, 0, "wrong") } }, -37, "proxy refused the credentials" },
      { { { url = web.url, proxy = via(socks, 1, "wrong") } }, -37, "proxy refused the credentials" },
      { web.url, -34, "plain http:// refused by httpslevel", { httpslevel = 1 } },
      { downgrade.url, -34, "plain http:// refused by httpslevel", { httpslevel = 1 } },
      { "http://127.0.0.1:9/", -35, "upstream host cannot be reached" },
      { web.url .. "nowhere/", -1404, "upstream answered HTTP 404" },
      { servers.fault(upstream, "garbage", index).url, -40, "upstream transfer broke off, or its reply is not HTTP" },
      { redirect("file:///etc/").url, -44, "upstream redirects to a scheme that is not followed" },
      { redirect("ftp://127.0.0.1/").url, -44, "upstream redirects to a scheme that is not followed" },
      { servers.fault(upstream, "unasked", index).url, -45, "upstream answered 304 though no index is kept" },
      { servers.fault(upstream, "trickle", index).url, -39, "upstream timed out" },
      { { web.url }, -42, "source has no URL" },
      { web.url:gsub("^http:", "file:"), -43, "source URL is malformed" },
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
    -- A partial already whole is checked and taken, never asked past its end.
    local whole, fourth = servers.fault(upstream, "cut", { match = bigId, times = 2 }), fixture.tmpdir()
    assert.are.equal(-40, code(mirror(fourth, whole.url)))
    local before = #requests(whole, big)
    fixture.write(fourth .. "/" .. big .. ".partial", fixture.read(upstream .. "/" .. big))
    assert.are.equal(1, code(mirror(fourth, whole.url)))
    local outcome
    for _, package in ipairs(report(fourth).packages) do
      if package.path == big then outcome = package.outcome end
    end
    assert.are.same({ before, "resumed" }, { #requests(whole, big), outcome })
    fixture.remove(other)
    fixture.remove(third)
    fixture.remove(fourth)
  end)

  it("asks once whether the index changed, and touches nothing when it did not", function()
    -- patterns lists first, then copies what it chose
    for _, run in ipairs({ update.everything, update.patterns }) do
      local into = fixture.tmpdir()
      assert.are.equal(1, code(run(into, products, web.url, { ek = true })))
      local seen, index = #web.log(), fixture.read(into .. "/server.ini")
      local merged = stamp(into .. "/packages/c3t4l-1p-1r-1o-1_merged.zip")
      assert.are.equal(1, code(run(into, products, web.url, { ek = true })))
      local log = web.log()
      assert.are.same({ seen + 1, "/server.ini", 304 }, { #log, log[#log].uri, log[#log].status })
      assert.are.equal(index, fixture.read(into .. "/server.ini"))
      assert.are.equal(merged, stamp(into .. "/packages/c3t4l-1p-1r-1o-1_merged.zip"))
      fixture.remove(into)
    end
  end)

  it("sends a source URL's credentials, and never writes or shows them", function()
    local locked = servers.fault(upstream, "login,cut", { login = "relay:s3cret", match = bigId })
    local url = locked.url:gsub("^http://", "http://relay:s3cret@")
    assert.are.equal(-1401, code(mirror(repository, locked.url)))
    assert.are.equal(1, code(mirror(repository, url)))
    assert.are.equal("bytes=" .. requests(locked, big)[1].bytes .. "-", requests(locked, big)[2].range)
    local pipe = io.popen([[python3 -c 'import os, sys
for top, _, names in os.walk(sys.argv[1]):
    for name in names:
        path = os.path.join(top, name)
        data = open(path, "rb").read() + b"".join(os.getxattr(path, a) for a in os.listxattr(path))
        if b"s3cret" in data: print(path)' ]] .. repository)
    local leaks = pipe:read("*a")
    pipe:close()
    assert.are.same({ "", locked.url }, { leaks, report(repository).sources[1].url })
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
    -- Also while an index is awaited from a server that never answers.
    local mute = servers.fault(upstream, "mute", { match = "server.ini" })
    start = os.time()
    assert.are.equal(-13, code(mirror(other, mute.url, cancel)))
    assert.is_true(os.time() - start <= 2)
    -- Transfers under way when a handler cancels tell of nothing more.
    local begun, third = 0, fixture.tmpdir()
    local first = { ek = true, downloadbegin = function() begun = begun + 1 return true end }
    assert.are.same({ -13, 1 }, { code(mirror(third, web.url, first)), begun })
    fixture.remove(other)
    fixture.remove(third)
  end)

  it("accepts only an index the publisher signed, never an older one, never one expired", function()
    local root, keys = fixture.tmpdir(), {}
    local files = {}
    for i = 1, 4 do files[i], keys[i] = fixture.keygen(root, "key" .. i) end
    local function publish(name, signers, extra, into)
      local words = { extra or "" }
      for _, i in ipairs(signers) do words[#words + 1] = "--key " .. files[i] end
      return fixture.publish(false, table.concat(words, " "), into or (root .. "/" .. name))
    end
    for _, name in ipairs({ "good", "older", "newer", "onekey", "stranger", "expired", "unsigned" }) do
      fixture.run("mkdir " .. root .. "/" .. name)
    end
    publish("good", { 1, 2 })
    publish("older", { 1, 2 })
    fixture.run(("cp -R %s/older/. %s/newer"):format(root, root))
    publish("newer", { 1, 2 })  -- version 2
    publish("onekey", { 1 })
    publish("stranger", { 4 })
    publish("expired", { 1, 2 }, "--expires 2020-01-01T00:00:00Z")
    publish("unsigned", {})
    local served, tamper = servers.nginx(root), servers.fault(root, "tamper", { match = "server.ini", times = 100 })
    local function at(name, through)
      local proxy = through and { type = 0, host = "127.0.0.1", port = through.port }
      return { url = served.url .. name .. "/", proxy = proxy }
    end
    local trust = "threshold = 2\nkey = " .. keys[1] .. "\nkey = " .. keys[2] .. "\nkey = " .. keys[3] .. "\n"
    local cases = {  -- sources, status, the status the first source answered
      { { at("good") }, 1, 1 },
      { { at("onekey") }, -46, -46 },
      { { at("stranger") }, -46, -46 },
      { { at("unsigned") }, -46, -46 },
      { { at("expired") }, -47, -47 },
      { { at("good", tamper) }, -49, -49 },
      { { at("good", tamper), at("good") }, 1, -49 },
      { { at("good") }, -50, nil, "threshold = 4\nkey = " .. keys[1] .. "\n" },
      -- There but not readable as a file: never taken for no trust file.
      { { at("good") }, -50, nil, function(path) fixture.run("ln -s nowhere " .. path) end },
      { { at("good") }, -50, nil, function(path) fixture.run("mkdir " .. path) end },
    }
    for i, case in ipairs(cases) do
      local into = fixture.tmpdir()
      if type(case[4]) == "function" then case[4](into .. "/.zelrelay.trust")
      else fixture.write(into .. "/.zelrelay.trust", case[4] or trust) end
      local status = select(2, mirror(into, case[1]))
      local told = report(into)
      local first = told.sources[1] or {}
      assert.are.same({ case[2], case[3], case[2] == 1 }, { status, first.status, told.index.signed }, i)
      if status ~= 1 then assert.are.same({ ".zelrelay.report.json", ".zelrelay.trust" }, fixture.ls(into), i) end
      fixture.remove(into)
    end
    -- Once the newer index is accepted, the older is refused, listing and
    -- mirroring alike, and the repository keeps what it had.
    fixture.write(repository .. "/.zelrelay.trust", trust)
    assert.are.equal(1, code(mirror(repository, { at("newer") })))
    local index = fixture.read(repository .. "/server.ini")
    assert.are.same({ nil, -48, "upstream index is older than one already accepted" },
      { update.list(repository, products, { at("older") }) })
    assert.are.equal(-48, code(mirror(repository, { at("older") })))
    local kept = fixture.read(repository .. "/statement.ini"):match("version = (%d+)")
    assert.are.same({ index, "2" }, { fixture.read(repository .. "/server.ini"), kept })
    -- A relay downstream checks the publisher's word, also after the clean-up.
    local relay = fixture.tmpdir()
    fixture.write(relay .. "/.zelrelay.trust", trust)
    assert.are.equal(1, code(update.everything(relay, products, { at("good") })))
    local second, downstream = servers.nginx(relay), fixture.tmpdir()
    fixture.write(downstream .. "/.zelrelay.trust", trust)
    local result, status = update.everything(downstream, products, second.url, { ek = true })
    assert.are.same({ 1, 8, true }, { status, #result, report(downstream).index.signed })
    assert.are.equal(fixture.read(root .. "/good/statement.ini"), fixture.read(downstream .. "/statement.ini"))
    fixture.remove(relay)
    fixture.remove(downstream)
    fixture.remove(root)
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

  it("hands a reader a whole repository at every instant of runs, prunes, rebuilds and the clean-up", function()
    local source, work = fixture.publish(true), fixture.tmpdir()
    local up, served = servers.nginx(source), servers.nginx(repository)
    local here = debug.getinfo(1, "S").source:match("^@(.*/)") or "./"
    fixture.run(("python3 %sreader.py %s %s/stop %s/cleanup >%s/read 2>&1 &"):format(here, served.url, work, work,
      work))
    local text = fixture.components["c3t4v1.05.3l1"]
    local steps = {  -- what changes upstream, and the options of the run after it
      { function() end, { ek = true, maxmerge = 2 } },
      { function() fixture.components["c3t4v1.05.3l1"] = "rebuilt" end, { ek = true, maxmerge = 2 } },
      { function()
          fixture.products["c3t4v1.06.0"] = { "c3t4v1.06.0l1", "c3t4v1.05.3l2" }
          fixture.components["c3t4v1.06.0l1"] = "newer"
        end, { ek = true, keepcount = 1, maxmerge = 2 } },
      { function() end, { ek = true, keepcount = 1, maxmerge = 1 } },
      { function()
          fixture.write(work .. "/cleanup", "")
          update.removeek(repository)
          fixture.run("sleep 0.3")
          fixture.remove(work .. "/cleanup")
        end, { ek = true, keepcount = 1 } },
    }
    for i, step in ipairs(steps) do
      step[1]()
      fixture.publish(true, nil, source)
      assert.are.equal(1, code(mirror(repository, up.url, step[2])), i)
      fixture.run("sleep 0.3")
    end
    fixture.components["c3t4v1.05.3l1"], fixture.products["c3t4v1.06.0"] = text, nil
    fixture.components["c3t4v1.06.0l1"] = nil
    fixture.write(work .. "/stop", "")
    local read
    for _ = 1, 100 do
      read = fixture.read(work .. "/read") or ""
      if read:find("rounds %d+") then break end
      fixture.run("sleep 0.1")
    end
    local rounds = tonumber(read:match("rounds (%d+)"))
    local failures = read:gsub("cleanup: [^\n]*\n", ""):gsub("rounds %d+\n", "")
    assert.are.same({ "", true }, { failures, rounds > 20 })
    fixture.remove(source)
    fixture.remove(work)
  end)

  -- Each row: whose repository a relay mirrors, how its index texts then
  -- come once one component changed upstream.
  it("fetches a changed index as a patch, through a chain of relays, and whole when a patch is false", function()
    local root, keys = fixture.tmpdir(), {}
    local key
    key, keys[1] = fixture.keygen(root, "key")
    local trust = "key = " .. keys[1] .. "\n"
    local names = { "up", "a", "b", "c", "d", "e" }
    for _, name in ipairs(names) do fixture.run("mkdir " .. root .. "/" .. name) end
    local function publish() fixture.publish(false, "--key " .. key, root .. "/up") end
    publish()
    local served, tamper = servers.nginx(root), servers.fault(root, "tamper", { match = "patches/", times = 100 })
    local rows = {  -- repository, its source, its trust, how the index came
      { "a", served.url .. "up/", nil, { patched = 1, whole = 0, refused = 0 } },
      { "b", served.url .. "a/", nil, { patched = 1, whole = 0, refused = 0 } },
      { "c", served.url .. "b/", nil, { patched = 1, whole = 0, refused = 0 } },
      { "d", tamper.url .. "up/", nil, { patched = 0, compressed = 1, refused = 1 } },
      { "e", tamper.url .. "up/", trust, { patched = 0, compressed = 1, refused = 1 } },
    }
    for _, row in ipairs(rows) do
      if row[3] then fixture.write(root .. "/" .. row[1] .. "/.zelrelay.trust", row[3]) end
      assert.are.equal(1, code(mirror(root .. "/" .. row[1], row[2])), row[1])
    end
    local text = fixture.components["c3t4v1.05.3l1"]
    fixture.components["c3t4v1.05.3l1"] = "patched"
    fixture.run("sleep 1")  -- nginx's validator counts whole seconds
    publish()
    fixture.components["c3t4v1.05.3l1"] = text
    for _, row in ipairs(rows) do
      local into = root .. "/" .. row[1]
      assert.are.equal(1, code(mirror(into, row[2])), row[1])
      local told = report(into)
      local texts = told.sources[1].texts
      for name, count in pairs(row[4]) do assert.are.equal(count, texts[name], row[1] .. " " .. name) end
      local copied = {}
      for _, package in ipairs(told.packages) do
        if package.outcome == "copied" then copied[#copied + 1] = package.component end
      end
      assert.are.same({ { "c3t4v1.0500.3l1p-1r-1o-1" }, row[3] ~= nil }, { copied, told.index.signed }, row[1])
    end
    fixture.remove(root)
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
