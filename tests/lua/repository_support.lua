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

-- Not tail calls, so argument errors name the function.
function support.list(...)
  local result, code, message = update.list(...)
  return result, code, message
end

function support.extract(...)
  local ok, code, message = update.extract(...)
  return ok, code, message
end

function support.removeek(...)
  local ok, message = update.removeek(...)
  return ok, message
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

local files = require "files"

function support.read(path)
  return assert(files.read(path), path)
end

support.write, support.exists, support.mkdir = files.write, files.exists, files.mkdir
support.remove, support.listing, support.skeleton = files.remove, files.listing, files.skeleton

-- A repository with an index holding `index` and the named package files.
function support.repository(index, packages)
  local path = files.tmpdir()
  if index then support.write(path .. "/server.ini", index) end
  if packages then
    support.mkdir(path .. "/packages")
    for _, name in ipairs(packages) do support.write(path .. "/packages/" .. name, name) end
  end
  return path
end

return support
