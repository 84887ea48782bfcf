-- Prints the one table of a bench run from the "@row" records the
-- benchmarks wrote (bench/benchlib.lua's lib.row), in the order they came.
--   lua5.2 bench/table.lua RECORDS-FILE [TITLE]
local path = assert(arg[1], "usage: table.lua RECORDS-FILE [TITLE]")

local fields = { "group", "name", "unit", "ours", "peer", "floor", "ratio", "against", "target", "note" }
local rows = {}
for line in io.lines(path) do
  if line:sub(1, 5) == "@row\t" then
    local row, i = {}, 0
    for value in (line:sub(6) .. "\t"):gmatch("([^\t]*)\t") do
      i = i + 1
      if fields[i] then row[fields[i]] = value ~= "-" and value or nil end
    end
    rows[#rows + 1] = row
  end
end

local function figure(text)
  local value = tonumber(text)
  if not value then return text or "-" end
  local size = math.abs(value)
  if value == 0 then return "0" end
  if size >= 1000 then return ("%.0f"):format(value) end
  if size >= 100 then return ("%.1f"):format(value) end
  if size >= 1 then return ("%.2f"):format(value) end
  if size >= 0.01 then return ("%.3f"):format(value) end
  return ("%.2e"):format(value)
end

local header = { "#", "benchmark", "unit", "ours", "peer", "floor", "ratio", "of", "target", "result" }
local lines, notes, misses = {}, {}, 0
for n, row in ipairs(rows) do
  local result
  -- A target is the highest ratio that passes, or with ">=" the lowest.
  local least, bound = (row.target or ""):match("^(>?=?)(.*)$")
  local ratio, target = tonumber(row.ratio), tonumber(bound)
  least = least == ">="
  if row.ours == "FAILED" then
    result = "MISS (failed)"
  elseif row.ours == "SKIPPED" then
    result = "skipped: " .. (row.note or "?")
    row.note = nil
  elseif not target then
    result = "info"
  elseif ratio and (least and ratio >= target or not least and ratio <= target) then
    result = "ok"
  else
    result = "MISS"
  end
  if result:sub(1, 4) == "MISS" then misses = misses + 1 end
  if row.note then notes[#notes + 1] = ("  [%d] %s"):format(n, row.note) end
  local ours = row.ours == "SKIPPED" and "-" or figure(row.ours)
  lines[#lines + 1] = { tostring(n), row.name or "?", row.unit or "-", ours, figure(row.peer), figure(row.floor),
    ratio and figure(row.ratio) or "-", ratio and row.against or "-",
    target and ((least and ">= " or "<= ") .. figure(bound)) or "-", result .. (row.note and (" [" .. n .. "]") or "") }
end

local widths = {}
for i, title in ipairs(header) do widths[i] = #title end
for _, line in ipairs(lines) do
  for i, cell in ipairs(line) do widths[i] = math.max(widths[i], #cell) end
end
-- Text columns left, figures right.
local left = { [2] = true, [3] = true, [8] = true, [10] = true }
local function render(cells)
  local out = {}
  for i, cell in ipairs(cells) do
    out[i] = left[i] and cell .. (" "):rep(widths[i] - #cell) or (" "):rep(widths[i] - #cell) .. cell
  end
  return (table.concat(out, "  "):gsub("%s+$", ""))
end

if arg[2] then print(arg[2]) end
print(render(header))
local rule = {}
for i, w in ipairs(widths) do rule[i] = ("-"):rep(w) end
print(table.concat(rule, "  "))
for _, line in ipairs(lines) do print(render(line)) end
print(("%d rows, %d miss their target"):format(#rows, misses))
if #notes > 0 then
  print("notes:")
  for _, note in ipairs(notes) do print(note) end
end
