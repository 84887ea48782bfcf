-- What people read: sizes, a report's counts and failures, and a run's
-- progress, as a bar on a terminal or a line per package elsewhere.
local util = require "update_mirror.util"

local display = {}

local BAR_WIDTH = 30
local UNITS = { { 2 ^ 30, "GiB" }, { 2 ^ 20, "MiB" }, { 2 ^ 10, "KiB" } }
local OUTCOMES = { "copied", "repaired", "present", "resumed", "failed", "pruned", "dropped" }

function display.size(bytes)
  for _, unit in ipairs(UNITS) do
    if bytes >= unit[1] then return ("%.1f %s"):format(bytes / unit[1], unit[2]) end
  end
  return ("%d B"):format(bytes)
end

function display.countsLine(report)
  local parts = {}
  for _, outcome in ipairs(OUTCOMES) do
    local count = report.totals[outcome]
    if count and (count > 0 or outcome == "copied") then parts[#parts + 1] = ("%d %s"):format(count, outcome) end
  end
  return ("%s; %s moved"):format(table.concat(parts, ", "), display.size(report.totals.bytes or 0))
end

-- A line per failed package; one with the run's status when it failed
-- without a package to blame.
function display.failureLines(name, report)
  local lines = {}
  for _, package in ipairs(report.packages) do
    if package.outcome == "failed" then
      lines[#lines + 1] = ("%s: failed %s (%s)%s: %s"):format(name, tostring(package.component),
        tostring(package.path), package.source and " from " .. package.source or "",
        util.statusText(package.status or report.status, package.message or report.message))
    end
  end
  if #lines == 0 and not util.succeeded(report.status) then
    lines[1] = ("%s: %s"):format(name, util.statusText(report.status, report.message))
  end
  return lines
end

function display.isTerminal(descriptor)
  return os.execute("test -t " .. descriptor) == true
end

-- What a run shows on stream as its events come: kind is "bar", "lines"
-- (verb says what happened to each package) or "silent".
function display.progress(kind, stream, verb)
  local shown = {}
  local function bar(name, finished, total)
    local share = total > 0 and math.min(finished / total, 1) or 1
    local filled = math.floor(share * BAR_WIDTH + 0.5)
    stream:write(("\r%s [%s%s] %3d%%  %s of %s\27[K"):format(name, ("#"):rep(filled), ("."):rep(BAR_WIDTH - filled),
      math.floor(share * 100 + 0.5), display.size(finished), display.size(total)))
    stream:flush()
    shown[name] = true
  end
  if kind == "bar" then
    return {
      -- With nothing counted yet, the relay is waiting (for the lock, for an
      -- index): no bar until there is something to show.
      progress = function(name, event)
        if event.total > 0 then bar(name, event.finished, event.total) end
      end,
      copied = function() end,
      finish = function(name, event)
        if shown[name] then
          bar(name, event.finished, event.total)
          stream:write("\n")
        end
      end,
    }
  end
  local nothing = function() end
  if kind == "lines" then
    return { progress = nothing, finish = nothing, copied = function(name, event)
      util.say(stream, "%s: %s %s (%s)", name, verb, event.information, display.size(event.total))
    end }
  end
  return { progress = nothing, copied = nothing, finish = nothing }
end

return display
