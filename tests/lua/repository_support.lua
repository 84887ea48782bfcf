-- Shared by the repository tests: the double's log by call name, the checks
-- every repository call must pass, and real temporary repositories.
local double = require "zeldouble"
local update = require "update"
local assert = require "luassert"

local support = { double = double, update = update }

-- Entities as the log decodes them: missing qualifiers are -1, the rest 0.
function support.entity(fields)
  local entity = { klass = 0, type = 0, language = -1, platform = -1, region = -1, oem = -1,
                   major = 0, minor = 0, build = 0, revision = 0 }
  for k, v in pairs(fields or {}) do entity[k] = v end
  return entity
end

-- A request record as the library received it.
function support.product(fields)
  local product = support.entity({ componentCount = 0 })
  for k, v in pairs(fields or {}) do product[k] = v end
  return product
end

function support.calls(name)
  local found = {}
  for _, call in ipairs(double.calls()) do
    if call.call == name then found[#found + 1] = call end
  end
  return found
end

function support.names()
  local names = {}
  for i, call in ipairs(double.calls()) do names[i] = call.call end
  return names
end

-- The last call of that name.
function support.last(name)
  local found = support.calls(name)
  return found[#found]
end

-- Nothing of a call outlives it: no context, no information record, no
-- semaphore file.
function support.assert_released()
  local contexts, records = double.live()
  assert.same({ 0, 0 }, { contexts, records })
  assert.is_false(double.semaphore())
end

local function shell(command)
  assert(os.execute(command), command)
end

local function quote(path)
  return "'" .. path:gsub("'", "'\\''") .. "'"
end

function support.read(path)
  local file = assert(io.open(path, "rb"))
  local content = file:read("*a")
  file:close()
  return content
end

function support.write(path, content)
  local file = assert(io.open(path, "wb"))
  file:write(content)
  file:close()
end

function support.exists(path)
  return os.execute("test -e " .. quote(path)) == true
end

function support.mkdir(path)
  shell("mkdir -p " .. quote(path))
end

-- A repository with an index holding `index` and the named package files.
function support.repository(index, packages)
  local pipe = assert(io.popen("mktemp -d /tmp/update_repo.XXXXXX"))
  local path = pipe:read("*l")
  pipe:close()
  if index then support.write(path .. "/server.ini", index) end
  if packages then
    support.mkdir(path .. "/packages")
    for _, name in ipairs(packages) do support.write(path .. "/packages/" .. name, name) end
  end
  return path
end

function support.remove(path)
  shell("rm -rf " .. quote(path))
end

-- The names left in a directory, sorted.
function support.listing(path)
  local pipe = assert(io.popen("ls -A " .. quote(path)))
  local names = {}
  for name in pipe:lines() do names[#names + 1] = name end
  pipe:close()
  table.sort(names)
  return names
end

support.skeleton = "[PATTERN]\n\n[ENGINE]\n\n[All_Product]\n\n"

return support
