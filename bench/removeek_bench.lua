-- removeek against find -delete over the same package folder, on tmpfs
-- (100,000 files) and on disk (fewer: the disk deletes at 120 to 200 us a
-- file whatever the method), interleaved, medians of five.
--   LUA_CPATH="$B/?.so;$B-bench/?.so;;" LD_LIBRARY_PATH=$B/zelrelay lua5.2 bench/removeek_bench.lua \
--     [tmpfs files] [disk files] [rounds]
package.path = (arg[0]:match("^(.*/)") or "./") .. "?.lua;" .. package.path
local bench = require "benchlib"
local update = require "update"

local counts = { tmpfs = tonumber(arg[1]) or 100000, disk = tonumber(arg[2]) or 10000 }
local rounds = tonumber(arg[3]) or 5

local function populate(repo, count)
  bench.remove(repo)
  bench.shell("mkdir -p " .. bench.quote(repo .. "/packages"))
  local index = assert(io.open(repo .. "/server.ini", "w"))
  index:close()
  bench.touch(repo .. "/packages", count)
end

local function left(repo)
  return tonumber(bench.capture("ls -f " .. bench.quote(repo .. "/packages") .. " | wc -l")) - 2
end

for _, medium in ipairs(bench.media) do
  local count = counts[medium.name]
  local root = bench.tmpdir(medium.root, "removeek")
  local repo = root .. "/repo"
  local times = { find = {}, removeek = {} }
  bench.interleave(rounds, {
    function()
      populate(repo, count)
      local start = bench.now()
      bench.shell("find " .. bench.quote(repo .. "/packages") .. " -mindepth 1 -name '*.zip' -delete")
      times.find[#times.find + 1] = bench.now() - start
      assert(left(repo) == 0)
    end,
    function()
      populate(repo, count)
      local start = bench.now()
      assert(update.removeek(repo))
      times.removeek[#times.removeek + 1] = bench.now() - start
      assert(left(repo) == 0)
    end,
  })
  bench.remove(root)
  local ours, theirs = bench.median(times.removeek), bench.median(times.find)
  bench.log("removeek %s, %d files: removeek %.3fs, find -delete %.3fs", medium.name, count, ours, theirs)
  bench.row("removeek", ("removeek of %s files vs find -delete, %s"):format(bench.count(count), medium.name), "us/file",
    ours / count * 1e6, theirs / count * 1e6, nil, ours / theirs, "peer", nil)
end
