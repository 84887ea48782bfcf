// A context: the repository it works on, its options and event subscriptions.
#pragma once

#include <semaphore.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "base/status.h"
#include "sources/cache.h"
#include "sources/source.h"
#include "zelrelay.h"
#include "zelrelay_shared.h"

struct RelayOptions {
  int64_t maxbandwidth = 0;  // bytes per second, 0: no limit
  // Patches between versions are not built by this relay: buildpatch and
  // diffcount are accepted, checked and kept, and change nothing.
  int64_t buildpatch = 0;
  int64_t maxmerge = 0;  // packages per merged archive, 0: no limit
  int64_t diffcount = 0;
  int64_t keepcount = 0;  // versions kept per component, 0: all
  int64_t httpslevel = 0;
  int64_t dupdigisign = 0;
};

struct Subscription {
  ZELRELAY_EventCallback callback = nullptr;
  void *user = nullptr;
};

struct ZELRELAY_ContextRecord {
  std::string repository;
  RelayOptions options;
  Subscription events[ZELRELAY_EVENT_COUNT];
  // Opened because peers expect the library's named semaphore to exist;
  // nothing waits on it: the repository's lock keeps writers apart.
  sem_t *semaphore = SEM_FAILED;
  // The first option value refused, which every later operation on the
  // context reports instead of running without it.
  RelayStatus refusedOption = RELAY_OK;
  // Kept indexes of the network sources, and those fetched in this context.
  IndexCache indexes{std::string()};
};

// Whether the kept network indexes are written: not when listing or in a
// dry run, which write nothing.
enum class Keeping { Write, ReadOnly };
// What the context's sources run with.
SourceSettings SourcesOf(ZELRELAY_ContextRecord &context, Keeping keeping);

// Throws the refused option's status, if any.
void CheckOptions(const ZELRELAY_ContextRecord &context);

// Throws RELAY_BAD_CONTEXT for a handle that no live context has.
ZELRELAY_ContextRecord &ContextOf(ZELRELAY_Context handle);
// False when the subscriber asked to cancel.
bool Emit(const ZELRELAY_ContextRecord &context, int event, std::string_view information, uint64_t total,
          uint64_t finished);
// While the relay waits (for the lock, for an index), the subscriber hears
// progress with nothing counted yet, and so can cancel; false when it does.
// The information names what it waits for when that is the repository's
// writer lock (kLockName), and is empty for an index.
bool Waiting(const ZELRELAY_ContextRecord &context, std::string_view what = {});
