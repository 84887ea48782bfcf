-- status: the last attempt and the last success of each chosen mirror, or
-- its whole history, from the records run keeps. Runs nothing.
local display = require "update_mirror.display"
local history = require "update_mirror.history"
local report = require "update_mirror.report"
local util = require "update_mirror.util"

local EXIT = util.EXIT

local command = {
  description = "Shows the last attempt and the last success of a mirror (of every mirror without a name).",
  names = "?",
}

function command.define(status)
  status:flag("--history", "List every attempt kept, oldest first.")
  status:flag("--json", "Print the reports themselves as JSON, by mirror name.")
end

local function outcome(read)
  if util.succeeded(read.status) then return "succeeded" end
  return "failed: " .. display.statusText(read.status, read.message, display.subject(read))
end

-- The mirror's records; a mirror run before it kept any has the relay's
-- report of its last run.
local function records(mirror)
  local kept = history.read(mirror)
  if #kept > 0 then return kept end
  local read, text = report.read(mirror.repository .. "/" .. report.FILE)
  return { read and { report = read, text = text } or nil }
end

local function show(mirror, kept)
  local last, success = kept[#kept], history.lastSuccess(kept)
  local read = last.report
  util.say(io.stdout, "%s: last attempt %s, %.1f s, %s", mirror.name, read.started, read.seconds or 0, outcome(read))
  util.say(io.stdout, "%s: %s", mirror.name, display.countsLine(read))
  for _, line in ipairs(display.failureLines(mirror.name, read)) do
    if line:find(": failed ", 1, true) then util.say(io.stdout, "%s", line) end
  end
  if success ~= last then
    util.say(io.stdout, "%s: last success %s", mirror.name, success and success.report.started or "none recorded")
  end
end

local function list(mirror, kept)
  for _, record in ipairs(kept) do
    local read = record.report
    util.say(io.stdout, "%s: %s, %.1f s, %s; %s", mirror.name, read.started, read.seconds or 0, outcome(read),
      display.countsLine(read))
  end
end

-- JSON of the texts, null for none.
local function json(texts)
  local parts = {}
  for key, text in pairs(texts) do parts[#parts + 1] = ('"%s": %s'):format(key, text) end
  table.sort(parts)
  return "{" .. table.concat(parts, ", ") .. "}"
end

local function entry(kept, all)
  if all then
    local texts = {}
    for i, record in ipairs(kept) do texts[i] = record.text end
    return "[" .. table.concat(texts, ",\n  ") .. "]"
  end
  local success = history.lastSuccess(kept)
  return json { last_attempt = kept[#kept] and kept[#kept].text or "null",
    last_success = success and success.text or "null" }
end

function command.run(arguments, mirrors)
  local status, entries = EXIT.ok, {}
  for _, mirror in ipairs(mirrors) do
    local kept = records(mirror)
    entries[#entries + 1] = { name = mirror.name, text = entry(kept, arguments.history) }
    if #kept == 0 or not util.succeeded(kept[#kept].report.status) then status = EXIT.failed end
    if not arguments.json then
      if #kept == 0 then
        util.say(io.stdout, "%s: no attempt recorded in %s", mirror.name, history.folder(mirror))
      elseif arguments.history then
        list(mirror, kept)
      else
        show(mirror, kept)
      end
    end
  end
  if arguments.json then util.say(io.stdout, "%s", report.byName(entries)) end
  return status
end

return command
