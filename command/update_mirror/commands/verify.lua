-- verify: the relay's zelrelay-verify on each chosen mirror's repository,
-- which checks it against its index and changes nothing.
local cjson = require "cjson"
local library = require "update_mirror.library"
local report = require "update_mirror.report"
local util = require "update_mirror.util"

local EXIT = util.EXIT
local VERIFY_PROGRAM = "zelrelay-verify"

local command = {
  description = "Checks a mirror's repository against its index, and changes nothing.",
  names = "?",
}

function command.define(verify)
  verify:flag("--json", "Print what the check found as JSON, by mirror name.")
end

function command.run(arguments, mirrors, context)
  local program, problem = library.program(context.here, VERIFY_PROGRAM, "verify")
  if not program then return nil, problem end
  local status, entries = EXIT.ok, {}
  for _, mirror in ipairs(mirrors) do
    local flags = arguments.json and " --json " or " "
    local pipe = io.popen(util.quote(program) .. flags .. util.quote(mirror.repository))
    local output = pipe:read("*a")
    local _, how, code = pipe:close()
    if not (how == "exit" and code == 0) then status = EXIT.failed end
    if arguments.json then
      local decoded = pcall(cjson.decode, output)
      entries[#entries + 1] = { name = mirror.name, text = decoded and output:gsub("%s+$", "") or nil }
    else
      for line in output:gmatch("[^\n]+") do util.say(io.stdout, "%s: %s", mirror.name, line) end
    end
    if not (how == "exit" and (code == 0 or code == 1)) then
      util.say(io.stderr, "%s: %s could not check %s (%s %s)", mirror.name, VERIFY_PROGRAM, mirror.repository, how,
        code)
    end
  end
  if arguments.json then util.say(io.stdout, "%s", report.byName(entries)) end
  return status
end

return command
