-- removeek on real directories.
local support = require "repository_support"

local removeek = support.removeek

local repository
after_each(function()
  if repository then support.remove(repository) end
  repository = nil
end)

describe("removeek", function()
  it("rewrites the index to the skeleton, whatever it held", function()
    for _, index in ipairs({ "", "[PATTERN]\nkey=1\n" .. string.rep("x", 5000) }) do
      repository = support.repository(index)
      assert.same({ true }, { removeek(repository) })
      assert.equal(support.skeleton, support.read(repository .. "/server.ini"))
      assert.equal(36, #support.skeleton)
      support.remove(repository)
    end
  end)

  it("refuses a directory without an index and changes nothing", function()
    repository = support.repository(nil, { "package0001.zip" })
    assert.same({ nil, repository .. " is not a repository" }, { removeek(repository) })
    assert.same({ "packages" }, support.listing(repository))
    assert.same({ "package0001.zip" }, support.listing(repository .. "/packages"))
  end)

  it("deletes only the candidates", function()
    local deleted = { "abcdefg.zip", "package0001.zip", "x_merged.zip.zip" }
    local kept = { "abcdef.zip", "a.zip", "full_merged.zip", "_merged.zip", "PACKAGE01.ZIP", "package01.zip.part",
                   "package01.Zip", "readme.txt" }
    local all = {}
    for _, name in ipairs(deleted) do all[#all + 1] = name end
    for _, name in ipairs(kept) do all[#all + 1] = name end
    repository = support.repository("", all)
    assert.is_true(removeek(repository))
    table.sort(kept)
    assert.same(kept, support.listing(repository .. "/packages"))
  end)

  it("leaves a directory named like a candidate in place", function()
    repository = support.repository("", { "package0001.zip" })
    support.mkdir(repository .. "/packages/folder00001.zip")
    support.write(repository .. "/packages/folder00001.zip/inner00001.zip", "zip")
    local seen = {}
    assert.is_true(removeek(repository, function(path) seen[#seen + 1] = path end))
    table.sort(seen)
    assert.same({ repository .. "/packages/folder00001.zip", repository .. "/packages/package0001.zip" }, seen)
    assert.same({ "folder00001.zip" }, support.listing(repository .. "/packages"))
    assert.same({ "inner00001.zip" }, support.listing(repository .. "/packages/folder00001.zip"))
  end)

  it("hands the filter the full path, with or without a trailing slash", function()
    for _, suffix in ipairs({ "", "/", "//" }) do
      repository = support.repository("", { "package0001.zip" })
      local seen
      removeek(repository .. suffix, function(path) seen = path return true end)
      assert.equal(repository .. suffix:sub(2) .. "/packages/package0001.zip", seen)
      support.remove(repository)
    end
  end)

  it("spares what the filter's result or error value makes true", function()
    local filters = {
      { function() return 0 end, true },
      { function() return "" end, true },
      { function() return true, false end, true },
      { function() error("spare me") end, true },
      { function() end, false },
      { function() return nil end, false },
      { function() return false, true end, false },
      { function() error(false) end, false },
    }
    for i, case in ipairs(filters) do
      repository = support.repository("", { "package0001.zip" })
      assert.is_true(removeek(repository, case[1]))
      assert.equal(case[2], support.exists(repository .. "/packages/package0001.zip"), "filter " .. i)
      support.remove(repository)
    end
  end)

  it("rewrites the index of a repository without packages", function()
    repository = support.repository("old")
    assert.same({ true }, { removeek(repository) })
    assert.equal(support.skeleton, support.read(repository .. "/server.ini"))
  end)

  it("checks its arguments", function()
    assert.has_error(function() removeek({}) end, "bad argument #1 to 'removeek' (expected repository path)")
    assert.has_error(function() removeek("/tmp", false) end, "bad argument #2 to 'removeek' (expected function)")
    assert.has_error(function() removeek("/tmp", 5) end, "bad argument #2 to 'removeek' (expected function)")
    repository = support.repository("", { "package0001.zip" })
    assert.is_true(removeek(repository, nil))
    assert.same({}, support.listing(repository .. "/packages"))
  end)

  it("uses the script's current io and lets its errors through", function()
    repository = support.repository("")
    -- The module reads the real globals, not the test's environment.
    local real = _G.io
    local opened = {}
    _G.io = setmetatable({ open = function(path, mode)
      opened[#opened + 1] = mode
      return real.open(path, mode)
    end }, { __index = real })
    local ok = pcall(removeek, repository)
    _G.io = nil
    local ok2, message = pcall(removeek, repository)
    _G.io = real
    assert.is_true(ok)
    assert.same({ "r", "w" }, opened)
    assert.is_false(ok2)
    assert.matches("attempt to index", message)
  end)

  it("stops the scan when a filter closes it through the debug library", function()
    repository = support.repository("", { "package0001.zip", "package0002.zip", "package0003.zip" })
    local calls = 0
    assert.is_true(removeek(repository, function()
      calls = calls + 1
      for i = 1, math.huge do
        local name, value = debug.getlocal(2, i)
        if not name then break end
        local meta = type(value) == "userdata" and debug.getmetatable(value)
        if meta and meta.__gc then meta.__gc(value) end
      end
      return true
    end))
    assert.equal(1, calls)
    assert.same({ "package0001.zip", "package0002.zip", "package0003.zip" },
      support.listing(repository .. "/packages"))
  end)

  it("closes the package directory on every path", function()
    -- The shell's parent is this Lua process. The pipe's write end may still
    -- be open in it while ls runs, so the least of a few counts is taken.
    local function descriptors()
      local least = math.huge
      for _ = 1, 5 do
        local pipe = assert(io.popen("ls /proc/$PPID/fd | wc -l"))
        least = math.min(least, tonumber(pipe:read("*l")))
        pipe:close()
      end
      return least
    end
    repository = support.repository("", { "package0001.zip", "package0002.zip" })
    collectgarbage()
    local before = descriptors()
    for _ = 1, 5 do
      removeek(repository, function() error("filtered") end)
      removeek(repository, function() return true end)
    end
    collectgarbage()
    assert.equal(before, descriptors())
  end)
end)
