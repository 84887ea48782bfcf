-- The module and the relay library around a command: loading the module, a
-- session between the library's start-up and its shut-down, and the trust
-- file the relay reads.
local util = require "update_mirror.util"

local library = {}

library.TRUST_FILE = ".zelrelay.trust"

-- Loaded only once a command needs it, so --help and --completion work
-- without it.
function library.load()
  local loaded, update = pcall(require, "update")
  if not loaded then return nil, "cannot load the update module: " .. tostring(update) end
  return update
end

-- Runs body(...) with the library started, and shuts it down on every way
-- out: an error body raises (Ctrl-C's among them) is raised again after
-- that. What body returns, or nil and why the library did not start.
function library.session(update, body, ...)
  local started, code, message = update.startup()
  if not started then return nil, "the relay library did not start: " .. util.statusText(code, message) end
  local results = table.pack(pcall(body, ...))
  update.shutdown()
  if not results[1] then error(results[2], 0) end
  return table.unpack(results, 2, results.n)
end

-- One of the relay's programs, looked for beside update-mirror (in here)
-- first, so that an install under any prefix uses its own; or nil and why
-- not, for what saying it cannot do.
function library.program(here, name, doing)
  local candidates = { here .. "/" .. name }
  for folder in (os.getenv("PATH") or ""):gmatch("[^:]+") do candidates[#candidates + 1] = folder .. "/" .. name end
  for _, candidate in ipairs(candidates) do
    if os.execute(("test -f %s && test -x %s"):format(util.quote(candidate), util.quote(candidate))) == true then
      return candidate
    end
  end
  return nil, ("cannot %s: %s is neither beside %s nor on PATH; it comes with the relay"):format(doing, name, here)
end

-- Puts the mirror's keys where the relay reads them: true when done (or
-- the mirror trusts no keys), else nil and why it could not be.
function library.writeTrust(mirror)
  if not mirror.trust then return true end
  local lines = { ("threshold = %d"):format(mirror.trust.threshold) }
  for _, key in ipairs(mirror.trust.keys) do lines[#lines + 1] = "key = " .. key end
  local written, problem = util.writeAtomically(mirror.repository .. "/" .. library.TRUST_FILE,
    table.concat(lines, "\n") .. "\n")
  if not written then return nil, "cannot write the trust file: " .. tostring(problem) end
  return true
end

return library
