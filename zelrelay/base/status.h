// The local relay's status codes. Above zero is success.
#pragma once

#include <cstdint>
#include <string>

enum RelayStatus : int32_t {
#define STATUS(name, code, message) RELAY_##name = code,
#include "base/statuses.def"
#undef STATUS
  // An upstream's HTTP answer N is the status RELAY_HTTP - N.
  RELAY_HTTP = -1000,
};

inline constexpr int kHttpStatusMin = 100, kHttpStatusMax = 599;

// The status that reports an HTTP answer the relay cannot use.
inline RelayStatus HttpStatus(long code) { return RelayStatus(RELAY_HTTP - int32_t(code)); }

// The message of a status, as GetStatusMessage gives it: one line of at
// most 63 characters; "unknown status" for a code the relay never returns.
std::string StatusMessage(int32_t status);

struct StatusRow {
  RelayStatus status;
  const char *message;
};
// Every fixed status with its message, the one definition of both.
extern const StatusRow kStatusRows[];
extern const size_t kStatusRowCount;

// Thrown inside the relay, turned back into its status at the C boundary.
struct RelayError {
  RelayStatus status;
};

[[noreturn]] inline void Fail(RelayStatus status) { throw RelayError{status}; }
