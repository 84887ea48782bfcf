// Every exported call runs its body through Guarded: no exception crosses
// the C interface, each becomes a status.
#pragma once

#include <exception>
#include <new>

#include "base/status.h"

#include "api/lifecycle.h"

template <class Body>
int32_t Guarded(Body body) noexcept {
  try {
    return body();
  } catch (const RelayError &e) {
    return e.status;
  } catch (const std::bad_alloc &) {
    return RELAY_OUT_OF_MEMORY;
  } catch (...) {
    return RELAY_FAILED;
  }
}

// The same, for calls that need ZELRELAY_Startup first.
template <class Body>
int32_t GuardedStarted(Body body) noexcept {
  if (!RelayStarted()) return RELAY_NOT_STARTED;
  return Guarded(body);
}
