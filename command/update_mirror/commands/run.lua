-- run: mirrors the chosen mirrors one after the other, says how each went,
-- keeps each attempt in the mirror's history, and writes their reports and
-- metrics when asked.
local display = require "update_mirror.display"
local history = require "update_mirror.history"
local library = require "update_mirror.library"
local metrics = require "update_mirror.metrics"
local report = require "update_mirror.report"
local signals = require "update_mirror.signals"
local stdlib = require "posix.stdlib"
local time = require "posix.time"
local util = require "update_mirror.util"

local EXIT = util.EXIT
-- The relay's lock file, which its progress names while it waits for it.
local LOCK = ".zelrelay.lock"
-- The relay's variables that a mirror's settings give, and the one a
-- run's switch gives; anything else the user set stays as it is.
local SETTINGS = { retries = "ZELRELAY_RETRIES", timeout = "ZELRELAY_STALL_TIMEOUT",
  connect_timeout = "ZELRELAY_CONNECT_TIMEOUT" }

local command = {
  description = "Mirrors the named mirrors in the order given, or every mirror in name order.",
  names = "*",
}

function command.define(run)
  run:flag("-q --quiet", "Print nothing unless something failed; then one line per failed package.")
  run:flag("-n --dry-run", "Report what would be copied and deleted, and change nothing.")
  run:flag("--verify", "Hash every package and merged member the runs rely on, and copy again what is damaged.")
  run:option("--wait", "Give up a mirror whose repository another writer holds for longer than this.")
    :argname("<seconds>"):convert(function(text)
      local seconds = tonumber(text)
      if seconds and seconds >= 0 then return seconds end
      return nil, "--wait takes a number of seconds, 0 or more"
    end)
  run:flag("--json", "Print the runs' reports as JSON, by mirror name.")
  run:option("--metrics", "Write the runs in the Prometheus text format into this file, for a textfile collector.")
    :argname("<file>")
end

local function now()
  local clock = time.clock_gettime(time.CLOCK_REALTIME)
  return clock.tv_sec + clock.tv_nsec / 1e9
end

-- Who holds the repository's lock, as the holder's line in it says.
local function holder(mirror)
  local line = util.readFile(mirror.repository .. "/" .. LOCK) or ""
  local pid, since = line:match("^(%d+) (%S+)\n")
  if pid then return ("held by process %s since %s"):format(pid, since) end
  return "held by another writer"
end

-- While the relay waits for another writer: a line to say so, once, and
-- with --wait, true once the wait is over, which cancels it.
local function waiting(mirror, watched, settings)
  if not watched.waiting then
    watched.waiting, watched.holder = now(), holder(mirror)
    if settings.note then
      util.say(settings.note, "%s: waiting for %s: %s", mirror.name, mirror.repository, watched.holder)
    end
  end
  if settings.wait and now() - watched.waiting >= settings.wait then watched.gaveUp = true end
end

-- The handlers of a run's events: what they saw goes into watched, for a
-- report when the relay leaves none, and show displays it. A Ctrl-C that
-- lands in a handler, or a signal caught before, makes it and every later
-- one answer true, which cancels the run; the relay leaves it as it leaves
-- any cancelled run. So does a wait for the lock that went on too long.
local function watch(mirror, settings)
  local name, show = mirror.name, settings.show
  local watched = { begun = {}, order = {}, done = {}, removeFailures = {} }
  local bodies = {
    downloadbegin = function(event)
      if not watched.begun[event.information] then watched.order[#watched.order + 1] = event.information end
      watched.begun[event.information] = event.total
    end,
    download = function(event)
      watched.done[event.information] = event.total
      show.copied(name, event)
    end,
    progress = function(event)
      if event.information == LOCK then waiting(mirror, watched, settings) end
      show.progress(name, event)
    end,
    downloadend = function(event) show.finish(name, event) end,
    removefailed = function(event) watched.removeFailures[#watched.removeFailures + 1] = event.information end,
  }
  local handlers = {}
  for event, body in pairs(bodies) do
    handlers[event] = function(data)
      if signals.caught then watched.interrupted = true end
      if watched.interrupted or watched.gaveUp then return true end
      local ran, problem = pcall(body, data)
      if not ran then
        if util.isInterruption(problem) then
          watched.interrupted = true
        else
          watched.fault = watched.fault or problem
        end
      end
      return watched.interrupted or watched.gaveUp
    end
  end
  return watched, handlers
end

-- The module's call for the mirror's selection; its status triple after
-- the result, or false and the error it raised.
local function duplicate(update, mirror, options, dryRun)
  if type(mirror.select) == "table" then
    local ran, result, code, message = pcall(update.components, mirror.repository, mirror.products, mirror.sources,
      options, mirror.select.components)
    -- The module never cleans up after components; the config's clean
    -- means the same whatever the selection.
    if ran and mirror.clean and not dryRun then update.removeek(mirror.repository) end
    return ran, result, code, message
  end
  return pcall(update[mirror.select], mirror.repository, mirror.products, mirror.sources, options)
end

-- The relay's variables for this mirror's run: its name, where its report
-- goes, and the mirror's settings, or what the user had set without them.
local function environment(mirror, run, reportPath, user)
  stdlib.setenv("ZELRELAY_RUN", run)
  stdlib.setenv("ZELRELAY_REPORT", reportPath)
  stdlib.setenv("ZELRELAY_DELETE_UNLISTED", mirror.delete and "1" or nil)
  for key, variable in pairs(SETTINGS) do
    stdlib.setenv(variable, mirror[key] and tostring(mirror[key]) or user[variable])
  end
end

-- Where the run's report goes: its record in the mirror's history, or for a
-- dry run, which touches nothing, and when no record can be kept, a
-- temporary file; and why no record is kept.
local function reportPlace(mirror, run, dryRun)
  if dryRun then return os.tmpname() end
  local path, problem = history.begin(mirror, run)
  if path then return path end
  return os.tmpname(), problem
end

local function gaveUp(mirror, watched)
  return ("gave up waiting for %s after %g s: %s"):format(mirror.repository,
    math.floor((now() - watched.waiting) * 10 + 0.5) / 10, watched.holder)
end

-- The lines a run leaves on standard error.
local function failures(mirror, read, watched, code, message, unrecorded)
  local lines = display.failureLines(mirror.name, read)
  if watched.gaveUp then
    lines = { mirror.name .. ": " .. read.message }
  elseif #lines == 0 and not util.succeeded(code) then
    lines[1] = mirror.name .. ": " .. util.statusText(code, message)
  end
  for _, path in ipairs(watched.removeFailures) do lines[#lines + 1] = mirror.name .. ": could not remove " .. path end
  if watched.fault then lines[#lines + 1] = mirror.name .. ": " .. tostring(watched.fault) end
  if unrecorded then lines[#lines + 1] = mirror.name .. ": " .. unrecorded end
  return lines
end

local function runOne(update, mirror, settings)
  local started, run = now(), history.runName()
  local reportPath, unrecorded = reportPlace(mirror, run, settings.dryRun)
  local recorded = not (settings.dryRun or unrecorded)
  environment(mirror, run, reportPath, settings.user)
  local watched, options = watch(mirror, settings)
  for key, value in pairs(mirror.options) do options[key] = value end
  -- A dry run writes nothing, and the module's clean-up would.
  options.ek = settings.dryRun or not mirror.clean
  -- A trust file that cannot be written fails the run as an error would.
  local ran, result, code, message = library.writeTrust(mirror)
  if ran then ran, result, code, message = duplicate(update, mirror, options, settings.dryRun) end
  if not ran then
    if util.isInterruption(result) then watched.interrupted = true end
    code, message = 0, tostring(result)
  end
  if watched.interrupted then code, message = util.CANCELLED, "cancelled" end
  -- Only its own report: another writer's, or a former run's, is not this run.
  local read, text = report.read(reportPath, run)
  if not read then read = report.fromEvents(mirror, watched, started, now(), code, message, settings.dryRun, run) end
  -- A run that gave up waiting is kept as such, not as one cancelled.
  if watched.gaveUp then read.message = gaveUp(mirror, watched) end
  if not text or watched.gaveUp then
    text = report.encode(read)
    if recorded then util.writeAtomically(reportPath, text .. "\n") end
  end
  if recorded then history.trim(mirror) else os.remove(reportPath) end
  return { name = mirror.name, report = read, text = text, failures = failures(mirror, read, watched, code, message,
    unrecorded), failed = not util.succeeded(code) or watched.fault ~= nil or #watched.removeFailures > 0,
    cancelled = code == util.CANCELLED and not watched.gaveUp, mirror = mirror }
end

-- Puts a mirror that says so into its bucket once its run succeeded: a
-- line of what went up, or of why it did not.
local function push(mirror, settings)
  local program, problem = library.program(settings.here, "zelrelay-push", "push")
  if not program then return nil, mirror.name .. ": " .. problem end
  local pipe = io.popen(("%s %s %s 2>&1"):format(util.quote(program), util.quote(mirror.repository),
    util.quote(mirror.push)))
  local said = pipe:read("*a"):gsub("%s+$", ""):gsub("^zelrelay%-push: ", "")
  local _, how, code = pipe:close()
  if how == "exit" and code == 0 then return mirror.name .. ": " .. said end
  return nil, mirror.name .. ": push to " .. mirror.push .. " failed: " .. said
end

-- Runs the mirrors in turn, into runs, until one is cancelled; returns the
-- exit status they come to.
local function runAll(update, mirrors, arguments, settings, runs)
  if settings.dryRun then
    local set, code, message = update.set_mode(1)
    if not set then return nil, "cannot switch to dry runs: " .. util.statusText(code, message) end
  end
  local status = EXIT.ok
  for _, mirror in ipairs(mirrors) do
    if signals.caught then return signals.status() end
    local run = runOne(update, mirror, settings)
    runs[#runs + 1] = run
    if not (arguments.quiet or arguments.json) then
      for _, line in ipairs(display.deletionLines(run.name, run.report)) do util.say(io.stdout, "%s", line) end
      util.say(io.stdout, "%s: %s%s", run.name, display.countsLine(run.report), settings.dryRun and " (dry run)" or "")
    end
    if run.cancelled then
      util.say(io.stderr, "%s: cancelled", run.name)
      return signals.status() or EXIT.interrupted
    end
    if mirror.push and not settings.dryRun and not run.failed and #run.failures == 0 then
      local pushed, problem = push(mirror, settings)
      if pushed and not (arguments.quiet or arguments.json) then util.say(io.stdout, "%s", pushed) end
      if problem then run.failures[#run.failures + 1] = problem end
    end
    for _, line in ipairs(run.failures) do util.say(io.stderr, "%s", line) end
    if run.failed or #run.failures > 0 then status = EXIT.failed end
  end
  return status
end

function command.run(arguments, mirrors, context)
  if arguments.metrics and arguments.dry_run then
    return nil, "--metrics records real runs; a dry run would pass for one", EXIT.usage
  end
  local kind, stream = "lines", io.stdout
  if arguments.json then
    kind, stream = display.isTerminal(2) and "bar" or "silent", io.stderr
  elseif arguments.quiet then
    kind = "silent"
  elseif display.isTerminal(1) then
    kind = "bar"
  end
  local verb = arguments.dry_run and "would copy" or "copied"
  local settings = { dryRun = arguments.dry_run, show = display.progress(kind, stream, verb), wait = arguments.wait,
    note = not arguments.quiet and stream or nil, user = {}, here = context.here }
  for _, variable in pairs(SETTINGS) do settings.user[variable] = os.getenv(variable) end
  -- The relay reads its switches from the environment at each run.
  if arguments.verify then stdlib.setenv("ZELRELAY_VERIFY", "1") end
  local runs = {}
  signals.watch()
  local ran, status, problem = pcall(library.session, context.update, runAll, context.update, mirrors, arguments,
    settings, runs)
  signals.forget()
  if not ran then error(status, 0) end
  if not status then return nil, problem end
  if arguments.json then util.say(io.stdout, "%s", report.byName(runs)) end
  if arguments.metrics then
    for _, run in ipairs(runs) do run.lastSuccess = history.lastSuccess(history.read(run.mirror)) end
    local written, writeProblem = util.writeAtomically(arguments.metrics, metrics.text(runs))
    if not written then
      util.say(io.stderr, "update-mirror: cannot write the metrics: %s", tostring(writeProblem))
      if status == EXIT.ok then status = EXIT.failed end
    end
  end
  return status
end

return command
