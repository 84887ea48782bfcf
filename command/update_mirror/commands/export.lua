-- export: a component that a mirror's repository holds, into a folder.
local library = require "update_mirror.library"
local util = require "update_mirror.util"

local EXIT = util.EXIT

local command = {
  description = "Exports a component that a mirror's repository holds into a folder.",
  names = 1,
}

function command.define(export)
  export:argument("component", "A component identifier, such as c3t4l1; the newest version held that matches.")
  export:argument("directory", "The folder to export into; it is made when missing.")
end

local function export(update, mirror, component, directory)
  local exported, code, message = update.extract(mirror.repository, component, directory)
  if not exported then
    util.say(io.stderr, "%s: %s", mirror.name, util.statusText(code, message))
    return EXIT.failed
  end
  util.say(io.stdout, "%s: exported %s into %s", mirror.name, component, directory)
  return EXIT.ok
end

function command.run(arguments, mirrors, context)
  local update = context.update
  local parsed, problem = pcall(update.tocomponent, arguments.component)
  if not parsed or problem == nil then
    return nil, ("%s is not a component identifier: %s"):format(arguments.component, tostring(problem or "hidden")),
      EXIT.usage
  end
  return library.session(update, export, update, mirrors[1], arguments.component, arguments.directory)
end

return command
