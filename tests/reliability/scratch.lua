-- Scratch repositories under RELIABILITY_SCRATCH, and the figures each run
-- leaves there for docs/reliability.md.
local scratch = {}

local root = assert(os.getenv("RELIABILITY_SCRATCH"), "RELIABILITY_SCRATCH is not set")

local function write(path, content)
  local file = assert(io.open(path, "wb"))
  file:write(content)
  file:close()
end

function scratch.repository(name)
  local path = root .. "/" .. name
  assert(os.execute("mkdir -p '" .. path .. "/packages'"))
  scratch.fill(path)
  return path
end

-- An index and packages that removeek deletes, spares and skips.
function scratch.fill(path)
  write(path .. "/server.ini", "[PATTERN]\nc3t4=1\n")
  for _, name in ipairs({ "abcdefg.zip", "keep-me-please.zip", "full_merged.zip", "a.zip" }) do
    write(path .. "/packages/" .. name, "x")
  end
end

function scratch.record(name, figures)
  local keys = {}
  for key in pairs(figures) do keys[#keys + 1] = key end
  table.sort(keys)
  local lines = {}
  for _, key in ipairs(keys) do lines[#lines + 1] = key .. "=" .. tostring(figures[key]) end
  write(root .. "/figures-" .. name .. ".txt", table.concat(lines, "\n") .. "\n")
end

return scratch
