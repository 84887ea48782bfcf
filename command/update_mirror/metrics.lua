-- The runs in the Prometheus text format, for node_exporter's textfile
-- collector: one gauge per row below, labelled with the mirror's name.
local report = require "update_mirror.report"

local metrics = {}

-- Each sample reads one field of report.summary; an unknown value leaves
-- its line out rather than claiming a zero.
local GAUGES = {
  { "update_mirror_last_run_timestamp_seconds", "When the mirror's last attempt started, in seconds since the epoch.",
    "started" },
  { "update_mirror_last_success_timestamp_seconds", "When the mirror's last successful run started, in seconds since "
    .. "the epoch, from its history.", "lastSuccess" },
  { "update_mirror_last_run_duration_seconds", "How long the mirror's last run took.", "seconds" },
  { "update_mirror_last_run_success", "1 when the mirror's last run succeeded, else 0.", "success" },
  { "update_mirror_last_run_packages_copied", "Packages the last run copied.", "copied" },
  { "update_mirror_last_run_packages_failed", "Packages the last run could not copy.", "failed" },
  { "update_mirror_last_run_packages_repaired", "Packages the last run copied again because the mirror's bytes were "
    .. "damaged.", "repaired" },
  { "update_mirror_last_run_packages_present", "Packages the last run found already present.", "present" },
  { "update_mirror_last_run_bytes", "Bytes the last run moved.", "bytes" },
}

local ESCAPES = { ["\\"] = "\\\\", ['"'] = '\\"', ["\n"] = "\\n" }

-- runs: { name = ..., report = ..., lastSuccess = its record }, in the
-- order they ran.
function metrics.text(runs)
  local lines = {}
  for _, gauge in ipairs(GAUGES) do
    lines[#lines + 1] = ("# HELP %s %s\n# TYPE %s gauge"):format(gauge[1], gauge[2], gauge[1])
    for _, run in ipairs(runs) do
      local summary = report.summary(run.report)
      summary.lastSuccess = run.lastSuccess and report.utcSeconds(run.lastSuccess.report.started)
      local value = summary[gauge[3]]
      if value then
        local label = run.name:gsub('[\\"\n]', ESCAPES)
        lines[#lines + 1] = ('%s{mirror="%s"} %.14g'):format(gauge[1], label, value)
      end
    end
  end
  return table.concat(lines, "\n") .. "\n"
end

return metrics
