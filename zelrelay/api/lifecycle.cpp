// The relay's process-wide life, its mode, its version and its status messages.
#include <dlfcn.h>
#include <link.h>

#include <cwchar>

#include "api/guard.h"
#include "api/lifecycle.h"
#include "base/status.h"
#include "zelrelay.h"

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
bool RelayDryRun() { return g_mode == 1; }

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

struct StatusText {
  int32_t status;
  const wchar_t *text;
};

static const StatusText kMessages[] = {
    {RELAY_OK, L"success"},
    {RELAY_ALREADY_STARTED, L"already started"},
    {RELAY_FAILED, L"failed"},
    {RELAY_NOT_STARTED, L"not started"},
    {RELAY_INVALID_ARGUMENT, L"invalid argument"},
    {RELAY_OUT_OF_MEMORY, L"out of memory"},
    {RELAY_NO_SOURCES, L"no sources given"},
    {RELAY_NETWORK_SOURCE, L"network sources are not supported yet"},
    {RELAY_BAD_SOURCE, L"source is neither a directory nor a file:// URL"},
    {RELAY_NO_SOURCE_ANSWERED, L"no source has a repository index"},
    {RELAY_NOT_WRITABLE, L"repository is not a writable directory"},
    {RELAY_BAD_INDEX, L"repository index is malformed"},
    {RELAY_UNSAFE_PACKAGE_PATH, L"index names a package outside \"packages\""},
    {RELAY_PACKAGE_MISMATCH, L"package size or SHA-256 does not match the index"},
    {RELAY_CANCELLED, L"cancelled"},
    {RELAY_NOT_FOUND, L"component not found in the repository"},
    {RELAY_ARCHIVE_ERROR, L"archive is damaged or unreadable"},
    {RELAY_UNSAFE_ARCHIVE_ENTRY, L"archive entry would leave the destination"},
    {RELAY_IO_ERROR, L"file read or write failed"},
    {RELAY_BAD_DESTINATION, L"destination directory cannot be created"},
    {RELAY_UNKNOWN_OPTION, L"unknown option"},
    {RELAY_BAD_OPTION_VALUE, L"option value out of range"},
    {RELAY_UNKNOWN_EVENT, L"unknown event"},
    {RELAY_SEMAPHORE, L"named semaphore unavailable"},
    {RELAY_PACKAGE_MISSING, L"upstream package is missing"},
    {RELAY_BUSY, L"repository is already being written by this process"},
    {RELAY_BAD_CONTEXT, L"invalid context handle"},
};

int32_t ZELRELAY_GetStatusMessage(wchar_t *buffer, int32_t status) {
  if (buffer == nullptr) return RELAY_INVALID_ARGUMENT;
  const wchar_t *text = L"unknown status";
  for (const StatusText &m : kMessages)
    if (m.status == status) text = m.text;
  wcsncpy(buffer, text, ZELRELAY_MESSAGE_CHARS - 1);
  buffer[ZELRELAY_MESSAGE_CHARS - 1] = 0;
  return RELAY_OK;
}
