// Calls the local relay does not carry out yet.
#include "relay/zelrelay.h"
#include "status.h"

int32_t ZELRELAY_CreateContext(ZELRELAY_Context *, const wchar_t *) { return RELAY_NOT_AVAILABLE; }
int32_t ZELRELAY_DestroyContext(ZELRELAY_Context) { return RELAY_NOT_AVAILABLE; }
int32_t ZELRELAY_SetOption(ZELRELAY_Context, int32_t, int64_t) { return RELAY_NOT_AVAILABLE; }
int32_t ZELRELAY_SubscribeEvent(ZELRELAY_Context, int32_t, ZELRELAY_EventCallback, void *) {
  return RELAY_NOT_AVAILABLE;
}
int32_t ZELRELAY_GetInformation(ZELRELAY_Context, ZELRELAY_Product *, uint64_t, ZELRELAY_Source *, uint64_t,
                                ZELRELAY_Information **) {
  return RELAY_NOT_AVAILABLE;
}
int32_t ZELRELAY_Duplicate(ZELRELAY_Context, ZELRELAY_Product *, uint64_t, ZELRELAY_Source *, uint64_t,
                           ZELRELAY_Information **) {
  return RELAY_NOT_AVAILABLE;
}
int32_t ZELRELAY_ExportComponent(ZELRELAY_Context, const wchar_t *, ZELRELAY_EntityItem) {
  return RELAY_NOT_AVAILABLE;
}
int32_t ZELRELAY_DestroyData(ZELRELAY_Information *) { return RELAY_NOT_AVAILABLE; }
