-- Mirroring from nginx on 127.0.0.1 against curl --parallel fetching the same
-- files into a folder, interleaved, medians of five; then an unchanged re-run,
-- and the bytes the run after a cut transfers.
-- usage: lua5.2 network_bench.lua BUILD-DIRECTORY [WORK-DIRECTORY]
package.path = arg[0]:match("^(.*/)") .. "../tests/e2e/?.lua;" .. arg[0]:match("^(.*/)") .. "../tests/lua/?.lua;" ..
  package.path
local build, work = assert(arg[1], "usage: network_bench.lua BUILD-DIRECTORY [WORK-DIRECTORY]"), arg[2] or "/tmp"
local files = require "files"
local servers = require "servers"
local update = require "update"

local function now()
  local pipe = io.popen("date +%s.%N")
  local value = tonumber(pipe:read("*l"))
  pipe:close()
  return value
end

local function median(list)
  table.sort(list)
  return list[math.floor((#list + 1) / 2)]
end

-- An upstream of count packages holding size random bytes each, in one product.
local function publish(count, size)
  local source = files.tmpdir()
  local manifest, ids = {}, {}
  for i = 1, count do
    local id = ("c3t%dv1.0.1l1"):format(1000 + i)
    files.mkdir(source .. "/" .. i)
    os.execute(("head -c %d /dev/urandom >%s/%d/data"):format(size, source, i))
    manifest[#manifest + 1] = ("[component %s]\npayload = %d\n"):format(id, i)
    ids[#ids + 1] = id
  end
  manifest[#manifest + 1] = "[product c1t7v1.0.1]\ncomponents = " .. table.concat(ids, " ") .. "\n"
  files.write(source .. "/manifest.ini", table.concat(manifest, "\n"))
  local upstream = work .. "/upstream-" .. count
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
  local path = ("%s/run-%d"):format(work, serial)
  files.mkdir(path)
  return path
end

local function relay(url, into)
  local start = now()
  local _, code, message = update.everything(into, "c1t7", url, { ek = true })
  assert(code == 1, message)
  return now() - start
end

local function curl(url, list, into)
  local config = into .. ".curl"
  local lines = {}
  for i, path in ipairs(list) do lines[#lines + 1] = ('url = "%s%s"\noutput = "%s/%d"'):format(url, path, into, i) end
  files.write(config, table.concat(lines, "\n") .. "\n")
  local start = now()
  files.shell(("curl -s -S --no-progress-meter --parallel --parallel-max 4 -K %s"):format(config))
  os.remove(config)
  return now() - start
end

update.startup()
print(("%-34s %10s %10s %8s"):format("", "relay s", "curl s", "ratio"))
for _, shape in ipairs({ { 2000, 16384 }, { 20, 8388608 } }) do
  local upstream = publish(shape[1], shape[2])
  local web = servers.nginx(upstream)
  local list = paths(upstream)
  local ours, theirs, rerun = {}, {}, {}
  for _ = 1, 5 do
    local a, b = scratch(), scratch()
    ours[#ours + 1] = relay(web.url, a)
    theirs[#theirs + 1] = curl(web.url, list, b)
    rerun[#rerun + 1] = relay(web.url, a)
    files.remove(a)
    files.remove(b)
  end
  local label = ("%d packages of %d KiB"):format(shape[1], shape[2] / 1024)
  print(("%-34s %10.3f %10.3f %8.2f"):format("first mirror, " .. label, median(ours), median(theirs),
    median(ours) / median(theirs)))
  print(("%-34s %10.3f %10s %8.4f"):format("unchanged re-run, " .. label, median(rerun), "",
    median(rerun) / median(ours)))
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
print(("%-34s %10s %10s %8.3f"):format("run after a cut at half, share", code == 1 and "ok" or "failed", "",
  sent / 67108864))
servers.stop_all()
files.remove(into)
files.remove(upstream)
