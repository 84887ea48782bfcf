// The local relay's status codes. Above zero is success.
#pragma once

#include <cstdint>
#include <string>

enum RelayStatus : int32_t {
  RELAY_OK = 1,
  RELAY_ALREADY_STARTED = 2,
  RELAY_FAILED = 0,
  RELAY_NOT_STARTED = -1,
  RELAY_INVALID_ARGUMENT = -2,
  RELAY_OUT_OF_MEMORY = -4,
  RELAY_NO_SOURCES = -5,
  RELAY_NETWORK_SOURCE = -6,  // a scheme the relay does not speak
  RELAY_BAD_SOURCE = -7,
  RELAY_NO_SOURCE_ANSWERED = -8,
  RELAY_NOT_WRITABLE = -9,
  RELAY_BAD_INDEX = -10,
  RELAY_UNSAFE_PACKAGE_PATH = -11,
  RELAY_PACKAGE_MISMATCH = -12,
  RELAY_CANCELLED = -13,
  RELAY_NOT_FOUND = -14,
  RELAY_ARCHIVE_ERROR = -15,
  RELAY_UNSAFE_ARCHIVE_ENTRY = -16,
  RELAY_IO_ERROR = -17,
  RELAY_BAD_DESTINATION = -18,
  RELAY_UNKNOWN_OPTION = -19,
  RELAY_BAD_OPTION_VALUE = -20,
  RELAY_UNKNOWN_EVENT = -21,
  RELAY_SEMAPHORE = -22,
  RELAY_PACKAGE_MISSING = -23,
  RELAY_BUSY = -24,
  RELAY_BAD_CONTEXT = -25,
  RELAY_SOURCE_IS_REPOSITORY = -26,
  RELAY_NOT_REGULAR_FILE = -27,
  RELAY_INDEX_TOO_LARGE = -28,
  RELAY_LINK_LEAVES_UPSTREAM = -29,
  RELAY_NO_SPACE = -30,
  RELAY_NAME_TOO_LONG = -31,
  RELAY_NOT_A_ZIP = -32,
  RELAY_UNSUPPORTED_MEMBER = -33,
  RELAY_INSECURE_SOURCE = -34,
  RELAY_HOST_UNREACHABLE = -35,
  RELAY_TLS_UNTRUSTED = -36,
  RELAY_PROXY_AUTH = -37,
  RELAY_PROXY_UNREACHABLE = -38,
  RELAY_TIMED_OUT = -39,
  RELAY_TRANSFER_FAILED = -40,  // broke off, or the reply is not HTTP at all
  RELAY_NOTHING_MATCHES = -41,
  RELAY_NO_URL = -42,
  RELAY_MALFORMED_URL = -43,
  RELAY_REDIRECT_REFUSED = -44,
  RELAY_UNASKED_NOT_MODIFIED = -45,
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
