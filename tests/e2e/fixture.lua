-- Temporary upstreams published with zelrelay-publish, and the file helpers.
local fixture = {}

local bin = assert(os.getenv("ZELRELAY_BIN"), "ZELRELAY_BIN names the relay's build directory")

local files = require "files"

fixture.run, fixture.tmpdir, fixture.remove = files.shell, files.tmpdir, files.remove
fixture.read, fixture.write, fixture.ls, fixture.skeleton = files.read, files.write, files.listing, files.skeleton

-- Components: identifier -> file text; each package holds one file named after the component.
fixture.components = {
  ["c3t4v1.05.3l1"] = "pelno english", ["c3t4v1.05.3l2"] = "pelno china", ["c3t4v1.05.3l4"] = "pelno japan",
  ["c3t2048v2.1.7"] = "scrubo", ["c22t2213v1.05.3"] = "kvem", ["c2t1207959858v10.2.1p1"] = "engine",
}
fixture.products = {
  ["c3t4v1.05.3"] = { "c3t4v1.05.3l1", "c3t4v1.05.3l2", "c3t4v1.05.3l4", "c3t2048v2.1.7", "c22t2213v1.05.3" },
  ["c2t1207959858v10.2.1"] = { "c2t1207959858v10.2.1p1" },
}

-- publish(true) adds fixture.big to the engine's product: a megabyte of
-- random bytes, so its package is about that size. options are more words
-- for zelrelay-publish (--key FILE); into, an upstream to publish again.
fixture.big = "c3t1207992320v1.0.1l1"

function fixture.publish(big, options, into)
  local source, upstream = fixture.tmpdir(), into or fixture.tmpdir()
  local manifest, components, products = {}, {}, {}
  for id, text in pairs(fixture.components) do components[id] = text end
  for id, list in pairs(fixture.products) do products[id] = list end
  if big then
    local random = assert(io.open("/dev/urandom", "rb"))
    components[fixture.big] = random:read(1048576)
    random:close()
    products["c2t1207959858v10.2.1"] = { "c2t1207959858v10.2.1p1", fixture.big }
  end
  for id, text in pairs(components) do
    fixture.run("mkdir -p '" .. source .. "/" .. id .. "'")
    fixture.write(source .. "/" .. id .. "/" .. id .. ".txt", text)
    manifest[#manifest + 1] = string.format("[component %s]\npayload = %s\n", id, id)
  end
  for id, list in pairs(products) do
    manifest[#manifest + 1] = string.format("[product %s]\ncomponents = %s\n", id, table.concat(list, " "))
  end
  fixture.write(source .. "/manifest.ini", table.concat(manifest, "\n"))
  fixture.run(string.format("'%s/zelrelay-publish' %s '%s/manifest.ini' '%s' >/dev/null", bin, options or "", source,
    upstream))
  fixture.remove(source)
  return upstream
end

-- A new Ed25519 key in a file of dir; returns the file and its public key.
function fixture.keygen(dir, name)
  local file = dir .. "/" .. name
  local pipe = assert(io.popen(string.format("'%s/zelrelay-publish' --keygen '%s'", bin, file)))
  local key = pipe:read("*l"):match("^key = (.+)$")
  pipe:close()
  return file, key
end

-- The package file of a component in a repository.
function fixture.package(repository, id)
  local update = require "update"
  return repository .. "/packages/" .. update.tocomponent(id).extract .. ".zip"
end

return fixture
