-- Mirroring from nginx on 127.0.0.1 against curl --parallel fetching the same
-- files into a folder, interleaved, medians of five; then an unchanged re-run,
-- and the bytes the run after a cut transfers. Run with ZELRELAY_RETRIES=0,
-- as bench/run.sh does, so no retry hides a failure.
-- usage: lua5.2 network_bench.lua BUILD-DIRECTORY [WORK-DIRECTORY]
local here = arg[0]:match("^(.*/)") or "./"
package.path = here .. "?.lua;" .. here .. "../tests/e2e/?.lua;" .. here .. "../tests/lua/?.lua;" .. package.path
local build, work = assert(arg[1], "usage: network_bench.lua BUILD-DIRECTORY [WORK-DIRECTORY]"), arg[2] or "/var/tmp"
local bench = require "benchlib"
local files = require "files"
local servers = require "servers"
local update = require "update"

local ROUNDS = 5

-- An upstream of count packages holding size random bytes each, in one product.
local function publish(count, size)
  local source = bench.tmpdir(work, "network-source")
  local manifest, ids = {}, {}
  for i = 1, count do
    local id = ("c3t%dv1.0.1l1"):format(1000 + i)
    files.mkdir(source .. "/" .. i)
    manifest[#manifest + 1] = ("[component %s]\npayload = %d\n"):format(id, i)
    ids[#ids + 1] = id
  end
  -- One head call for all payloads: a process per file would dominate.
  bench.shell(("cd %s && for i in $(seq %d); do head -c %d /dev/urandom >$i/data; done"):format(bench.quote(source),
    count, size))
  manifest[#manifest + 1] = "[product c1t7v1.0.1]\ncomponents = " .. table.concat(ids, " ") .. "\n"
  files.write(source .. "/manifest.ini", table.concat(manifest, "\n"))
  local upstream = work .. "/update-bench-upstream-" .. count
  files.remove(upstream)
  files.shell(("%s/zelrelay/zelrelay-publish %s/manifest.ini %s >/dev/null"):format(build, source, upstream))
  files.remove(source)
  return upstream
end

local function paths(upstream)
  local list = {}
  for path in files.read(upstream .. "/server.ini"):gmatch(" (packages/[^ \n]+%.zip)") do list[#list + 1] = path end
  return list
end

local serial = 0
local function scratch()
  serial = serial + 1
  local path = ("%s/update-bench-run-%d"):format(work, serial)
  files.remove(path)
  files.mkdir(path)
  return path
end

local function relay(url, into)
  local start = bench.now()
  local _, code, message = update.everything(into, "c1t7", url, { ek = true })
  assert(code == 1, message)
  return bench.now() - start
end

local function curl(url, list, into)
  local config = into .. ".curl"
  local lines = {}
  for i, path in ipairs(list) do lines[#lines + 1] = ('url = "%s%s"\noutput = "%s/%d"'):format(url, path, into, i) end
  files.write(config, table.concat(lines, "\n") .. "\n")
  local start = bench.now()
  files.shell(("curl -s -S --no-progress-meter --fail --parallel --parallel-max 4 -K %s"):format(config))
  local seconds = bench.now() - start
  os.remove(config)
  return seconds
end

update.startup()
for _, shape in ipairs({ { 2000, 16384 }, { 20, 8388608 } }) do
  local upstream = publish(shape[1], shape[2])
  local web = servers.nginx(upstream)
  local list = paths(upstream)
  local ours, theirs, rerun = {}, {}, {}
  bench.interleave(ROUNDS, {
    function()
      local into = scratch()
      ours[#ours + 1] = relay(web.url, into)
      rerun[#rerun + 1] = relay(web.url, into)
      files.remove(into)
    end,
    function()
      local into = scratch()
      theirs[#theirs + 1] = curl(web.url, list, into)
      files.remove(into)
    end,
  })
  local label = ("%s x %s KiB"):format(bench.count(shape[1]), bench.count(shape[2] / 1024))
  local first, peer, again = bench.median(ours), bench.median(theirs), bench.median(rerun)
  bench.log("network %s: relay %.3fs, curl %.3fs, re-run %.4fs", label, first, peer, again)
  bench.row("network", "network first mirror vs curl --parallel, " .. label, "s", first, peer, nil, first / peer,
    "peer", 1.3)
  bench.row("network", "network unchanged re-run vs first mirror, " .. label, "s", again, first, nil, again / first,
    "peer", 0.02)
  web.stop()
  files.remove(upstream)
end

-- A 64 MiB package cut at half; the next run asks for the rest.
local upstream = publish(1, 67108864)
local cut = servers.fault(upstream, "cut", { match = "packages/" })
local into = scratch()
update.everything(into, "c1t7", cut.url, { ek = true })
local first = #cut.log()
local _, code = update.everything(into, "c1t7", cut.url, { ek = true })
local sent = 0
for i, entry in ipairs(cut.log()) do
  if i > first and entry.uri:find("packages/", 1, true) then sent = sent + entry.bytes end
end
if code == 1 then
  bench.row("network", "network run after a cut at half of 64 MiB: share transferred", "MiB", sent / 1048576, 64, nil,
    sent / 67108864, "peer", 0.52)
else
  bench.failed("network", "network run after a cut at half of 64 MiB: share transferred",
    ("the run after the cut returned status %s"):format(tostring(code)), 0.52)
end
servers.stop_all()
files.remove(into)
files.remove(upstream)
