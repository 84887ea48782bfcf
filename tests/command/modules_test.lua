-- update-mirror's modules in-process: the configuration check, the time
-- stamps, the report's JSON and the metrics.
local files = require "files"
local cjson = require "cjson"
local update = require "update"
local config = require "update_mirror.config"
local display = require "update_mirror.display"
local metrics = require "update_mirror.metrics"
local report = require "update_mirror.report"

local KEY = ("A"):rep(43) .. "="

describe("the configuration", function()
  local dir, file
  setup(function()
    dir = files.tmpdir()
    file = dir .. "/c.lua"
  end)
  teardown(function() files.remove(dir) end)

  local function load(text)
    files.write(file, text)
    return config.load(file, update)
  end

  -- A sound mirror "a", then the keys of the case, which a later key overrides.
  local function mirror(keys)
    return ('return { mirrors = { a = { repository = "/r", sources = { "http://h/" }, products = { "c3t4" }, %s } } }')
      :format(keys)
  end

  -- Relative paths are the config's folder's, whatever the working one.
  it("gives a sound mirror its defaults, in name order and by name, with paths from the config's folder", function()
    local mirrors = assert(load('return { mirrors = { b = { repository = "/b", sources = { "http://h/", { url = "u",'
      .. ' proxy = { host = "p" } } }, products = { "c3t4" } }, a = { repository = "m/./x/../a//", sources = {'
      .. ' "file:///s" }, products = { "c3t4" }, select = { components = { "c22t2213" } }, clean = false, retries = 0,'
      .. ' timeout = 5, connect_timeout = 2, delete = true, history = 3, state = "/var/lib/a" } } }'))
    assert.are.same({ "a", "b" }, { mirrors[1].name, mirrors[2].name })
    assert.are.equal(mirrors[2], mirrors.b)
    assert.are.same({ repository = "/b", sources = { { url = "http://h/" }, { url = dir .. "/u", proxy = { type = 0,
      host = "p" } } }, products = { "c3t4" }, select = "everything", options = {}, clean = true, name = "b",
      delete = false, history = 30, state = "/b/.update-mirror" }, mirrors.b)
    assert.are.same({ dir .. "/m/a", "file:///s", "/var/lib/a" }, { mirrors.a.repository, mirrors.a.sources[1].url,
      mirrors.a.state })
    assert.are.same({ false, 0, 5, 2, true, 3 }, { mirrors.a.clean, mirrors.a.retries, mirrors.a.timeout,
      mirrors.a.connect_timeout, mirrors.a.delete, mirrors.a.history })
  end)

  local mistakes = {
    { "return 5", "$F: expected the file to return a table" },
    { "return { mirrors = { a = {} }, mirror = {} }", "$F: mirror: unknown key (known keys: mirrors)" },
    { "return { mirrors = {} }", "$F: mirrors: names no mirror" },
    { "return { mirrors = 5 }", "$F: mirrors: expected a table of mirrors by name, got the number 5" },
    { 'return { mirrors = { a = { repository = "/m/a", sources = { "/s" }, products = { "c3t4" } }, b = { repository'
      .. ' = "/m//a/", sources = { "/s" }, products = { "c3t4" } } } }',
      '$F: mirrors "a" and "b": both keep /m/a (as their repository)' },
    { 'return { mirrors = { a = { repository = "/m/a", sources = { "/s" }, products = { "c3t4" } }, b = { repository'
      .. ' = "/m/b", state = "/m/a/.update-mirror", sources = { "/s" }, products = { "c3t4" } } } }',
      '$F: mirrors "a" and "b": both keep /m/a/.update-mirror (as their state)' },
    { mirror 'select = { components = { "c3t4l1" } }', '$F: mirror "a": select.components[1]: c3t4l1 gives a language, '
      .. 'which a components selection ignores: it takes every component of class 3, type 4 (write "c3t4")' },
    { mirror 'select = { components = { "c3t4v1.5p2" } }', '$F: mirror "a": select.components[1]: c3t4v1.5p2 gives a '
      .. 'version and a platform, which a components selection ignores: it takes every component of class 3, type 4 '
      .. '(write "c3t4")' },
    { mirror "timeout = 0",
      '$F: mirror "a": timeout: expected a whole number of seconds, 1 or more, got the number 0' },
    { mirror "history = 0", '$F: mirror "a": history: expected a whole number of 1 or more, got the number 0' },
    -- String methods are out of reach, and so is anything that runs long or large.
    { 'local s = ("x"):rep(9)', "$F:1: attempt to index constant 'x' (a string value)" },
    { "while true do end", "$F: loading it took more than 0.2 s; a configuration only holds values" },
    { 'local s = "x" for i = 1, 40 do s = s .. s end', "$F: loading it took more than 8 MiB; a configuration only "
      .. "holds values" },
    { "return { mirrors = { {} } }", "$F: mirrors: a mirror's name must be a non-empty string, got the number 1" },
    { "return { mirrors = { a = 5 } }", '$F: mirror "a": expected a table, got the number 5' },
    -- Run in an empty environment, the file can call nothing.
    { "os.exit(3)", "$F:1: attempt to index global 'os' (a nil value)" },
    { "return {", "$F:1: unexpected symbol near <eof>" },
    { string.dump(function() return {} end), "attempt to load a binary chunk (mode is 't')" },
    { mirror "repository = false", '$F: mirror "a": repository: expected a non-empty string, got boolean' },
    { 'return { mirrors = { a = { sources = { "/s" }, products = { "c3t4" } } } }',
      '$F: mirror "a": repository: missing' },
    { mirror 'products = { "c3t4", n = 1 }', '$F: mirror "a": products: expected a list, found the key n' },
    { mirror 'products = { "c3t4x" }', '$F: mirror "a": products[1]: invalid field' },
    { mirror 'select = { components = { "c3t4l-10" } }',
      '$F: mirror "a": select.components[1]: names an entity hidden from scripts' },
    { mirror 'select = { components = {} }', '$F: mirror "a": select.components: expected at least 1 entries' },
    { mirror 'sources = { "/s", { proxy = { host = "p" } } }', '$F: mirror "a": sources[2].url: missing' },
    { mirror 'sources = { { url = "/s", proxy = { host = "p", type = 2 } } }',
      '$F: mirror "a": sources[1].proxy.type: expected 0 (an HTTP proxy) or 1 (a SOCKS5 proxy), got the number 2' },
    { mirror 'sources = { { url = "/s", proxy = { host = "p", port = 65536 } } }',
      '$F: mirror "a": sources[1].proxy.port: expected a port number from 0 to 65535, got the number 65536' },
    { mirror "options = { keepcount = 1.5 }",
      '$F: mirror "a": options.keepcount: expected a whole number of 0 or more, got the number 1.5' },
    { mirror 'options = { dupdigisign = "yes" }',
      '$F: mirror "a": options.dupdigisign: expected true or false, got the string "yes"' },
    { mirror('trust = { keys = { "' .. KEY .. '", "' .. KEY .. '" } }'),
      '$F: mirror "a": trust.keys[2]: the same key as keys[1]' },
    { mirror('trust = { threshold = 0, keys = { "' .. KEY .. '" } }'),
      '$F: mirror "a": trust.threshold: expected a whole number of 1 or more, got the number 0' },
    -- The last of 43 digits carries four bits: B would set one beyond them.
    { mirror('trust = { keys = { "' .. ("A"):rep(42) .. 'B=" } }'), '$F: mirror "a": trust.keys[1]: expected 32 bytes '
      .. "in base64 (44 characters ending in '='), got the string \"" .. ("A"):rep(42) .. 'B="' },
  }
  it("refuses each mistake with the file, the mirror, the key and the problem", function()
    local limits = config.LIMITS
    config.LIMITS = { seconds = 0.2, megabytes = 8 }
    finally(function() config.LIMITS = limits end)
    for _, case in ipairs(mistakes) do
      local mirrors, problem = load(case[1])
      assert.is_nil(mirrors)
      assert.are.equal((case[2]:gsub("%$F", file)), problem)
    end
    assert.are.same({ nil, "cannot read the config: /nonexistent: No such file or directory" },
      { config.load("/nonexistent", update) })
  end)

  it("chooses the mirrors named, each once, in the order named", function()
    local mirrors = assert(load('return { mirrors = { a = { repository = "/a", sources = { "/s" }, products = '
      .. '{ "c3t4" } }, b = { repository = "/b", sources = { "/s" }, products = { "c3t4" } } } }'))
    assert.are.equal(mirrors, config.choose(mirrors, {}, file))
    assert.are.same({ mirrors.b, mirrors.a }, config.choose(mirrors, { "b", "a", "b" }, file))
    local none, problem = config.choose(mirrors, { "a", "c" }, file)
    assert.are.same({ nil, file .. ' has no mirror "c" (it has: a, b)' }, { none, problem })
  end)
end)

describe("the time stamps", function()
  it("read the stamps they write, across leap days and the epoch", function()
    for _, stamp in ipairs { "1969-12-31T23:59:59Z", "1970-01-01T00:00:00Z", "2000-02-29T12:30:00Z",
        "2024-12-31T23:59:59Z", "2100-03-01T00:00:00Z", "2400-02-29T00:00:00Z" } do
      assert.are.equal(stamp, report.utcStamp(report.utcSeconds(stamp)))
    end
    assert.are.same({ -1, 0, 951782400, 4107542400 }, { report.utcSeconds "1969-12-31T23:59:59Z",
      report.utcSeconds "1970-01-01T00:00:00Z", report.utcSeconds "2000-02-29T00:00:00Z",
      report.utcSeconds "2100-03-01T00:00:00Z" })
    -- 2100 is no leap year: its 28 February is a day before 1 March.
    assert.are.equal(86400, report.utcSeconds "2100-03-01T00:00:00Z" - report.utcSeconds "2100-02-28T00:00:00Z")
    assert.are.equal(report.utcSeconds "2026-12-09T20:03:36Z", report.utcSeconds "2026-12-09T20:03:36.52Z")
    for _, text in ipairs { "2026-12-09T20:03:36", "2026-12-09 20:03:36Z", "26-12-09T20:03:36Z", 5 } do
      assert.is_nil(report.utcSeconds(text))
    end
  end)
end)

describe("the run report", function()
  it("keeps an empty packages list a list in JSON", function()
    local text = report.encode { format = 1, status = 1, totals = { copied = 0 }, packages = {} }
    assert.matches(',"packages":%[%]}$', text)
    assert.are.same({ format = 1, status = 1, totals = { copied = 0 }, packages = {} }, cjson.decode(text))
    local one = cjson.decode(report.encode { packages = { { path = "p", outcome = "copied" } } })
    assert.are.same({ packages = { { path = "p", outcome = "copied" } } }, one)
  end)

  it("counts what the events said, leaving out what a cancel cut short", function()
    local watched = { order = { "packages/a.zip", "packages/b.zip" }, begun = { ["packages/a.zip"] = 5,
      ["packages/b.zip"] = 7 }, done = { ["packages/a.zip"] = 5 } }
    local made = report.fromEvents({ repository = "/r" }, watched, 100, 101.5, -12, "sizes differ", false, "r1")
    assert.are.same({ packages = 2, copied = 1, failed = 1, bytes = 5 }, made.totals)
    assert.are.same({ "r1", "1970-01-01T00:01:40Z", 1.5 }, { made.run, made.started, made.seconds })
    assert.are.same({ component = "b", path = "packages/b.zip", outcome = "failed", size = 7, bytes = 0,
      status = -12, message = "sizes differ" }, made.packages[2])
    local cancelled = report.fromEvents({ repository = "/r" }, watched, 100, 101, -13, "cancelled", false)
    assert.are.same({ packages = 1, copied = 1, failed = 0, bytes = 5 }, cancelled.totals)
  end)
end)

describe("a failure's line", function()
  local sources = { { url = "/up", status = -41 }, { url = "http://h:81/x/", host = "h:81", proxy = "p:3128",
    status = -35 }, { url = "https://g/", host = "g", status = -35 }, { url = "https://p2/", host = "p2", proxy = "px",
    status = -38 } }
  local cases = {
    { -9, "repository is not a writable directory: /r" },
    { -50, "repository trust file is malformed: /r/.zelrelay.trust" },
    { -41, "request matches nothing upstream: c22t2213, c3t5" },
    { -30, "not enough space on the file system: needs 2.0 MiB, 512.0 KiB available", space = { needed = 2097152,
      available = 524288 } },
    { -35, "upstream host cannot be reached: h:81 (http://h:81/x/), g (https://g/)" },
    { -38, "proxy cannot be reached: proxy px (https://p2/)" },
    { -12, "sizes differ: /up", index = { source = "/up" } },
    { -12, "sizes differ" },
  }
  it("names what the failure is about, from the report", function()
    for _, case in ipairs(cases) do
      local failed = { status = case[1], message = case[2]:match("^[^:]+"), repository = "/r", sources = sources,
        requested = { { product = "c3t4", matched = true }, { product = "c22t2213", matched = false },
          { product = "c3t5", matched = false } }, space = case.space, index = case.index, packages = {} }
      assert.are.same({ "m: status " .. case[1] .. ": " .. case[2] }, display.failureLines("m", failed))
    end
  end)
end)

describe("the metrics", function()
  it("escape the mirror's name in the label and leave out what is not known", function()
    local text = metrics.text { { name = 'a"b\\c\nd', report = { started = "1970-01-01T00:01:40Z", seconds = 2,
      status = -12, totals = { copied = 3, failed = 1, bytes = 10 } } } }
    assert.truthy(text:find('\nupdate_mirror_last_run_success{mirror="a\\"b\\\\c\\nd"} 0\n', 1, true))
    assert.truthy(text:find('\nupdate_mirror_last_run_timestamp_seconds{mirror="a\\"b\\\\c\\nd"} 100\n', 1, true))
    assert.is_nil(text:find("packages_present{", 1, true))
    assert.are.equal(9, select(2, text:gsub("# TYPE ", "")))
    assert.is_nil(text:find("last_success_timestamp_seconds{", 1, true))
  end)
end)
