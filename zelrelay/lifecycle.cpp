// The relay's process-wide life, its version and its status messages.
#include <cwchar>
#include <iterator>

#include "relay/zelrelay.h"
#include "status.h"

static bool g_started = false;

int32_t ZELRELAY_Startup(int32_t) {
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
    {RELAY_NOT_AVAILABLE, L"not available yet"},
    {RELAY_OUT_OF_MEMORY, L"out of memory"},
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
