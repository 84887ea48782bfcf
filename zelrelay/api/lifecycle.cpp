// The relay's process-wide life, its mode, its version and its status messages.
#include <dlfcn.h>
#include <link.h>

#include <cwchar>

#include "api/guard.h"
#include "api/lifecycle.h"
#include "base/status.h"
#include "base/text.h"
#include "zelrelay.h"
#include "zelrelay_shared.h"

static bool g_started = false;
static uint32_t g_mode = 0;

namespace {

// Lua loads the module RTLD_LOCAL, so its g_zel_mode is invisible to a
// global lookup: each loaded object is asked in turn.
int FindMode(dl_phdr_info *info, size_t, void *found) {
  const char *name = info->dlpi_name && *info->dlpi_name ? info->dlpi_name : nullptr;
  void *object = dlopen(name, RTLD_NOLOAD | RTLD_LAZY);
  if (object == nullptr) return 0;
  void *symbol = dlsym(object, "g_zel_mode");
  dlclose(object);
  if (symbol == nullptr) return 0;
  *static_cast<const uint32_t **>(found) = static_cast<const uint32_t *>(symbol);
  return 1;
}

uint32_t ModuleMode() {
  const uint32_t *mode = nullptr;
  dl_iterate_phdr(FindMode, &mode);
  return mode ? *mode : 0;
}

}  // namespace

bool RelayStarted() { return g_started; }
bool RelayDryRun() { return g_mode == ZELRELAY_MODE_DRY_RUN; }

int32_t ZELRELAY_Startup(int32_t) {
  g_mode = ModuleMode();
  if (g_started) return RELAY_ALREADY_STARTED;
  g_started = true;
  return RELAY_OK;
}

int32_t ZELRELAY_Shutdown() {
  if (!g_started) return RELAY_NOT_STARTED;
  g_started = false;
  return RELAY_OK;
}

int32_t ZELRELAY_GetVersion(uint64_t *major, uint64_t *minor, uint64_t *build, uint64_t *revision) {
  if (!major || !minor || !build || !revision) return RELAY_INVALID_ARGUMENT;
  *major = 1;
  *minor = 0;
  *build = 0;
  *revision = 0;
  return RELAY_OK;
}

int32_t ZELRELAY_GetStatusMessage(wchar_t *buffer, int32_t status) {
  if (buffer == nullptr) return RELAY_INVALID_ARGUMENT;
  std::wstring text = NarrowToWide(StatusMessage(status));
  wcsncpy(buffer, text.c_str(), ZELRELAY_MESSAGE_CHARS - 1);
  buffer[ZELRELAY_MESSAGE_CHARS - 1] = 0;
  return RELAY_OK;
}
