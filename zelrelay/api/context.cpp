// Contexts, their options and event subscriptions.
#include "api/context.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <set>

#include "api/guard.h"
#include "base/files.h"
#include "base/text.h"

namespace {

// glibc maps whatever file holds the name; a shorter one (left by anything
// else that writes that path) would fault on the first wait instead of failing.
bool SemaphoreFileTooShort() {
  struct stat info;
  return stat(ZELRELAY_SEMAPHORE_FILE, &info) == 0 && size_t(info.st_size) < sizeof(sem_t);
}

sem_t *OpenSemaphore() {
  if (SemaphoreFileTooShort()) unlink(ZELRELAY_SEMAPHORE_FILE);
  sem_t *semaphore = sem_open(ZELRELAY_SEMAPHORE_NAME, O_CREAT, 0644, 1);
  if (semaphore != SEM_FAILED && SemaphoreFileTooShort()) {
    sem_close(semaphore);
    return SEM_FAILED;
  }
  return semaphore;
}

struct OptionSlot {
  int32_t id;
  int64_t RelayOptions::*field;
  int64_t maximum;
};

constexpr OptionSlot kOptionSlots[] = {
    {ZELRELAY_OPTION_MAXBANDWIDTH, &RelayOptions::maxbandwidth, INT64_MAX},
    {ZELRELAY_OPTION_BUILDPATCH, &RelayOptions::buildpatch, 1},
    {ZELRELAY_OPTION_MAXMERGE, &RelayOptions::maxmerge, INT64_MAX},
    {ZELRELAY_OPTION_DIFFCOUNT, &RelayOptions::diffcount, INT64_MAX},
    {ZELRELAY_OPTION_KEEPCOUNT, &RelayOptions::keepcount, INT64_MAX},
    {ZELRELAY_OPTION_HTTPSLEVEL, &RelayOptions::httpslevel, INT64_MAX},
    {ZELRELAY_OPTION_DUPDIGISIGN, &RelayOptions::dupdigisign, 1},
};

// Handles are checked against the live set, so a stale or foreign pointer
// is refused instead of dereferenced.
std::mutex g_contextsLock;
std::set<const ZELRELAY_ContextRecord *> g_contexts;

void Forget(ZELRELAY_ContextRecord *context) {
  std::lock_guard<std::mutex> hold(g_contextsLock);
  g_contexts.erase(context);
}

void Release(ZELRELAY_ContextRecord *context) {
  if (context->semaphore != SEM_FAILED) sem_close(context->semaphore);
  delete context;
}

}  // namespace

ZELRELAY_ContextRecord &ContextOf(ZELRELAY_Context handle) {
  std::lock_guard<std::mutex> hold(g_contextsLock);
  if (handle == nullptr || !g_contexts.count(handle)) Fail(RELAY_BAD_CONTEXT);
  return *handle;
}

bool Emit(const ZELRELAY_ContextRecord &context, int event, std::string_view information, uint64_t total,
          uint64_t finished) {
  const Subscription &s = context.events[event];
  if (s.callback == nullptr) return true;
  std::wstring wide = NarrowToWide(information);
  ZELRELAY_Event record{wide.data(), total, finished};
  return s.callback(event, &record, s.user) != 0;
}

bool Waiting(const ZELRELAY_ContextRecord &context, std::string_view what) {
  return Emit(context, ZELRELAY_EVENT_PROGRESS, what, 0, 0);
}

int32_t ZELRELAY_CreateContext(ZELRELAY_Context *handle, const wchar_t *repository) {
  return GuardedStarted([&] {
    if (handle == nullptr || repository == nullptr) return RELAY_INVALID_ARGUMENT;
    std::string path = WideToNarrow(repository);
    if (path.empty() || !IsWritableDirectory(path)) return RELAY_NOT_WRITABLE;
    std::unique_ptr<ZELRELAY_ContextRecord, void (*)(ZELRELAY_ContextRecord *)> context(new ZELRELAY_ContextRecord{},
                                                                                      Release);
    context->repository = path;
    context->indexes = IndexCache(path);
    context->semaphore = OpenSemaphore();
    if (context->semaphore == SEM_FAILED) return RELAY_SEMAPHORE;
    std::lock_guard<std::mutex> hold(g_contextsLock);
    g_contexts.insert(context.get());
    *handle = context.release();
    return RELAY_OK;
  });
}

int32_t ZELRELAY_DestroyContext(ZELRELAY_Context handle) {
  return Guarded([&] {
    ZELRELAY_ContextRecord &context = ContextOf(handle);
    Forget(&context);
    Release(&context);
    return RELAY_OK;
  });
}

namespace {

RelayStatus ApplyOption(ZELRELAY_ContextRecord &context, int32_t id, int64_t value) {
  for (const OptionSlot &slot : kOptionSlots) {
    if (slot.id != id) continue;
    if (value < 0 || value > slot.maximum) return RELAY_BAD_OPTION_VALUE;
    context.options.*slot.field = value;
    return RELAY_OK;
  }
  return RELAY_UNKNOWN_OPTION;
}

}  // namespace

SourceSettings SourcesOf(ZELRELAY_ContextRecord &context, Keeping keeping) {
  SourceSettings settings{NetworkSettings::FromEnvironment(), &context.indexes};
  settings.network.waiting = [&context] { return Waiting(context); };
  settings.network.maxbandwidth = context.options.maxbandwidth;
  settings.network.httpslevel = context.options.httpslevel;
  context.indexes.writable = keeping == Keeping::Write;
  return settings;
}

void CheckOptions(const ZELRELAY_ContextRecord &context) {
  if (context.refusedOption != RELAY_OK) Fail(context.refusedOption);
}

// The module does not read this call's status, so a refusal is also kept
// for the operation that follows.
int32_t ZELRELAY_SetOption(ZELRELAY_Context handle, int32_t id, int64_t value) {
  return GuardedStarted([&] {
    ZELRELAY_ContextRecord &context = ContextOf(handle);
    RelayStatus status = ApplyOption(context, id, value);
    if (status != RELAY_OK && context.refusedOption == RELAY_OK) context.refusedOption = status;
    return status;
  });
}

int32_t ZELRELAY_SubscribeEvent(ZELRELAY_Context handle, int32_t event, ZELRELAY_EventCallback callback,
                                void *user) {
  return GuardedStarted([&] {
    ZELRELAY_ContextRecord &context = ContextOf(handle);
    if (event < 0 || event >= ZELRELAY_EVENT_COUNT) return RELAY_UNKNOWN_EVENT;
    context.events[event] = Subscription{callback, user};
    return RELAY_OK;
  });
}
