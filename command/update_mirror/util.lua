-- What every part of update-mirror leans on: the exit statuses, output,
-- status texts, paths, and files read whole and written whole.
local stdlib = require "posix.stdlib"
local unistd = require "posix.unistd"

local util = {}

-- A function that can fail returns its result, or nil, a message and, when
-- the failure is not EXIT.failed, the exit status it calls for.
util.EXIT = { ok = 0, failed = 1, usage = 2, interrupted = 130 }

-- The relay's status of a cancelled run.
util.CANCELLED = -13

function util.say(stream, text, ...)
  stream:write(select("#", ...) > 0 and text:format(...) or text, "\n")
end

function util.quote(text)
  return "'" .. tostring(text):gsub("'", "'\\''") .. "'"
end

function util.succeeded(code)
  return type(code) == "number" and code > 0
end

function util.statusText(code, message)
  if code == nil then return message or "unknown failure" end
  return ("status %d: %s"):format(code, message or "")
end

function util.sortedKeys(map)
  local keys = {}
  for key in pairs(map) do keys[#keys + 1] = key end
  table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
  return keys
end

-- Ctrl-C makes the interpreter raise "interrupted!" in whatever Lua code
-- runs next.
function util.isInterruption(problem)
  return tostring(problem):find("interrupted!$") ~= nil
end

-- path made absolute against the folder base, with "." and ".." and
-- repeated slashes resolved in the text; links as well when it exists, so
-- that two spellings of one folder come out the same.
function util.canonical(path, base)
  if path:sub(1, 1) ~= "/" then path = (base or unistd.getcwd()) .. "/" .. path end
  local parts = {}
  for part in path:gmatch("[^/]+") do
    if part == ".." then
      parts[#parts] = nil
    elseif part ~= "." then
      parts[#parts + 1] = part
    end
  end
  local lexical = "/" .. table.concat(parts, "/")
  return stdlib.realpath(lexical) or lexical
end

function util.folderOf(path)
  return path:match("^(.*)/[^/]*$") or "."
end

function util.readFile(path)
  local file, problem = io.open(path, "rb")
  if not file then return nil, problem end
  local text = file:read("*a")
  file:close()
  return text
end

local processId
local temporaries = 0

-- Two processes never pick the same name: each puts its id in and counts
-- its own. The time and math.random would give two runs started in the
-- same second the same name.
local function temporaryName(path)
  processId = processId or unistd.getpid()
  temporaries = temporaries + 1
  return ("%s.%d.%d.tmp"):format(path, processId, temporaries)
end

-- A reader of the folder never sees half a file: the text goes to a
-- temporary name beside the target, then replaces it in one rename.
function util.writeAtomically(path, text)
  local temporary = temporaryName(path)
  local file, problem = io.open(temporary, "wb")
  if not file then return nil, problem end
  local written, writeProblem = file:write(text)
  local closed, closeProblem = file:close()
  if not (written and closed) then
    os.remove(temporary)
    return nil, writeProblem or closeProblem
  end
  local renamed, renameProblem = os.rename(temporary, path)
  if not renamed then os.remove(temporary) end
  return renamed, renameProblem
end

return util
