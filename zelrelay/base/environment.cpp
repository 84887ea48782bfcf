// Switches from the environment.
#include "base/environment.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"

namespace {

bool Switch(const char *name) {
  const char *value = getenv(name);
  return value != nullptr && strcmp(value, "1") == 0;
}

}  // namespace

std::string EnvironmentText(const char *name) {
  const char *value = getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

bool VerifyRequested() { return Switch("ZELRELAY_VERIFY"); }

std::string ReportPath() { return EnvironmentText("ZELRELAY_REPORT"); }

std::string RunName() { return EnvironmentText("ZELRELAY_RUN"); }

bool DeleteUnlisted() { return Switch("ZELRELAY_DELETE_UNLISTED"); }

int64_t GracePeriod() {
  const char *text = getenv("ZELRELAY_GRACE_PERIOD");
  std::optional<uint64_t> seconds = text ? ParseWhole(text) : std::nullopt;
  return seconds && *seconds <= uint64_t(INT32_MAX) ? int64_t(*seconds) : kGracePeriod;
}

int64_t PatchVersions() {
  const char *text = getenv("ZELRELAY_PATCH_VERSIONS");
  std::optional<uint64_t> versions = text ? ParseWhole(text) : std::nullopt;
  return versions && *versions <= 1000 ? int64_t(*versions) : kPatchVersions;
}
