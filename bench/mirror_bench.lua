-- Mirroring from directory upstreams (bench/mkupstream.c writes them):
--   scale: everything (first run and unchanged re-run), list and removeek
--     per component at 100,000 components against 1,000, on tmpfs;
--   first: a first mirror of 200 x 1 MiB and 10,000 x 4 KiB against the
--     floor (floor_copy.c), and the unchanged re-run against it as whole
--     processes (mirror_once.lua), with the files and bytes it touched, on
--     tmpfs and on disk;
--   memory: the peak resident set of a first mirror of 100,000 components
--     against twice the upstream's index plus 32 MiB, in child processes:
--     the C interface alone (mirror_child.c) and through update.everything;
--     and the unchanged re-run inside ZELRELAY_Duplicate per component.
-- Variants interleaved, medians of five.
--   LUA_CPATH="$B/?.so;$B-bench/?.so;;" LD_LIBRARY_PATH=$B/zelrelay lua5.2 bench/mirror_bench.lua $B-bench [part...]
-- Parts: scale, first, memory (all by default). Products hold 4 components
-- each; BENCH_PER_PRODUCT changes that.
local here = arg[0]:match("^(.*/)") or "./"
package.path = here .. "?.lua;" .. package.path
local bench = require "benchlib"
local update = require "update"

local ROUNDS = 5
local PER_PRODUCT = tonumber(os.getenv("BENCH_PER_PRODUCT")) or 4

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

-- A child process: its wall time as a whole, and the figures it printed
-- ("status seconds maxrss-KiB ...", as mirror_once.lua and mirror_child
-- print them); nil and why for a call that did not succeed.
local function child(argv)
  local process, exit, output = bench.spawn(argv)
  local fields = {}
  for word in output:gmatch("%S+") do fields[#fields + 1] = tonumber(word) end
  if fields[1] ~= 1 then
    return nil, ("%s: status %s, exit %d"):format(argv[1]:match("[^/]*$"), tostring(fields[1]), exit)
  end
  fields.process = process
  return fields
end

-- One mirror through update.everything in a process of its own.
local function once(repo, source)
  bench.shell("mkdir -p " .. bench.quote(repo))
  local run, why = child({ "lua5.2", here .. "mirror_once.lua", repo, source })
  if not run then return nil, why end
  return { process = run.process, call = run[2], kib = run[3], rchar = run[4], wchar = run[5] }
end

-- The floor and the relay on each medium and shape. The relay's first run
-- and its unchanged re-run are processes of their own, timed whole; the
-- access times are aged between them, and the re-run reports its I/O
-- counters around the call.
if parts.first then
  local shapes = { { count = 200, size = 1048576, label = "200 x 1 MiB", target = 1.3 },
                   { count = 10000, size = 4096, label = "10,000 x 4 KiB", target = 2 } }
  for _, medium in ipairs(bench.media) do
    local root = bench.tmpdir(medium.root, "first")
    for _, shape in ipairs(shapes) do
      local source = upstream(root, "first", shape.count, shape.size)
      local floor, first, firstWhole, rerun, rerunWhole, read, written, files = {}, {}, {}, {}, {}, {}, {}, {}
      local filesTotal, meta, failure = 0, 0, nil
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
          local run, why = once(repo, source)
          if run then
            first[#first + 1], firstWhole[#firstWhole + 1] = run.call, run.process
            local dirs = { source .. "/packages", repo .. "/packages" }
            local before = {}
            for i, dir in ipairs(dirs) do
              bench.age(dir)
              before[i] = bench.scan(dir)
            end
            run, why = once(repo, source)
            if run then
              rerun[#rerun + 1], rerunWhole[#rerunWhole + 1] = run.call, run.process
              read[#read + 1], written[#written + 1] = run.rchar, run.wchar
              local touched, total = 0, 0
              for i, dir in ipairs(dirs) do
                local now, accessed = bench.scan(dir)
                touched = touched + accessed + changes(before[i], now)
                for _ in pairs(now) do total = total + 1 end
              end
              files[#files + 1], filesTotal = touched, total
              meta = metadata(repo, source)
            end
          end
          failure = why
          bench.remove(repo)
        end,
      })
      bench.remove(source)
      local where = ("%s, %s"):format(shape.label, medium.name)
      if failure then
        bench.failed("first", "first mirror vs floor, " .. where, failure, shape.target)
      else
        local ours, theirs, again = bench.median(first), bench.median(floor), bench.median(rerun)
        local whole, againWhole = bench.median(firstWhole), bench.median(rerunWhole)
        local r, w, touched = bench.median(read), bench.median(written), math.max(table.unpack(files))
        bench.log("%s: first %.3fs (process %.3fs), floor %.3fs, re-run %.4fs (process %.4fs), read %d B, " ..
          "written %d B, indexes %d B, package files read or changed %d of %d", where, ours, whole, theirs, again,
          againWhole, r, w, meta, touched, filesTotal)
        bench.row("first", "first mirror vs floor, " .. where, "s", ours, nil, theirs, ours / theirs, "floor",
          shape.target, ("the call's time; the whole process took %.3f s"):format(whole))
        bench.row("rerun", "unchanged re-run vs first mirror, whole processes, " .. where, "s", againWhole, whole,
          nil, againWhole / whole, "peer", 0.05, ("lua5.2 started, update and the relay loaded, the call, the " ..
          "exit; inside the call alone: %.2e s vs %.3f s, ratio %.2e"):format(again, ours, again / ours))
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
-- repository on tmpfs; mirror_child then runs the same duplication again in
-- the same process, after its peak was taken.
if parts.memory then
  local root = bench.tmpdir(bench.media[1].root, "memory")
  local n = 100000
  local source = upstream(root, "memory", n, 16)
  local index = bench.size(source .. "/server.ini") / 1048576
  local limit = 2 * index + 32
  local repo = root .. "/repo"
  local children = {
    { label = "C interface alone", argv = { tools .. "/mirror_child", "--twice", repo, source } },
    { label = "through update.everything", argv = { "lua5.2", here .. "mirror_once.lua", repo, source } },
  }
  local variants = {}
  for _, one in ipairs(children) do
    one.peaks, one.reruns, one.tables = {}, {}, {}
    variants[#variants + 1] = function()
      if one.failed then return end
      bench.remove(repo)
      bench.shell("mkdir -p " .. bench.quote(repo))
      local run, why = child(one.argv)
      if run and one.argv[2] == "--twice" and run[4] ~= 1 then
        run, why = nil, ("the re-run's status %s"):format(tostring(run[4]))
      end
      if not run then
        one.failed = why
      else
        table.insert(one.peaks, run[3] / 1024)
        if run[5] and one.argv[2] == "--twice" then table.insert(one.reruns, run[5] / n * 1e6) end
        if run[6] then table.insert(one.tables, run[6] / 1024) end
      end
      bench.remove(repo)
    end
  end
  bench.interleave(ROUNDS, variants)
  for _, one in ipairs(children) do
    local name = ("peak memory, first mirror of %s components, %s"):format(bench.count(n), one.label)
    if one.failed then
      bench.failed("memory", name, one.failed, 1)
    else
      local peak = bench.median(one.peaks)
      bench.log("%s: peak %.1f MiB, index %.1f MiB", one.label, peak, index)
      local note = ("floor column: 2 x the upstream's index (%.1f MiB) + 32 MiB"):format(index)
      if #one.tables > 0 then
        note = note .. ("; the call's result, a Lua table of every entity, takes %.1f MiB of Lua heap"):format(
          bench.median(one.tables))
      end
      bench.row("memory", name, "MiB", peak, nil, limit, peak / limit, "floor", 1, note)
    end
  end
  local name = ("unchanged re-run inside the call per component, %s components, C interface"):format(bench.count(n))
  if children[1].failed then
    bench.failed("memory", name, children[1].failed, 1)
  else
    local ours = bench.median(children[1].reruns)
    bench.row("memory", name, "us/component", ours, nil, nil, ours, "abs", 1,
      "the second ZELRELAY_Duplicate of the same request in mirror_child's process; the target is absolute")
  end
  bench.remove(root)
end
