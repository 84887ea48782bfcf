-- status: the last run of each chosen mirror, from the relay's report in
-- its repository. Runs nothing.
local display = require "update_mirror.display"
local report = require "update_mirror.report"
local util = require "update_mirror.util"

local EXIT = util.EXIT

local command = {
  description = "Shows the last run of a mirror (of every mirror without a name).",
  names = "?",
}

function command.define(status)
  status:flag("--json", "Print the last runs' reports as JSON, by mirror name.")
end

local function show(mirror, read)
  util.say(io.stdout, "%s: last run %s, %.1f s, %s", mirror.name, read.started, read.seconds or 0,
    util.succeeded(read.status) and "succeeded" or "failed: " .. util.statusText(read.status, read.message))
  util.say(io.stdout, "%s: %s", mirror.name, display.countsLine(read))
  for _, line in ipairs(display.failureLines(mirror.name, read)) do
    if line:find(": failed ", 1, true) then util.say(io.stdout, "%s", line) end
  end
end

function command.run(arguments, mirrors)
  local status, entries = EXIT.ok, {}
  for _, mirror in ipairs(mirrors) do
    local read, text = report.read(mirror.repository .. "/" .. report.FILE)
    entries[#entries + 1] = { name = mirror.name, text = text }
    if not read then
      status = EXIT.failed
      if not arguments.json then util.say(io.stdout, "%s: no run recorded in %s", mirror.name, mirror.repository) end
    else
      if not util.succeeded(read.status) then status = EXIT.failed end
      if not arguments.json then show(mirror, read) end
    end
  end
  if arguments.json then util.say(io.stdout, "%s", report.byName(entries)) end
  return status
end

return command
