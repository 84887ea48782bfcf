-- Files and temporary directories for the busted suites, through the shell
-- where Lua's io has no call for it.
local files = {}

-- The index the clean-up leaves behind.
files.skeleton = "[PATTERN]\n\n[ENGINE]\n\n[All_Product]\n\n"

local function quote(path)
  return "'" .. path:gsub("'", "'\\''") .. "'"
end

function files.shell(command)
  local ok = os.execute(command)
  assert(ok == true or ok == 0, command)
end

-- The content, or nil when the file cannot be read.
function files.read(path)
  local file = io.open(path, "rb")
  if not file then return nil end
  local content = file:read("*a")
  file:close()
  return content
end

function files.write(path, content)
  local file = assert(io.open(path, "wb"))
  file:write(content)
  file:close()
end

function files.exists(path)
  return os.execute("test -e " .. quote(path)) == true
end

function files.mkdir(path)
  files.shell("mkdir -p " .. quote(path))
end

function files.remove(path)
  files.shell("rm -rf " .. quote(path))
end

function files.tmpdir()
  local pipe = assert(io.popen("mktemp -d /tmp/update_test.XXXXXX"))
  local path = pipe:read("*l")
  pipe:close()
  return path
end

-- The names in a directory, sorted; none when it cannot be read.
function files.listing(path)
  local pipe = assert(io.popen("ls -A " .. quote(path) .. " 2>/dev/null"))
  local names = {}
  for name in pipe:lines() do names[#names + 1] = name end
  pipe:close()
  table.sort(names)
  return names
end

return files
