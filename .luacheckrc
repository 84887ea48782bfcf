-- luacheck: the examples, the busted suites, the benchmarks and update-mirror
-- with its modules.
std = "lua52"
max_line_length = 120

-- The suites replace string.format on purpose: the module looks it up anew
-- at every call.
files["tests/**/*_test.lua"] = {
  std = "+busted",
  globals = { string = { fields = { format = { read_only = false } } } },
}
