-- Shared by the Lua benchmarks: the clock, medians, scratch folders on tmpfs
-- and on disk, and the "@row" records that bench/table.lua prints.
local util = require "benchutil"

local lib = { now = util.now, io = util.io, maxrss = util.maxrss, touch = util.touch, age = util.age, scan = util.scan,
              spawn = util.spawn }

-- The two media every file benchmark runs on; BENCH_TMPFS and BENCH_DISK
-- move them.
lib.media = {
  { name = "tmpfs", root = os.getenv("BENCH_TMPFS") or "/dev/shm" },
  { name = "disk", root = os.getenv("BENCH_DISK") or "/var/tmp" },
}

function lib.quote(text)
  return "'" .. tostring(text):gsub("'", "'\\''") .. "'"
end

function lib.shell(command)
  local ok = os.execute(command)
  assert(ok == true or ok == 0, command)
end

-- The first line a command prints.
function lib.capture(command)
  local pipe = assert(io.popen(command))
  local line = pipe:read("*l")
  pipe:close()
  return line
end

function lib.tmpdir(root, label)
  return assert(lib.capture(("mktemp -d %s/update-bench-%s.XXXXXX"):format(lib.quote(root), label)))
end

function lib.remove(path)
  lib.shell("rm -rf " .. lib.quote(path))
end

function lib.size(path)
  local file = io.open(path, "rb")
  if not file then return 0 end
  local size = file:seek("end")
  file:close()
  return size
end

-- 100000 -> "100,000"
function lib.count(n)
  local text = tostring(math.floor(n))
  repeat
    local done
    text, done = text:gsub("^(%d+)(%d%d%d)", "%1,%2")
  until done == 0
  return text
end

function lib.median(list)
  local sorted = {}
  for i, v in ipairs(list) do sorted[i] = v end
  table.sort(sorted)
  local n = #sorted
  if n == 0 then return nil end
  if n % 2 == 1 then return sorted[(n + 1) / 2] end
  return (sorted[n / 2] + sorted[n / 2 + 1]) / 2
end

-- Runs each function of the list once per round, the order rotated every
-- round so that no variant always runs first or right after the same one.
function lib.interleave(rounds, variants)
  for round = 1, rounds do
    for i = 0, #variants - 1 do
      variants[(i + round - 1) % #variants + 1]()
    end
  end
end

local function figure(value)
  if value == nil then return "-" end
  if type(value) == "string" then return value end
  return ("%.6g"):format(value)
end

-- One line of the final table. against: "peer" or "floor" (which figure the
-- ratio divides by), or "abs" for a ratio that is our figure itself; target:
-- the highest ratio that passes, a string ">=N" for the lowest, nil for a
-- row shown for information; note: printed under the table.
function lib.row(group, name, unit, ours, peer, floor, ratio, against, target, note)
  print(table.concat({ "@row", group, name, unit, figure(ours), figure(peer), figure(floor), figure(ratio),
    against or "-", target and figure(target) or "-", note and note:gsub("[\t\n]", " ") or "-" }, "\t"))
  io.stdout:flush()
end

-- A row whose measurement could not be made.
function lib.failed(group, name, why, target)
  lib.row(group, name, "-", "FAILED", nil, nil, nil, nil, target, "failed: " .. tostring(why))
end

-- A row that cannot be measured on this machine and counts as no miss.
function lib.skipped(group, name, why)
  lib.row(group, name, "-", "SKIPPED", nil, nil, nil, nil, nil, why)
end

function lib.log(format, ...)
  io.stderr:write(("  " .. format .. "\n"):format(...))
end

return lib
