// Switches from the environment.
#include "base/environment.h"

#include <cstdlib>
#include <cstring>

bool VerifyRequested() {
  const char *verify = getenv("ZELRELAY_VERIFY");
  return verify != nullptr && strcmp(verify, "1") == 0;
}

std::string ReportPath() {
  const char *path = getenv("ZELRELAY_REPORT");
  return path == nullptr ? std::string() : std::string(path);
}
