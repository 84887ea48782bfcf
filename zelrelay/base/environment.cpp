// Switches from the environment.
#include "base/environment.h"

#include <cstdlib>
#include <cstring>

#include "base/text.h"

bool VerifyRequested() {
  const char *verify = getenv("ZELRELAY_VERIFY");
  return verify != nullptr && strcmp(verify, "1") == 0;
}

std::string ReportPath() {
  const char *path = getenv("ZELRELAY_REPORT");
  return path == nullptr ? std::string() : std::string(path);
}

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
