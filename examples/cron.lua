-- Mirrors from cron: silent when all went well; otherwise one line on
-- standard error and exit status 1, so that cron mails failures only.
-- usage: lua5.2 cron.lua REPOSITORY UPSTREAM PRODUCT...
-- e.g. 15 3 * * *  lua5.2 /opt/update/cron.lua /srv/mirror https://updates.example.net/ c3t4 c2t1207959858
local update = require "update"

local repository, upstream = ...
local products = { select(3, ...) }
if #products == 0 then
  io.stderr:write("usage: cron.lua REPOSITORY UPSTREAM PRODUCT...\n")
  os.exit(2)
end

local copied, failures = 0, {}
local function failed(code, message) failures[#failures + 1] = string.format("status %d: %s", code, message) end

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
  os.exit(1)
end
