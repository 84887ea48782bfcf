-- update-mirror's command line: the parser, the module, the configuration
-- and the command, and the exit status they come to.
--
-- A command is a module update_mirror.commands.NAME: its description for
-- --help; names, how many mirror names it takes (argparse's args: "*", "?"
-- or 1), which come first on its line; define(part), when it takes more,
-- adds them to its part of the parser; and run(arguments, mirrors,
-- context) runs it on the mirrors named (all of them without a name) and
-- returns the exit status, or nil, a message and the exit status
-- (EXIT.failed without one). context holds update, the module, and here,
-- the folder of update-mirror.
local argparse = require "argparse"
local config = require "update_mirror.config"
local library = require "update_mirror.library"
local util = require "update_mirror.util"

local EXIT = util.EXIT
local DEFAULT_CONFIG = "/etc/update-mirror.lua"
-- In the order --help lists them.
local COMMANDS = { "run", "list", "verify", "status", "export", "check" }

local cli = {}

-- The parser, and each command's module and part of it by name.
local function newParser()
  local parser = argparse("update-mirror", "Keeps the mirrors of update repositories that a configuration file "
    .. "describes.")
    :epilog("Exit status: 0 all well, 1 a mirror failed or something is damaged, 2 a usage or configuration error, "
      .. "130 interrupted, 143 and 129 stopped by SIGTERM and SIGHUP. See update-mirror(1).")
  parser:help_max_width(100)
  parser:option("-c --config", "The configuration file (default: $UPDATE_MIRROR_CONFIG, else " .. DEFAULT_CONFIG
    .. ").")
    :argname("<file>")
  parser:add_complete()
  parser:command_target("command")
  local commands, parts = {}, {}
  for _, name in ipairs(COMMANDS) do
    local command = require("update_mirror.commands." .. name)
    local part = parser:command(name, command.description)
    part:argument("name", "A mirror of the configuration."):args(command.names)
    if command.define then command.define(part) end
    commands[name], parts[name] = command, part
  end
  return parser, commands, parts
end

-- pparse says what is wrong, not whose usage to show: that of the command
-- on the line, when there is one.
local function usage(parser, parts, args)
  for i, word in ipairs(args) do
    local option = args[i - 1] == "-c" or args[i - 1] == "--config"
    if parts[word] and not option then return parts[word]:get_usage() end
  end
  return parser:get_usage()
end

local function fail(status, problem)
  util.say(io.stderr, "update-mirror: %s", problem)
  return status
end

-- arguments.name is a list of mirror names, one or none.
local function execute(command, arguments, here)
  local update, problem = library.load()
  if not update then return fail(EXIT.failed, problem) end
  local file = arguments.config or os.getenv("UPDATE_MIRROR_CONFIG") or DEFAULT_CONFIG
  local mirrors, mistake = config.load(file, update)
  if not mirrors then return fail(EXIT.usage, mistake) end
  local names = type(arguments.name) == "table" and arguments.name or { arguments.name }
  local chosen, unknown = config.choose(mirrors, names, file)
  if not chosen then return fail(EXIT.usage, unknown) end
  local status, failure, failureStatus = command.run(arguments, chosen, { update = update, here = here })
  if not status then return fail(failureStatus or EXIT.failed, failure) end
  return status
end

-- The exit status of update-mirror with the command line args (arg's
-- form); here is the folder it was started from. --help and --completion
-- exit in the parser, as argparse does, before anything else happens.
function cli.main(args, here)
  local parser, commands, parts = newParser()
  local parsed, arguments = parser:pparse(args)
  -- A usage error is 2, as the man page's status table says, not the 1 of
  -- argparse's own parse.
  if not parsed then
    io.stderr:write(usage(parser, parts, args), "\n\nError: ", arguments, "\n")
    return EXIT.usage
  end
  local ran, status = pcall(execute, commands[arguments.command], arguments, here)
  if ran then return status end
  if util.isInterruption(status) then return fail(EXIT.interrupted, "interrupted") end
  return fail(EXIT.failed, "unexpected failure, please report it: " .. tostring(status))
end

return cli
