-- update-mirror as an administrator runs it: installed under a prefix, from
-- cron's bare environment, against upstreams that nginx serves on 127.0.0.1
-- ($GOOD, and $BAD, whose package of c3t4l1 has one byte changed).
local fixture = dofile("../e2e/fixture.lua")
local servers = dofile("../e2e/servers.lua")
local cjson = require "cjson"

local build = assert(os.getenv("UPDATE_BUILD"), "UPDATE_BUILD names the build directory")
local here = io.popen("pwd"):read("*l")
local damaged = "c3t4v1.0500.3l1p-1r-1o-1"
local prefix, root, url, work

local MIRRORS = {
  a = [[a = { repository = "$WORK/a", sources = { "$GOOD" }, products = { "c3t4" } }]],
  b = [[b = { repository = "$WORK/b", sources = { { url = "$GOOD" } }, products = { "c2t1207959858" },
              select = "patterns" }]],
  bad = [[bad = { repository = "$WORK/bad", sources = { "$BAD" }, products = { "c3t4" } }]],
  none = [[none = { repository = "$WORK/none", sources = { "http://127.0.0.1:9/" }, products = { "c3t4" } }]],
  t = [[t = { repository = "$WORK/t", sources = { "$GOOD" }, products = { "c3t4" },
              trust = { threshold = 2, keys = { "]] .. ("A"):rep(43) .. [[=", "]] .. ("B"):rep(42) .. [[A=" } } }]],
  k = [[k = { repository = "$WORK/k", sources = { "$GOOD" }, products = { "c3t4" }, options = { keepcount = 1 },
              delete = true }]],
  kept = [[kept = { repository = "$WORK/kept", sources = { "$GOOD" }, products = { "c3t4" }, clean = false }]],
  slow = [[slow = { repository = "$WORK/s", sources = { "$GOOD" }, products = { "c2t1207959858" },
                    options = { maxbandwidth = 65536 } }]],
  fast = [[fast = { repository = "$WORK/s", sources = { "$GOOD" }, products = { "c2t1207959858" } }]],
  gone = [[gone = { repository = "$WORK/nowhere", sources = { "$GOOD" }, products = { "c3t4" } }]],
  pushed = [[pushed = { repository = "$WORK/a", sources = { "$GOOD" }, products = { "c3t4" }, push = "s3://b/p" }]],
  typo = [[typo = { repository = "$WORK/typo", sources = { "$GOOD" }, products = { "c3t4", "c22t2213" } }]],
  self = [[self = { repository = "$WORK/a", sources = { "$WORK/a" }, products = { "c3t4" } }]],
}

local function expand(text, escape)
  return (text:gsub("%$(%u+)", function(name)
    local value = ({ GOOD = url .. "good/", BAD = url .. "bad/", NEWER = url .. "newer/", WORK = work })[name]
    return escape and value:gsub("%p", "%%%0") or value
  end))
end

local function configure(names, extra)
  local bodies = {}
  for i, name in ipairs(names) do bodies[i] = MIRRORS[name] end
  local mirrors = extra or table.concat(bodies, ",\n")
  fixture.write(work .. "/config.lua", expand(("return { mirrors = { %s } }"):format(mirrors)))
end

-- The command line cron would run: the installed command finds its module
-- and the relay's library from its own place.
local function line(arguments, program)
  return ("env -i PATH=/usr/bin:/bin %s -c config.lua %s"):format(program or prefix .. "/bin/update-mirror",
    expand(arguments))
end

-- Runs update-mirror in the background as NAME: NAME.out, NAME.err,
-- NAME.pid and, once it ends, NAME.status in the work folder.
local function background(name, arguments)
  local script = "%s >%s.out 2>%s.err & echo $! >%s.pid; wait $!; echo $? >%s.status\n"
  fixture.write(("%s/%s.sh"):format(work, name), script:format(line(arguments), name, name, name, name))
  fixture.run(("cd %s && sh %s.sh >/dev/null 2>&1 &"):format(work, name))
end

-- The exit status of NAME, once it ends within seconds; nil if it does not.
local function ended(name, seconds)
  fixture.run(("for i in $(seq %d); do [ -s %s/%s.status ] && break; sleep 0.1; done"):format(seconds * 10, work, name))
  return tonumber(fixture.read(("%s/%s.status"):format(work, name)))
end

local function run(arguments, program, pty)
  local command = line(arguments, program)
  if pty then command = ("script -qec %q /dev/null"):format(command) end
  local pipe = io.popen(("cd %s && %s >stdout 2>stderr </dev/null; echo $?"):format(work, command))
  local status = tonumber(pipe:read("*a"))
  pipe:close()
  return status, fixture.read(work .. "/stdout"), fixture.read(work .. "/stderr")
end

local function damage(path, offset)
  fixture.run(("printf X | dd of=%s bs=1 seek=%d conv=notrunc 2>/dev/null"):format(path, offset))
end

describe("update-mirror", function()
  setup(function()
    prefix, root = fixture.tmpdir(), fixture.tmpdir()
    fixture.run(("cmake --install %s --prefix %s >/dev/null"):format(build, prefix))
    local upstream = fixture.publish(true)
    fixture.run(("cp -R %s %s/good && cp -R %s %s/bad"):format(upstream, root, upstream, root))
    damage(("%s/bad/packages/%s.zip"):format(root, damaged), 40)
    fixture.remove(upstream)
    -- newer lists c3t4v1.05.3l1 and c3t4v1.06.0l1 alone.
    local sample = fixture.tmpdir()
    fixture.run(("cp -R %s/../../examples/sample-upstream/payloads %s/"):format(here, sample))
    fixture.write(sample .. "/manifest.ini", "[component c3t4v1.05.3l1]\npayload = payloads/pelno-english\n"
      .. "[component c3t4v1.06.0l1]\npayload = payloads/pelno-china\n[product c3t4v1.05.3]\n"
      .. "components = c3t4v1.05.3l1\n[product c3t4v1.06.0]\ncomponents = c3t4v1.06.0l1\n")
    fixture.run(("%s/zelrelay/zelrelay-publish %s/manifest.ini %s/newer >/dev/null"):format(build, sample, root))
    fixture.remove(sample)
    fixture.run(("%s/zelrelay/zelrelay-publish %s/../../examples/sample-upstream/manifest.ini %s/sample >/dev/null")
      :format(build, here, root))
    url = servers.nginx(root).url
  end)
  teardown(function()
    servers.stop_all()
    fixture.remove(prefix)
    fixture.remove(root)
  end)
  before_each(function()
    work = fixture.tmpdir()
    for name in pairs(MIRRORS) do fixture.run(("mkdir -p %s/%s %s/s"):format(work, name, work)) end
  end)
  after_each(function() fixture.remove(work) end)

  local cases = {
    { "runs the mirrors in name order, a line per package into a pipe", { "b", "a" }, "run", 0,
      out = "^a: copied packages/c3t4v1%.0500%.3l1p.*\na: 5 copied[^\n]*\nb: copied packages/c3t1207992320.*"
        .. "\nb: 1 copied" },
    { "prints nothing from cron when all went well", { "a", "b" }, "run --quiet", 0, out = "^$", err = "^$" },
    -- cron's bare environment holds no credentials for the store
    { "pushes after a good run, and tells a push that failed", { "pushed" }, "run -q", 1, out = "^$",
      err = "^pushed: push to s3://b/p failed: s3://b/p: [^\n]*no credentials for the object store\n$" },
    { "prints one line per failed package, and exits 1", { "bad" }, "run -q", 1, out = "^$",
      err = "^bad: failed " .. damaged:gsub("%p", "%%%0") .. " %(packages/[^)]+%.zip%)[^\n]*: status %-12: [^\n]+\n$" },
    { "says where the failed package came from", { "bad" }, "run -q", 1, err = " from $BAD: status %-12" },
    { "runs only the named mirror", { "a", "bad" }, "run a", 0, err = "^$" },
    { "names the host it cannot reach, and its source", { "none" }, "run", 1,
      err = "^none: status %-35: upstream host cannot be reached: 127%.0%.0%.1:9 %(http://127%.0%.0%.1:9/%)\n$" },
    { "names a missing repository, and keeps no record there", { "gone" }, "run -q", 1,
      err = "^gone: status %-9: repository is not a writable directory: $WORK/nowhere\ngone: cannot keep the attempt's "
        .. "record in $WORK/nowhere/%.update%-mirror/history: " },
    { "names what matches nothing upstream", { "typo" }, "run -q", 1,
      err = "^typo: status %-41: request matches nothing upstream: c22t2213\n$" },
    { "refuses a mirror the config lacks", { "a" }, "run nope", 2, err = 'has no mirror "nope"' },
    { "refuses an unknown option", { "a" }, "run --frobnicate", 2, err = "unknown option '%-%-frobnicate'" },
    { "copies nothing on a dry run", { "a" }, "run --dry-run", 0, out = "^a: would copy packages/c3t4", empty = "a" },
    { "refuses metrics of a dry run", { "a" }, "run -n --metrics m.prom", 2, empty = "a" },
    { "lists the upstream's offer", { "a" }, "list a", 0,
      out = "pelno_english +c3t4l1p%-1r%-1o%-1 +1%.05%.3 +component" },
    -- the upstream is not signed, so the keys written refuse it
    { "writes the trust file before listing", { "t" }, "list", 1, err = "status %-46",
      file = { "t/.zelrelay.trust", ("threshold = 2\nkey = %s=\nkey = %sA=\n"):format(("A"):rep(43), ("B"):rep(42)) } },
    { "exports a component it mirrored", { "a" }, "export a c3t4l2 $WORK/x", 0, before = "run -q",
      file = { "x/c3t4v1.05.3l2.txt", "pelno china" } },
    { "refuses a component that is no identifier, in its own words", { "a" }, "export a x3t4 $WORK/x", 2,
      err = "^update%-mirror: x3t4 is not a component identifier: invalid product class\n$" },
    { "shows the last attempt from its record", { "a" }, "status", 0, before = "run -q",
      out = "^a: last attempt %d%d%d%d%-.- succeeded\na: 5 copied[^\n]*\n$" },
    { "shows a failed last run and its packages from a report kept before records", { "bad" }, "status bad", 1,
      report = { format = 1, started = "2026-12-09T20:03:36Z", seconds = 3.52, status = -12, message = "sizes differ",
        packages = { { component = "c3t4", path = "packages/c3t4.zip", outcome = "failed", source = "http://h/" } },
        totals = { packages = 2, copied = 1, failed = 1, bytes = 2048 } },
      out = "^bad: last attempt 2026%-12%-09T20:03:36Z, 3%.5 s, failed: status %-12: sizes differ\n"
        .. "bad: 1 copied, 1 failed; 2%.0 KiB moved\n"
        .. "bad: failed c3t4 %(packages/c3t4%.zip%) from http://h/: status %-12: sizes differ\n"
        .. "bad: last success none recorded\n$" },
    { "has no attempt to show before the first", { "a" }, "status --json", 1,
      out = '^{"a": {"last_attempt": null, "last_success": null}}\n$' },
    { "checks the config and shows what it read, touching nothing", { "a", "gone" }, "check", 0, empty = "a",
      out = "^a: $WORK/a from 1 source, 1 product, everything\ngone: $WORK/nowhere from 1 source, 1 product, "
        .. "everything\n$" },
  }
  for _, case in ipairs(cases) do
    it(case[1], function()
      configure(case[2])
      if case.before then assert.are.equal(0, (run(case.before))) end
      if case.report then fixture.write(expand("$WORK/bad/.zelrelay.report.json"), cjson.encode(case.report)) end
      local status, out, err = run(case[3])
      assert.are.equal(case[4], status, err)
      if case.out then assert.matches(expand(case.out, true), out) end
      if case.err then assert.matches(expand(case.err, true), err) end
      if case.file then assert.are.equal(case.file[2], fixture.read(work .. "/" .. case.file[1])) end
      if case.empty then assert.are.same({}, fixture.ls(work .. "/" .. case.empty)) end
    end)
  end

  -- The mirror self keeps a's repository, and so its records.
  it("keeps every attempt, also one that failed before the relay wrote a report, and the newest history", function()
    local function as(name, status)
      configure({}, (MIRRORS[name]:gsub("products", "history = 3, products")))
      assert.are.equal(status, (run("run -q")))
    end
    for _, attempt in ipairs { { "a", 0 }, { "self", 1 }, { "a", 0 }, { "self", 1 } } do as(attempt[1], attempt[2]) end
    assert.are.equal(3, #fixture.ls(work .. "/a/.update-mirror/history"))
    local status, out = run("status")
    local _, json = run("status --json --history")
    local records = cjson.decode(json).self
    assert.are.same({ -26, 1, -26 }, { records[1].status, records[2].status, records[3].status })
    assert.are.equal(1, status)
    assert.are.equal(expand("self: last attempt " .. records[3].started .. ", " .. ("%.1f"):format(records[3].seconds)
      .. " s, failed: status -26: source is the repository itself: $WORK/a\nself: 0 copied; 0 B moved\n"
      .. "self: last success " .. records[2].started .. "\n"), out)
    assert.matches("^self: [^\n]+failed: status %-26[^\n]+\nself: [^\n]+ succeeded; 0 copied, 5 present", select(2,
      run("status --history")))
  end)

  -- Each row's keys follow a sound mirror's, and a later key wins in Lua.
  local typos = {
    { "optoins = {}", 'mirror "a": optoins: unknown key %(known keys: clean, connect_timeout, delete, history, ' },
    { 'products = "c3t4"', 'mirror "a": products: expected a list' },
    { 'push = "https://b/p"', "push: expected a bucket as s3://BUCKET/PREFIX" },
    { 'products = { "x3t4" }', "products%[1%]: invalid product class" },
    { 'sources = { { url = "$GOOD", proxy = "p" } }', "sources%[1%]%.proxy: expected a table, got the string" },
    { 'sources = { { url = "$GOOD", proxy = { host = "p", port = "3128" } } }', "proxy%.port: expected a port number" },
    { "options = { progress = 1 }", "options%.progress: unknown key" },
    { "options = { keepcount = -1 }", "options%.keepcount: expected a whole number of 0 or more" },
    { 'select = "pattern"', "select: expected one of everything, patterns, patternsExceptPelno" },
    { 'select = { components = { "c3" } }', "select%.components%[1%]: invalid product type" },
    { "sources = {}", "sources: expected at least 1 entries" },
    { 'trust = { keys = { "c2hvcnQ=" } }', "trust%.keys%[1%]: expected 32 bytes in base64" },
    { 'trust = { threshold = 2, keys = { "' .. ("A"):rep(43) .. '=" } }', "trust%.threshold: 2 is more than the 1" },
    { "repository =", "config%.lua:1: unexpected symbol near '}'" },
  }
  it("refuses a config with a mistake, naming the file, the mirror and the key, before running anything", function()
    for _, typo in ipairs(typos) do
      configure({}, ('a = { repository = "/r", sources = { "$GOOD" }, products = { "c3t4" }, %s }'):format(typo[1]))
      local status, _, err = run("run")
      assert.are.equal(2, status, err)
      assert.matches("^update%-mirror: config%.lua:", err)
      assert.matches(typo[2], err)
    end
  end)

  it("writes the runs' reports as JSON and their metrics for node_exporter", function()
    configure({ "a", "bad" })
    local status, out = run("run --json --metrics $WORK/m.prom")
    assert.are.equal(1, status)
    local reports = cjson.decode(out)
    assert.are.same({ 1, -12 }, { reports.a.status, reports.bad.status })
    local metrics = {}
    local text = fixture.read(work .. "/m.prom")
    for name, mirror, value in text:gmatch('\n(update_mirror_[%w_]+){mirror="(%w+)"} (%S+)') do
      metrics[name:sub(#"update_mirror_last_run_" + 1) .. " " .. mirror] = tonumber(value)
    end
    assert.are.same({ 1, 0, 5, 1, 0 }, { metrics["success a"], metrics["success bad"], metrics["packages_copied a"],
      metrics["packages_failed bad"], metrics["packages_failed a"] })
    assert.is_true(metrics["bytes a"] > 0 and math.abs(metrics["timestamp_seconds a"] - os.time()) < 60)
    assert.matches('\nupdate_mirror_last_success_timestamp_seconds{mirror="a"} ' .. metrics["timestamp_seconds a"]
      .. "\n", text)
    assert.is_nil(text:find('update_mirror_last_success_timestamp_seconds{mirror="bad"}', 1, true))
    for _, name in ipairs(fixture.ls(work)) do assert.is_nil(name:find("tmp", 1, true)) end
  end)

  -- A run in the background holds the repository for two seconds; meanwhile
  -- one gives up waiting, two are stopped while they wait, and one waits its
  -- turn: each tells its own run.
  it("waits its turn for the repository, says for whom, and reports only its own run", function()
    configure({}, (MIRRORS.slow:gsub("65536", "500000")))
    background("first", "run --json")
    fixture.run("sleep 0.5")
    background("int", "run")
    background("term", "run")
    local status, out, err = run("run --wait 0.3")
    assert.are.equal(1, status)
    assert.matches(expand("^slow: waiting for $WORK/s: held by process %d+ since [%dT:-]+Z\n", true), out)
    assert.matches(expand("^slow: gave up waiting for $WORK/s after 0%.%d s: held by process %d+ since [%dT:-]+Z\n$",
      true), err)
    fixture.run(("kill -INT $(cat %s/int.pid) && kill -TERM $(cat %s/term.pid)"):format(work, work))
    assert.are.same({ 130, 143 }, { ended("int", 1), ended("term", 1) })
    local second = { run("run --json") }
    assert.are.same({ 0, 0 }, { ended("first", 5), second[1] })
    local first, last = cjson.decode(fixture.read(work .. "/first.out")).slow, cjson.decode(second[2]).slow
    assert.are.same({ 2, 0, 2 }, { first.totals.copied, last.totals.copied, last.totals.present })
    assert.are_not.equal(first.run, last.run)
  end)

  it("lists in a dry run what the run then deletes, prints each, and deletes nothing more when unchanged", function()
    configure({ "k" })
    assert.are.equal(0, (run("run -q")))
    configure({}, (MIRRORS.k:gsub("GOOD", "NEWER")))
    local deletions = {}
    for i, arguments in ipairs { "run -n", "run", "run" } do
      local status, out = run(arguments)
      assert.are.equal(0, status)
      deletions[i] = {}
      for verb, component in ("\n" .. out):gmatch("\nk: (%l[%l ]+) (c%S+) %(packages/") do
        deletions[i][component] = verb:gsub("would (%l+)", { prune = "pruned", withdraw = "withdrawn" })
      end
    end
    assert.are.same({ ["c3t4v1.0500.3l1p-1r-1o-1"] = "pruned", ["c3t4v1.0500.3l2p-1r-1o-1"] = "withdrawn",
      ["c3t4v1.0500.3l4p-1r-1o-1"] = "withdrawn", ["c3t2048v2.1000.7l-1p-1r-1o-1"] = "withdrawn",
      ["c22t2213v1.0500.3l-1p-1r-1o-1"] = "withdrawn" }, deletions[1])
    assert.are.same({ deletions[1], {} }, { deletions[2], deletions[3] })
  end)

  -- The first two answers to the index are 503; the big package stalls
  -- halfway, which without timeout fails after 30 s.
  it("gives the relay each mirror's retries and timeout", function()
    local retry = servers.fault(root .. "/good", "retry", { match = "server.ini", times = 2, status = 503, after = 0 })
    local stall = servers.fault(root .. "/good", "stall", { match = fixture.big:sub(1, 13), times = 99 })
    configure({}, ([[r0 = { repository = "$WORK/a", sources = { "%s" }, products = { "c3t4" }, retries = 0 },
      r1 = { repository = "$WORK/b", sources = { "%s" }, products = { "c3t4" }, retries = 1 },
      st = { repository = "$WORK/t", sources = { "%s" }, products = { "c2t1207959858" }, retries = 0, timeout = 1 }]])
      :format(retry.url, retry.url, stall.url))
    local started = os.time()
    local status, _, err = run("run -q")
    assert.are.equal(1, status)
    assert.matches("^r0: status %-1503: [^\n]+\nst: failed [^\n]+: status %-39: [^\n]+\n$", err)
    assert.is_true(os.time() - started < 15)
  end)

  it("counts the packages already present, from the relay's report", function()
    configure({ "a" })
    assert.are.equal(0, (run("run -q --metrics $WORK/m.prom")))
    assert.matches('\nupdate_mirror_last_run_packages_present{mirror="a"} 0\n', fixture.read(work .. "/m.prom"))
  end)

  it("redraws a bar in place on a terminal", function()
    configure({}, (MIRRORS.slow:gsub("65536", "1000000")))
    local status, out = run("run", nil, true)
    assert.are.equal(0, status, out)
    assert.matches("\rslow %[#*%.+%] +%d+%%.*\rslow %[" .. ("#"):rep(30) .. "%] 100%%", out)
  end)

  -- What the cancelled run finished survives the clean-up: the next run
  -- moves only the rest of the big package that the signal cut short.
  for _, signal in ipairs({ { "INT", 130 }, { "TERM", 143 }, { "HUP", 129 } }) do
    it("cancels the run on SIG" .. signal[1] .. " with exit status " .. signal[2] .. ", keeping what it finished",
      function()
        configure({ "slow" })
        fixture.write(work .. "/background.sh", line("run slow") .. " & echo $! >pid; wait $!; echo $? >status\n")
        fixture.run(("cd %s && sh background.sh >/dev/null 2>&1 &"):format(work))
        fixture.run(("sleep 1.5 && kill -%s $(cat %s/pid)"):format(signal[1], work))
        fixture.run("for i in $(seq 50); do [ -s " .. work .. "/status ] && break; sleep 0.2; done")
        assert.are.equal(signal[2] .. "\n", fixture.read(work .. "/status"))
        assert.are.equal(-13, cjson.decode(fixture.read(work .. "/s/.zelrelay.report.json")).status)
        configure({ "fast" })
        local status, out = run("run fast")
        assert.are.equal(0, status)
        assert.matches("^fast: copied packages/c3t1207992320[^\n]*\nfast: 0 copied, 1 present, 1 resumed", out)
      end)
  end

  -- A byte changed in place, the archive's time of change put back: only
  -- hashing finds it.
  it("repairs with run --verify what verify finds damaged and a plain run trusts", function()
    configure({ "a" })
    assert.are.equal(0, (run("run -q")))
    local member = tonumber(fixture.read(work .. "/a/merged.ini"):match("_merged%.zip (%d+)"))
    local archive = work .. "/a/packages/c3t4l-1p-1r-1o-1_merged.zip"
    fixture.run(("touch -r %s %s/time"):format(archive, work))
    damage(archive, member + 100)
    fixture.run(("touch -r %s/time %s"):format(work, archive))
    assert.are.same({ 0, 1 }, { (run("run -q")), (run("verify a")) })
    local status, out = run("run --verify a")
    assert.are.same({ 0, "1 repaired, 4 present" }, { status, out:match("1 repaired, 4 present") or out })
    assert.are.equal(0, (run("verify a")))
  end)

  it("finds zelrelay-verify beside itself, else says it cannot verify", function()
    configure({ "a" })
    -- The launcher finds its modules from its own place, so they move with it.
    fixture.run(("mkdir -p %s/bin %s/share && cp %s/bin/update-mirror %s/bin/ && cp -R %s/share/lua %s/share/ && "
      .. "ln -s %s/lib %s/lib"):format(work, work, prefix, work, prefix, work, prefix, work))
    local status, _, err = run("verify", work .. "/bin/update-mirror")
    assert.are.equal(1, status)
    assert.matches("^update%-mirror: cannot verify: zelrelay%-verify is neither beside", err)
    fixture.write(work .. "/bin/zelrelay-verify", "#!/bin/sh\necho \"verified 0 packages in $1\"\n")
    fixture.run("chmod +x " .. work .. "/bin/zelrelay-verify")
    local found = { run("verify", work .. "/bin/update-mirror") }
    assert.are.same({ 0, expand("a: verified 0 packages in $WORK/a\n"), "" }, found)
  end)

  it("finds a changed byte in a package and in a merged member with the relay's zelrelay-verify", function()
    configure({ "kept" })
    assert.are.equal(0, (run("run -q")))
    assert.are.equal(0, (run("verify")))
    damage(work .. "/kept/packages/c3t4v1.0500.3l2p-1r-1o-1.zip", 100)
    local member = tonumber(fixture.read(work .. "/kept/merged.ini"):match("_merged%.zip (%d+)"))
    damage(work .. "/kept/packages/c3t4l-1p-1r-1o-1_merged.zip", member + 100)
    local status, out = run("verify kept")
    assert.are.equal(1, status)
    assert.matches("kept: damaged packages/c3t4v1%.0500%.3l2p%-1r%-1o%-1%.zip %(c3t4v1%.0500%.3l2p%-1r%-1o%-1%): ", out)
    assert.matches("kept: damaged packages/c3t4l%-1p%-1r%-1o%-1_merged%.zip@%d+ %(c[^)]+%): ", out)
    assert.matches("kept: verified %d+ packages and %d+ merged members: 2 damaged or missing\n$", out)
  end)

  -- A mirror after the clean-up holds merged archives alone, which a
  -- downstream reads in byte ranges.
  it("serves a mirror to a downstream relay with the nginx snippet, and none of the relay's own files", function()
    configure({ "a" })
    assert.are.equal(0, (run("run -q")))
    fixture.write(work .. "/a/packages/c3t4.zip.partial", "part")
    local snippet = fixture.read(prefix .. "/share/doc/update-mirror/nginx-mirror.conf")
    local served = servers.nginx(work .. "/a", { conf = snippet })
    configure({}, ('down = { repository = "$WORK/b", sources = { "%s" }, products = { "c3t4" } }'):format(served.url))
    assert.are.same({ 0, "", "" }, { run("run -q") })
    local ranges = 0
    for _, request in ipairs(served.log()) do ranges = ranges + (request.status == 206 and 1 or 0) end
    assert.is_true(ranges >= 5)
    local pipe = io.popen(("python3 -c \"import sys, urllib.request as u, urllib.error as e\nfor p in sys.argv[1:]:\n"
      .. " try: print(u.urlopen('%s' + p).status, end=' ')\n except e.HTTPError as x: print(x.code, end=' ')\" "
      .. "server.ini merged.ini .zelrelay.report.json .zelrelay.lock .zelrelay.settled .update-mirror/history/ "
      .. "packages/c3t4.zip.partial"):format(served.url))
    assert.are.equal("200 200 404 404 404 404 404 ", pipe:read("*a"))
    pipe:close()
  end)

  -- The examples that use what is built, as the README and the man page
  -- write them: configurations, update-mirror's command lines (a cron line's
  -- too) and scripts, with the example hosts and folders for real ones; the
  -- sample upstream stands for updates.example.net, tinyproxy for its proxy.
  it("runs every example of the README and the man page as written", function()
    local proxy = servers.tinyproxy("relay", "secret")
    local places = {
      { "https://updates.example.net/mirror/", url .. "sample/" }, { "https://updates.example.net/", url .. "sample/" },
      { "file:///srv/upstream", "file://" .. root .. "/sample" }, { "/srv/mirror", work .. "/mirror" },
      { "/tmp/pelno", work .. "/pelno" }, { "/var/lib/node_exporter", work },
      { 'host = "proxy.example.net", port = 3128', ('host = "127.0.0.1", port = %d'):format(proxy.port) } }
    local function real(text)
      for _, place in ipairs(places) do text = text:gsub(place[1]:gsub("%p", "%%%0"), (place[2]:gsub("%%", "%%%%"))) end
      return text
    end
    local examples = {}
    local function add(kind, text) examples[#examples + 1] = { kind, real(text) } end
    local readme = fixture.read(here .. "/../../README.md")
    for block in readme:gmatch("```lua\n(.-)```") do add(block:match("^return {") and "config" or "script", block) end
    for command in readme:gmatch("\n    (update%-mirror [^\n]-)%s*%f[#\n]") do add("command", command) end
    local page = fixture.read(here .. "/../../command/update-mirror.1"):gsub("\\%-", "-"):gsub("\\%(dq", '"')
    for block in page:gmatch("\n%.EX\n(.-)\n%.EE") do
      if block:match("^return {") then add("config", block) end
      for command in (block .. "\n"):gmatch("([^\n]*)\n") do
        command = command:match("^update%-mirror .*") or command:match("^[%d*]+ [%d*]+ %* %* %*%s+(update%-mirror .*)")
        if command then add("command", command) end
      end
    end
    fixture.run("mkdir -p " .. work .. "/mirror")
    local environment = ("cd %s && env -i PATH=%s/bin:/usr/bin:/bin UPDATE_MIRROR_CONFIG=config.lua LUA_CPATH='%s"
      .. "/lib/lua/5.2/?.so;;' LD_LIBRARY_PATH=%s/lib "):format(work, prefix, prefix, prefix)
    assert.are.equal(17, #examples)  -- 2 configurations, 2 scripts, 13 command lines
    for _, example in ipairs(examples) do
      local kind, text = example[1], example[2]
      fixture.write(work .. (kind == "config" and "/config.lua" or "/script.lua"), text)
      if kind ~= "config" then
        local said = io.popen(environment .. (kind == "script" and "lua5.2 script.lua" or text) .. " 2>&1; echo $?")
        assert.matches("\n0\n$", "\n" .. said:read("*a"), text)
        said:close()
      end
    end
  end)

  it("installs the man page, and a bash completion that matches the parser", function()
    local pipe = io.popen(line("--completion bash"))
    local completion = pipe:read("*a")
    pipe:close()
    assert.are.equal(fixture.read(prefix .. "/share/bash-completion/completions/update-mirror"), completion)
    assert.matches("^%.TH UPDATE%-MIRROR 1", fixture.read(prefix .. "/share/man/man1/update-mirror.1"))
  end)
end)
