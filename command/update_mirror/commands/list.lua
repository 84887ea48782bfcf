-- list: what the upstream offers for each chosen mirror's request.
local display = require "update_mirror.display"
local library = require "update_mirror.library"
local util = require "update_mirror.util"

local EXIT = util.EXIT
local FORMAT = "  %-16s %-40s %-12s %s"

local command = {
  description = "Lists what the upstream offers for a mirror's request (every mirror's without a name).",
  names = "?",
}

-- A product's name carries its version (c3t4v1.05.3l-1p-1r-1o-1), a
-- component's does not (c3t4l1p-1r-1o-1).
local function isProduct(entity)
  return entity.name:find("v", 1, true) ~= nil
end

local function show(name, result)
  local products = 0
  for _, entity in ipairs(result) do products = products + (isProduct(entity) and 1 or 0) end
  util.say(io.stdout, "%s: %d products, %d components", name, products, #result - products)
  util.say(io.stdout, FORMAT, "friendly", "name", "version", "kind")
  for _, entity in ipairs(result) do
    local product = isProduct(entity)
    util.say(io.stdout, FORMAT, entity.friendly or "-", (product and "" or "  ") .. entity.name, entity.version,
      product and "product" or "component")
  end
end

local function listAll(update, mirrors)
  local status = EXIT.ok
  for _, mirror in ipairs(mirrors) do
    local written, problem = library.writeTrust(mirror)
    local result, code, message
    if written then
      result, code, message = update.list(mirror.repository, mirror.products, mirror.sources, mirror.options)
    end
    if not result then
      status = EXIT.failed
      util.say(io.stderr, "%s: %s", mirror.name, problem or display.statusText(code, message, code == -9
        and mirror.repository or nil))
    else
      show(mirror.name, result)
    end
  end
  return status
end

function command.run(_, mirrors, context)
  return library.session(context.update, listAll, context.update, mirrors)
end

return command
