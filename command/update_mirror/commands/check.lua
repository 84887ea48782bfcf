-- check: the configuration is read and checked as every command reads it
-- first; this says what it found for each mirror, and touches nothing.
local util = require "update_mirror.util"

local EXIT = util.EXIT

local command = {
  description = "Checks the configuration and shows each mirror as it reads it; runs and writes nothing.",
  names = "?",
}

local function plural(count, word)
  return ("%d %s%s"):format(count, word, count == 1 and "" or "s")
end

function command.run(_, mirrors)
  for _, mirror in ipairs(mirrors) do
    local selection = type(mirror.select) == "table" and plural(#mirror.select.components, "component class")
      or mirror.select
    util.say(io.stdout, "%s: %s from %s, %s, %s%s", mirror.name, mirror.repository, plural(#mirror.sources, "source"),
      plural(#mirror.products, "product"), selection, mirror.delete and ", deleting what the upstream withdraws" or "")
  end
  return EXIT.ok
end

return command
