-- Mirroring from directory upstreams (bench/mkupstream.c writes them):
--   scale: everything (first run and unchanged re-run), list and removeek
--     per component at 100,000 components against 1,000, on tmpfs;
--   first mirror of 200 x 1 MiB and 20,000 x 4 KiB against the floor
--     (floor_copy.c), the unchanged re-run's time and bytes read and
--     written, on tmpfs and on disk;
--   peak memory of a first mirror of 100,000 components against 10,000, in
--     child processes: the C interface alone (mirror_child.c) and through
--     update.everything.
-- Variants interleaved, medians of five.
--   LUA_CPATH="$B/?.so;$B-bench/?.so;;" LD_LIBRARY_PATH=$B/zelrelay lua5.2 bench/mirror_bench.lua $B-bench [part...]
-- Parts: scale, first, memory (all by default). Products hold 4 components
-- each; BENCH_PER_PRODUCT changes that.
package.path = (arg[0]:match("^(.*/)") or "./") .. "?.lua;" .. package.path
local bench = require "benchlib"
local update = require "update"

local ROUNDS = 5
local PER_PRODUCT = tonumber(os.getenv("BENCH_PER_PRODUCT")) or 4

-- A child process that mirrors once through the module and reports as
-- mirror_child does: status, seconds, peak resident KiB.
if arg[1] == "--child" then
  bench.shell("mkdir -p " .. bench.quote(arg[2]))
  update.startup()
  local start = bench.now()
  local _, code = update.everything(arg[2], "c1t7", arg[3], { ek = true })
  print(("%d %.6f %d"):format(code or 0, bench.now() - start, bench.maxrss()))
  os.exit(code == 1 and 0 or 1)
end

local tools = assert(arg[1], "usage: mirror_bench.lua BENCH-BUILD-DIRECTORY [scale|first|memory...]")
local parts = {}
for i = 2, #arg do parts[arg[i]] = true end
if not next(parts) then parts = { scale = true, first = true, memory = true } end

local function upstream(root, label, components, size)
  local path = root .. "/upstream-" .. label
  bench.shell(("%s/mkupstream %s %d %d %d"):format(bench.quote(tools), bench.quote(path),
    math.ceil(components / PER_PRODUCT), PER_PRODUCT, size))
  return path
end

-- Non-nil: the message of a call that did not succeed.
local function mirror(repo, source)
  bench.shell("mkdir -p " .. bench.quote(repo))
  local _, code, message = update.everything(repo, "c1t7", source, { ek = true })
  if code ~= 1 then return ("status %s: %s"):format(tostring(code), tostring(message)) end
end

-- Each call starts on a collected heap, so none pays for the garbage of the
-- one before (a result table of 125,000 entities at the large size).
local function timed(f)
  collectgarbage()
  local start = bench.now()
  local failure = f()
  return bench.now() - start, failure
end

-- Files added, removed or whose size or mtime moved between two scans.
local function changes(before, after)
  local count = 0
  for name, stamp in pairs(after) do if before[name] ~= stamp then count = count + 1 end end
  for name in pairs(before) do if after[name] == nil then count = count + 1 end end
  return count
end

local function metadata(repo, source)
  return bench.size(source .. "/server.ini") + bench.size(repo .. "/server.ini") + bench.size(repo .. "/merged.ini")
end

update.startup()

-- Per-component costs at two sizes; the small one runs three times a round
-- so its median rests on fifteen samples.
if parts.scale then
  local root = bench.tmpdir(bench.media[1].root, "scale")
  local sizes = { { n = 1000, repeats = 3 }, { n = 100000, repeats = 1 } }
  local metrics = { "first", "rerun", "list", "removeek" }
  local labels = { first = "everything, first run", rerun = "everything, unchanged re-run", list = "list",
                   removeek = "removeek" }
  local variants = {}
  for _, size in ipairs(sizes) do
    size.up = upstream(root, tostring(size.n), size.n, 16)
    size.times, size.failed = {}, {}
    for _, metric in ipairs(metrics) do size.times[metric] = {} end
    variants[#variants + 1] = function()
      local repo = root .. "/repo-" .. size.n
      local function record(metric, seconds, failure)
        if failure then size.failed[metric] = size.failed[metric] or failure
        else table.insert(size.times[metric], seconds / size.n) end
      end
      for _ = 1, size.repeats do
        bench.remove(repo)
        -- A size whose mirror failed fails the same way again: only list,
        -- which needs no repository, is measured then.
        if not size.failed.first then
          record("first", timed(function() return mirror(repo, size.up) end))
          if size.failed.first then
            size.failed.rerun, size.failed.removeek = "first run failed", "first run failed"
          else
            record("rerun", timed(function() return mirror(repo, size.up) end))
          end
        end
        bench.shell("mkdir -p " .. bench.quote(repo))
        record("list", timed(function()
          local result, code, message = update.list(repo, "c1t7", size.up)
          if not result then return ("status %s: %s"):format(tostring(code), tostring(message)) end
        end))
        if not size.failed.first then
          record("removeek", timed(function()
            local ok, message = update.removeek(repo)
            if not ok then return message end
          end))
        end
        bench.remove(repo)
      end
    end
  end
  bench.interleave(ROUNDS, variants)
  local small, large = sizes[1], sizes[2]
  for _, metric in ipairs(metrics) do
    local name = ("scale: %s per component, %s vs %s"):format(labels[metric], bench.count(large.n),
      bench.count(small.n))
    local why = large.failed[metric] or small.failed[metric]
    if why then
      bench.failed("scale", name, ("at %s components: %s"):format(bench.count(large.failed[metric] and large.n or
        small.n), why), 1.5)
    else
      local a, b = bench.median(large.times[metric]) * 1e6, bench.median(small.times[metric]) * 1e6
      bench.row("scale", name, "us/component", a, b, nil, a / b, "peer", 1.5)
    end
  end
  bench.remove(root)
end

-- The floor and the relay on each medium and shape; the re-run right after
-- the relay's first run, with the process's I/O counters around it.
if parts.first then
  local shapes = { { count = 200, size = 1048576, label = "200 x 1 MiB" },
                   { count = 20000, size = 4096, label = "20,000 x 4 KiB" } }
  for _, medium in ipairs(bench.media) do
    local root = bench.tmpdir(medium.root, "first")
    for _, shape in ipairs(shapes) do
      local source = upstream(root, "first", shape.count, shape.size)
      local floor, first, rerun, read, written, files, filesTotal, meta, failure = {}, {}, {}, {}, {}, {}, 0, 0, nil
      bench.interleave(ROUNDS, {
        function()
          local target = root .. "/floor"
          local seconds = tonumber(bench.capture(("%s/floor_copy %s %s"):format(bench.quote(tools),
            bench.quote(source), bench.quote(target))):match("^(%S+)"))
          floor[#floor + 1] = seconds
          bench.remove(target)
        end,
        function()
          if failure then return end
          local repo = root .. "/repo"
          local seconds, why = timed(function() return mirror(repo, source) end)
          failure = why
          if not why then
            first[#first + 1] = seconds
            local dirs = { source .. "/packages", repo .. "/packages" }
            local before = {}
            for i, dir in ipairs(dirs) do
              bench.age(dir)
              before[i] = bench.scan(dir)
            end
            local counters = bench.io()
            seconds, why = timed(function() return mirror(repo, source) end)
            local after = bench.io()
            failure = why
            rerun[#rerun + 1] = seconds
            read[#read + 1] = after.rchar - counters.rchar
            written[#written + 1] = after.wchar - counters.wchar
            local touched, total = 0, 0
            for i, dir in ipairs(dirs) do
              local now, accessed = bench.scan(dir)
              touched = touched + accessed + changes(before[i], now)
              for _ in pairs(now) do total = total + 1 end
            end
            files[#files + 1], filesTotal = touched, total
            meta = metadata(repo, source)
          end
          bench.remove(repo)
        end,
      })
      bench.remove(source)
      local where = ("%s, %s"):format(shape.label, medium.name)
      if failure then
        bench.failed("first", "first mirror vs floor, " .. where, failure, 2)
      else
        local ours, theirs, again = bench.median(first), bench.median(floor), bench.median(rerun)
        local r, w, touched = bench.median(read), bench.median(written), math.max(table.unpack(files))
        bench.log("%s: first %.3fs, floor %.3fs, re-run %.4fs, read %d B, written %d B, indexes %d B, " ..
          "package files read or changed %d of %d", where, ours, theirs, again, r, w, meta, touched, filesTotal)
        bench.row("first", "first mirror vs floor, " .. where, "s", ours, nil, theirs, ours / theirs, "floor", 2)
        bench.row("rerun", "unchanged re-run vs first mirror, " .. where, "s", again, ours, nil, again / ours, "peer",
          0.05)
        -- Reads seen by access times (relatime moves an aged one), writes by
        -- size and mtime, over the upstream's and the repository's packages
        -- and merged archives; rchar and wchar count every byte, indexes too.
        bench.row("rerun", "re-run: package files read or written, " .. where, "files", touched, filesTotal, nil,
          touched / filesTotal, "peer", 0, ("re-run read %d B and wrote %d B in all (rchar, wchar); the indexes " ..
          "hold %d B"):format(r, w, meta))
      end
    end
    bench.remove(root)
  end
end

-- Peak resident set of child processes, each a first mirror into an empty
-- repository on tmpfs.
if parts.memory then
  local root = bench.tmpdir(bench.media[1].root, "memory")
  local sizes = { { n = 10000 }, { n = 100000 } }
  local children = {
    { label = "C interface alone", command = bench.quote(tools .. "/mirror_child") },
    { label = "through update.everything", command = "lua5.2 " .. bench.quote(arg[0]) .. " --child" },
  }
  local variants = {}
  for _, size in ipairs(sizes) do
    size.up = upstream(root, tostring(size.n), size.n, 16)
    size.index = bench.size(size.up .. "/server.ini")
    for _, child in ipairs(children) do
      child[size.n] = {}
      variants[#variants + 1] = function()
        if child.failed then return end
        local repo = root .. "/repo"
        bench.remove(repo)
        local line = bench.capture(("%s %s %s"):format(child.command, bench.quote(repo), bench.quote(size.up)))
        local status, kib = (line or ""):match("^(%-?%d+) %S+ (%d+)")
        if tonumber(status) ~= 1 then
          child.failed = ("status %s at %s components"):format(tostring(status), bench.count(size.n))
        else
          table.insert(child[size.n], tonumber(kib))
        end
        bench.remove(repo)
      end
    end
  end
  bench.interleave(ROUNDS, variants)
  local small, large = sizes[1], sizes[2]
  for _, child in ipairs(children) do
    local name = ("peak memory, first mirror of %s vs %s components, %s"):format(bench.count(large.n),
      bench.count(small.n), child.label)
    if child.failed then
      bench.failed("memory", name, child.failed, 2)
    else
      local a, b = bench.median(child[large.n]) / 1024, bench.median(child[small.n]) / 1024
      local index = large.index / 1048576
      bench.log("%s: %.1f MiB vs %.1f MiB, index %.1f MiB", child.label, a, b, index)
      bench.row("memory", name, "MiB", a, b, nil, (a - index) / b, "peer", 2,
        ("ratio: (peak at %s - its index, %.1f MiB) / peak at %s; within target when peak <= 2 x small + index")
          :format(bench.count(large.n), index, bench.count(small.n)))
    end
  end
  bench.remove(root)
end
