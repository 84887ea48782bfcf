-- The relay on XFS with reflink (bench/xfs.sh makes and mounts the image):
--   space: the file-system blocks a first mirror of 20 x 8 MiB from a
--     directory upstream (ek = true) allocates, against its packages' bytes;
--   network: a first mirror of the same packages from nginx on 127.0.0.1
--     into the image against curl --parallel --parallel-max 4 fetching them
--     into the image, then syncing it.
-- Variants interleaved, medians of five. The upstream lives on tmpfs, so no
-- block can be shared with it.
--   lua5.2 bench/xfs_bench.lua BUILD-DIRECTORY BENCH-BUILD-DIRECTORY MOUNT
--   lua5.2 bench/xfs_bench.lua skipped|failed WHY     the rows, unmeasured
local here = arg[0]:match("^(.*/)") or "./"
package.path = here .. "?.lua;" .. here .. "../tests/e2e/?.lua;" .. here .. "../tests/lua/?.lua;" .. package.path
local bench = require "benchlib"

local ROUNDS = 5
local COUNT, SIZE = 20, 8388608
local SPACE = "xfs reflink: blocks a first mirror allocates vs its packages' bytes, 20 x 8 MiB"
local NETWORK = "xfs reflink: network first mirror vs curl --parallel + sync, 20 x 8 MiB"
local SPACE_TARGET, NETWORK_TARGET = 1.1, 1.3

if arg[1] == "skipped" or arg[1] == "failed" then
  for _, row in ipairs({ { SPACE, SPACE_TARGET }, { NETWORK, NETWORK_TARGET } }) do
    if arg[1] == "skipped" then
      bench.skipped("xfs", row[1], arg[2])
    else
      bench.failed("xfs", row[1], arg[2], row[2])
    end
  end
  return
end

local tools, mount = arg[2], arg[3]
assert(mount, "usage: xfs_bench.lua BUILD-DIRECTORY BENCH-BUILD-DIRECTORY MOUNT")
local servers = require "servers"
local update = require "update"

-- Bytes in use on the file system holding path, once written back and
-- settled: XFS frees a removed file's blocks in the background, so a count
-- taken right after a removal is still falling.
local function used(path)
  local function now()
    local size, blocks, free = bench.capture(("sync -f %s && stat -f -c '%%S %%b %%f' %s"):format(bench.quote(path),
      bench.quote(path))):match("^(%d+) (%d+) (%d+)")
    return tonumber(size) * (tonumber(blocks) - tonumber(free))
  end
  local last = now()
  for _ = 1, 50 do
    bench.shell("sleep 0.2")
    local count = now()
    if count == last then return count end
    last = count
  end
  error("the used blocks of " .. path .. " never settled", 0)
end

local function mirror(into, source)
  bench.shell("mkdir -p " .. bench.quote(into))
  local start = bench.now()
  local _, code, message = update.everything(into, "c1t7", source, { ek = true })
  local seconds = bench.now() - start
  if code ~= 1 then error(("status %s: %s"):format(tostring(code), tostring(message)), 0) end
  return seconds
end

local root = bench.tmpdir(bench.media[1].root, "xfs")

local function measure()
  local source = root .. "/upstream"
  bench.shell(("%s/mkupstream %s 1 %d %d"):format(bench.quote(tools), bench.quote(source), COUNT, SIZE))
  local index = assert(io.open(source .. "/server.ini")):read("*a")
  local bytes, paths = 0, {}
  for size, path in index:gmatch("\nc[^=\n]+=(%d+) %x+ (packages/[^\n]+)") do
    bytes, paths[#paths + 1] = bytes + tonumber(size), path
  end
  assert(#paths == COUNT, "the upstream's index lists " .. #paths .. " packages")
  local web = servers.nginx(source)
  local into = mount .. "/run"
  local allocated, apparent, ours, curl = {}, {}, {}, {}
  bench.interleave(ROUNDS, {
    function()
      local before = used(mount)
      mirror(into, source)
      allocated[#allocated + 1] = used(mount) - before
      apparent[#apparent + 1] = tonumber(bench.capture("du -sB1 " .. bench.quote(into)):match("^(%d+)"))
      bench.remove(into)
    end,
    function()
      ours[#ours + 1] = mirror(into, web.url)
      bench.remove(into)
    end,
    function()
      bench.shell("mkdir -p " .. bench.quote(into))
      local config, lines = root .. "/curl.config", {}
      for i, path in ipairs(paths) do lines[i] = ('url = "%s%s"\noutput = "%s/%d"'):format(web.url, path, into, i) end
      local file = assert(io.open(config, "w"))
      file:write(table.concat(lines, "\n"), "\n")
      file:close()
      local start = bench.now()
      bench.shell(("curl -s -S --no-progress-meter --fail --parallel --parallel-max 4 -K %s && sync -f %s")
        :format(bench.quote(config), bench.quote(into)))
      curl[#curl + 1] = bench.now() - start
      bench.remove(into)
    end,
  })
  web.stop()
  local space, du = bench.median(allocated), bench.median(apparent)
  local first, peer = bench.median(ours), bench.median(curl)
  bench.log("xfs: allocated %d B (du %d B) for %d B of packages; relay %.3fs, curl + sync %.3fs", space, du, bytes,
    first, peer)
  bench.row("xfs", SPACE, "MiB", space / 1048576, bytes / 1048576, nil, space / bytes, "peer", SPACE_TARGET,
    ("ours: the file system's used blocks after the mirror and a sync minus before; peer: the packages' sizes; " ..
     "du -sB1 of the repository, which counts shared blocks in every file: %.1f MiB"):format(du / 1048576))
  bench.row("xfs", NETWORK, "s", first, peer, nil, first / peer, "peer", NETWORK_TARGET)
end

update.startup()
local ok, why = pcall(measure)
servers.stop_all()
bench.remove(root)
if not ok then
  bench.failed("xfs", SPACE, why, SPACE_TARGET)
  bench.failed("xfs", NETWORK, why, NETWORK_TARGET)
end
