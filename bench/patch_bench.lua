-- What a downstream moves of the index when an upstream of 100,000
-- components changes: nginx on 127.0.0.1 serves a publisher's upstream and a
-- relay that mirrors all of it (from the directory, and writes patches of
-- its own index); a downstream of each asks for one small product, so that
-- the index is what it moves. The bytes are nginx's, every answer's body but
-- packages'.
-- usage: lua5.2 patch_bench.lua BENCH-BUILD-DIRECTORY [WORK-DIRECTORY]
local here = arg[0]:match("^(.*/)") or "./"
package.path = here .. "?.lua;" .. here .. "../tests/e2e/?.lua;" .. here .. "../tests/lua/?.lua;" .. package.path
local tools = assert(arg[1], "usage: patch_bench.lua BENCH-BUILD-DIRECTORY [WORK-DIRECTORY]")
local work = arg[2] or os.getenv("BENCH_TMPFS") or "/dev/shm"
local bench = require "benchlib"
local files = require "files"
local servers = require "servers"
local update = require "update"

local COMPONENTS, PER_PRODUCT = 100000, 4
local root = bench.tmpdir(work, "patch")
local upstream, relay = root .. "/up", root .. "/relay"
local direct, chained = root .. "/direct", root .. "/chained"

local function mirror(into, source, products)
  local _, code, message = update.everything(into, products or "c1t7l1", source, { ek = true })
  assert(code == 1, message)
end

-- The index bytes and requests of the answers logged since `from`, below
-- the path prefix.
local function moved(web, from, prefix)
  local bytes, requests = 0, 0
  for i, entry in ipairs(web.log()) do
    if i > from and entry.uri:sub(1, #prefix) == prefix and not entry.uri:find("/packages/", 1, true) then
      bytes, requests = bytes + entry.bytes, requests + 1
    end
  end
  return bytes, requests
end

update.startup()
bench.shell(("%s/mkupstream %s %d %d 16 >/dev/null && %s/patch_tool serve %s"):format(tools, upstream,
  COMPONENTS / PER_PRODUCT, PER_PRODUCT, tools, upstream))
files.mkdir(relay)
files.mkdir(direct)
files.mkdir(chained)
mirror(relay, upstream, "c1t7")
local web = servers.nginx(root)
local plain = #files.read(upstream .. "/server.ini")

-- A downstream with nothing kept takes the compressed copy.
local mark = #web.log()
mirror(direct, web.url .. "up/")
local first = moved(web, mark, "/up/")
mirror(chained, web.url .. "relay/")
bench.row("patch", "index: first fetch of 100,000 components, compressed copy vs the plain index", "MB", first / 1e6,
  plain / 1e6, nil, first / plain, "peer", 0.3)

-- Nothing changed: one conditional request.
mark = #web.log()
mirror(direct, web.url .. "up/")
local _, asked = moved(web, mark, "/up/")
bench.row("patch", "index: requests of an unchanged re-run", "requests", asked, nil, nil, asked, "abs", 1)

for _, k in ipairs({ 10, 100, 1000 }) do
  bench.shell(("%s/patch_tool change %s %d %d"):format(tools, upstream, k, k))
  mirror(relay, upstream, "c1t7")
  local target = 1024 + 100 * k
  local downstreams = { { direct, "/up/", "from the publisher" }, { chained, "/relay/", "through a relay" } }
  for _, downstream in ipairs(downstreams) do
    mark = #web.log()
    mirror(downstream[1], web.url .. downstream[2]:sub(2))
    local bytes = moved(web, mark, downstream[2])
    bench.log("patch k=%d %s: %d B", k, downstream[3], bytes)
    bench.row("patch", ("index bytes after %s of 100,000 components changed, %s"):format(bench.count(k),
      downstream[3]), "B", bytes, nil, nil, bytes, "abs", target)
  end
end
servers.stop_all()
files.remove(root)
