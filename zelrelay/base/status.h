// The local relay's status codes. Above zero is success.
#pragma once

#include <cstdint>

enum RelayStatus : int32_t {
  RELAY_OK = 1,
  RELAY_ALREADY_STARTED = 2,
  RELAY_FAILED = 0,
  RELAY_NOT_STARTED = -1,
  RELAY_INVALID_ARGUMENT = -2,
  RELAY_OUT_OF_MEMORY = -4,
  RELAY_NO_SOURCES = -5,
  RELAY_NETWORK_SOURCE = -6,
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
};

// Thrown inside the relay, turned back into its status at the C boundary.
struct RelayError {
  RelayStatus status;
};

[[noreturn]] inline void Fail(RelayStatus status) { throw RelayError{status}; }
