local update = require "update"
assert(update.startup())
print("relay version " .. update.version().string)
print("started, mode, start-ups:", update.get_mode())
assert(update.shutdown())
