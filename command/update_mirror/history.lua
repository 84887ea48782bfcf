-- Each mirror's attempts: one run report a file in STATE/history/ (STATE is
-- the mirror's state folder, REPOSITORY/.update-mirror unless its config
-- says otherwise), named after the moment the attempt began, so that names
-- sort as attempts came. Every real run leaves one, also a run that failed
-- before the relay wrote a report; a dry run none. Only the newest
-- mirror.history are kept.
local dirent = require "posix.dirent"
local stat = require "posix.sys.stat"
local time = require "posix.time"
local unistd = require "posix.unistd"
local report = require "update_mirror.report"
local util = require "update_mirror.util"

local history = {}

local NAME = "^%d%d%d%d%d%d%d%dT%d%d%d%d%d%d%.%d%d%dZ%-%d+%.json$"

function history.folder(mirror)
  return mirror.state .. "/history"
end

-- The state folder and its history, made when missing; the folder above
-- them must be there: a missing repository is not made here.
local function make(mirror)
  for _, folder in ipairs { mirror.state, history.folder(mirror) } do
    local made, problem, code = stat.mkdir(folder, 493)  -- 0755
    if not made and code ~= 17 then return nil, problem end  -- 17: EEXIST
  end
  return true
end

-- A name for a run begun now, which no other run has: the moment, to the
-- millisecond, and the process.
function history.runName()
  local now = time.clock_gettime(time.CLOCK_REALTIME)
  return ("%s.%03dZ-%d"):format(os.date("!%Y%m%dT%H%M%S", now.tv_sec), math.floor(now.tv_nsec / 1e6),
    unistd.getpid())
end

-- The file the report of the mirror's run goes to, as its record; or nil
-- and why no record can be kept.
function history.begin(mirror, run)
  local made, problem = make(mirror)
  if not made then
    return nil, ("cannot keep the attempt's record in %s: %s"):format(history.folder(mirror), problem)
  end
  return history.folder(mirror) .. "/" .. run .. ".json"
end

local function names(mirror)
  local listed = {}
  local ok, entries = pcall(dirent.dir, history.folder(mirror))
  for _, name in ipairs(ok and entries or {}) do
    if name:match(NAME) then listed[#listed + 1] = name end
  end
  table.sort(listed)
  return listed
end

-- Leaves the newest mirror.history records.
function history.trim(mirror)
  local listed = names(mirror)
  for i = 1, #listed - mirror.history do os.remove(history.folder(mirror) .. "/" .. listed[i]) end
end

-- The records as { report = ..., text = ... }, oldest first; one that does
-- not read is left out.
function history.read(mirror)
  local records = {}
  for _, name in ipairs(names(mirror)) do
    local read, text = report.read(history.folder(mirror) .. "/" .. name)
    if read then records[#records + 1] = { report = read, text = text } end
  end
  return records
end

-- The newest record of a run that succeeded, or nil.
function history.lastSuccess(records)
  for i = #records, 1, -1 do
    if util.succeeded(records[i].report.status) then return records[i] end
  end
end

return history
