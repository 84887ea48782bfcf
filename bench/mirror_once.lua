-- One first mirror or re-run in a process of its own, so that a caller can
-- time the whole process: the interpreter's start, loading the module and
-- the relay, the call and the exit.
--   lua5.2 bench/mirror_once.lua REPOSITORY UPSTREAM
-- prints "status seconds maxrss-KiB rchar wchar lua-KiB": the call's status,
-- its seconds, the process's peak resident set, the bytes it read and wrote
-- during the call, and the Lua heap the call left (its result table).
local util = require "benchutil"
local update = require "update"

update.startup()
local before = util.io()
local start = util.now()
local heap = collectgarbage("count")
local result, code = update.everything(arg[1], "c1t7", arg[2], { ek = true })
local seconds = util.now() - start
local after = util.io()
local taken = result and collectgarbage("count") - heap or 0
print(("%d %.6f %d %d %d %d"):format(code or 0, seconds, util.maxrss(), after.rchar - before.rchar,
  after.wchar - before.wchar, taken))
