// The local relay's statuses and their messages.
#include "base/status.h"

#include <cstdio>

const StatusRow kStatusRows[] = {
#define STATUS(name, code, message) {RELAY_##name, message},
#include "base/statuses.def"
#undef STATUS
};
const size_t kStatusRowCount = sizeof kStatusRows / sizeof kStatusRows[0];

std::string StatusMessage(int32_t status) {
  int32_t http = RELAY_HTTP - status;
  if (http >= kHttpStatusMin && http <= kHttpStatusMax) return "upstream answered HTTP " + std::to_string(http);
  for (const StatusRow &row : kStatusRows)
    if (row.status == status) return row.message;
  return "unknown status";
}

// A broken invariant is a fault of the relay's own: it is told, so that it
// can be mended, and the operation fails instead of taking its host down.
void InvariantBroken(const char *condition, const char *file, int line) {
  fprintf(stderr, "zelrelay: invariant broken at %s:%d: %s\n", file, line, condition);
  Fail(RELAY_FAILED);
}
