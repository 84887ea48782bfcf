-- Mirrors from cron: silent when all went well; otherwise a line on standard
-- error, then one for each package that failed, from the relay's run report,
-- and exit status 1, so that cron mails failures only. update-mirror(1) does
-- this and more from a config file.
-- usage: lua5.2 cron.lua REPOSITORY UPSTREAM PRODUCT...
-- e.g. 15 3 * * *  lua5.2 /opt/update/cron.lua /srv/mirror https://updates.example.net/ c3t4 c2t1207959858
local update = require "update"
local cjson = require "cjson"

local repository, upstream = ...
local products = { select(3, ...) }
if #products == 0 then
  io.stderr:write("usage: cron.lua REPOSITORY UPSTREAM PRODUCT...\n")
  os.exit(2)
end

local copied, failures = 0, {}
local function failed(code, message) failures[#failures + 1] = string.format("status %d: %s", code, message) end

-- The packages the report of this run lists as failed. A report that
-- started before this run is a former run's; the stamps are UTC in one
-- layout, so they compare as text.
local function failedPackages(since)
  local file = io.open(repository .. "/.zelrelay.report.json", "rb")
  if not file then return {} end
  local read, report = pcall(cjson.decode, file:read("*a"))
  file:close()
  if not read or type(report) ~= "table" or type(report.packages) ~= "table" or
      type(report.started) ~= "string" or report.started < since then
    return {}
  end
  local function text(value) return value ~= cjson.null and value or nil end
  local lines = {}
  for _, package in ipairs(report.packages) do
    if package.outcome == "failed" then
      local source = text(package.source)
      lines[#lines + 1] = string.format("failed %s (%s)%s: status %s: %s", tostring(package.component),
        tostring(package.path), source and " from " .. source or "", tostring(text(package.status) or report.status),
        tostring(text(package.message) or report.message))
    end
  end
  return lines
end

local since = os.date("!%Y-%m-%dT%H:%M:%SZ")
-- A bad argument raises; it is a failure like any other.
local started, code, message = update.startup()
if started then
  local ran, result
  ran, result, code, message = pcall(update.everything, repository, products, upstream, {
    download = function() copied = copied + 1 end,
    removefailed = function(event) failures[#failures + 1] = "could not remove " .. event.information end,
  })
  if not ran then failures[#failures + 1] = result
  elseif not result then failed(code, message) end
  update.shutdown()
else
  failed(code, message)
end

if #failures > 0 then
  io.stderr:write(string.format("mirror of %s into %s: %d packages copied; %s\n", upstream, repository, copied,
    table.concat(failures, "; ")))
  for _, line in ipairs(failedPackages(since)) do io.stderr:write(line, "\n") end
  os.exit(1)
end
