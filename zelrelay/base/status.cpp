// The local relay's statuses and their messages.
#include "base/status.h"

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
