// The local relay's status codes. Above zero is success.
#pragma once

#include <cstdint>

enum RelayStatus : int32_t {
  RELAY_OK = 1,
  RELAY_ALREADY_STARTED = 2,
  RELAY_FAILED = 0,
  RELAY_NOT_STARTED = -1,
  RELAY_INVALID_ARGUMENT = -2,
  RELAY_NOT_AVAILABLE = -3,
  RELAY_OUT_OF_MEMORY = -4,
};
