-- run: mirrors the chosen mirrors one after the other, says how each went,
-- and writes their reports and metrics when asked.
local display = require "update_mirror.display"
local library = require "update_mirror.library"
local metrics = require "update_mirror.metrics"
local report = require "update_mirror.report"
local signals = require "update_mirror.signals"
local stdlib = require "posix.stdlib"
local util = require "update_mirror.util"

local EXIT = util.EXIT
-- Dry runs write no report into the repository; the relay writes one where
-- this names a file, and only the user can set it, since Lua cannot.
local DRY_RUN_REPORT_VARIABLE = "ZELRELAY_REPORT"

local command = {
  description = "Mirrors the named mirrors in the order given, or every mirror in name order.",
  names = "*",
}

function command.define(run)
  run:flag("-q --quiet", "Print nothing unless something failed; then one line per failed package.")
  run:flag("-n --dry-run", "Report what would be copied, and copy nothing.")
  run:flag("--verify", "Hash every package and merged member the runs rely on, and copy again what is damaged.")
  run:flag("--json", "Print the runs' reports as JSON, by mirror name.")
  run:option("--metrics", "Write the runs in the Prometheus text format into this file, for a textfile collector.")
    :argname("<file>")
end

-- The handlers of a run's events: what they saw goes into watched, for a
-- report when the relay leaves none, and show displays it. A Ctrl-C that
-- lands in a handler, or a signal caught before, makes it and every later
-- one answer true, which cancels the run; the relay leaves it as it leaves
-- any cancelled run.
local function watch(name, show)
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
    progress = function(event) show.progress(name, event) end,
    downloadend = function(event) show.finish(name, event) end,
    removefailed = function(event) watched.removeFailures[#watched.removeFailures + 1] = event.information end,
  }
  local handlers = {}
  for event, body in pairs(bodies) do
    handlers[event] = function(data)
      if signals.caught then watched.interrupted = true end
      if watched.interrupted then return true end
      local ran, problem = pcall(body, data)
      if not ran then
        if util.isInterruption(problem) then
          watched.interrupted = true
        else
          watched.fault = watched.fault or problem
        end
      end
      return watched.interrupted
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

local function runOne(update, mirror, settings)
  local started = os.time()
  local watched, options = watch(mirror.name, settings.show)
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
  local reportPath = mirror.repository .. "/" .. report.FILE
  if settings.dryRun then reportPath = os.getenv(DRY_RUN_REPORT_VARIABLE) end
  local read, text = report.read(reportPath, started)
  if not read then read = report.fromEvents(mirror, watched, started, code, message, settings.dryRun) end
  local failures = display.failureLines(mirror.name, read)
  if #failures == 0 and not util.succeeded(code) then
    failures[1] = mirror.name .. ": " .. util.statusText(code, message)
  end
  for _, path in ipairs(watched.removeFailures) do
    failures[#failures + 1] = mirror.name .. ": could not remove " .. path
  end
  if watched.fault then failures[#failures + 1] = mirror.name .. ": " .. tostring(watched.fault) end
  return { name = mirror.name, report = read, text = text or report.encode(read), failures = failures,
    failed = not util.succeeded(code) or #failures > 0, cancelled = code == util.CANCELLED }
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
      util.say(io.stdout, "%s: %s%s", run.name, display.countsLine(run.report), settings.dryRun and " (dry run)" or "")
    end
    if run.cancelled then
      util.say(io.stderr, "%s: cancelled", run.name)
      return signals.status() or EXIT.interrupted
    end
    for _, line in ipairs(run.failures) do util.say(io.stderr, "%s", line) end
    if run.failed then status = EXIT.failed end
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
  local settings = { dryRun = arguments.dry_run, show = display.progress(kind, stream, verb) }
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
    local written, writeProblem = util.writeAtomically(arguments.metrics, metrics.text(runs))
    if not written then
      util.say(io.stderr, "update-mirror: cannot write the metrics: %s", tostring(writeProblem))
      if status == EXIT.ok then status = EXIT.failed end
    end
  end
  return status
end

return command
