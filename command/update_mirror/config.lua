-- The configuration: a Lua file that returns a table, read as text and run
-- in an empty environment within bounds of time and memory, then checked
-- whole before anything runs. A mirror's setting is a row of mirrorRecord,
-- with the check of its value.
local util = require "update_mirror.util"

local config = {}

-- A configuration is a table of values: loading one takes far less.
config.LIMITS = { seconds = 2, megabytes = 64 }
-- What each attempt's record keeps of its mirror, by default.
config.HISTORY = 30

local SELECTIONS = { everything = true, patterns = true, patternsExceptPelno = true }

-- A check takes a value and where it stands ("sources[2].proxy"), and
-- returns the value to use, or nil and what is wrong there.
local function refuse(path, problem, ...)
  local text = problem:format(...)
  return nil, path == "" and text or path .. ": " .. text
end

local function describe(value)
  if type(value) == "string" then return ("the string %q"):format(value) end
  if type(value) == "number" then return "the number " .. tostring(value) end
  return type(value)
end

local function join(path, key)
  if type(key) == "number" then return ("%s[%d]"):format(path, key) end
  return path == "" and key or path .. "." .. key
end

local check = {}

function check.text(value, path)
  if type(value) ~= "string" or value == "" then
    return refuse(path, "expected a non-empty string, got %s", describe(value))
  end
  return value
end

function check.boolean(value, path)
  if type(value) ~= "boolean" then return refuse(path, "expected true or false, got %s", describe(value)) end
  return value
end

local function whole(low, high, what)
  return function(value, path)
    if type(value) ~= "number" or value ~= math.floor(value) or value < low or value > high then
      return refuse(path, "expected %s, got %s", what, describe(value))
    end
    return value
  end
end
check.count = whole(0, 2 ^ 53, "a whole number of 0 or more")
check.seconds = whole(1, 2 ^ 31, "a whole number of seconds, 1 or more")
check.port = whole(0, 65535, "a port number from 0 to 65535")
check.proxyType = whole(0, 1, "0 (an HTTP proxy) or 1 (a SOCKS5 proxy)")
check.threshold = whole(1, 2 ^ 31, "a whole number of 1 or more")

function check.bucket(value, path)
  if type(value) ~= "string" or not value:match("^s3://[^/]+") then
    return refuse(path, "expected a bucket as s3://BUCKET/PREFIX, got %s", describe(value))
  end
  return value
end

-- 32 bytes in base64 are 43 digits and one '='; the last digit carries only
-- four bits, so only 16 digits can stand there.
function check.key(value, path)
  if type(value) ~= "string" or not value:match("^[%w+/]+[AEIMQUYcgkosw048]=$") or #value ~= 44 then
    return refuse(path, "expected 32 bytes in base64 (44 characters ending in '='), got %s", describe(value))
  end
  return value
end

-- The module's parser's word on an identifier: its entity table, or nil
-- and what is wrong with it, without the module's place in Lua.
function config.parse(update, parse, value)
  local parsed, result = pcall(update[parse], value)
  if not parsed then return nil, (tostring(result):gsub("^bad argument #%d+ to '[^']*' %((.*)%)$", "%1")) end
  if result == nil then return nil, "names an entity hidden from scripts" end
  return result
end

-- Identifiers are checked by the module itself, so the config refuses
-- exactly what a run would. more, when given, checks the entity further.
local function identifier(update, parse, more)
  return function(value, path)
    local text, problem = check.text(value, path)
    if not text then return nil, problem end
    local entity, wrong = config.parse(update, parse, value)
    if not entity then return refuse(path, "%s", wrong) end
    if more then
      local refused = more(entity, value)
      if refused then return refuse(path, "%s", refused) end
    end
    return value
  end
end

-- The module's components selection matches class and type alone; what
-- else an identifier says would be ignored, so it is refused.
local QUALIFIERS = { "language", "platform", "region", "oem" }
local function classAndType(entity, value)
  local ignored = {}
  if not entity.extract:match("^c%d+t%d+v0%.0%.0l") then ignored[1] = "version" end
  for _, qualifier in ipairs(QUALIFIERS) do
    if entity[qualifier] ~= -1 then ignored[#ignored + 1] = qualifier end
  end
  if #ignored == 0 then return nil end
  return ("%s gives a %s, which a components selection ignores: it takes every component of class %d, type %d "
    .. "(write %q)"):format(value, table.concat(ignored, " and a "), entity.klass, entity.type,
    ("c%dt%d"):format(entity.klass, entity.type))
end

local function list(item, minimum)
  return function(value, path)
    if type(value) ~= "table" then return refuse(path, "expected a list, got %s", describe(value)) end
    local count = #value
    for key in pairs(value) do
      if type(key) ~= "number" or key < 1 or key > count or key ~= math.floor(key) then
        return refuse(path, "expected a list, found the key %s", tostring(key))
      end
    end
    if count < minimum then return refuse(path, "expected at least %d entries", minimum) end
    local result = {}
    for i = 1, count do
      local checked, problem = item(value[i], join(path, i))
      if checked == nil then return nil, problem end
      result[i] = checked
    end
    return result
  end
end

-- fields: key -> { check, required = bool, default = value }; finish sees
-- the checked record and returns true, or nil and what is wrong.
local function record(fields, finish)
  return function(value, path)
    if type(value) ~= "table" then return refuse(path, "expected a table, got %s", describe(value)) end
    for _, key in ipairs(util.sortedKeys(value)) do
      if not fields[key] then
        return refuse(join(path, tostring(key)), "unknown key (known keys: %s)",
          table.concat(util.sortedKeys(fields), ", "))
      end
    end
    local result = {}
    for _, key in ipairs(util.sortedKeys(fields)) do
      local field = fields[key]
      if value[key] == nil then
        if field.required then return refuse(join(path, key), "missing") end
        result[key] = field.default
      else
        local checked, problem = field[1](value[key], join(path, key))
        if checked == nil then return nil, problem end
        result[key] = checked
      end
    end
    if finish then
      local finished, problem = finish(result, path)
      if not finished then return nil, problem end
    end
    return result
  end
end

local proxy = record {
  type = { check.proxyType, default = 0 },
  host = { check.text, required = true },
  port = { check.port },
  user = { check.text },
  password = { check.text },
}

local sourceRecord = record { url = { check.text, required = true }, proxy = { proxy } }

-- The module takes only tables; people write plain URLs.
local function source(value, path)
  if type(value) == "string" then
    local url, problem = check.text(value, path)
    return url and { url = url }, problem
  end
  return sourceRecord(value, path)
end

local optionsRecord = record {
  maxbandwidth = { check.count }, maxmerge = { check.count }, keepcount = { check.count },
  diffcount = { check.count }, httpslevel = { check.count },
  buildpatch = { check.boolean }, dupdigisign = { check.boolean },
}

local function selection(update)
  local components = record { components = { list(identifier(update, "tocomponent", classAndType), 1),
    required = true } }
  return function(value, path)
    if type(value) == "string" then
      if not SELECTIONS[value] then
        return refuse(path, "expected one of %s, or { components = {...} }, got %s",
          table.concat(util.sortedKeys(SELECTIONS), ", "), describe(value))
      end
      return value
    end
    return components(value, path)
  end
end

-- A threshold above the keys could never be met, and a key given twice
-- would count twice towards it.
local trust = record({
  threshold = { check.threshold, default = 1 },
  keys = { list(check.key, 1), required = true },
}, function(result, path)
  local seen = {}
  for i, key in ipairs(result.keys) do
    if seen[key] then return refuse(join(join(path, "keys"), i), "the same key as keys[%d]", seen[key]) end
    seen[key] = i
  end
  if result.threshold > #result.keys then
    return refuse(join(path, "threshold"), "%d is more than the %d keys given", result.threshold, #result.keys)
  end
  return true
end)

-- update is the module, whose parser checks the identifiers.
local function mirrorRecord(update)
  return record {
    repository = { check.text, required = true },
    sources = { list(source, 1), required = true },
    products = { list(identifier(update, "toproduct"), 1), required = true },
    select = { selection(update), default = "everything" },
    options = { optionsRecord, default = {} },
    clean = { check.boolean, default = true },
    trust = { trust },
    delete = { check.boolean, default = false },
    push = { check.bucket },
    retries = { check.count },
    timeout = { check.seconds },
    connect_timeout = { check.seconds },
    history = { check.threshold, default = config.HISTORY },
    state = { check.text },
  }
end

-- Paths in the file are relative to its folder, not to wherever the
-- command runs; a source with a scheme is a URL, anything else a folder.
local function resolve(mirror, folder)
  mirror.repository = util.canonical(mirror.repository, folder)
  mirror.state = mirror.state and util.canonical(mirror.state, folder) or mirror.repository .. "/.update-mirror"
  for _, each in ipairs(mirror.sources) do
    if not each.url:find("^%a[%w+.-]*:") then each.url = util.canonical(each.url, folder) end
  end
end

-- Two mirrors writing one folder would take each other's runs for their
-- own: each repository and each state folder belongs to one mirror.
local function shared(mirrors)
  local owners = {}
  for _, mirror in ipairs(mirrors) do
    for _, key in ipairs { "repository", "state" } do
      local owner = owners[mirror[key]]
      if owner then
        return ("mirrors %q and %q: both keep %s (as their %s)"):format(owner, mirror.name, mirror[key], key)
      end
      owners[mirror[key]] = mirror.name
    end
  end
end

-- Runs chunk with string methods out of reach and within config.LIMITS: it
-- returns what chunk returned, or nil, the error it raised, and which limit
-- it went past, if one.
local function bounded(chunk)
  local strings = getmetatable("")
  local methods, deadline = strings.__index, os.clock() + config.LIMITS.seconds
  local limit = collectgarbage("count") + config.LIMITS.megabytes * 1024
  local stopped
  -- The hook raises once, and runs while string methods are out of reach
  -- too; it may fire after chunk returned, hence the outer pcall.
  local function hook()
    if stopped then return end
    if os.clock() > deadline then
      stopped = string.format("loading it took more than %g s", config.LIMITS.seconds)
    elseif collectgarbage("count") > limit then
      stopped = string.format("loading it took more than %g MiB", config.LIMITS.megabytes)
    end
    if stopped then error(stopped, 0) end
  end
  strings.__index = nil
  local outer, ran, result = pcall(function()
    debug.sethook(hook, "", 1)
    return pcall(chunk)
  end)
  debug.sethook()
  strings.__index = methods
  if not outer then ran, result = false, ran end
  if ran and not stopped then return result end
  return nil, tostring(result), stopped
end

-- The mirrors of file, checked, in name order and by name; or nil and the
-- first mistake, naming the file, the mirror and the key.
function config.load(file, update)
  local text, problem = util.readFile(file)
  if not text then return nil, "cannot read the config: " .. tostring(problem) end
  local chunk, syntax = load(text, "@" .. file, "t", {})
  if not chunk then return nil, syntax end
  local loaded, raised, limit = bounded(chunk)
  if limit then return nil, ("%s: %s; a configuration only holds values"):format(file, limit) end
  if raised then return nil, raised end
  if type(loaded) ~= "table" then return nil, file .. ": expected the file to return a table" end
  for key in pairs(loaded) do
    if key ~= "mirrors" then return nil, ("%s: %s: unknown key (known keys: mirrors)"):format(file, tostring(key)) end
  end
  if type(loaded.mirrors) ~= "table" then
    return nil, ("%s: mirrors: expected a table of mirrors by name, got %s"):format(file, describe(loaded.mirrors))
  end
  if next(loaded.mirrors) == nil then return nil, file .. ": mirrors: names no mirror" end
  local mirror, mirrors = mirrorRecord(update), {}
  for _, name in ipairs(util.sortedKeys(loaded.mirrors)) do
    if type(name) ~= "string" or name == "" then
      return nil, ("%s: mirrors: a mirror's name must be a non-empty string, got %s"):format(file, describe(name))
    end
    local checked, mistake = mirror(loaded.mirrors[name], "")
    if not checked then return nil, ("%s: mirror %q: %s"):format(file, name, mistake) end
    checked.name = name
    resolve(checked, util.folderOf(util.canonical(file)))
    mirrors[#mirrors + 1] = checked
    mirrors[name] = checked
  end
  local clash = shared(mirrors)
  if clash then return nil, file .. ": " .. clash end
  return mirrors
end

-- The mirrors named, in the order named and each once; all of them when
-- none is named. Or nil and the name the file lacks.
function config.choose(mirrors, names, file)
  if #names == 0 then return mirrors end
  local result, seen = {}, {}
  for _, name in ipairs(names) do
    if not mirrors[name] then
      local known = {}
      for _, each in ipairs(mirrors) do known[#known + 1] = each.name end
      return nil, ("%s has no mirror %q (it has: %s)"):format(file, name, table.concat(known, ", "))
    end
    if not seen[name] then result[#result + 1], seen[name] = mirrors[name], true end
  end
  return result
end

return config
