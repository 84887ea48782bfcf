-- One first mirror or re-run in a process of its own, so that a caller can
-- time the whole process: the interpreter's start, loading the module and
-- the relay, the call and the exit.
--   lua5.2 bench/mirror_once.lua REPOSITORY UPSTREAM
-- prints "status seconds maxrss-KiB rchar wchar": the call's status, its
-- seconds, the process's peak resident set, and the bytes it read and wrote
-- during the call.
local util = require "benchutil"
local update = require "update"

update.startup()
local before = util.io()
local start = util.now()
local _, code = update.everything(arg[1], "c1t7", arg[2], { ek = true })
local seconds = util.now() - start
local after = util.io()
print(("%d %.6f %d %d %d"):format(code or 0, seconds, util.maxrss(), after.rchar - before.rchar,
  after.wchar - before.wchar))
