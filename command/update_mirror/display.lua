-- What people read: sizes, a report's counts, failures and deletions, and a
-- run's progress, as a bar on a terminal or a line per package elsewhere.
local util = require "update_mirror.util"

local display = {}

local BAR_WIDTH = 30
local UNITS = { { 2 ^ 30, "GiB" }, { 2 ^ 20, "MiB" }, { 2 ^ 10, "KiB" } }
-- skipped is left out: what keepcount keeps from being copied is told on
-- every run, and is in the report.
local OUTCOMES = { "copied", "repaired", "present", "resumed", "failed", "pruned", "withdrawn", "dropped" }
-- What removed something the repository held, and its verb in a dry run.
local DELETIONS = { pruned = "would prune", withdrawn = "would withdraw", dropped = "would drop" }
-- Statuses whose subject is a folder of the mirror's own.
local LOCAL = { [-9] = "repository", [-26] = "repository", [-50] = "trust file" }
-- Failures of a source's proxy rather than of its server.
local PROXY = { [-37] = true, [-38] = true }

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

-- What a failure of the whole run is about, from the report: its folder,
-- the products that matched nothing, the room it needed, or the servers
-- (never credentials) of the sources that failed as the run did; nil when
-- the report does not say.
function display.subject(report)
  local status = report.status
  if LOCAL[status] then
    return status == -50 and report.repository .. "/.zelrelay.trust" or report.repository
  end
  if status == -41 then
    local unmatched = {}
    for _, request in ipairs(report.requested or {}) do
      if request.matched == false then unmatched[#unmatched + 1] = request.product end
    end
    return #unmatched > 0 and table.concat(unmatched, ", ") or nil
  end
  if status == -30 and report.space then
    return ("needs %s, %s available"):format(display.size(report.space.needed or 0),
      display.size(report.space.available or 0))
  end
  local where = {}
  for _, source in ipairs(report.sources or {}) do
    if source.status == status and source.url then
      local host = PROXY[status] and source.proxy and "proxy " .. source.proxy or source.host
      where[#where + 1] = host and ("%s (%s)"):format(host, source.url) or source.url
    end
  end
  if #where > 0 then return table.concat(where, ", ") end
  return report.index and report.index.source
end

-- A status and its message, with the subject when there is one.
function display.statusText(code, message, subject)
  return util.statusText(code, message) .. (subject and ": " .. subject or "")
end

-- A line per failed package, with the source it came from or the one the
-- run followed; one with the run's status when it failed without a
-- package to blame.
function display.failureLines(name, report)
  local lines = {}
  for _, package in ipairs(report.packages) do
    if package.outcome == "failed" then
      local source = package.source or (report.index and report.index.source)
      lines[#lines + 1] = ("%s: failed %s (%s)%s: %s"):format(name, tostring(package.component),
        tostring(package.path), source and " from " .. source or "",
        util.statusText(package.status or report.status, package.message or report.message))
    end
  end
  if #lines == 0 and not util.succeeded(report.status) then
    lines[1] = ("%s: %s"):format(name, display.statusText(report.status, report.message, display.subject(report)))
  end
  return lines
end

-- A line per component the run removed from the repository, or would.
function display.deletionLines(name, report)
  local lines = {}
  for _, package in ipairs(report.packages) do
    local verb = DELETIONS[package.outcome]
    if verb then
      lines[#lines + 1] = ("%s: %s %s (%s)"):format(name, report.dry_run and verb or package.outcome,
        tostring(package.component), tostring(package.path))
    end
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
