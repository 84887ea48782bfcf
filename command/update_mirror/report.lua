-- Run reports: the relay's, which it leaves in the repository after every
-- duplication, or one made of what a run's events said; their JSON, and the
-- summary the metrics read.
local cjson = require "cjson"
local util = require "update_mirror.util"

local report = {}

report.FILE = ".zelrelay.report.json"

-- Seconds since the epoch of a UTC stamp such as 2026-12-09T20:03:36Z (a
-- fraction of a second is ignored); nil for anything else.
function report.utcSeconds(stamp)
  local year, month, day, hour, minute, second =
    tostring(stamp):match("^(%d%d%d%d)-(%d%d)-(%d%d)T(%d%d):(%d%d):(%d%d)[%.%d]*Z$")
  if not year then return nil end
  -- Days since 1970-01-01 of a proleptic Gregorian date, without os.time's
  -- reading of the table as local time.
  year, month = tonumber(year) - (tonumber(month) <= 2 and 1 or 0), tonumber(month)
  local era = math.floor(year / 400)
  local yearOfEra = year - era * 400
  local dayOfYear = math.floor((153 * ((month + 9) % 12) + 2) / 5) + tonumber(day) - 1
  local dayOfEra = yearOfEra * 365 + math.floor(yearOfEra / 4) - math.floor(yearOfEra / 100) + dayOfYear
  local days = era * 146097 + dayOfEra - 719468
  return ((days * 24 + tonumber(hour)) * 60 + tonumber(minute)) * 60 + tonumber(second)
end

function report.utcStamp(seconds)
  return os.date("!%Y-%m-%dT%H:%M:%SZ", seconds)
end

local function withoutNulls(value)
  if type(value) ~= "table" then return value end
  for key, item in pairs(value) do
    if item == cjson.null then value[key] = nil else withoutNulls(item) end
  end
  return value
end

-- The report at path and its text; nil when there is none, it is not one,
-- or run names a run and it is another's.
function report.read(path, run)
  local text = path and util.readFile(path)
  if not text then return nil end
  local decoded, read = pcall(cjson.decode, text)
  if not decoded or type(read) ~= "table" or read.format ~= 1 then return nil end
  withoutNulls(read)
  local started = report.utcSeconds(read.started)
  if not started or type(read.totals) ~= "table" or type(read.packages) ~= "table" then return nil end
  if run and read.run ~= run then return nil end
  return read, (text:gsub("%s+$", ""))
end

-- A report of what the events of a run said (see commands.run's watch),
-- without the counts they do not give; run is the run's name, started and
-- ended are seconds since the epoch.
function report.fromEvents(mirror, watched, started, ended, code, message, dryRun, run)
  local packages, totals = {}, { packages = 0, copied = 0, failed = 0, bytes = 0 }
  for _, path in ipairs(watched.order) do
    local done = watched.done[path]
    local outcome = done and "copied" or "failed"
    -- Packages a cancel cut short did not fail: they were not waited for.
    if done or code ~= util.CANCELLED then
      packages[#packages + 1] = { component = path:match("([^/]+)%.zip$") or path, path = path, outcome = outcome,
        size = watched.begun[path], bytes = done or 0, status = not done and code or nil,
        message = not done and message or nil }
      totals.packages, totals[outcome] = totals.packages + 1, totals[outcome] + 1
      totals.bytes = totals.bytes + (done or 0)
    end
  end
  return { format = 1, repository = mirror.repository, run = run, started = report.utcStamp(started),
    ended = report.utcStamp(ended), seconds = math.floor((ended - started) * 1000 + 0.5) / 1000, dry_run = dryRun,
    status = code, message = message,
    packages = packages, totals = totals, from_events = true }
end

-- cjson writes an empty table as an object; packages is always a list.
function report.encode(made)
  local packages = {}
  for i, package in ipairs(made.packages) do packages[i] = cjson.encode(package) end
  local rest = {}
  for key, value in pairs(made) do
    if key ~= "packages" then rest[key] = value end
  end
  local head = cjson.encode(rest):sub(1, -2)
  return head .. (head == "{" and "" or ",") .. '"packages":[' .. table.concat(packages, ",") .. "]}"
end

-- What the metrics show of a report; a value it cannot know is nil.
function report.summary(read)
  local totals = read.totals
  return { started = report.utcSeconds(read.started), seconds = read.seconds,
    success = util.succeeded(read.status) and 1 or 0, copied = totals.copied, failed = totals.failed,
    repaired = totals.repaired,
    present = totals.present, bytes = totals.bytes }
end

-- One JSON object of the entries' texts by name, in the entries' order
-- (null for an entry without one).
function report.byName(entries)
  local parts = {}
  for _, entry in ipairs(entries) do parts[#parts + 1] = cjson.encode(entry.name) .. ": " .. (entry.text or "null") end
  return "{" .. table.concat(parts, ",\n ") .. "}"
end

return report
