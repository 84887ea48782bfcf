// The local relay's status codes. Above zero is success.
//
// Failing has one rule in the whole relay:
// - What ends an operation is thrown where it is found (Fail, RelayError)
//   and becomes the operation's status once, at the C interface
//   (api/guard.h). In between, a catch only cleans up, or turns a failure
//   into an outcome as the next point says, or adds what it knows and
//   throws again.
// - What an operation goes on after is an outcome, kept as a value: one
//   package that no source could give (PackageCopy), one source that did not
//   answer (SourceState), a run that stopped early but records what it
//   finished (CopyOutcome). The operation's status is then the outcome's.
// - So a failure travels one way: a function that returns a RelayStatus
//   returns outcomes, and throws only what ends the operation, never the
//   same failure both ways.
// - An invariant that callers rely on is asserted where it is used
//   (RELAY_ASSERT): should it not hold, the operation fails with RELAY_FAILED
//   rather than going on or taking its host process down.
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

// Says on standard error which invariant broke, where, then Fail(RELAY_FAILED).
[[noreturn]] void InvariantBroken(const char *condition, const char *file, int line);
#define RELAY_ASSERT(condition) ((condition) ? void(0) : InvariantBroken(#condition, __FILE__, __LINE__))
