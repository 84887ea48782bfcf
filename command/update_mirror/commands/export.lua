-- export: a component that a mirror's repository holds, into a folder.
local config = require "update_mirror.config"
local display = require "update_mirror.display"
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
    util.say(io.stderr, "%s: %s", mirror.name, display.statusText(code, message, code == -9 and mirror.repository
      or nil))
    return EXIT.failed
  end
  util.say(io.stdout, "%s: exported %s into %s", mirror.name, component, directory)
  return EXIT.ok
end

function command.run(arguments, mirrors, context)
  local update = context.update
  local parsed, problem = config.parse(update, "tocomponent", arguments.component)
  if not parsed then
    return nil, ("%s is not a component identifier: %s"):format(arguments.component, problem), EXIT.usage
  end
  return library.session(update, export, update, mirrors[1], arguments.component, arguments.directory)
end

return command
