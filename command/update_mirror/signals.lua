-- SIGTERM (what systemd and timeout send) and SIGHUP (a terminal that went
-- away) stop a run as Ctrl-C does: once one has come, every handler of the
-- run's events answers true, the relay cancels and writes its report, and
-- update-mirror exits with 128 and the signal's number. The relay tells
-- progress while it waits (for the lock, for an index), so a handler hears
-- of it soon. Lua's own interpreter raises Ctrl-C as an error instead.
local signal = require "posix.signal"

local signals = {}

-- The signal that came first, while watching; nil before one does.
signals.caught = nil

local WATCHED = { "SIGTERM", "SIGHUP" }
local saved = {}

-- From now on until forget, the signals are noted instead of ending the
-- process: only while a run can answer them.
function signals.watch()
  for _, name in ipairs(WATCHED) do
    saved[name] = signal.signal(signal[name], function(number) signals.caught = signals.caught or number end)
  end
end

function signals.forget()
  for _, name in ipairs(WATCHED) do signal.signal(signal[name], saved[name] or signal.SIG_DFL) end
end

-- The exit status a caught signal calls for, or nil.
function signals.status()
  return signals.caught and 128 + signals.caught
end

return signals
